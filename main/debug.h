/* The trace sink: off unless DRAXEL_DEBUG asks for it (see debug.cpp). The
 * trace points of the transport hand it their lines. */
#ifndef DRAXEL_DEBUG_H
#define DRAXEL_DEBUG_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Reads DRAXEL_DEBUG: the first time it is called, or every time with again. */
void DebugConfigure(bool again);
unsigned int GetTraceMode(void);
void DebugPrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void DebugPrintHex(const char *padstr, const unsigned char *bin, int binsize, int supress);
void DebugFlush(void);

#ifdef __cplusplus
}
#endif

#endif
