/* The trace sink. The library's sink is switched off: the trace points of the
 * transport hand it their lines and it discards them. */
#ifndef DRAXEL_DEBUG_H
#define DRAXEL_DEBUG_H

#ifdef __cplusplus
extern "C" {
#endif

unsigned int GetTraceMode(void);
void DebugPrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void DebugPrintHex(const char *padstr, const unsigned char *bin, int binsize, int supress);
void DebugFlush(void);

#ifdef __cplusplus
}
#endif

#endif
