// The hexadecimal text form in both directions.
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <string>

#include "support/hex.h"
#include "utils.h"

using draxel::test::Bytes;
using draxel::test::to_hex;

namespace {

// Mes2Bin of text into a buffer of 0xEE bytes, given as hex.
std::string decoded(const std::string& text, unsigned long expected_count, unsigned long len)
{
	Bytes out(4, 0xEE);
	EXPECT_EQ(Mes2Bin(text.c_str(), len, out.data()), expected_count) << text;
	return to_hex(out);
}

std::string decoded(const std::string& text, unsigned long expected_count)
{
	return decoded(text, expected_count, text.size());
}

TEST(HexText, BinaryIsWrittenInUpperCaseWithItsNul)
{
	BYTE bin[] = {0x00, 0xAB, 0x7F};
	char text[9] = "########";
	EXPECT_EQ(Bin2Mes(bin, 3, nullptr), 7u);
	EXPECT_EQ(Bin2Mes(bin, 3, text), 7u);
	EXPECT_EQ(std::string(text, 8), std::string("00AB7F\0#", 8));
	EXPECT_EQ(Bin2Mes(bin, 0, text), 1u);
	EXPECT_STREQ(text, "");
	EXPECT_EQ(Bin2Mes(bin, ULONG_MAX / 2, text), 0u) << "a size an int cannot carry";
	EXPECT_EQ(text[1], '0');

	char two[5] = "####";
	EXPECT_EQ(Data2Hex(two, bin, -1), 1);
	EXPECT_EQ(std::string(two, 4), std::string("\0###", 4));
}

TEST(HexText, EveryByteSurvivesTheRoundTripInEitherCase)
{
	Bytes all = draxel::test::counting(256);
	std::string text(513, '\0');
	ASSERT_EQ(Bin2Mes(all.data(), all.size(), text.data()), 513u);
	text.pop_back();
	for (int pass = 0; pass < 2; pass++) {
		Bytes back(256);
		EXPECT_EQ(Mes2Bin(text.c_str(), text.size(), nullptr), 256u);
		EXPECT_EQ(Mes2Bin(text.c_str(), text.size(), back.data()), 256u);
		EXPECT_EQ(back, all);
		for (char& c : text)
			c = static_cast<char>(tolower(c));
	}
}

TEST(HexText, BlanksAndTabsBetweenPairsAreSkipped)
{
	EXPECT_EQ(decoded(" 00 AB\t7F ", 3), "00AB7FEE");
	EXPECT_EQ(decoded("AABB", 1, 1), "AAEEEEEE") << "mes_len bounds the bytes produced";
}

TEST(HexText, InvalidTextGivesNothing)
{
	for (const char* text : {"ABC", "0G", "A B", "AB\nCD", "AB\xC3\xA9", "", "  "})
		EXPECT_EQ(decoded(text, 0), "EEEEEEEE") << text;
	EXPECT_EQ(decoded("AB", 0, ULONG_MAX), "EEEEEEEE") << "no memory for the temporary";
	EXPECT_EQ(Mes2Bin(nullptr, 4, nullptr), 0u);
	BYTE b = 0x5A;
	EXPECT_FALSE(Hex2Byte(&b, "7"));
	EXPECT_FALSE(Hex2Byte(&b, ""));
	EXPECT_EQ(b, 0x5A);
}

} // namespace
