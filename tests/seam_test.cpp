// The units linked directly, their seams replaced. The trace points of the
// transport, seen through a recording sink in place of the library's silent
// one: passwords never reach the trace, a command is read no further than it
// goes (the library's own sink is silent: pcsc_e2e_test.cpp sees nothing
// printed). The command buffers
// that carried passwords, keys or selections, seen through the wipe hooks:
// overwritten with 0x5A once the exchange is over, and every buffer a
// builder had cleared when released.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "apdu4u.h"
#include "debug.h"
#include "draxel_lib.h"
#include "support/scripted_token.h"

using namespace draxel::test;

namespace {
unsigned int trace_mode = 0;
std::string trace;
} // namespace

extern "C" {
void DebugConfigure(bool) {}
unsigned int GetTraceMode(void)
{
	return trace_mode;
}
void DebugPrintf(const char *fmt, ...)
{
	char line[512];
	va_list args;
	va_start(args, fmt);
	std::vsnprintf(line, sizeof line, fmt, args);
	va_end(args);
	trace += line;
}
void DebugPrintHex(const char *padstr, const unsigned char *bin, int binsize, int supress)
{
	trace += padstr;
	trace += supress ? "<hidden>" : to_hex(bin, static_cast<size_t>(binsize));
}
void DebugFlush(void) {}
}

namespace {

std::string traced(unsigned int mode, std::string_view hex)
{
	trace_mode = mode;
	trace.clear();
	Bytes cmd = from_hex(hex);
	PrintCAPDU(cmd.data(), cmd.size(), nullptr);
	trace_mode = 0;
	return trace;
}

TEST(TracePoints, PasswordsNeverShowAndCommandsAreReadNoFurtherThanTheyGo)
{
	for (const char *hex : {"0020000504"
	                        "31323334",
	                        "0024010008"
	                        "3132333435363738",
	                        "002C030008"
	                        "3132333435363738"}) {
		std::string text = traced(0xFF, hex);
		EXPECT_NE(text.find("not shown"), std::string::npos) << hex;
		EXPECT_EQ(text.find("31323334"), std::string::npos) << hex << "\n" << text;
		// nor its length, in P3 or beside the hidden bytes
		EXPECT_NE(text.find("P3=--"), std::string::npos) << text;
		EXPECT_EQ(text.find_first_of("48", text.find("P3=")), std::string::npos) << text;
	}
	EXPECT_NE(traced(0x20, "80FE0000").find("P3=00"), std::string::npos) << "a header alone";
	EXPECT_NE(traced(0x20, "00A4000C02F140").find("Data In:\nF140\n"), std::string::npos);
}

} // namespace

namespace {
int wipes = 0;
bool wiped_whole = false;
int releases = 0;
bool released_clear = true;
} // namespace

extern "C" void apdu_cmd_buf_wiped(const BYTE *buf, size_t len)
{
	++wipes;
	wiped_whole = len >= 260 && std::all_of(buf, buf + len, [](BYTE b) { return b == 0x5A; });
}

extern "C" void apdu_buf_released(const BYTE *buf, size_t len)
{
	++releases;
	if (len < 256 || !std::all_of(buf, buf + len, [](BYTE b) { return b == 0; }))
		released_clear = false;
}

