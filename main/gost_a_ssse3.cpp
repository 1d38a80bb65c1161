/*
 * The cipher's rounds with the boxes looked up in registers (pshufb), one
 * to four blocks at a time: every serial use of the cipher (CFB
 * encipherment, single blocks, the ends of a CFB call) on x86 processors
 * without the wider engines, and on those with AVX2 too.
 *
 * pshufb looks up one 16-byte table for every byte of a register, so each
 * of the eight boxes takes one pshufb, its index masked down to the nibble
 * of the box's byte. The bytes masked away index entry 0 of the table: what
 * they add is the same in every round and is cancelled by one constant.
 * Rotating a sum of parts is the sum of the rotated parts, so the low and
 * the high boxes are rotated apart and the second half of the round does not
 * wait for the first.
 */
#include "gost_a.h"

#include "wipe.h"

extern "C" {

/* The boxes of one table, split; shared by every vector engine. */
const u8_gost_type *gost_pair_for_byte(const g2814789_subst *s, int position)
{
	const u8_gost_type *pairs[4] = {s->gost_k21, s->gost_k43, s->gost_k65, s->gost_k87};
	return pairs[position];
}

bool gost_split_pair(const u8_gost_type *pair, u8_gost_type *low, u8_gost_type *high)
{
	bool product = true;
	for (int n = 0; n < 16; n++) {
		low[n] = pair[n] & 0x0F;
		high[n] = pair[n << 4] & 0xF0;
	}
	for (int i = 0; i < 256; i++)
		product = product && pair[i] == (high[i >> 4] | low[i & 15]);
	return product;
}

bool gost_split_boxes(const g2814789_subst *subst, u8_gost_type *low, u8_gost_type *high)
{
	bool product = true;
	for (int p = 0; p < 4; p++)
		product = gost_split_pair(gost_pair_for_byte(subst, p), low + 16 * p,
		                          high + 16 * p) &&
		          product;
	return product;
}

/* Rounds 1 to 32 take these key words, enciphering and deciphering. */
const u8_gost_type gost_key_order[2][32] = {{0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7,
                                             0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0},
                                            {0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0,
                                             7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5, 4, 3, 2, 1, 0}};

} // extern "C"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace {

struct Tables {
	alignas(16) u8_gost_type low[4][16];
	alignas(16) u8_gost_type high[4][16]; /* results in the high nibble */
	alignas(16) u32_gost_type fix[4];     /* what the masked bytes add, rotated */
};
Tables tables;

bool supported()
{
	__builtin_cpu_init();
	return __builtin_cpu_supports("ssse3");
}

namespace legacy {
#define ROUNDS_TARGET __attribute__((target("ssse3")))
#include "gost_a_rounds.inc"
#undef ROUNDS_TARGET
} // namespace legacy

namespace vex {
#define ROUNDS_TARGET __attribute__((target("avx2")))
#include "gost_a_rounds.inc"
#undef ROUNDS_TARGET
} // namespace vex

constexpr u32_gost_type rotl11(u32_gost_type x)
{
	return x << 11 | x >> 21;
}

} // namespace

extern "C" {

bool gost_ssse3_prepare(const g2814789_subst *subst)
{
	bool product = gost_split_boxes(subst, tables.low[0], tables.high[0]);
	u32_gost_type junk = 0;
	for (int i = 0; i < 4; i++)
		for (int j = 0; j < 4; j++)
			if (j != i)
				junk ^= static_cast<u32_gost_type>(tables.low[j][0] ^
				                                   tables.high[j][0])
				        << 8 * i;
	for (int i = 0; i < 4; i++)
		tables.fix[i] = rotl11(junk);
	return product;
}

void gost_ssse3_blocks(const u32_gost_type *key, u32_gost_type *n1, u32_gost_type *n2, int count,
                       bool decipher)
{
	legacy::blocks(key, n1, n2, count, decipher);
}

void gost_ssse3_cfb_encrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                            u8_gost_type *d, size_t blocks)
{
	legacy::cfb_encrypt(key, r1, r2, d, blocks);
}

void gost_ssse3_cfb_decrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                            const u8_gost_type *src, u8_gost_type *dst, size_t chunks)
{
	legacy::cfb_decrypt(key, r1, r2, src, dst, chunks);
}

void gost_avx2_blocks(const u32_gost_type *key, u32_gost_type *n1, u32_gost_type *n2, int count,
                      bool decipher)
{
	vex::blocks(key, n1, n2, count, decipher);
}

void gost_avx2_cfb_encrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                           u8_gost_type *d, size_t blocks)
{
	vex::cfb_encrypt(key, r1, r2, d, blocks);
}

const GostEngine gost_engine_ssse3 = {GOST_PATH_SSSE3,
                                      "ssse3",
                                      supported,
                                      gost_ssse3_prepare,
                                      gost_ssse3_blocks,
                                      gost_ssse3_cfb_encrypt,
                                      16,
                                      gost_ssse3_cfb_decrypt};

} // extern "C"

#else

extern "C" {
const GostEngine gost_engine_ssse3 = {GOST_PATH_SSSE3, "ssse3", nullptr, nullptr,
                                      nullptr,         nullptr, 0,       nullptr};
}

#endif
