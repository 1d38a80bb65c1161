// The trace points of the transport, observed through a recording sink that
// replaces the library's silent one. This binary links the transport's
// objects directly, not the shared library.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "debug.h"
#include "draxel_lib.h"
#include "support/hex.h"
#include "support/scripted_token.h"

using draxel::test::from_hex;
using draxel::test::to_hex;

namespace {
unsigned int trace_mode = 0;
std::string trace;
} // namespace

extern "C" {
unsigned int GetTraceMode(void)
{
	return trace_mode;
}
void DebugPrintf(const char* fmt, ...)
{
	char line[512];
	va_list args;
	va_start(args, fmt);
	std::vsnprintf(line, sizeof line, fmt, args);
	va_end(args);
	trace += line;
}
void DebugPrintHex(const char* padstr, const unsigned char* bin, int binsize, int supress)
{
	trace += padstr;
	trace += supress ? "<hidden " + std::to_string(binsize) + " bytes>"
	                 : to_hex(bin, static_cast<size_t>(binsize));
}
void DebugFlush(void)
{
}
}

namespace {

class TraceTest : public draxel::test::HostHandlerTest {
protected:
	void SetUp() override
	{
		HostHandlerTest::SetUp();
		trace.clear();
	}
	void TearDown() override
	{
		trace_mode = 0;
		HostHandlerTest::TearDown();
	}
	void send(std::string_view hex)
	{
		auto cmd = from_hex(hex);
		Transmit(cmd.data(), cmd.size(), nullptr, nullptr, record);
	}
};

TEST(TracePoints, PasswordCommandsNeverShowTheirData)
{
	trace_mode = 0x20;
	for (const char* hex : {"0020000504" "31323334", "0024010008" "3132333435363738",
	                        "002C030008" "3132333435363738"}) {
		trace.clear();
		auto cmd = from_hex(hex);
		PrintCAPDU(cmd.data(), cmd.size(), nullptr);
		EXPECT_NE(trace.find("<hidden"), std::string::npos) << hex;
		EXPECT_EQ(trace.find("31323334"), std::string::npos) << hex << "\n" << trace;
	}
	trace_mode = 0;
}

TEST_F(TraceTest, FollowUpAtLevelTwo)
{
	trace_mode = 0x20 | 0x02;
	token.reply("6102");
	token.reply("AABB9000");
	send("80F0900001CC");
	EXPECT_EQ(trace,
	          "Transmit start\n"
	          "Transmit continue\n"
	          "Data Out:\n6102SW=6102\n"
	          "(host handler)\n"
	          "============================================\n"
	          "CLA=00 INS=C0 P1=00 P2=00 P3=02...\n"
	          "Data Out:\nAABB9000"
	          "SW=9000\n");
}

TEST_F(TraceTest, LevelOneShowsHeadersAndStatusWordsOnly)
{
	trace_mode = 0x10;
	token.reply("6C05");
	token.reply("01020304059000");
	send("00B0000000");
	EXPECT_EQ(trace, "SW=6C05\n(host handler)\nCLA=00 INS=B0 P1=00 P2=00 P3=05...\nSW=9000\n");
}

TEST_F(TraceTest, SilentWithModeZero)
{
	token.reply("6C05");
	token.reply("01020304059000");
	send("00B0000000");
	EXPECT_EQ(trace, "");
}

TEST(TracePoints, CommandDumpAndHeaderOnlyCommand)
{
	trace_mode = 0x20;
	trace.clear();
	const BYTE five[] = {0x00, 0xA4, 0x04, 0x0C, 0x00};
	PrintCAPDU(five, sizeof five, nullptr);
	EXPECT_EQ(trace.find("Data In"), std::string::npos);
	trace.clear();
	const BYTE four[] = {0x80, 0xFE, 0x00, 0x00};
	PrintCAPDU(four, sizeof four, nullptr);
	EXPECT_NE(trace.find("P3=00"), std::string::npos) << "no byte is read past the command";
	trace.clear();
	const BYTE select[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0xF1, 0x40};
	PrintCAPDU(select, sizeof select, nullptr);
	EXPECT_NE(trace.find("Data In:\nF140\n"), std::string::npos);

	trace_mode = 0x04;
	trace.clear();
	EXPECT_EQ(ProcessScardError(0x80100069), 1u);
	EXPECT_EQ(trace, "PC/SC error: 80100069\n");
	trace_mode = 0;
}

TEST(TracePoints, ReaderOperationsInFunctionTrace)
{
	trace_mode = 0x02;
	trace.clear();
	InitTransportLib(nullptr);
	ReaderStructPtr record = AllocReaderStruct("R");
	CloseReader(record);
	CloseReader(nullptr);
	FreeReaderStruct(record);
	EXPECT_EQ(trace, "AllocReaderStruct\nCloseReader R\nCloseReader: 0\n");
	trace_mode = 0;
}

} // namespace
