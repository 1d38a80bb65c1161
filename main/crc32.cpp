/*
 * The CRC-32 unit: the checksum of messages and files, in crc32_app.
 */
#include "crc32.h"

#include <stddef.h>

#include <array>

#include "encrypt.h"
#include "gost_a.h"

/*
 * The running checksum lives in crc32_app so that a file can be checked
 * while it passes through the library chunk by chunk. Where the processor
 * multiplies carry-less, every byte goes through that path
 * (crc32_clmul.cpp), which reads no table indexed by the data. Otherwise
 * the bytes are fed sixteen at a time ("slicing by 16") through tables
 * derived from the byte-wise one, and the tail byte by byte.
 */

extern "C" {
uint32_t crc32_app;
}

namespace {

using CrcTable = std::array<uint32_t, 256>;

constexpr uint32_t kCrcPolynomial = 0xEDB88320; /* 0x04C11DB7 reflected */

/* Entry i: the register after feeding byte i into a register of 0. */
constexpr CrcTable make_crc32_table()
{
	CrcTable t{};
	for (uint32_t i = 0; i < 256; i++) {
		uint32_t c = i;
		for (int bit = 0; bit < 8; bit++)
			c = c & 1 ? c >> 1 ^ kCrcPolynomial : c >> 1;
		t[i] = c;
	}
	return t;
}

constexpr CrcTable crc32_table = make_crc32_table();
static_assert(crc32_table[1] == 0x77073096 && crc32_table[255] == 0x2D02EF8D);

/* slice[k][i]: the register after byte i followed by k zero bytes. Each
 * byte of a 16-byte group then takes one look-up that lands its share of
 * the register in place, and the look-ups are independent of each other. */
constexpr int kSlices = 16;

constexpr std::array<CrcTable, kSlices> make_slices()
{
	std::array<CrcTable, kSlices> s{};
	s[0] = crc32_table;
	for (int k = 1; k < kSlices; k++)
		for (int i = 0; i < 256; i++)
			s[k][i] = s[k - 1][i] >> 8 ^ crc32_table[s[k - 1][i] & 255];
	return s;
}

constexpr std::array<CrcTable, kSlices> slice = make_slices();

uint32_t crc32_update(uint32_t crc, const unsigned char *p, size_t n)
{
	if (crc32_clmul_available()) {
		if (n >= 64) {
			size_t bulk = n & ~static_cast<size_t>(15);
			crc = crc32_clmul(crc, p, bulk);
			p += bulk;
			n -= bulk;
		}
		return crc32_clmul_short(crc, p, n);
	}
	for (; n >= kSlices; n -= kSlices, p += kSlices) {
		/* bytes 4 to 15 do not depend on the register: they go first, so
		 * that only the first four look-ups wait for the last group */
		uint32_t rest = 0;
#pragma GCC unroll 12
		for (int i = 4; i < kSlices; i++)
			rest ^= slice[kSlices - 1 - i][p[i]];
		uint32_t head = crc ^ gost_load_le32(p);
		crc = (slice[kSlices - 1][head & 255] ^ slice[kSlices - 2][head >> 8 & 255]) ^
		      (slice[kSlices - 3][head >> 16 & 255] ^ slice[kSlices - 4][head >> 24]) ^
		      rest;
	}
	for (; n > 0; n--, p++)
		crc = crc32_table[(crc ^ *p) & 255] ^ crc >> 8;
	return crc;
}

} // namespace

extern "C" {

void StartCRC32Compat(void)
{
	crc32_app = 0xFFFFFFFF;
}

void AppendCRC32Compat(const unsigned char *buf, int len)
{
	if (buf != NULL && len > 0)
		crc32_app = crc32_update(crc32_app, buf, static_cast<size_t>(len));
}

unsigned int FinalizeCRC32Compat(void)
{
	crc32_app = ~crc32_app;
	return crc32_app;
}

void ContinueCRC32Compat(unsigned int from_crc)
{
	crc32_app = ~from_crc;
}

unsigned int CalcCRC32Compat(const unsigned char *buf, int len)
{
	if (buf == NULL || len <= 0)
		return 0;
	StartCRC32Compat();
	AppendCRC32Compat(buf, len);
	return FinalizeCRC32Compat();
}

unsigned int CalcFileCRC(const FileEncHeader *file_header, const BYTE *buf, int buf_size)
{
	if (file_header == NULL)
		return 0;
	StartCRC32Compat();
	AppendCRC32Compat(reinterpret_cast<const BYTE *>(file_header) + FILE_HEADER_CRC_OFFSET,
	                  FILE_HEADER_SIZE - FILE_HEADER_CRC_OFFSET);
	AppendCRC32Compat(buf, buf_size);
	return FinalizeCRC32Compat();
}

} // extern "C"
