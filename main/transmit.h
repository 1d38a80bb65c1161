/* Card transport: reader records, the PC/SC context and the APDU exchange.
 * The types and operations are declared in the public header; this header
 * adds what only the library's own units use. */
#ifndef DRAXEL_TRANSMIT_H
#define DRAXEL_TRANSMIT_H

#include <string.h>

#include "draxel_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of the trace mode word. */
#define TRACE_FUNCTIONS 0x02u
#define TRACE_SCARD_ERRORS 0x04u
#define TRACE_APDU_LEVEL(mode) (((mode) >> 4) & 3u)

/* Disconnects the record like CloseReader, but leaves the card powered: for
 * a probe of a reader whose card another connection of ours still uses. */
unsigned long CloseReaderLeaveCard(ReaderStructPtr prs);

/* Releases a PC/SC context other than hSC (one that only the connections a
 * new one replaced were using); pcscd then drops its card handles without
 * powering the cards down. */
unsigned long ReleaseOtherContext(long context);

/* Clear a buffer that held a secret (password, key, plaintext, reply data)
 * in a way the compiler may not drop as a dead store. */
static inline void wipe_secret(void *buf, size_t len)
{
	if (buf != NULL && len != 0)
		explicit_bzero(buf, len);
}

#ifdef __cplusplus
}
#endif

#endif
