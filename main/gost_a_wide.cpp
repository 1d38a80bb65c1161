/*
 * The cipher with AVX-512 byte permutes. CFB decipherment takes sixteen
 * segments at once: every block's keystream comes from ciphertext already
 * known, so the blocks are independent, sixteen 32-bit halves ride in one
 * register, and each S-box pass is two 64-byte byte permutes (vpermb) that
 * look up all eight 4-bit boxes of all sixteen words together. The serial
 * work (one to four blocks) runs the same rounds in 256-bit registers.
 *
 * Table layout: a permute index is a nibble (bits 0-3) plus the byte's
 * position in its word (bits 4-5), so entry 16 p + n is box n of the pair
 * serving byte p; the high-nibble table holds its results already shifted.
 */
#include "gost_a.h"

#if defined(__x86_64__) || defined(__i386__)

/* GCC 12 warns about its own AVX-512 intrinsics (their undefined pass-through
 * operand); nothing of ours is uninitialized. */
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace {

constexpr int kWideBlocks = 16;

alignas(64) u8_gost_type low_boxes[64];
alignas(64) u8_gost_type high_boxes[64];

#define WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#define SERIAL_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))

/* The serial rounds in 256-bit registers: a two-table permute (vpermi2b)
 * looks up the 64 entries there, with a shorter wait than the 512-bit
 * permute. */
struct Serial {
	__m256i nibble_mask, position, low_a, low_b, high_a, high_b;
};

SERIAL_TARGET inline __m256i f8(const Serial &w, __m256i x, __m256i n)
{
	const int and_or = 0xEA; /* (a & b) | c */
	__m256i lo = _mm256_ternarylogic_epi32(x, w.nibble_mask, w.position, and_or);
	__m256i hi = _mm256_ternarylogic_epi32(_mm256_srli_epi32(x, 4), w.nibble_mask, w.position,
	                                       and_or);
	return _mm256_ternarylogic_epi32(
	        n, _mm256_rol_epi32(_mm256_permutex2var_epi8(w.low_a, lo, w.low_b), 11),
	        _mm256_rol_epi32(_mm256_permutex2var_epi8(w.high_a, hi, w.high_b), 11), 0x96);
}

[[gnu::always_inline]] SERIAL_TARGET inline void crypt8(const u32_gost_type *k, __m256i &n1,
                                                        __m256i &n2, const u8_gost_type *order)
{
	const Serial w = {_mm256_set1_epi8(0x0F),
	                  _mm256_set1_epi32(0x30201000),
	                  _mm256_load_si256(reinterpret_cast<const __m256i *>(low_boxes)),
	                  _mm256_load_si256(reinterpret_cast<const __m256i *>(low_boxes + 32)),
	                  _mm256_load_si256(reinterpret_cast<const __m256i *>(high_boxes)),
	                  _mm256_load_si256(reinterpret_cast<const __m256i *>(high_boxes + 32))};
#pragma GCC unroll 16
	for (int i = 0; i < 32; i += 2) {
		n2 = f8(w, _mm256_add_epi32(n1, _mm256_set1_epi32(static_cast<int>(k[order[i]]))),
		        n2);
		n1 = f8(w,
		        _mm256_add_epi32(n2, _mm256_set1_epi32(static_cast<int>(k[order[i + 1]]))),
		        n1);
	}
}

struct Wide {
	__m512i nibble_mask;
	__m512i position;
	__m512i low;
	__m512i high;
};

/* n ^ rotl11(S(x)) */
WIDE_TARGET inline __m512i f16(const Wide &w, __m512i x, __m512i n)
{
	const int and_or = 0xEA; /* (a & b) | c */
	__m512i lo = _mm512_ternarylogic_epi32(x, w.nibble_mask, w.position, and_or);
	__m512i hi = _mm512_ternarylogic_epi32(_mm512_srli_epi32(x, 4), w.nibble_mask, w.position,
	                                       and_or);
	/* the boxes' results are disjoint: rotated apart, they join n in one step */
	return _mm512_ternarylogic_epi32(
	        n, _mm512_rol_epi32(_mm512_permutexvar_epi8(lo, w.low), 11),
	        _mm512_rol_epi32(_mm512_permutexvar_epi8(hi, w.high), 11), 0x96);
}

WIDE_TARGET inline void round_pair(const Wide &w, u32_gost_type k1, u32_gost_type k2, __m512i &n1,
                                   __m512i &n2)
{
	n2 = f16(w, _mm512_add_epi32(n1, _mm512_set1_epi32(static_cast<int>(k1))), n2);
	n1 = f16(w, _mm512_add_epi32(n2, _mm512_set1_epi32(static_cast<int>(k2))), n1);
}

[[gnu::always_inline]] WIDE_TARGET inline void crypt16(const u32_gost_type *k, __m512i &n1,
                                                       __m512i &n2, const u8_gost_type *order)
{
	const Wide w = {_mm512_set1_epi8(0x0F), _mm512_set1_epi32(0x30201000),
	                _mm512_load_si512(low_boxes), _mm512_load_si512(high_boxes)};
#pragma GCC unroll 16
	for (int i = 0; i < 32; i += 2)
		round_pair(w, k[order[i]], k[order[i + 1]], n1, n2);
}

bool supported()
{
	__builtin_cpu_init();
	return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
	       __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
}

bool prepare(const g2814789_subst *subst)
{
	return gost_split_boxes(subst, low_boxes, high_boxes);
}

SERIAL_TARGET void blocks(const u32_gost_type *key, u32_gost_type *n1, u32_gost_type *n2, int count,
                          bool decipher)
{
	const __mmask8 lanes = static_cast<__mmask8>((1u << count) - 1);
	__m256i x1 = _mm256_maskz_loadu_epi32(lanes, n1), x2 = _mm256_maskz_loadu_epi32(lanes, n2);
	crypt8(key, x1, x2, gost_key_order[decipher ? 1 : 0]);
	_mm256_mask_storeu_epi32(n1, lanes, x1);
	_mm256_mask_storeu_epi32(n2, lanes, x2);
}

SERIAL_TARGET void cfb_encrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                               u8_gost_type *d, size_t blocks)
{
	__m256i x1 = _mm256_castsi128_si256(_mm_cvtsi32_si128(static_cast<int>(*r1)));
	__m256i x2 = _mm256_castsi128_si256(_mm_cvtsi32_si128(static_cast<int>(*r2)));
	for (; blocks > 0; blocks--, d += GOST_BLOCK_SIZE) {
		crypt8(key, x1, x2, gost_key_order[0]);
		__m128i c = _mm_xor_si128(
		        _mm_unpacklo_epi32(_mm256_castsi256_si128(x2), _mm256_castsi256_si128(x1)),
		        _mm_loadl_epi64(reinterpret_cast<const __m128i *>(d)));
		_mm_storel_epi64(reinterpret_cast<__m128i *>(d), c);
		x1 = _mm256_castsi128_si256(c);
		x2 = _mm256_castsi128_si256(_mm_srli_epi64(c, 32));
	}
	*r1 = static_cast<u32_gost_type>(_mm_cvtsi128_si32(_mm256_castsi256_si128(x1)));
	*r2 = static_cast<u32_gost_type>(_mm_cvtsi128_si32(_mm256_castsi256_si128(x2)));
}

