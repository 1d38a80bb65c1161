/* Token command set: one builder per command, declared in the public header.
 * This header adds the constants the library's own units share. */
#ifndef DRAXEL_APDU4U_H
#define DRAXEL_APDU4U_H

#include "draxel_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* "MEKTA_PSCH" and a zero byte; the first DRAXEL_AID_LEN bytes are the
 * application's name. */
extern const BYTE df_aid[DRAXEL_AID_LEN + 1];

/* A model reply that starts with these bytes (tag 80, length 7, "ST23L80")
 * comes from an ST23L80 chip. */
extern const BYTE ST23_L80_MODEL_STR[9];

/* Called with a builder's command buffer right after the builder overwrote it
 * with 0x5A bytes. Does nothing in the library; tests that link the units
 * directly replace it to see the wipe. */
void apdu_cmd_buf_wiped(const BYTE *buf, size_t len);

/* Called with every command buffer and reply buffer of a builder as it goes
 * out of scope, right after it was cleared: none of a password, key, pass
 * phrase or reply may outlive the builder. Does nothing in the library;
 * tests that link the units directly replace it to look. */
void apdu_buf_released(const BYTE *buf, size_t len);

/* The library's code for an operation that failed on status word sw, where
 * no builder's own table gave it one. */
unsigned long code_of_status_word(unsigned short sw);

#ifdef __cplusplus
}
#endif

#endif
