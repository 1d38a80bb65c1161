/* Cipher engine: GOST 28147-89 on the host. The cipher's types and
 * functions are public (draxel_lib.h); this header adds the sizes and the
 * byte-order helpers that the library's own units share. */
#ifndef DRAXEL_GOST_A_H
#define DRAXEL_GOST_A_H

#include <string.h>

#include "draxel_lib.h"
#include "gost_a_subst.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
	GOST_BLOCK_SIZE = 8, /* a block, a CFB register */
	GOST_KEY_SIZE = 32,  /* a key in bytes ... */
	GOST_KEY_WORDS = 8   /* ... and its schedule in words */
};

/* Little-endian words in byte buffers, at any alignment. */
static inline u32_gost_type gost_load_le32(const u8_gost_type *p)
{
	u32_gost_type v;
	memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
	v = __builtin_bswap32(v);
#endif
	return v;
}

static inline void gost_store_le32(u8_gost_type *p, u32_gost_type v)
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
	v = __builtin_bswap32(v);
#endif
	memcpy(p, &v, sizeof v);
}

/*
 * Wide CFB decipherment on processors with 512-bit byte permutes: the S-boxes
 * are looked up for sixteen blocks at once. gost_wide_prepare derives the
 * lookup tables from a substitution table and answers whether the wide path
 * can serve it (a table that is not a product of 4-bit boxes cannot);
 * gost_wide_available says whether the processor has the instructions and
 * the environment does not forbid them (DRAXEL_NO_SIMD).
 */
enum { GOST_WIDE_BLOCKS = 16 };

bool gost_wide_prepare(const g2814789_subst *subst);
bool gost_wide_available(void);
/* Deciphers GOST_WIDE_BLOCKS full segments from src into dst (the same
 * place or apart); (r1, r2) is the register in, the last ciphertext
 * segment out. */
void gost_wide_decrypt_cfb(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                           const u8_gost_type *src, u8_gost_type *dst);

/* gost_decrypt_cfb from src into dst, which may be the same place: the file
 * functions decipher straight from the caller's input into its output. */
void gost_decrypt_cfb_to(const u32_gost_type *key, u8_gost_type *reg_bytes, const u8_gost_type *src,
                         u8_gost_type *dst, int length);

#ifdef __cplusplus
}
#endif

#endif
