/*
 * The CRC-32 of long runs by carry-less multiplication: 64 bytes at a time
 * are folded into four 128-bit accumulators, which are then folded into one
 * and reduced to 32 bits (Barrett). The constants are powers of x modulo the
 * reflected polynomial 0xEDB88320. What is left, and runs too short to fold,
 * go four bytes at a time through one Barrett reduction each: no table is
 * indexed by the data where the processor multiplies carry-less.
 *
 * Where the processor multiplies four pairs in one 512-bit instruction, the
 * accumulators are four 512-bit ones, 256 bytes at a time: the file CRC,
 * computed beside the wide CFB decipherment, then costs it a few percent.
 */
#include "crc32.h"

#include <stdlib.h>
#include <string.h>

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace {

#define CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))
#define WIDE_TARGET __attribute__((target("avx512f,vpclmulqdq,pclmul,sse4.1")))

alignas(16) const uint64_t k1k2[2] = {0x0154442bd4, 0x01c6e41596};
alignas(16) const uint64_t k3k4[2] = {0x01751997d0, 0x00ccaa009e};
alignas(16) const uint64_t k5k0[2] = {0x0163cd6124, 0x0000000000};
alignas(16) const uint64_t poly[2] = {0x01db710641, 0x01f7011641};
/* x^(2048 + 32), x^(2048 - 32): accumulators 256 bytes apart */
alignas(16) const uint64_t k256[2] = {0x011542778a, 0x01322d1430};

CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next)
{
	__m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
	__m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
	return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

inline __m128i load(const unsigned char *p)
{
	return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

[[gnu::always_inline]] CLMUL_TARGET inline uint32_t reduce(__m128i x1)
{
	const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
	__m128i k = _mm_load_si128(reinterpret_cast<const __m128i *>(k3k4));
	__m128i x2 = _mm_clmulepi64_si128(x1, k, 0x10);
	x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
	k = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(k5k0));
	x2 = _mm_srli_si128(x1, 4);
	x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x00), x2);
	k = _mm_load_si128(reinterpret_cast<const __m128i *>(poly));
	x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x10);
	x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low32), k, 0x00);
	return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x2), 1));
}

/* v x^32 modulo the polynomial (Barrett): the register after feeding the
 * four bytes of v into a register of 0. */
CLMUL_TARGET inline uint32_t times_x32(uint32_t v)
{
	const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
	const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i *>(poly));
	__m128i x1 = _mm_cvtsi32_si128(static_cast<int>(v));
	__m128i x2 = _mm_clmulepi64_si128(x1, k, 0x10);
	x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low32), k, 0x00);
	return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x2), 1));
}

/* Four accumulators 16 bytes apart into one, the rest of len (a multiple
 * of 16) folded in, reduced. Inlined, so that the wide path runs it in its
 * own encoding: legacy SSE code behind 512-bit code pays on every
 * instruction. */
[[gnu::always_inline]] CLMUL_TARGET inline uint32_t
finish(__m128i x1, __m128i x2, __m128i x3, __m128i x4, const unsigned char *buf, size_t len)
{
	const __m128i k34 = _mm_load_si128(reinterpret_cast<const __m128i *>(k3k4));
	x1 = fold(x1, k34, x2);
	x1 = fold(x1, k34, x3);
	x1 = fold(x1, k34, x4);
	for (; len >= 16; buf += 16, len -= 16)
		x1 = fold(x1, k34, load(buf));
	return reduce(x1);
}

CLMUL_TARGET uint32_t clmul_128(uint32_t crc, const unsigned char *buf, size_t len)
{
	const __m128i k12 = _mm_load_si128(reinterpret_cast<const __m128i *>(k1k2));
	__m128i x1 = _mm_xor_si128(load(buf), _mm_cvtsi32_si128(static_cast<int>(crc)));
	__m128i x2 = load(buf + 16), x3 = load(buf + 32), x4 = load(buf + 48);
	buf += 64;
	len -= 64;
	for (; len >= 64; buf += 64, len -= 64) {
		x1 = fold(x1, k12, load(buf));
		x2 = fold(x2, k12, load(buf + 16));
		x3 = fold(x3, k12, load(buf + 32));
		x4 = fold(x4, k12, load(buf + 48));
	}
	return finish(x1, x2, x3, x4, buf, len);
}

