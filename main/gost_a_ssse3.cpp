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

/* Rounds 1 to 32 take these key words, enciphering and deciphering. */
const u8_gost_type gost_key_order[2][32] = {{0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7,
                                             0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0},
                                            {0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0,
                                             7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5, 4, 3, 2, 1, 0}};

} // extern "C"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define SSSE3_TARGET __attribute__((target("ssse3")))

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

struct Round {
	__m128i low[4], high[4], select[4], fix;
};

SSSE3_TARGET inline __m128i rotate_out(__m128i y)
{
	return _mm_xor_si128(_mm_slli_epi32(y, 11), _mm_srli_epi32(y, 21));
}

/* n ^ rotl11(S(x)), four words at once. */
[[gnu::always_inline]] SSSE3_TARGET inline __m128i round(const Round &r, __m128i x, __m128i n)
{
	__m128i h = _mm_srli_epi16(x, 4);
	__m128i lo = _mm_xor_si128(
	        _mm_xor_si128(_mm_shuffle_epi8(r.low[0], _mm_and_si128(x, r.select[0])),
	                      _mm_shuffle_epi8(r.low[1], _mm_and_si128(x, r.select[1]))),
	        _mm_xor_si128(_mm_shuffle_epi8(r.low[2], _mm_and_si128(x, r.select[2])),
	                      _mm_shuffle_epi8(r.low[3], _mm_and_si128(x, r.select[3]))));
	__m128i hi = _mm_xor_si128(
	        _mm_xor_si128(_mm_shuffle_epi8(r.high[0], _mm_and_si128(h, r.select[0])),
	                      _mm_shuffle_epi8(r.high[1], _mm_and_si128(h, r.select[1]))),
	        _mm_xor_si128(_mm_shuffle_epi8(r.high[2], _mm_and_si128(h, r.select[2])),
	                      _mm_shuffle_epi8(r.high[3], _mm_and_si128(h, r.select[3]))));
	n = _mm_xor_si128(_mm_xor_si128(n, r.fix), rotate_out(lo));
	return _mm_xor_si128(n, rotate_out(hi));
}

SSSE3_TARGET inline __m128i key_word(const u32_gost_type *key, int i)
{
	return _mm_set1_epi32(static_cast<int>(key[i]));
}

SSSE3_TARGET inline Round load_round()
{
	Round r;
	for (int j = 0; j < 4; j++) {
		r.low[j] = _mm_load_si128(reinterpret_cast<const __m128i *>(tables.low[j]));
		r.high[j] = _mm_load_si128(reinterpret_cast<const __m128i *>(tables.high[j]));
		r.select[j] = _mm_set1_epi32(0x0F << 8 * j);
	}
	r.fix = _mm_load_si128(reinterpret_cast<const __m128i *>(tables.fix));
	return r;
}

[[gnu::always_inline]] SSSE3_TARGET inline void
crypt(const Round &r, const u32_gost_type *key, __m128i &n1, __m128i &n2, const u8_gost_type *order)
{
#pragma GCC unroll 16
	for (int i = 0; i < 32; i += 2) {
		n2 = round(r, _mm_add_epi32(n1, key_word(key, order[i])), n2);
		n1 = round(r, _mm_add_epi32(n2, key_word(key, order[i + 1])), n1);
	}
}

/* CFB encipherment of full segments: the register stays in the vector
 * registers from one segment to the next. */
SSSE3_TARGET void cfb_encrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                              u8_gost_type *d, size_t blocks)
{
	const Round r = load_round();
	__m128i x1 = _mm_cvtsi32_si128(static_cast<int>(*r1)),
	        x2 = _mm_cvtsi32_si128(static_cast<int>(*r2));
	for (; blocks > 0; blocks--, d += GOST_BLOCK_SIZE) {
		crypt(r, key, x1, x2, gost_key_order[0]);
		__m128i c = _mm_xor_si128(_mm_unpacklo_epi32(x2, x1),
		                          _mm_loadl_epi64(reinterpret_cast<const __m128i *>(d)));
		_mm_storel_epi64(reinterpret_cast<__m128i *>(d), c);
		x1 = c;
		x2 = _mm_srli_epi64(c, 32);
	}
	*r1 = static_cast<u32_gost_type>(_mm_cvtsi128_si32(x1));
	*r2 = static_cast<u32_gost_type>(_mm_cvtsi128_si32(x2));
}

constexpr u32_gost_type rotl11(u32_gost_type x)
{
	return x << 11 | x >> 21;
}

} // namespace

extern "C" {

bool gost_ssse3_prepare(const g2814789_subst *subst)
{
	bool product = true;
	for (int p = 0; p < 4; p++)
		product = gost_split_pair(gost_pair_for_byte(subst, p), tables.low[p],
		                          tables.high[p]) &&
		          product;
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

SSSE3_TARGET void gost_ssse3_blocks(const u32_gost_type *key, u32_gost_type *n1, u32_gost_type *n2,
                                    int count, bool decipher)
{
	alignas(16) u32_gost_type h1[GOST_LANES_MAX] = {0}, h2[GOST_LANES_MAX] = {0};
	memcpy(h1, n1, sizeof *n1 * static_cast<size_t>(count));
	memcpy(h2, n2, sizeof *n2 * static_cast<size_t>(count));
	__m128i x1 = _mm_load_si128(reinterpret_cast<const __m128i *>(h1));
	__m128i x2 = _mm_load_si128(reinterpret_cast<const __m128i *>(h2));
	crypt(load_round(), key, x1, x2, gost_key_order[decipher ? 1 : 0]);
	_mm_store_si128(reinterpret_cast<__m128i *>(h1), x1);
	_mm_store_si128(reinterpret_cast<__m128i *>(h2), x2);
	memcpy(n1, h1, sizeof *n1 * static_cast<size_t>(count));
	memcpy(n2, h2, sizeof *n2 * static_cast<size_t>(count));
	wipe(h1, sizeof h1);
	wipe(h2, sizeof h2);
}

SSSE3_TARGET void gost_ssse3_cfb_encrypt(const u32_gost_type *key, u32_gost_type *r1,
                                         u32_gost_type *r2, u8_gost_type *d, size_t blocks)
{
	cfb_encrypt(key, r1, r2, d, blocks);
}

const GostEngine gost_engine_ssse3 = {
        GOST_PATH_SSSE3,        "ssse3", supported, gost_ssse3_prepare, gost_ssse3_blocks,
        gost_ssse3_cfb_encrypt, 0,       nullptr};

} // extern "C"

#else

extern "C" {
const GostEngine gost_engine_ssse3 = {GOST_PATH_SSSE3, "ssse3", nullptr, nullptr,
                                      nullptr,         nullptr, 0,       nullptr};
}

#endif