namespace {

class WipeTest : public HostHandlerTest {
protected:
	// Runs a builder that must wipe its command buffer once.
	void expect_wiped(const Call &builder, const char *reply)
	{
		token.reply(reply);
		wipes = 0;
		wiped_whole = false;
		builder.run();
		EXPECT_EQ(wipes, 1) << builder.name;
		EXPECT_TRUE(wiped_whole) << builder.name;
	}
};

TEST_F(WipeTest, PasswordKeyAndSelectionCommands)
{
	const BYTE pin[] = {'1', '2', '3', '4'};
	const BYTE key[32] = {1};
	const BYTE fid[] = {0xF2, 0x10};
	BYTE out[256];
	int out_len = 256;
	unsigned long list_len = 256;
	int attempts = 0;
	const Call builders[] = {
	        NAMED(APDU_VerifyPassword(record, 5, pin, 4)),
	        NAMED(APDU_ChangeKey(record, 0x1D, key, 32)),
	        NAMED(APDU_UnblockKey(record, 0x11)),
	        NAMED(APDU_GetKeyAttempts(record, 5, &attempts)),
	        NAMED(APDU_SelectApplication(record)),
	        NAMED(APDU_Select(record, fid, 2)),
	        NAMED(out_len = 256, APDU_Select_FCP(record, fid, 2, out, &out_len)),
	        NAMED(APDU_UpdateBinary(record, pin, 4, 0)),
	};
	for (const char *reply : {"9000", "6982"})
		for (const Call &builder : builders)
			expect_wiped(builder, reply);
	expect_wiped(builders[0], "90"); // a failed exchange
	expect_wiped(NAMED(out_len = 256, APDU_ReadBinary(record, out, &out_len, 0)),
	             "5302AABB9000");
	expect_wiped(NAMED(APDU_GetGroupNameList(record, out, &list_len, 3)), "AABB9000");
}

// Every buffer a builder had, command or reply, is cleared as it goes:
// among them those that carried pass phrases, keys, session answers,
// deciphered blocks and duplicate blobs.
TEST_F(WipeTest, EveryBuilderBufferIsClearedWhenReleased)
{
	const BYTE phrase[64] = {'p', 'h', 'r', 'a', 's', 'e'};
	const BYTE block[32] = {7, 7, 7};
	const BYTE cryptogram[36] = {9};
	BYTE out[256];
	unsigned long len = 0;
	BYTE blob_len = 0;
	int int_len = 0;
	const std::string answer36 = std::string(72, 'A') + "9000";
	const std::pair<Call, std::string> cases[] = {
	        {NAMED(len = 68, APDU_GenSesKey(record, phrase, 6, 1, out, &len)), answer36},
	        {NAMED(len = 68,
	               APDU_SetSesKey(record, phrase, 6, cryptogram, 36, 0x11, out, &len)),
	         std::string(64, 'C') + "9000"},
	        {NAMED(APDU_PSO_Enc(record, block, 32, out, true)),
	         "02" + std::string(64, 'B') + "9000"},
	        {NAMED(APDU_PSO_Dec(record, block, 32, out, true)), std::string(64, 'D') + "9000"},
	        {NAMED(APDU_CreateGroup(record, phrase, 64, phrase, 64)), "9000"},
	        {NAMED(APDU_ChangePasPhrGroup(record, phrase, 64, phrase, 64)), "9000"},
	        {NAMED(blob_len = 255, APDU_CreateRequestGroup(record, phrase, 64, out, &blob_len)),
	         answer36},
	        {NAMED(blob_len = 255, APDU_CreateInviteGroup(record, block, 32, out, &blob_len)),
	         answer36},
	        {NAMED(APDU_AcceptInviteGroup(record, block, 32, phrase, 64, phrase, 64)), "9000"},
	        {NAMED(len = 256, APDU_GetDublBlob(record, out, &len)), answer36},
	        {NAMED(APDU_SetDublBlob(record, block, 32)), "9000"},
	        {NAMED(APDU_GetSN(record, out, 7)), "112233445566779000"},
	        {NAMED(int_len = 256, APDU_Select_FCP(record, block, 2, out, &int_len)),
	         "6204800201009000"},
	};
	for (const auto &[builder, reply] : cases) {
		token.reply(reply);
		releases = 0;
		released_clear = true;
		EXPECT_EQ(builder.run(), 0u) << builder.name;
		EXPECT_GE(releases, 1) << builder.name;
		EXPECT_TRUE(released_clear) << builder.name;
	}
}

} // namespace
