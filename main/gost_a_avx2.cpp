/*
 * CFB decipherment of 32 segments at once with AVX2, byte-sliced: each
 * register holds one byte position of a half of 32 blocks, so one byte of
 * each lane meets one pair of boxes, and each box is one vpshufb over the
 * whole register with no masks. The addition of the key word is a carry
 * chain over the four byte registers; the rotation by 11 is a renaming of
 * the registers by one byte plus 3 bits, and those 3 bits are folded into
 * the boxes: a low box lands in bits 3-6 of the next byte, a high box in
 * bit 7 of the next byte and bits 0-2 of the one after. The blocks are
 * transposed into this layout and back once per 32.
 *
 * The serial work on these processors is the SSSE3 engine's rounds,
 * compiled for AVX2's instruction forms (gost_a_ssse3.cpp).
 */
#include "gost_a.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "wipe.h"

#define AVX2_TARGET __attribute__((target("avx2")))

namespace {

constexpr int kBlocks = 32;

/* Box results by their destination: low box of byte j into byte j+1, the
 * high box's bit into byte j+1 and its other three into byte j+2. Each
 * 16-byte table is repeated for both halves of the register. */
struct Boxes {
	alignas(32) u8_gost_type low[4][32];
	alignas(32) u8_gost_type high_next[4][32];
	alignas(32) u8_gost_type high_after[4][32];
};
Boxes boxes;

bool supported()
{
	__builtin_cpu_init();
	return __builtin_cpu_supports("avx2");
}

bool prepare(const g2814789_subst *subst)
{
	bool product = gost_ssse3_prepare(subst);
	for (int p = 0; p < 4; p++) {
		u8_gost_type low[16], high[16];
		product = gost_split_pair(gost_pair_for_byte(subst, p), low, high) && product;
		for (int i = 0; i < 32; i++) {
			boxes.low[p][i] = static_cast<u8_gost_type>(low[i & 15] << 3);
			/* indexed by the high nibble with its top bit flipped */
			boxes.high_next[p][i] =
			        static_cast<u8_gost_type>(high[(i ^ 8) & 15] << 3 & 0x80);
			boxes.high_after[p][i] = static_cast<u8_gost_type>(high[(i ^ 8) & 15] >> 5);
		}
	}
	return product;
}

AVX2_TARGET inline __m256i box(const u8_gost_type *table, __m256i index)
{
	return _mm256_shuffle_epi8(_mm256_load_si256(reinterpret_cast<const __m256i *>(table)),
	                           index);
}

/* A key word's bytes, and for each the largest byte that takes no carry
 * from it (255 - k), both as the signed bytes that the state holds. */
struct KeyWord {
	__m256i add[4], no_carry[4];
};

/* n ^= rotl11(S(m + k)), byte-sliced. Every byte of the state is held with
 * its top bit flipped, as AVX2's signed comparison of bytes wants: the sum
 * keeps that form (adding 128 flips the top bit), and the high boxes are
 * looked up with that bit flipped back. Byte j of the sum feeds bytes j + 1
 * and j + 2 of the result, so each byte of n is finished as soon as its two
 * sources are known, and few registers are live at once. */
[[gnu::always_inline]] AVX2_TARGET inline void half_round(const __m256i *m, __m256i *n,
                                                          const KeyWord &k)
{
	const __m256i nibble = _mm256_set1_epi8(0x0F);
	__m256i carry = _mm256_setzero_si256(), lo[4], hi[4];
	for (int j = 0; j < 4; j++) {
		__m256i t = _mm256_sub_epi8(_mm256_add_epi8(m[j], k.add[j]), carry);
		/* a carry out when m + k + carry > 255 */
		__m256i above = _mm256_cmpgt_epi8(m[j], k.no_carry[j]);
		if (j == 0)
			carry = above;
		else if (j < 3)
			carry = _mm256_or_si256(
			        above,
			        _mm256_and_si256(carry, _mm256_cmpeq_epi8(m[j], k.no_carry[j])));
		lo[j] = _mm256_and_si256(t, nibble);
		hi[j] = _mm256_and_si256(_mm256_srli_epi16(t, 4), nibble);
		if (j > 0)
			n[(j + 1) & 3] = _mm256_xor_si256(
			        n[(j + 1) & 3],
			        _mm256_xor_si256(_mm256_xor_si256(box(boxes.low[j], lo[j]),
			                                          box(boxes.high_next[j], hi[j])),
			                         box(boxes.high_after[j - 1], hi[j - 1])));
	}
	n[1] = _mm256_xor_si256(n[1],
	                        _mm256_xor_si256(_mm256_xor_si256(box(boxes.low[0], lo[0]),
	                                                          box(boxes.high_next[0], hi[0])),
	                                         box(boxes.high_after[3], hi[3])));
}

/* Eight registers of 16-bit words, transposed within each 128-bit half:
 * word w of register i trades places with word i of register w. Its own
 * inverse. */
AVX2_TARGET inline void transpose(__m256i *r)
{
	__m256i a[8], b[8];
	for (int i = 0; i < 8; i += 2) {
		a[i] = _mm256_unpacklo_epi16(r[i], r[i + 1]);
		a[i + 1] = _mm256_unpackhi_epi16(r[i], r[i + 1]);
	}
	for (int i = 0; i < 8; i += 4) {
		b[i] = _mm256_unpacklo_epi32(a[i], a[i + 2]);
		b[i + 1] = _mm256_unpackhi_epi32(a[i], a[i + 2]);
		b[i + 2] = _mm256_unpacklo_epi32(a[i + 1], a[i + 3]);
		b[i + 3] = _mm256_unpackhi_epi32(a[i + 1], a[i + 3]);
	}
	for (int i = 0; i < 4; i++) {
		r[2 * i] = _mm256_unpacklo_epi64(b[i], b[i + 4]);
		r[2 * i + 1] = _mm256_unpackhi_epi64(b[i], b[i + 4]);
	}
}

/* 32 blocks from r[0..7] (four blocks each) into byte positions, and back:
 * first the two blocks of each 128-bit half byte-interleaved, so that a
 * 16-bit word holds one position of two blocks, then the words
 * transposed. */
AVX2_TARGET inline void to_slices(__m256i *r)
{
	const __m256i interleave =
	        _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15, 0, 8, 1, 9,
	                         2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
	for (int i = 0; i < 8; i++)
		r[i] = _mm256_shuffle_epi8(r[i], interleave);
	transpose(r);
}

AVX2_TARGET inline void from_slices(__m256i *r)
{
	const __m256i separate =
	        _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15, 0, 2, 4, 6,
	                         8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
	transpose(r);
	for (int i = 0; i < 8; i++)
		r[i] = _mm256_shuffle_epi8(r[i], separate);
}

AVX2_TARGET inline __m256i load(const u8_gost_type *p)
{
	return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

AVX2_TARGET void cfb_decrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                             const u8_gost_type *src, u8_gost_type *dst, size_t chunks)
{
	KeyWord k[8];
	for (int w = 0; w < 8; w++)
		for (int j = 0; j < 4; j++) {
			const u8_gost_type byte = static_cast<u8_gost_type>(key[w] >> 8 * j);
			k[w].add[j] = _mm256_set1_epi8(static_cast<char>(byte));
			k[w].no_carry[j] = _mm256_set1_epi8(static_cast<char>((255 - byte) ^ 0x80));
		}
	const __m256i top = _mm256_set1_epi8(static_cast<char>(0x80));
	const u8_gost_type *order = gost_key_order[0];
	for (; chunks > 0; chunks--, src += kBlocks * 8, dst += kBlocks * 8) {
		/* each block's keystream enciphers the ciphertext segment before it */
		alignas(32) u8_gost_type first[32];
		gost_store_le32(first, *r1);
		gost_store_le32(first + 4, *r2);
		memcpy(first + 8, src, 24);
		__m256i x[8];
		x[0] = load(first);
		for (int i = 1; i < 8; i++)
			x[i] = load(src + 32 * i - 8);
		*r1 = gost_load_le32(src + kBlocks * 8 - 8);
		*r2 = gost_load_le32(src + kBlocks * 8 - 4);
		to_slices(x);
		for (int i = 0; i < 8; i++)
			x[i] = _mm256_xor_si256(x[i], top);
#pragma GCC unroll 16
		for (int i = 0; i < 32; i += 2) {
			half_round(x, x + 4, k[order[i]]);
			half_round(x + 4, x, k[order[i + 1]]);
		}
		/* the keystream block is n2 then n1 */
		__m256i out[8];
		for (int i = 0; i < 8; i++)
			out[i] = _mm256_xor_si256(x[(i + 4) & 7], top);
		from_slices(out);
		for (int i = 0; i < 8; i++)
			_mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 32 * i),
			                    _mm256_xor_si256(load(src + 32 * i), out[i]));
	}
	wipe(k, sizeof k);
}

} // namespace

extern "C" const GostEngine gost_engine_avx2 = {
        GOST_PATH_AVX2,        "avx2",  supported,  prepare, gost_avx2_blocks,
        gost_avx2_cfb_encrypt, kBlocks, cfb_decrypt};

#else

extern "C" const GostEngine gost_engine_avx2 = {GOST_PATH_AVX2, "avx2",  nullptr, nullptr,
                                                nullptr,        nullptr, 0,       nullptr};

#endif
