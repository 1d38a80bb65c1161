// Selection, file access and token identity, command by command against a
// scripted token.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "draxel_lib.h"
#include "support/hex.h"
#include "support/scripted_token.h"

using draxel::test::Bytes;
using draxel::test::counting;
using draxel::test::from_hex;
using draxel::test::HostHandlerTest;
using draxel::test::to_hex;

namespace {

using Commands = std::vector<std::string>;
using SelectionTest = HostHandlerTest;

const BYTE kNoteFile[2] = {0xF2, 0x10};

TEST_F(SelectionTest, SelectApplicationSendsTheNameWithoutItsZero)
{
	token.reply("9000");
	token.reply("6A82");
	EXPECT_EQ(APDU_SelectApplication(record), 0u);
	EXPECT_EQ(APDU_SelectApplication(record), 5u);
	EXPECT_EQ(APDU_GetSW(record), 0x6A82);
	EXPECT_EQ(token.commands()[0], "00A4040C0A4D454B54415F50534348");

	token.reply_with_length("9000", 1);
	EXPECT_EQ(APDU_SelectApplication(record), 116u);
	EXPECT_EQ(APDU_SelectApplication(nullptr), 116u) << "no reader: the exchange refuses";
}

TEST_F(SelectionTest, SelectByIdentifier)
{
	EXPECT_EQ(APDU_Select(record, nullptr, 2), 3u);
	EXPECT_EQ(APDU_Select(record, kNoteFile, 0), 3u);
	EXPECT_TRUE(token.commands().empty());

	token.reply("6A82");
	EXPECT_EQ(APDU_Select(record, kNoteFile, 2), 5u);
	EXPECT_EQ(token.commands(), Commands{"00A4000C02F210"});
}

TEST_F(SelectionTest, SelectWithControlParametersTruncates)
{
	BYTE out[32] = {};
	int out_len = 4;
	token.reply("620A8002FF00820101830201009000");
	EXPECT_EQ(APDU_Select_FCP(record, kNoteFile, 2, out, &out_len), 0u);
	EXPECT_EQ(token.commands(), Commands{"00A40000" "02F210"});
	EXPECT_EQ(out_len, 4);
	EXPECT_EQ(to_hex(out, 4), "620A8002");

	out_len = 32;
	token.reply("6A82");
	EXPECT_EQ(APDU_Select_FCP(record, kNoteFile, 2, out, &out_len), 5u);
	EXPECT_EQ(out_len, 32);

	for (int bad : {0, -1}) {
		out_len = bad;
		EXPECT_EQ(APDU_Select_FCP(record, kNoteFile, 2, out, &out_len), 3u) << bad;
	}
	EXPECT_EQ(APDU_Select_FCP(record, kNoteFile, 2, out, nullptr), 3u);
	EXPECT_EQ(APDU_Select_FCP(record, kNoteFile, 2, nullptr, &out_len), 3u);
	EXPECT_EQ(token.commands().size(), 2u);
}

struct ReadCase {
	const char* reply;
	int capacity;
	std::string expected;
};

TEST_F(SelectionTest, ReadBinaryLocatesTheData)
{
	const std::string two_hundred = to_hex(counting(200));
	const ReadCase cases[] = {
		{"5381C8", 256, two_hundred},             // long-form 53 header
		{"53050102030405", 256, "0102030405"},     // short-form 53 header
		{"00112233445566778899", 256, "00112233445566778899"}, // no header
		{"00112233445566778899", 4, "00112233"},   // truncated to the caller
		{"53FF0102", 256, "0102"},                 // header claims more than arrived
		{"5381FF01", 256, "01"},
		{"5381", 256, ""},
		{"53", 256, ""},
		{"", 256, ""},
	};
	for (const ReadCase& c : cases) {
		std::string reply = c.reply;
		if (reply == "5381C8")
			reply += two_hundred;
		token.reply(reply + "9000");
		BYTE buf[256];
		int len = c.capacity;
		ASSERT_EQ(APDU_ReadBinary(record, buf, &len, 0x1234), 0u) << c.reply;
		EXPECT_EQ(to_hex(buf, static_cast<size_t>(len)), c.expected) << c.reply;
	}
	EXPECT_EQ(token.commands()[0], "00B10000045402" "1234");
}

TEST_F(SelectionTest, ReadBinaryFailuresHandNothingOut)
{
	BYTE buf[8] = {};
	int len = 8;
	token.reply("6B00");
	EXPECT_EQ(APDU_ReadBinary(record, buf, &len, 0x10000), 5u);
	EXPECT_EQ(token.commands()[0], "00B1000004540200" "00") << "bits above 16 are dropped";
	EXPECT_EQ(len, 8);
	token.reply_with_length("9000", 0);
	EXPECT_EQ(APDU_ReadBinary(record, buf, &len, 0), 116u);
	for (int bad : {0, -5}) {
		len = bad;
		EXPECT_EQ(APDU_ReadBinary(record, buf, &len, 0), 3u);
	}
	EXPECT_EQ(APDU_ReadBinary(record, nullptr, &len, 0), 3u);
	EXPECT_EQ(token.commands().size(), 2u);
}

TEST_F(SelectionTest, UpdateBinaryLengthForms)
{
	for (int n : {127, 128, 248}) {
		token.reply("9000");
		Bytes data = counting(static_cast<size_t>(n));
		ASSERT_EQ(APDU_UpdateBinary(record, data.data(), static_cast<BYTE>(n), 0x1234), 0u);
	}
	const auto& sent = token.commands();
	EXPECT_EQ(sent[0], "00D7000085" "5402123453" "7F" + to_hex(counting(127)));
	EXPECT_EQ(sent[1], "00D7000087" "5402123453" "8180" + to_hex(counting(128)));
	EXPECT_EQ(sent[2].size(), 2u * 260) << "248 bytes make a 260-byte command";
	EXPECT_EQ(sent[2].substr(0, 24), "00D70000FF" "540212345381F8");

	Bytes big = counting(249);
	EXPECT_EQ(APDU_UpdateBinary(record, big.data(), 249, 0), 3u);
	EXPECT_EQ(APDU_UpdateBinary(record, big.data(), 0, 0), 3u);
	EXPECT_EQ(APDU_UpdateBinary(record, nullptr, 4, 0), 3u);
	EXPECT_EQ(token.commands().size(), 3u);
}

TEST_F(SelectionTest, ChallengeReturnsTheTransportCode)
{
	BYTE buf[64];
	token.reply(to_hex(counting(32)) + "9000");
	EXPECT_EQ(APDU_GetChallenge(record, buf, 32), 0u);
	EXPECT_EQ(token.commands().back(), "0084000020");
	EXPECT_EQ(buf[31], 31);

	token.reply(to_hex(counting(40)) + "9000");
	EXPECT_EQ(APDU_GetChallenge(record, buf, 32), DRAXEL_TR_BAD_ARGUMENT) << "more than asked";
	token.reply("6A81");
	EXPECT_EQ(APDU_GetChallenge(record, buf, 32), DRAXEL_TR_STATUS_WORD);
	token.reply_with_length("9000", 1);
	EXPECT_EQ(APDU_GetChallenge(record, buf, 32), DRAXEL_TR_FAILURE) << "not 116";
	EXPECT_EQ(APDU_GetChallenge(record, buf, -1), 3u);
}

TEST_F(SelectionTest, SerialNumberIsSevenBytes)
{
	BYTE sn[16] = {};
	EXPECT_EQ(APDU_GetSN(record, sn, 6), 3u);
	EXPECT_EQ(APDU_GetSN(record, nullptr, 7), 3u);

	token.reply("010203040506079000");
	EXPECT_EQ(APDU_GetSN(record, sn, 7), 0u);
	EXPECT_EQ(token.commands().back(), "80FE060000") << "host tokens take the T=0 form";

	token.reply("6C09");
	token.reply("0A0B0C0D0E0F1011129000");
	EXPECT_EQ(APDU_GetSN(record, sn, 16), 0u);
	EXPECT_EQ(token.commands().back(), "80FE060009");
	EXPECT_EQ(to_hex(sn, 8), "0A0B0C0D0E0F1000") << "only 7 bytes are copied";

	token.reply("0102030405069000");
	EXPECT_EQ(APDU_GetSN(record, sn, 7), 1u);
	token.reply("6982");
	EXPECT_EQ(APDU_GetSN(record, sn, 7), 5u);
}

TEST_F(SelectionTest, CardModelNeedsMoreThanTheTag)
{
	int model = 7;
	token.reply("8007" "535432334C3830" "9000");
	EXPECT_EQ(APDU_GetCardModel(record, &model), 0u);
	EXPECT_EQ(model, 0) << "exactly the 9 bytes leave the model at 0";
	token.reply("8007" "535432334C3830" "00" "9000");
	EXPECT_EQ(APDU_GetCardModel(record, &model), 0u);
	EXPECT_EQ(model, ST23_L80_MODEL);
	EXPECT_EQ(token.commands().back(), "80FE000000");

	token.reply("6D00");
	model = 7;
	EXPECT_EQ(APDU_GetCardModel(record, &model), DRAXEL_TR_STATUS_WORD);
	EXPECT_EQ(model, 0);
	EXPECT_EQ(APDU_GetCardModel(record, nullptr), 3u);
}

TEST_F(SelectionTest, CardVersionFromTheVersionFile)
{
	int version = -1;
	token.reply("6A82");
	EXPECT_EQ(APDU_GetCardVer(record, &version), 0u);
	EXPECT_EQ(version, 0) << "no version file";

	token.reply("9000");
	token.reply("00049000");
	EXPECT_EQ(APDU_GetCardVer(record, &version), 0u);
	EXPECT_EQ(version, 4);
	EXPECT_EQ(token.commands()[1], "00A4000C02F140");
	EXPECT_EQ(token.commands()[2], "00B0000000");

	token.reply("9000");
	token.reply("FFFE9000");
	EXPECT_EQ(APDU_GetCardVer(record, &version), 0u);
	EXPECT_EQ(version, 0xFFFE);

	token.reply("9000");
	token.reply("0004019000");
	EXPECT_EQ(APDU_GetCardVer(record, &version), 116u) << "three bytes";
	token.reply("9000");
	token.reply("6982");
	EXPECT_EQ(APDU_GetCardVer(record, &version), 116u);
	EXPECT_EQ(APDU_GetCardVer(record, nullptr), 3u);
}

} // namespace
