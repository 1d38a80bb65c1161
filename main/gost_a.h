/* Cipher engine: GOST 28147-89 on the host. The cipher's types and
 * functions are public (draxel_lib.h); this header adds the sizes and the
 * byte-order helpers that the library's own units share. */
#ifndef DRAXEL_GOST_A_H
#define DRAXEL_GOST_A_H

#include <stddef.h>
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
 * The ways of computing the cipher, chosen once by processor. The vector
 * paths look the 4-bit boxes up in registers (pshufb, vpermb, tbl), so no
 * memory address and no branch depends on the key or the data; the table
 * path reads memory indexed by secret bytes and serves only processors
 * without such instructions, and substitution tables that are not made of
 * 4-bit boxes.
 */
enum GostPath {
	GOST_PATH_TABLE,
	GOST_PATH_SSSE3,
	GOST_PATH_AVX2,
	GOST_PATH_AVX512,
	GOST_PATH_NEON
};

/* What one vector path provides. prepare derives its tables from a
 * substitution table and answers false for one that is not eight 4-bit
 * boxes. blocks enciphers (or deciphers) count independent blocks given as
 * halves n1[i], n2[i], count at most GOST_LANES_MAX. cfb_encrypt enciphers
 * full segments in place, the register (r1, r2) in and out. cfb_decrypt deciphers
 * chunks of wide_blocks full segments from src to dst (the same place or
 * apart), the register (r1, r2) in and out; it may be null. */
enum { GOST_LANES_MAX = 4 };
/* Every engine's wide_blocks divides this: a CFB call cut at its multiples
 * chains exactly as one call would, and takes the wide path throughout. */
enum { GOST_WIDE_BLOCKS = 32 };
struct GostEngine {
	enum GostPath path;
	const char *name;
	bool (*supported)(void);
	bool (*prepare)(const g2814789_subst *subst);
	void (*blocks)(const u32_gost_type *key, u32_gost_type *n1, u32_gost_type *n2, int count,
	               bool decipher);
	void (*cfb_encrypt)(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
	                    u8_gost_type *d, size_t blocks);
	int wide_blocks;
	void (*cfb_decrypt)(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
	                    const u8_gost_type *src, u8_gost_type *dst, size_t chunks);
};

/* The engines this build has for its processor family; a null pointer where
 * the family has no such path. */
extern const struct GostEngine gost_engine_ssse3, gost_engine_avx2, gost_engine_avx512,
        gost_engine_neon;

/* The SSSE3 engine's parts, which the AVX2 engine shares for its serial
 * work (compiled there for AVX2's instruction forms); the splitting of a pair table into its two boxes, which every
 * vector engine needs (false when the table is not such a pair); and the
 * order of the key words over the 32 rounds. */
bool gost_ssse3_prepare(const g2814789_subst *subst);
void gost_ssse3_blocks(const u32_gost_type *key, u32_gost_type *n1, u32_gost_type *n2, int count,
                       bool decipher);
void gost_ssse3_cfb_encrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                            u8_gost_type *d, size_t blocks);
void gost_ssse3_cfb_decrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                            const u8_gost_type *src, u8_gost_type *dst, size_t chunks);
void gost_avx2_blocks(const u32_gost_type *key, u32_gost_type *n1, u32_gost_type *n2, int count,
                      bool decipher);
void gost_avx2_cfb_encrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                           u8_gost_type *d, size_t blocks);
bool gost_split_pair(const u8_gost_type *pair, u8_gost_type *low, u8_gost_type *high);
/* All four pairs into 64 low and 64 high box bytes, sixteen per pair. */
bool gost_split_boxes(const g2814789_subst *subst, u8_gost_type *low, u8_gost_type *high);
const u8_gost_type *gost_pair_for_byte(const g2814789_subst *s, int position);
extern const u8_gost_type gost_key_order[2][32];

/* Called with the register copy of a partial CFB segment once it is wiped;
 * tests replace it to see that it is. */
void gost_cfb_tail_wiped(const u8_gost_type *reg, size_t len);

/* The path in use: the best the processor has, unless DRAXEL_CIPHER_PATH
 * names a lower one (table, ssse3, avx2, avx512, neon) or DRAXEL_NO_SIMD is
 * set (table; the CRC leaves its carry-less path too). */
enum GostPath gost_path(void);
const char *gost_path_name(enum GostPath path);
/* Whether the processor and this build have the path. */
bool gost_path_supported(enum GostPath path);
/* Switches to a path the processor has (false, and nothing changes,
 * otherwise); for tests and benchmarks. */
bool gost_use_path(enum GostPath path);

/* gost_decrypt_cfb from src into dst, which may be the same place: the file
 * functions decipher straight from the caller's input into its output. */
void gost_decrypt_cfb_to(const u32_gost_type *key, u8_gost_type *reg_bytes, const u8_gost_type *src,
                         u8_gost_type *dst, int length);

#ifdef __cplusplus
}
#endif

#endif
