// The APDU exchange and the reader operations in host-handler mode, command
// by command against a scripted token.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "draxel_lib.h"
#include "support/hex.h"
#include "support/scripted_token.h"

using draxel::test::Bytes;
using draxel::test::from_hex;
using draxel::test::HostHandlerTest;
using draxel::test::to_hex;

namespace {

using Commands = std::vector<std::string>;

class ExchangeTest : public HostHandlerTest {
protected:
	// Sends a command written as hex; the data land in `data`.
	unsigned long send(std::string_view hex, unsigned long capacity = 256)
	{
		Bytes cmd = from_hex(hex);
		data.assign(capacity, 0xEE);
		size = capacity;
		unsigned long rc = Transmit(cmd.data(), cmd.size(), data.data(), &size, record);
		return rc;
	}
	std::string received() const { return to_hex(data.data(), std::min<size_t>(size, data.size())); }

	Bytes data;
	unsigned long size = 0;
};

TEST_F(ExchangeTest, SuccessAloneGivesNoData)
{
	token.reply("9000");
	EXPECT_EQ(send("00A4040C0A4D454B54415F50534348"), 0u);
	EXPECT_EQ(size, 0u);
	EXPECT_EQ(GetSW(record), 0x9000);
	EXPECT_EQ(token.commands(), Commands{"00A4040C0A4D454B54415F50534348"});
}

TEST_F(ExchangeTest, DataAreHandedOutWithoutStatusWord)
{
	token.reply("0102039000");
	EXPECT_EQ(send("00B0000003"), 0u);
	EXPECT_EQ(received(), "010203");
	EXPECT_EQ(ReaderGetLastError(record), 0u);
}

TEST_F(ExchangeTest, RefusalKeepsStatusWordAndCopiesNothing)
{
	token.reply("6A82");
	EXPECT_EQ(send("00A4000C02F140"), DRAXEL_TR_STATUS_WORD);
	EXPECT_EQ(GetSW(record), 0x6A82);
	EXPECT_EQ(size, 256u);
	EXPECT_EQ(data[0], 0xEE);
}

TEST_F(ExchangeTest, DataWithWarningOrWaitingBytesAreNotDelivered)
{
	token.reply("AABB6283");
	token.reply("AABB6110");
	EXPECT_EQ(send("00B0000002"), DRAXEL_TR_STATUS_WORD);
	EXPECT_EQ(GetSW(record), 0x6283);
	EXPECT_EQ(send("00B0000002"), DRAXEL_TR_STATUS_WORD);
	EXPECT_EQ(GetSW(record), 0x6110);
	EXPECT_EQ(data[0], 0xEE);
	EXPECT_EQ(token.commands().size(), 2u) << "no follow-up after a reply that carried data";
}

TEST_F(ExchangeTest, BytesWaitingAreFetchedWithinTheCallersCapacity)
{
	token.reply("6110");
	token.reply("0001020304050607" "9000");
	EXPECT_EQ(send("802A868003AABBCC", 8), 0u);
	EXPECT_EQ(token.commands(), (Commands{"802A868003AABBCC", "00C0000008"}));
	EXPECT_EQ(received(), "0001020304050607");

	token.reply("6110");
	token.reply("9000");
	EXPECT_EQ(send("802A868001AA", 0), 0u);
	EXPECT_EQ(token.commands().back(), "00C0000010") << "capacity 0 asks for SW2";
}

TEST_F(ExchangeTest, BytesWaitingWithoutSizeArgumentAskForSw2)
{
	token.reply("6110");
	token.reply("9000");
	Bytes cmd = from_hex("802A868001AA");
	EXPECT_EQ(Transmit(cmd.data(), cmd.size(), nullptr, nullptr, record), 0u);
	EXPECT_EQ(token.commands().back(), "00C0000010");
}

TEST_F(ExchangeTest, WrongLengthReissuesHeaderWithoutData)
{
	token.reply("6C20");
	token.reply(to_hex(draxel::test::counting(0x20)) + "9000");
	EXPECT_EQ(send("00B0000000"), 0u);
	EXPECT_EQ(token.commands().back(), "00B0000020");
	EXPECT_EQ(size, 0x20u);

	token.reply("6C20");
	token.reply("AABB9000");
	EXPECT_EQ(send("80F0900002AABB", 0x10), 0u);
	EXPECT_EQ(token.commands().back(), "80F0900010") << "smaller capacity wins, data not resent";
}

TEST_F(ExchangeTest, ZeroSw2AsksFor256Bytes)
{
	token.reply("6100");
	token.reply(to_hex(draxel::test::counting(256)) + "9000");
	EXPECT_EQ(send("80F2000000"), 0u);
	EXPECT_EQ(token.commands().back(), "00C0000000");
	EXPECT_EQ(size, 256u);
}

TEST_F(ExchangeTest, FollowUpAnswersDecideTheOutcome)
{
	token.reply("6104");
	token.reply("AABBCCDD6102");
	EXPECT_EQ(send("80F0900001AA"), 0u) << "a second 61xx is accepted";
	EXPECT_EQ(received(), "AABBCCDD");
	EXPECT_EQ(GetSW(record), 0x6102);
	EXPECT_EQ(token.commands().size(), 2u) << "there is never a third command";

	token.reply("6104");
	token.reply("6C04");
	EXPECT_EQ(send("80F0900001AA"), DRAXEL_TR_STATUS_WORD);
	EXPECT_EQ(GetSW(record), 0x6C04);

	token.reply("6C04");
	token.reply("6982");
	EXPECT_EQ(send("80F0900001AA"), DRAXEL_TR_STATUS_WORD);
	EXPECT_EQ(GetSW(record), 0x6982);
}

TEST_F(ExchangeTest, BufferOneByteShortCopiesNothing)
{
	token.reply("010203049000");
	EXPECT_EQ(send("00B0000004", 3), DRAXEL_TR_BAD_ARGUMENT);
	EXPECT_EQ(size, 3u);
	EXPECT_EQ(data[0], 0xEE);
	EXPECT_EQ(GetSW(record), 0x9000);
}

TEST_F(ExchangeTest, NullReceiveBufferDropsTheData)
{
	token.reply("01029000");
	Bytes cmd = from_hex("00B0000002");
	unsigned long untouched = 77;
	EXPECT_EQ(Transmit(cmd.data(), cmd.size(), nullptr, &untouched, record), 0u);
	EXPECT_EQ(untouched, 77u);
}

TEST_F(ExchangeTest, HeaderOnlyCommandIsSentAsIs)
{
	token.reply("9000");
	EXPECT_EQ(send("80FE0000"), 0u);
	EXPECT_EQ(token.commands(), Commands{"80FE0000"});
}

TEST_F(ExchangeTest, MalformedArgumentsSendNothing)
{
	Bytes cmd = from_hex("00A4040C");
	unsigned long size_arg = 10;
	EXPECT_EQ(Transmit(cmd.data(), 3, nullptr, &size_arg, record), DRAXEL_TR_BAD_ARGUMENT);
	EXPECT_EQ(Transmit(cmd.data(), 4, nullptr, &size_arg, nullptr), DRAXEL_TR_BAD_ARGUMENT);
	EXPECT_EQ(Transmit(nullptr, 4, nullptr, &size_arg, record), DRAXEL_TR_BAD_ARGUMENT);
	Bytes long_cmd(DRAXEL_MAX_COMMAND + 1, 0x00);
	EXPECT_EQ(Transmit(long_cmd.data(), long_cmd.size(), nullptr, &size_arg, record),
	          DRAXEL_TR_BAD_ARGUMENT);
	EXPECT_TRUE(token.commands().empty());

	token.reply("9000");
	Bytes longest(DRAXEL_MAX_COMMAND, 0x00);
	EXPECT_EQ(Transmit(longest.data(), longest.size(), nullptr, nullptr, record), 0u);
}

TEST_F(ExchangeTest, HandlerReplyLengthOutsideTheBufferIsAFailure)
{
	token.reply("9000");
	Transmit(from_hex("00A4040C").data(), 4, nullptr, nullptr, record);
	ASSERT_EQ(GetSW(record), 0x9000);

	for (int bad : {-1, 0, 1, DRAXEL_MAX_REPLY + 1, 1 << 30}) {
		token.reply_with_length("6A82", bad);
		EXPECT_EQ(send("00B0000002"), DRAXEL_TR_FAILURE) << "length " << bad;
		EXPECT_EQ(ReaderGetLastError(record), 1u);
		EXPECT_EQ(GetSW(record), 0x9000) << "a failed exchange keeps the earlier status word";
	}
	token.reply("9000");
	EXPECT_EQ(send("00B0000000"), 0u);
	EXPECT_EQ(ReaderGetLastError(record), 0u);
}

TEST_F(ExchangeTest, FullLengthReplyIsDelivered)
{
	token.reply(to_hex(draxel::test::counting(256)) + "9000");
	EXPECT_EQ(send("00B0000000"), 0u);
	EXPECT_EQ(size, 256u);
	EXPECT_EQ(data[255], 0xFF);
}

TEST_F(HostHandlerTest, ConnectionOperationsDoNothing)
{
	EXPECT_TRUE(IsReaderMektaFunc());
	EXPECT_EQ(OpenReaderContext(0), 0u);
	EXPECT_EQ(hSC, 0);
	char list[8] = "keep";
	unsigned long list_size = 5;
	EXPECT_EQ(ListReaders(list, &list_size), 0u);
	EXPECT_STREQ(list, "keep");
	EXPECT_EQ(list_size, 5u);
	EXPECT_EQ(OpenReader("Some Reader", record, false), 0u);
	EXPECT_FALSE(IsCurrentReader(record, "Some Reader")) << "host records carry no name";
	EXPECT_EQ(IsCardPowered(record), 0u);
	EXPECT_TRUE(IsReaderProtocolT0(record));
	EXPECT_EQ(CloseReader(record), 0u);
	EXPECT_EQ(CloseReaderContext(), 0u);
	EXPECT_TRUE(token.commands().empty());
}

TEST(ReaderRecord, NullHandlesAreHarmless)
{
	InitTransportLib(nullptr);
	EXPECT_FALSE(IsReaderMektaFunc());
	FreeReaderStruct(nullptr);
	EXPECT_EQ(GetSW(nullptr), 0);
	EXPECT_EQ(ReaderGetLastError(nullptr), 0u);
	EXPECT_FALSE(IsReaderProtocolT0(nullptr));
	EXPECT_FALSE(IsCurrentReader(nullptr, "x"));
	EXPECT_EQ(CloseReader(nullptr), DRAXEL_TR_BAD_ARGUMENT);
	EXPECT_EQ(IsCardPowered(nullptr), DRAXEL_TR_BAD_ARGUMENT);
}

TEST(ReaderRecord, NamesAndUnconnectedOperations)
{
	InitTransportLib(nullptr);
	ReaderStructPtr named = AllocReaderStruct("Reader A");
	ReaderStructPtr unnamed = AllocReaderStruct(nullptr);
	EXPECT_TRUE(IsCurrentReader(named, "Reader A"));
	EXPECT_FALSE(IsCurrentReader(named, "reader a"));
	EXPECT_FALSE(IsCurrentReader(named, nullptr));
	EXPECT_FALSE(IsCurrentReader(unnamed, "Reader A"));

	hSC = 0;
	EXPECT_EQ(OpenReader(nullptr, unnamed, false), DRAXEL_TR_BAD_ARGUMENT);
	EXPECT_EQ(OpenReader("", unnamed, false), DRAXEL_TR_BAD_ARGUMENT);
	EXPECT_EQ(OpenReader(nullptr, named, false), DRAXEL_TR_NOT_CONNECTED);
	EXPECT_EQ(CloseReader(named), 0u) << "closing an unconnected record is a no-op";
	EXPECT_EQ(CloseReader(named), 0u);
	EXPECT_EQ(IsCardPowered(named), DRAXEL_TR_NOT_CONNECTED);
	unsigned long size = 0;
	EXPECT_EQ(ListReaders(nullptr, &size), DRAXEL_TR_NOT_CONNECTED);
	BYTE cmd[] = {0x00, 0xA4, 0x04, 0x0C};
	EXPECT_EQ(Transmit(cmd, sizeof cmd, nullptr, nullptr, named), DRAXEL_TR_NOT_CONNECTED);
	FreeReaderStruct(named);
	FreeReaderStruct(unnamed);
}

TEST(ProcessScardError, MapsPcscResultsToTransportCodes)
{
	struct Case {
		unsigned long pcsc;
		unsigned long code;
	};
	const Case cases[] = {
		{0x00000000, 0},  {0x8010000A, 6},  {0x80100008, 8},  {0x80100009, 7},
		{0x80100017, 7},  {0x8010002E, 9},  {0x8010001D, 10}, {0x8010001E, 10},
		{0x8010000B, 1} /* sharing violation */, {0x80100069, 1} /* removed card */,
		{0xFFFFFFFF, 1},
	};
	for (const Case& c : cases)
		EXPECT_EQ(ProcessScardError(c.pcsc), c.code) << std::hex << c.pcsc;
}

} // namespace