WIDE_TARGET void decrypt16(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                           const u8_gost_type *src, u8_gost_type *dst)
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
	crypt16(key, n1, n2, gost_key_order[0]);
	/* keystream segment j is n2[j] then n1[j] */
	a = _mm512_xor_si512(a, _mm512_permutex2var_epi32(n2, first, n1));
	b = _mm512_xor_si512(b, _mm512_permutex2var_epi32(n2, second, n1));
	_mm512_storeu_si512(dst, a);
	_mm512_storeu_si512(dst + 64, b);
}

void cfb_decrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                 const u8_gost_type *src, u8_gost_type *dst, size_t chunks)
{
	const size_t bytes = kWideBlocks * GOST_BLOCK_SIZE;
	for (; chunks > 0; chunks--, src += bytes, dst += bytes)
		decrypt16(key, r1, r2, src, dst);
}

} // namespace

extern "C" const GostEngine gost_engine_avx512 = {GOST_PATH_AVX512, "avx512",   supported,
                                                  prepare,          blocks,     cfb_encrypt,
                                                  kWideBlocks,      cfb_decrypt};

#else

extern "C" const GostEngine gost_engine_avx512 = {GOST_PATH_AVX512, "avx512", nullptr, nullptr,
                                                  nullptr,          nullptr,  0,       nullptr};

#endif
