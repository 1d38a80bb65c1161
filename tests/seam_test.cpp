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
#include <functional>
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
		EXPECT_NE(text.find("<hidden>"), std::string::npos) << hex;
		EXPECT_EQ(text.find("31323334"), std::string::npos) << hex << "\n" << text;
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
	// Runs a builder that must wipe, once with a good and once with a failed
	// exchange.
	void expect_wiped(const char *name, const std::function<unsigned long()> &builder,
	                  const std::vector<const char *> &replies)
	{
		for (const char *reply : replies)
			token.reply(reply);
		wipes = 0;
		wiped_whole = false;
		builder();
		EXPECT_EQ(wipes, 1) << name;
		EXPECT_TRUE(wiped_whole) << name;
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
	for (const char *reply : {"9000", "6982"}) {
		expect_wiped("verify", [&] { return APDU_VerifyPassword(record, 5, pin, 4); },
		             {reply});
		expect_wiped("change", [&] { return APDU_ChangeKey(record, 0x1D, key, 32); },
		             {reply});
		expect_wiped("unblock", [&] { return APDU_UnblockKey(record, 0x11); }, {reply});
		expect_wiped("attempts", [&] { return APDU_GetKeyAttempts(record, 5, &attempts); },
		             {reply});
		expect_wiped("select aid", [&] { return APDU_SelectApplication(record); }, {reply});
		expect_wiped("select", [&] { return APDU_Select(record, fid, 2); }, {reply});
		expect_wiped("select fcp",
		             [&] {
			             out_len = 256;
			             return APDU_Select_FCP(record, fid, 2, out, &out_len);
		             },
		             {reply});
		expect_wiped("update", [&] { return APDU_UpdateBinary(record, pin, 4, 0); },
		             {reply});
	}
	expect_wiped("verify, failed exchange",
	             [&] { return APDU_VerifyPassword(record, 5, pin, 4); }, {"90"});
	out_len = 256;
	expect_wiped("read", [&] { return APDU_ReadBinary(record, out, &out_len, 0); },
	             {"5302AABB9000"});
	expect_wiped("group list", [&] { return APDU_GetGroupNameList(record, out, &list_len, 3); },
	             {"AABB9000"});
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
	const std::string block_reply = "02" + std::string(64, 'B') + "9000";
	struct Case {
		const char *name;
		std::function<unsigned long()> builder;
		std::string reply;
	};
	const std::vector<Case> cases = {
	        {"session key",
	         [&] {
		         len = 68;
		         return APDU_GenSesKey(record, phrase, 6, 1, out, &len);
	         },
	         answer36},
	        {"set session key",
	         [&] {
		         len = 68;
		         return APDU_SetSesKey(record, phrase, 6, cryptogram, 36, 0x11, out, &len);
	         },
	         std::string(64, 'C') + "9000"},
	        {"encipher", [&] { return APDU_PSO_Enc(record, block, 32, out, true); },
	         block_reply},
	        {"decipher", [&] { return APDU_PSO_Dec(record, block, 32, out, true); },
	         std::string(64, 'D') + "9000"},
	        {"create group", [&] { return APDU_CreateGroup(record, phrase, 64, phrase, 64); },
	         "9000"},
	        {"change phrase",
	         [&] { return APDU_ChangePasPhrGroup(record, phrase, 64, phrase, 64); }, "9000"},
	        {"request",
	         [&] {
		         blob_len = 255;
		         return APDU_CreateRequestGroup(record, phrase, 64, out, &blob_len);
	         },
	         answer36},
	        {"invite",
	         [&] {
		         blob_len = 255;
		         return APDU_CreateInviteGroup(record, block, 32, out, &blob_len);
	         },
	         answer36},
	        {"accept",
	         [&] { return APDU_AcceptInviteGroup(record, block, 32, phrase, 64, phrase, 64); },
	         "9000"},
	        {"duplicate out",
	         [&] {
		         len = 256;
		         return APDU_GetDublBlob(record, out, &len);
	         },
	         answer36},
	        {"duplicate in", [&] { return APDU_SetDublBlob(record, block, 32); }, "9000"},
	        {"serial number", [&] { return APDU_GetSN(record, out, 7); },
	         "11223344556677"
	         "9000"},
	        {"control parameters",
	         [&] {
		         int_len = 256;
		         return APDU_Select_FCP(record, block, 2, out, &int_len);
	         },
	         "620480020100"
	         "9000"},
	};
	for (const Case &c : cases) {
		token.reply(c.reply);
		releases = 0;
		released_clear = true;
		EXPECT_EQ(c.builder(), 0u) << c.name;
		EXPECT_GE(releases, 1) << c.name;
		EXPECT_TRUE(released_clear) << c.name;
	}
}

} // namespace
