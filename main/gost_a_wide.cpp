/*
 * CFB decipherment of sixteen segments at once with AVX-512. Every block's
 * keystream comes from ciphertext already known, so the blocks are
 * independent: sixteen 32-bit halves ride in one register, and each S-box
 * pass is two 64-byte byte permutes (vpermb) that look up all eight 4-bit
 * boxes of all sixteen words together.
 *
 * Table layout: a permute index is a nibble (bits 0-3) plus the byte's
 * position in its word (bits 4-5), so entry 16 p + n is box n of the pair
 * serving byte p; the high-nibble table holds its results already shifted.
 */
#include "gost_a.h"

#include <stdlib.h>

/* GCC 12 warns about its own AVX-512 intrinsics (their undefined pass-through
 * operand); nothing of ours is uninitialized. */
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

namespace {

alignas(64) u8_gost_type low_boxes[64];
alignas(64) u8_gost_type high_boxes[64];
bool tables_usable = false;

const u8_gost_type *pair_for_byte(const g2814789_subst *s, int p)
{
	const u8_gost_type *pairs[4] = {s->gost_k21, s->gost_k43, s->gost_k65, s->gost_k87};
	return pairs[p];
}

/* Splits one pair table into its two 4-bit boxes; false when the table is
 * not such a pair. */
bool split_pair(const u8_gost_type *pair, u8_gost_type *low, u8_gost_type *high)
{
	for (int n = 0; n < 16; n++) {
		low[n] = pair[n] & 0x0F;
		high[n] = pair[n << 4] & 0xF0;
	}
	for (int i = 0; i < 256; i++)
		if (pair[i] != (high[i >> 4] | low[i & 15]))
			return false;
	return true;
}

#define WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))

struct Wide {
	__m512i nibble_mask;
	__m512i position;
	__m512i low;
	__m512i high;
};

WIDE_TARGET inline __m512i f16(const Wide &w, __m512i x)
{
	const int and_or = 0xEA; /* (a & b) | c */
	__m512i lo = _mm512_ternarylogic_epi32(x, w.nibble_mask, w.position, and_or);
	__m512i hi = _mm512_ternarylogic_epi32(_mm512_srli_epi32(x, 4), w.nibble_mask, w.position,
	                                       and_or);
	__m512i s = _mm512_or_si512(_mm512_permutexvar_epi8(lo, w.low),
	                            _mm512_permutexvar_epi8(hi, w.high));
	return _mm512_rol_epi32(s, 11);
}

WIDE_TARGET inline void round_pair(const Wide &w, u32_gost_type k1, u32_gost_type k2, __m512i &n1,
                                   __m512i &n2)
{
	n2 = _mm512_xor_si512(
	        n2, f16(w, _mm512_add_epi32(n1, _mm512_set1_epi32(static_cast<int>(k1)))));
	n1 = _mm512_xor_si512(
	        n1, f16(w, _mm512_add_epi32(n2, _mm512_set1_epi32(static_cast<int>(k2)))));
}

WIDE_TARGET void encrypt16(const u32_gost_type *k, __m512i &n1, __m512i &n2)
{
	const Wide w = {_mm512_set1_epi8(0x0F), _mm512_set1_epi32(0x30201000),
	                _mm512_load_si512(low_boxes), _mm512_load_si512(high_boxes)};
	for (int pass = 0; pass < 3; pass++)
		for (int i = 0; i < 8; i += 2)
			round_pair(w, k[i], k[i + 1], n1, n2);
	for (int i = 7; i > 0; i -= 2)
		round_pair(w, k[i], k[i - 1], n1, n2);
}

} // namespace

extern "C" {

bool gost_wide_prepare(const g2814789_subst *subst)
{
	tables_usable = true;
	for (int p = 0; p < 4 && tables_usable; p++)
		tables_usable = split_pair(pair_for_byte(subst, p), low_boxes + 16 * p,
		                           high_boxes + 16 * p);
	return tables_usable;
}

bool gost_wide_available(void)
{
	static const bool cpu =
	        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
	        __builtin_cpu_supports("avx512vbmi") && getenv("DRAXEL_NO_SIMD") == NULL;
	return cpu && tables_usable;
}

WIDE_TARGET void gost_wide_decrypt_cfb(const u32_gost_type *key, u32_gost_type *r1,
                                       u32_gost_type *r2, const u8_gost_type *src,
                                       u8_gost_type *dst)
{
	const __m512i even =
	        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
	const __m512i odd =
	        _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
	const __m512i first =
	        _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
	const __m512i second =
	        _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
	__m512i a = _mm512_loadu_si512(src), b = _mm512_loadu_si512(src + 64);
	/* the halves of the ciphertext segments, and of the segment before each */
	__m512i c1 = _mm512_permutex2var_epi32(a, even, b),
	        c2 = _mm512_permutex2var_epi32(a, odd, b);
	__m512i n1 =
	        _mm512_maskz_alignr_epi32(0xFFFF, c1, _mm512_set1_epi32(static_cast<int>(*r1)), 15);
	__m512i n2 =
	        _mm512_maskz_alignr_epi32(0xFFFF, c2, _mm512_set1_epi32(static_cast<int>(*r2)), 15);
	*r1 = gost_load_le32(src + 120);
	*r2 = gost_load_le32(src + 124);
	encrypt16(key, n1, n2);
	/* keystream segment j is n2[j] then n1[j] */
	a = _mm512_xor_si512(a, _mm512_permutex2var_epi32(n2, first, n1));
	b = _mm512_xor_si512(b, _mm512_permutex2var_epi32(n2, second, n1));
	_mm512_storeu_si512(dst, a);
	_mm512_storeu_si512(dst + 64, b);
}

} // extern "C"
