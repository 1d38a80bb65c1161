// The library's internal units: the recorded error code, its text for the
// host and the status words that refine a refused exchange; the hexadecimal
// text form in both directions.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "support/hex.h"
#include "support/scripted_token.h"
#include "utils.h"

using draxel::test::Bytes;
using draxel::test::to_hex;

namespace {

const std::string kUnknown = "Неизвестная ошибка.";

class ErrorTest : public draxel::test::HostHandlerTest {
protected:
	void SetUp() override
	{
		HostHandlerTest::SetUp();
		saved = cur_context;
		cur_context = LogicDLLContext{};
	}
	void TearDown() override
	{
		cur_context = saved;
		HostHandlerTest::TearDown();
	}
	// The text of code, read into a buffer of exactly the queried size.
	std::string message(unsigned long code)
	{
		cur_context.error = code;
		int needed = -1;
		EXPECT_EQ(GetError(nullptr, &needed), 0u);
		std::vector<char> buf(static_cast<size_t>(needed) + 1, '#');
		int len = needed;
		EXPECT_EQ(GetError(buf.data(), &len), 0u);
		EXPECT_EQ(len, needed);
		EXPECT_EQ(buf.back(), '#') << "wrote past the text's NUL";
		EXPECT_EQ(strlen(buf.data()) + 1, static_cast<size_t>(needed));
		return std::string(buf.data());
	}
	// The code SetError records for transport code 5 after the token said sw.
	unsigned long refused_with(const char *sw)
	{
		token.reply(sw);
		auto cmd = draxel::test::from_hex("00A4000C02F140");
		EXPECT_EQ(Transmit(cmd.data(), cmd.size(), nullptr, nullptr, record), 5u);
		return SetError(5, record);
	}
	LogicDLLContext saved{};
};

// Each of the library's codes has a text of its own; the wrong-password
// codes carry the attempts left; any other code is the unknown error.
TEST_F(ErrorTest, EveryCodeGivesItsText)
{
	std::set<std::string> texts;
	for (unsigned long code : {102, 104, 108, 109, 110, 111, 112, 113, 114, 115, 116, 117, 118,
	                           119, 120, 121, 122, 126}) {
		std::string text = message(code);
		EXPECT_EQ(text.rfind("Ошибка: ", 0), 0u) << code << ": " << text;
		EXPECT_TRUE(texts.insert(text).second) << code << ": the text of another code";
	}
	EXPECT_EQ(message(0), "OK");
	// two blanks before the count of attempts left
	EXPECT_EQ(message(140), "Ошибка: Неверный пароль. Осталось попыток:  0");
	EXPECT_EQ(message(143), "Ошибка: Неверный пароль. Осталось попыток:  3");
	EXPECT_EQ(message(155), "Ошибка: Неверный пароль. Осталось попыток:  15");
	for (unsigned long code : {1ul, 5ul, 8ul, 101ul, 103ul, 106ul, 123ul, 124ul, 125ul, 127ul,
	                           139ul, 156ul, 0x8010001Dul, ~0ul})
		EXPECT_EQ(message(code), kUnknown) << code;
	cur_context.error = 113;
	int len = 0;
	EXPECT_EQ(GetError(nullptr, &len), 0u);
	EXPECT_EQ(cur_context.error, 113u) << "reading the text keeps the code";
}

TEST_F(ErrorTest, ShortOrMissingSizeFailsAndIsRecorded)
{
	cur_context.error = 113;
	char buf[209] = "#";
	int len = 208;
	EXPECT_EQ(GetError(buf, &len), 106u);
	EXPECT_EQ(len, 208);
	EXPECT_STREQ(buf, "#");
	len = sizeof buf;
	EXPECT_EQ(GetError(buf, &len), 0u);
	EXPECT_EQ(buf, kUnknown) << "106 is now the recorded code";
	EXPECT_EQ(len, static_cast<int>(kUnknown.size()) + 1);

	cur_context.error = 0;
	len = -1;
	EXPECT_EQ(GetError(buf, &len), 106u);
	EXPECT_EQ(GetError(buf, nullptr), 102u);
	EXPECT_EQ(cur_context.error, 102u);
	cur_context.error = 0;
	EXPECT_EQ(GetError(nullptr, nullptr), 102u);
	EXPECT_EQ(cur_context.error, 102u);
}

TEST_F(ErrorTest, RefusedStatusWordIsMappedOtherCodesAreStoredAsTheyCome)
{
	EXPECT_EQ(refused_with("6982"), 104u);
	EXPECT_EQ(refused_with("63C0"), 113u);
	EXPECT_EQ(refused_with("6A83"), 114u);
	EXPECT_EQ(refused_with("6A82"), 120u);
	EXPECT_EQ(refused_with("63C3"), 120u);
	EXPECT_EQ(SetError(5, nullptr), 120u);
	for (unsigned long code : {1ul, 8ul, 116ul, 143ul, 0x8010001Dul}) {
		EXPECT_EQ(SetError(code, record), code);
		EXPECT_EQ(cur_context.error, code);
	}
	ClearError();
	EXPECT_EQ(cur_context.error, 0u);

	// the code of the last group exchange is the command layer's, not the
	// context's
	unsigned long kept = last_error;
	last_error = 7;
	SetError(116, record);
	EXPECT_EQ(GetLastErrorCode(), 7u);
	last_error = kept;
}

// The hex text form's edges; the round trips of every byte value in either
// case run through the messages, join texts and duplicates.
TEST(HexText, EdgesOfBothDirections)
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

	// Mes2Bin into a buffer of 0xEE bytes: what it produced, as hex
	auto decoded = [](const std::string &hex, unsigned long count, unsigned long len) {
		Bytes out(4, 0xEE);
		EXPECT_EQ(Mes2Bin(hex.c_str(), len, out.data()), count) << hex;
		return to_hex(out);
	};
	EXPECT_EQ(decoded(" 00 AB\t7F ", 3, 10), "00AB7FEE");
	EXPECT_EQ(decoded("AABB", 1, 1), "AAEEEEEE") << "mes_len bounds the bytes produced";
	for (const std::string bad :
	     {"ABC", "0G", "A B", "AB\nCD", "AB-CD", "AB:CD", "AB\xC3\xA9", "", "  "})
		EXPECT_EQ(decoded(bad, 0, bad.size()), "EEEEEEEE") << bad;
	EXPECT_EQ(decoded("AB", 0, ULONG_MAX), "EEEEEEEE") << "no memory for the temporary";
	EXPECT_EQ(Mes2Bin(nullptr, 4, nullptr), 0u);
	BYTE b = 0x5A;
	EXPECT_FALSE(Hex2Byte(&b, "7"));
	EXPECT_FALSE(Hex2Byte(&b, ""));
	EXPECT_EQ(b, 0x5A);
}

} // namespace