WIDE_TARGET inline __m512i fold_wide(__m512i x, __m512i k, __m512i next)
{
	__m512i lo = _mm512_clmulepi64_epi128(x, k, 0x00);
	__m512i hi = _mm512_clmulepi64_epi128(x, k, 0x11);
	return _mm512_ternarylogic_epi64(lo, hi, next, 0x96); /* lo ^ hi ^ next */
}

WIDE_TARGET inline __m512i broadcast(const uint64_t *k)
{
	return _mm512_set_epi64(static_cast<long long>(k[1]), static_cast<long long>(k[0]),
	                        static_cast<long long>(k[1]), static_cast<long long>(k[0]),
	                        static_cast<long long>(k[1]), static_cast<long long>(k[0]),
	                        static_cast<long long>(k[1]), static_cast<long long>(k[0]));
}

/* len at least 256: four 64-byte accumulators, folded on 256 bytes at a
 * time and then into one, whose 128-bit lanes finish as clmul_128's four
 * accumulators do. */
WIDE_TARGET uint32_t clmul_512(uint32_t crc, const unsigned char *buf, size_t len)
{
	__m512i x[4];
	for (int i = 0; i < 4; i++)
		x[i] = _mm512_loadu_si512(buf + 64 * i);
	x[0] = _mm512_xor_si512(x[0],
	                        _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
	const __m512i k4 = broadcast(k256), k1 = broadcast(k1k2);
	for (buf += 256, len -= 256; len >= 256; buf += 256, len -= 256)
		for (int i = 0; i < 4; i++)
			x[i] = fold_wide(x[i], k4, _mm512_loadu_si512(buf + 64 * i));
	__m512i y = fold_wide(fold_wide(fold_wide(x[0], k1, x[1]), k1, x[2]), k1, x[3]);
	for (; len >= 64; buf += 64, len -= 64)
		y = fold_wide(y, k1, _mm512_loadu_si512(buf));
	alignas(64) __m128i lane[4];
	_mm512_store_si512(lane, y);
	return finish(lane[0], lane[1], lane[2], lane[3], buf, len);
}

bool wide_available()
{
	static const bool cpu =
	        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq");
	return cpu;
}

bool cpu_has_clmul()
{
	__builtin_cpu_init();
	return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

bool clmul_enabled = cpu_has_clmul() && getenv("DRAXEL_NO_SIMD") == NULL;

} // namespace

extern "C" bool crc32_clmul_available(void)
{
	return clmul_enabled;
}

extern "C" bool crc32_use_clmul(bool on)
{
	clmul_enabled = on && cpu_has_clmul();
	return clmul_enabled == on;
}

extern "C" uint32_t crc32_clmul(uint32_t crc, const unsigned char *buf, size_t len)
{
	return len >= 256 && wide_available() ? clmul_512(crc, buf, len) : clmul_128(crc, buf, len);
}

/* Four bytes at a time, and the last one to three bytes as the low bytes of
 * a word whose other bytes the register shifts out. */
extern "C" CLMUL_TARGET uint32_t crc32_clmul_short(uint32_t crc, const unsigned char *buf,
                                                   size_t len)
{
	for (; len >= 4; len -= 4, buf += 4) {
		uint32_t w;
		memcpy(&w, buf, 4);
		crc = times_x32(crc ^ w);
	}
	if (len > 0) {
		uint32_t w = 0;
		memcpy(&w, buf, len);
		const unsigned bits = 8 * static_cast<unsigned>(len);
		crc = crc >> bits ^ times_x32((crc ^ w) << (32 - bits));
	}
	return crc;
}

#else

extern "C" bool crc32_clmul_available(void)
{
	return false;
}

extern "C" bool crc32_use_clmul(bool on)
{
	return !on;
}

extern "C" uint32_t crc32_clmul(uint32_t crc, const unsigned char *, size_t)
{
	return crc;
}

extern "C" uint32_t crc32_clmul_short(uint32_t crc, const unsigned char *, size_t)
{
	return crc;
}

#endif
