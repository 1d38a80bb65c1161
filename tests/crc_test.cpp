// CRC-32 against zlib's crc32, fed whole, in pieces and resumed.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>

#include "draxel_lib.h"

namespace {

std::mt19937 rng(802);

std::vector<uint8_t> random_bytes(size_t n)
{
	std::vector<uint8_t> b(n);
	std::generate(b.begin(), b.end(), [] { return static_cast<uint8_t>(rng()); });
	return b;
}

uint32_t zlib_crc(const uint8_t* p, size_t n)
{
	return static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(n)));
}

TEST(Crc32, CheckValueAndNothingToFeed)
{
	const unsigned char digits[] = "123456789";
	EXPECT_EQ(CalcCRC32Compat(digits, 9), 0xCBF43926u);
	EXPECT_EQ(crc32_app, 0xCBF43926u);
	StartCRC32Compat();
	EXPECT_EQ(FinalizeCRC32Compat(), 0u) << "the CRC of no bytes";

	crc32_app = 0x12345678;
	EXPECT_EQ(CalcCRC32Compat(digits, 0), 0u);
	EXPECT_EQ(CalcCRC32Compat(digits, -9), 0u);
	EXPECT_EQ(CalcCRC32Compat(nullptr, 9), 0u);
	AppendCRC32Compat(digits, 0);
	AppendCRC32Compat(digits, -1);
	AppendCRC32Compat(nullptr, 9);
	EXPECT_EQ(crc32_app, 0x12345678u);
}

TEST(Crc32, MatchesZlibHoweverTheDataIsSplitAndResumed)
{
	for (int round = 0; round < 300; round++) {
		std::vector<uint8_t> data = random_bytes(rng() % 3000);
		size_t resume_at = rng() % (data.size() + 1);
		StartCRC32Compat();
		for (size_t pos = 0, n; pos < data.size(); pos += n) {
			n = std::min<size_t>(rng() % 100, data.size() - pos);
			if (pos <= resume_at && resume_at < pos + n) { // finish, then go on from the CRC
				AppendCRC32Compat(&data[pos], static_cast<int>(resume_at - pos));
				ContinueCRC32Compat(FinalizeCRC32Compat());
				AppendCRC32Compat(&data[resume_at], static_cast<int>(pos + n - resume_at));
			} else {
				AppendCRC32Compat(&data[pos], static_cast<int>(n));
			}
		}
		ASSERT_EQ(FinalizeCRC32Compat(), zlib_crc(data.data(), data.size())) << data.size();
	}
}

TEST(Crc32, FileCrcCoversTheHeaderFromFlagOnwardsAndTheData)
{
	FileEncHeader header;
	std::vector<uint8_t> raw = random_bytes(sizeof header), data = random_bytes(500);
	std::memcpy(&header, raw.data(), sizeof header);
	std::vector<uint8_t> covered(raw.begin() + 4, raw.end());
	covered.insert(covered.end(), data.begin(), data.end());

	EXPECT_EQ(CalcFileCRC(&header, data.data(), 500), zlib_crc(covered.data(), covered.size()));
	EXPECT_EQ(CalcFileCRC(&header, data.data(), -1), zlib_crc(&raw[4], 44));
	header.crc32 ^= 0xFFFF;
	EXPECT_EQ(CalcFileCRC(&header, nullptr, 0), zlib_crc(&raw[4], 44));
	header.reserved[5] ^= 1;
	EXPECT_NE(CalcFileCRC(&header, nullptr, 0), zlib_crc(&raw[4], 44));

	crc32_app = 0x12345678;
	EXPECT_EQ(CalcFileCRC(nullptr, data.data(), 500), 0u);
	EXPECT_EQ(crc32_app, 0x12345678u);
}

} // namespace
