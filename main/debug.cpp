#include "debug.h"
#include "draxel_lib.h"

extern "C" {

unsigned int tracemode = 0;
unsigned int _tracemode = 0;

unsigned int GetTraceMode(void)
{
	return 0;
}

void DebugPrintf(const char *, ...)
{
}

void DebugPrintHex(const char *, const unsigned char *, int, int)
{
}

void DebugFlush(void)
{
}

} // extern "C"
