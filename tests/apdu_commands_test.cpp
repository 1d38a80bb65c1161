// The credential, cipher, group and maintenance command builders, command by
// command against a scripted token.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "draxel_lib.h"
#include "support/hex.h"
#include "support/scripted_token.h"

using draxel::test::Bytes;
using draxel::test::counting;
using draxel::test::HostHandlerTest;
using draxel::test::to_hex;

namespace {

using Commands = std::vector<std::string>;

// Result codes of the builders.
constexpr unsigned long kBadArgument = 3, kStatusWord = 5, kTooSmall = 8, kBadReply = 101,
                        kBlocked = 108, kWrongLength = 115, kExchangeFailed = 116, kNoGroup = 117,
                        kGroupExists = 118, kNoRoom = 119, kNotAdmin = 122;

constexpr uint8_t kGuard = 0xEE;

// A name or pass phrase as the 64-byte field the token expects.
Bytes padded(const std::string& text)
{
	Bytes field(64, 0x00);
	std::memcpy(field.data(), text.data(), text.size());
	return field;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A reply of `len` counting bytes, then 90 00.
std::string ok_reply(size_t len, uint8_t first = 0)
{
	return to_hex(counting(len, first)) + "9000";
}

// True when nothing was written to b from `from` on.
bool all_guard(const Bytes& b, size_t from = 0)
{
	return std::all_of(b.begin() + static_cast<long>(from), b.end(),
	                   [](uint8_t x) { return x == kGuard; });
}

class CommandTest : public HostHandlerTest {
protected:
	std::string last() const { return token.commands().empty() ? "" : token.commands().back(); }

	struct Builder {
		const char* name;
		bool records_last_error;
		std::function<unsigned long()> run;
	};

	// Every builder with well-formed arguments, as its callers use it.
	std::vector<Builder> every_builder()
	{
		BYTE* o = out.data();
		const BYTE *k = key.data(), *n = name.data(), *p = phrase.data();
		return {
			{"VerifyPassword", false, [=, this] { return APDU_VerifyPassword(record, 5, pin.data(), 4); }},
			{"ChangeKey", false, [=, this] { return APDU_ChangeKey(record, 0x0D, k, 32); }},
			{"UnblockKey", false, [=, this] { return APDU_UnblockKey(record, 5); }},
			{"GetKeyAttempts", false, [=, this] { return APDU_GetKeyAttempts(record, 5, &attempts); }},
			{"MSEReset", false, [=, this] { return APDU_MSEReset(record); }},
			{"MSESetEnc", false, [=, this] { return APDU_MSESetEnc(record, 0x83, 0x0B); }},
			{"PSO_Enc", false, [=, this] { return APDU_PSO_Enc(record, k, 16, o, true); }},
			{"PSO_Dec", false, [=, this] { return APDU_PSO_Dec(record, k, 16, o, true); }},
			{"GenSesKey", false, [=, this] { return ul = 256, APDU_GenSesKey(record, p, 4, 1, o, &ul); }},
			{"SetSesKey", false,
			 [=, this] { return ul = 256, APDU_SetSesKey(record, p, 4, k, 36, 0x11, o, &ul); }},
			{"GetGroupNameList", false,
			 [=, this] { return ul = 256, APDU_GetGroupNameList(record, o, &ul, 3); }},
			{"CreateGroup", false, [=, this] { return APDU_CreateGroup(record, n, 64, p, 64); }},
			{"DeleteGroup", false, [=, this] { return APDU_DeleteGroup(record, n, 64); }},
			{"RenameGroup", false, [=, this] { return APDU_RenameGroup(record, n, 64, p, 64); }},
			{"SelectGroup", false, [=, this] { return APDU_SelectGroup(record, n, 64); }},
			{"ChangePasPhrGroup", false, [=, this] { return APDU_ChangePasPhrGroup(record, n, 64, p, 64); }},
			{"CreateRequestGroup", true,
			 [=, this] { return small = 255, APDU_CreateRequestGroup(record, p, 64, o, &small); }},
			{"CreateInviteGroup", true,
			 [=, this] { return small = 255, APDU_CreateInviteGroup(record, k, 40, o, &small); }},
			{"AcceptInviteGroup", true,
			 [=, this] { return APDU_AcceptInviteGroup(record, k, 100, n, 64, p, 64); }},
			{"GetDublBlob", false, [=, this] { return ul = 256, APDU_GetDublBlob(record, o, &ul); }},
			{"SetDublBlob", false, [=, this] { return APDU_SetDublBlob(record, k, 200); }},
			{"GenDSKey", false, [=, this] { return APDU_GenDSKey(record); }},
			{"ClearCard", false, [=, this] { return APDU_ClearCard(record); }},
			{"ClearNote", false, [=, this] { return APDU_ClearNote(record); }},
			{"NotePolicy", false, [=, this] { return size = 256, APDU_NotePolicy(record, 1, o, &size); }},
			{"CreateBFTrac", false, [=, this] { return APDU_CreateBFTrac(record); }},
			{"CreateBFNote", false, [=, this] { return APDU_CreateBFNote(record, 0); }},
		};
	}

	Bytes pin = text("1234");
	Bytes key = counting(255, 0x40);
	Bytes name = padded("team");
	Bytes phrase = padded("secret phrase");
	Bytes out = Bytes(300, kGuard);
	unsigned long ul = 0;
	BYTE small = 0;
	int size = 0;
	int attempts = 0;
};

// ---------------------------------------------------------------------------
// Shared behaviour

TEST_F(CommandTest, FailedExchangeGives116AndOnlyGroupJoiningRecordsIt)
{
	for (const Builder& b : every_builder()) {
		last_error = 77;
		token.reply_with_length("9000", 1);
		EXPECT_EQ(b.run(), kExchangeFailed) << b.name;
		EXPECT_EQ(last_error, b.records_last_error ? 1u : 77u) << b.name;
		EXPECT_EQ(GetLastScardError(), last_error) << b.name;
	}
}

TEST_F(CommandTest, UnmappedStatusWordGives5AndStaysInTheRecord)
{
	for (const Builder& b : every_builder()) {
		last_error = 77;
		std::fill(out.begin(), out.end(), kGuard);
		token.reply("6F00");
		EXPECT_EQ(b.run(), kStatusWord) << b.name;
		EXPECT_EQ(APDU_GetSW(record), 0x6F00) << b.name;
		EXPECT_EQ(last_error, b.records_last_error ? 5u : 77u) << b.name;
		EXPECT_TRUE(all_guard(out)) << b.name << " handed out data after a refusal";
	}
}

// ---------------------------------------------------------------------------
// Credentials

TEST_F(CommandTest, VerifyPassword)
{
	EXPECT_EQ(APDU_VerifyPassword(record, 0x05, nullptr, 4), kBadArgument);
	EXPECT_EQ(APDU_VerifyPassword(record, 0x05, pin.data(), 0), kBadArgument);
	EXPECT_TRUE(token.commands().empty());

	token.reply("9000");
	EXPECT_EQ(APDU_VerifyPassword(record, 0x05, nullptr, 0), 0u);
	EXPECT_EQ(last(), "0020000500") << "state query carries no data";

	token.reply("9000");
	EXPECT_EQ(APDU_VerifyPassword(record, 0x05, pin.data(), 4), 0u);
	EXPECT_EQ(last(), "002000050431323334") << "no terminating zero";

	const std::pair<const char*, unsigned long> cases[] = {
		{"63C2", 142}, {"63C0", 140}, {"63CF", 155}, {"6983", kBlocked},
		{"6700", kWrongLength}, {"6A88", kStatusWord}, {"6982", kStatusWord},
	};
	for (const auto& [sw, code] : cases) {
		token.reply(sw);
		EXPECT_EQ(APDU_VerifyPassword(record, 0x11, pin.data(), 4), code) << sw;
	}
	token.reply("63C3");
	EXPECT_EQ(APDU_VerifyPassword(record, 0x05, nullptr, 0), 143u) << "state query while not verified";
}

TEST_F(CommandTest, ChangeAndUnblock)
{
	EXPECT_EQ(APDU_ChangeKey(record, 0x1D, nullptr, 32), kBadArgument);
	EXPECT_EQ(APDU_ChangeKey(record, 0x1D, key.data(), 0), kBadArgument);
	EXPECT_TRUE(token.commands().empty());

	Bytes k = counting(32, 0xA0);
	token.reply("9000");
	EXPECT_EQ(APDU_ChangeKey(record, 0x1D, k.data(), 32), 0u);
	EXPECT_EQ(last(), "0024011D20" + to_hex(k));

	token.reply("6700");
	EXPECT_EQ(APDU_ChangeKey(record, 0x05, pin.data(), 4), kWrongLength);
	token.reply("6983");
	EXPECT_EQ(APDU_ChangeKey(record, 0x05, pin.data(), 4), kStatusWord) << "only 6700 is mapped";

	token.reply("9000");
	EXPECT_EQ(APDU_UnblockKey(record, 0x11), 0u);
	EXPECT_EQ(last(), "002C031100");
	token.reply("63C2");
	EXPECT_EQ(APDU_UnblockKey(record, 0x05), kStatusWord) << "unblock maps nothing";
}

TEST_F(CommandTest, GetKeyAttempts)
{
	EXPECT_EQ(APDU_GetKeyAttempts(record, 0x05, nullptr), kBadArgument);
	EXPECT_TRUE(token.commands().empty());

	const std::tuple<const char*, unsigned long, int> cases[] = {
		{"63C3", 0, 3},
		{"9000", 0, 0}, // already verified
		{"6983", kStatusWord, 0},
	};
	for (const auto& [sw, code, tries] : cases) {
		attempts = 9;
		token.reply(sw);
		EXPECT_EQ(APDU_GetKeyAttempts(record, 0x07, &attempts), code) << sw;
		EXPECT_EQ(attempts, tries) << sw;
		EXPECT_EQ(last(), "0020000700");
	}
	attempts = 9;
	token.reply_with_length("63C3", 1);
	EXPECT_EQ(APDU_GetKeyAttempts(record, 0x05, &attempts), kExchangeFailed);
	EXPECT_EQ(attempts, 9) << "left alone when the exchange failed";
}

// ---------------------------------------------------------------------------
// Cipher commands

TEST_F(CommandTest, SecurityEnvironment)
{
	token.reply("9000");
	EXPECT_EQ(APDU_MSEReset(record), 0u);
	token.reply("9000");
	EXPECT_EQ(APDU_MSESetEnc(record, 0x83, 0x0D), 0u);
	EXPECT_EQ(token.commands(), (Commands{"0022F30000", "0022C1B806" "83010D8C0103"}));
}

TEST_F(CommandTest, EncipherBlocks)
{
	Bytes block = counting(232, 0x10);
	token.reply("02" + to_hex(counting(232, 0x80)) + "9000");
	EXPECT_EQ(APDU_PSO_Enc(record, block.data(), 232, out.data(), false), 0u);
	EXPECT_EQ(last(), "102A8680E8" + to_hex(block)) << "chained, no Le";
	EXPECT_EQ(to_hex(out.data(), 232), to_hex(counting(232, 0x80))) << "indicator byte dropped";
	EXPECT_TRUE(all_guard(out, 232));

	token.reply("02" + to_hex(counting(3)) + "9000");
	EXPECT_EQ(APDU_PSO_Enc(record, block.data(), 3, out.data(), true), 0u);
	EXPECT_EQ(last(), "002A868003101112") << "last block unchained";
}

TEST_F(CommandTest, DecipherBlocks)
{
	Bytes block = counting(16, 0x50);
	token.reply(ok_reply(16, 0x60));
	EXPECT_EQ(APDU_PSO_Dec(record, block.data(), 16, out.data(), true), 0u);
	EXPECT_EQ(last(), "002A80861102" + to_hex(block));
	EXPECT_EQ(to_hex(out.data(), 16), to_hex(counting(16, 0x60)));
	EXPECT_TRUE(all_guard(out, 16));

	Bytes longest = counting(254);
	token.reply(ok_reply(254));
	EXPECT_EQ(APDU_PSO_Dec(record, longest.data(), 254, out.data(), false), 0u);
	EXPECT_EQ(last(), "102A8086FF02" + to_hex(longest));
	EXPECT_EQ(last().size(), 2u * 260);

	Bytes too_long = counting(255);
	EXPECT_EQ(APDU_PSO_Dec(record, too_long.data(), 255, out.data(), true), kBadReply);
	EXPECT_EQ(token.commands().size(), 2u) << "255 bytes leave no room for the indicator";
}

TEST_F(CommandTest, CipherRepliesOfTheWrongLengthAreRefused)
{
	// A block comes back as long as it went out (plus the indicator when
	// enciphering); anything else is refused and nothing is written.
	Bytes block = counting(16);
	for (size_t reply_len : {0u, 1u, 15u, 16u, 17u, 18u, 200u}) {
		std::fill(out.begin(), out.end(), kGuard);
		token.reply(ok_reply(reply_len, 0x30));
		unsigned long rc = APDU_PSO_Enc(record, block.data(), 16, out.data(), true);
		EXPECT_EQ(rc, reply_len == 17 ? 0 : kBadReply) << "enciphering, reply " << reply_len;
		EXPECT_TRUE(all_guard(out, reply_len == 17 ? 16 : 0)) << "enciphering, reply " << reply_len;

		std::fill(out.begin(), out.end(), kGuard);
		token.reply(ok_reply(reply_len, 0x30));
		rc = APDU_PSO_Dec(record, block.data(), 16, out.data(), false);
		EXPECT_EQ(rc, reply_len == 16 ? 0 : kBadReply) << "deciphering, reply " << reply_len;
		EXPECT_TRUE(all_guard(out, reply_len == 16 ? 16 : 0)) << "deciphering, reply " << reply_len;
	}
}

TEST_F(CommandTest, CipherBuildersRefuseMissingPointers)
{
	EXPECT_EQ(APDU_PSO_Enc(record, key.data(), 16, nullptr, true), kBadArgument);
	EXPECT_EQ(APDU_PSO_Enc(record, nullptr, 16, out.data(), true), kBadArgument);
	EXPECT_EQ(APDU_PSO_Dec(record, key.data(), 16, nullptr, true), kBadArgument);
	EXPECT_EQ(APDU_PSO_Dec(record, nullptr, 16, out.data(), true), kBadArgument);
	EXPECT_EQ(APDU_GenSesKey(record, pin.data(), 4, 1, out.data(), nullptr), kBadArgument);
	EXPECT_EQ(APDU_GenSesKey(record, nullptr, 4, 1, out.data(), &ul), kBadArgument);
	ul = 36;
	EXPECT_EQ(APDU_GenSesKey(record, pin.data(), 4, 1, nullptr, &ul), kBadArgument);
	EXPECT_EQ(APDU_SetSesKey(record, pin.data(), 4, nullptr, 36, 1, nullptr, nullptr), kBadArgument);
	EXPECT_EQ(APDU_SetSesKey(record, nullptr, 4, key.data(), 36, 1, nullptr, nullptr), kBadArgument);
	EXPECT_EQ(APDU_SetSesKey(record, pin.data(), 4, key.data(), 36, 0x11, out.data(), nullptr),
	          kBadArgument);
	EXPECT_TRUE(token.commands().empty());
}

TEST_F(CommandTest, GenerateSessionKey)
{
	ul = 36;
	token.reply(ok_reply(36));
	EXPECT_EQ(APDU_GenSesKey(record, nullptr, 0, 3, out.data(), &ul), 0u);
	EXPECT_EQ(last(), "8036010300") << "empty pass phrase: header only";
	EXPECT_EQ(ul, 36u);
	EXPECT_EQ(to_hex(out.data(), 36), to_hex(counting(36)));

	std::fill(out.begin(), out.end(), kGuard);
	ul = 36;
	token.reply(ok_reply(68));
	EXPECT_EQ(APDU_GenSesKey(record, pin.data(), 4, 0x11, out.data(), &ul), kTooSmall);
	EXPECT_EQ(last(), "803601110431323334");
	EXPECT_EQ(ul, 68u) << "needed length";
	EXPECT_TRUE(all_guard(out));

	// A T=0 token announces the cryptogram and the key with 61 44.
	ul = 68;
	token.reply("6144");
	token.reply(ok_reply(68, 0x20));
	EXPECT_EQ(APDU_GenSesKey(record, pin.data(), 4, 0x12, out.data(), &ul), 0u);
	EXPECT_EQ(token.commands().end()[-2], "803601120431323334");
	EXPECT_EQ(last(), "00C0000044");
	EXPECT_EQ(ul, 68u);
	EXPECT_EQ(to_hex(out.data(), 68), to_hex(counting(68, 0x20)));
	EXPECT_TRUE(all_guard(out, 68));
}

TEST_F(CommandTest, SetSessionKey)
{
	Bytes crypt = counting(36, 0xC0);
	auto set_key = [&](const Bytes& phrase_text, BYTE mode, BYTE* output) {
		return APDU_SetSesKey(record, phrase_text.data(), static_cast<BYTE>(phrase_text.size()),
		                      crypt.data(), 36, mode, output, &ul);
	};
	Bytes phrase10 = text("0123456789");
	token.reply(ok_reply(32));
	EXPECT_EQ(set_key(phrase10, 1, nullptr), 0u) << "without an output the reply is not wanted";
	EXPECT_EQ(last(), "803602012E" + to_hex(phrase10) + to_hex(crypt));

	ul = 32;
	token.reply(ok_reply(32, 0x70));
	EXPECT_EQ(set_key(Bytes{}, 0x11, out.data()), 0u);
	EXPECT_EQ(last(), "8036021124" + to_hex(crypt));
	EXPECT_EQ(ul, 32u);
	EXPECT_EQ(to_hex(out.data(), 32), to_hex(counting(32, 0x70)));

	std::fill(out.begin(), out.end(), kGuard);
	ul = 31;
	token.reply(ok_reply(32));
	EXPECT_EQ(set_key(phrase10, 0x12, out.data()), kTooSmall);
	EXPECT_EQ(ul, 32u);
	EXPECT_TRUE(all_guard(out));

	ul = 31;
	token.reply("6A83");
	EXPECT_EQ(set_key(phrase10, 0x12, out.data()), kStatusWord);
	EXPECT_EQ(ul, 31u) << "length untouched on refusal";

	Bytes longest = counting(219, 0x01);
	token.reply("9000");
	EXPECT_EQ(set_key(longest, 1, nullptr), 0u);
	EXPECT_EQ(last(), "80360201FF" + to_hex(longest) + to_hex(crypt));

	size_t sent = token.commands().size();
	EXPECT_EQ(set_key(counting(220), 1, nullptr), kBadArgument);
	EXPECT_EQ(token.commands().size(), sent) << "256 data bytes do not fit";
}

// ---------------------------------------------------------------------------
// Groups

TEST_F(CommandTest, GroupCommandFraming)
{
	for (int i = 0; i < 5; ++i)
		token.reply("9000");
	EXPECT_EQ(APDU_CreateGroup(record, name.data(), 64, phrase.data(), 64), 0u);
	EXPECT_EQ(APDU_DeleteGroup(record, name.data(), 64), 0u);
	EXPECT_EQ(APDU_RenameGroup(record, name.data(), 64, phrase.data(), 64), 0u);
	EXPECT_EQ(APDU_SelectGroup(record, name.data(), 64), 0u);
	EXPECT_EQ(APDU_ChangePasPhrGroup(record, name.data(), 64, phrase.data(), 64), 0u);
	const std::string both = to_hex(name) + to_hex(phrase);
	EXPECT_EQ(token.commands(), (Commands{"803A010080" + both, "803A020040" + to_hex(name),
	                                      "803A030080" + both, "803A040040" + to_hex(name),
	                                      "803A050080" + both}));

	Bytes first = counting(191);
	token.reply("9000");
	EXPECT_EQ(APDU_CreateGroup(record, first.data(), 191, phrase.data(), 64), 0u);
	EXPECT_EQ(last(), "803A0100FF" + to_hex(first) + to_hex(phrase)) << "255 bytes still fit";
}

TEST_F(CommandTest, GroupCommandsRefuseBadFields)
{
	Bytes big = counting(200);
	EXPECT_EQ(APDU_DeleteGroup(record, nullptr, 64), kBadArgument);
	EXPECT_EQ(APDU_DeleteGroup(record, name.data(), 0), kBadArgument);
	EXPECT_EQ(APDU_SelectGroup(record, nullptr, 64), kBadArgument);
	EXPECT_EQ(APDU_CreateGroup(record, name.data(), 64, nullptr, 64), kBadArgument);
	EXPECT_EQ(APDU_CreateGroup(record, name.data(), 0, phrase.data(), 64), kBadArgument);
	EXPECT_EQ(APDU_RenameGroup(record, name.data(), 64, phrase.data(), 0), kBadArgument);
	EXPECT_EQ(APDU_ChangePasPhrGroup(record, nullptr, 64, phrase.data(), 64), kBadArgument);
	// Fields that would overflow the one-byte Lc.
	EXPECT_EQ(APDU_CreateGroup(record, big.data(), 128, big.data(), 128), kBadArgument);
	EXPECT_EQ(APDU_RenameGroup(record, big.data(), 200, big.data(), 56), kBadArgument);
	EXPECT_EQ(APDU_ChangePasPhrGroup(record, key.data(), 255, name.data(), 1), kBadArgument);
	EXPECT_TRUE(token.commands().empty());
}

TEST_F(CommandTest, GroupStatusWords)
{
	const BYTE *n = name.data(), *p = phrase.data();
	const std::map<std::string, std::function<unsigned long()>> call = {
		{"create", [=, this] { return APDU_CreateGroup(record, n, 64, p, 64); }},
		{"delete", [=, this] { return APDU_DeleteGroup(record, n, 64); }},
		{"rename", [=, this] { return APDU_RenameGroup(record, n, 64, p, 64); }},
		{"select", [=, this] { return APDU_SelectGroup(record, n, 64); }},
		{"change", [=, this] { return APDU_ChangePasPhrGroup(record, n, 64, p, 64); }},
	};
	const std::tuple<const char*, const char*, unsigned long> cases[] = {
		{"create", "6984", kGroupExists}, {"create", "6A84", kNoRoom},
		{"create", "6B00", kNoRoom},      {"create", "6A82", kStatusWord},
		{"create", "6A88", kStatusWord},  {"delete", "6A88", kNoGroup},
		{"delete", "6984", kStatusWord},  {"rename", "6A88", kNoGroup},
		{"rename", "6984", kGroupExists}, {"rename", "6985", kStatusWord},
		{"select", "6A88", kNoGroup},     {"select", "6985", kStatusWord},
		{"change", "6A88", kNoGroup},     {"change", "6985", kNotAdmin},
		{"change", "6984", kStatusWord},
	};
	for (const auto& [what, sw, code] : cases) {
		token.reply(sw);
		EXPECT_EQ(call.at(what)(), code) << what << " " << sw;
	}
}

TEST_F(CommandTest, GroupNameList)
{
	EXPECT_EQ(APDU_GetGroupNameList(record, nullptr, &ul, 3), kBadArgument);
	EXPECT_EQ(APDU_GetGroupNameList(record, out.data(), nullptr, 3), kBadArgument);
	ul = 0;
	EXPECT_EQ(APDU_GetGroupNameList(record, out.data(), &ul, 3), kBadArgument);
	EXPECT_TRUE(token.commands().empty());

	ul = 256;
	token.reply("9000");
	EXPECT_EQ(APDU_GetGroupNameList(record, out.data(), &ul, 2), 0u);
	EXPECT_EQ(last(), "903A050000");
	EXPECT_EQ(ul, 0u) << "end of the list";

	ul = 100;
	token.reply(ok_reply(195));
	EXPECT_EQ(APDU_GetGroupNameList(record, out.data(), &ul, 3), 0u);
	EXPECT_EQ(last(), "903A060000");
	EXPECT_EQ(ul, 100u);
	EXPECT_EQ(to_hex(out.data(), 100), to_hex(counting(100)));
	EXPECT_TRUE(all_guard(out, 100));
}

TEST_F(CommandTest, GroupRequest)
{
	small = 255;
	EXPECT_EQ(APDU_CreateRequestGroup(record, nullptr, 64, out.data(), &small), kBadArgument);
	EXPECT_EQ(APDU_CreateRequestGroup(record, phrase.data(), 0, out.data(), &small), kBadArgument);
	EXPECT_EQ(APDU_CreateRequestGroup(record, phrase.data(), 64, nullptr, &small), kBadArgument);
	EXPECT_EQ(APDU_CreateRequestGroup(record, phrase.data(), 64, out.data(), nullptr), kBadArgument);
	small = 0;
	EXPECT_EQ(APDU_CreateRequestGroup(record, phrase.data(), 64, out.data(), &small), kBadArgument);
	EXPECT_TRUE(token.commands().empty());

	last_error = 77;
	small = 16;
	token.reply(ok_reply(40));
	EXPECT_EQ(APDU_CreateRequestGroup(record, phrase.data(), 64, out.data(), &small), kTooSmall);
	EXPECT_EQ(last(), "803C010040" + to_hex(phrase));
	EXPECT_EQ(small, 40) << "needed length";
	EXPECT_TRUE(all_guard(out));
	EXPECT_EQ(last_error, 0u);

	small = 255;
	token.reply(ok_reply(40, 0x90));
	EXPECT_EQ(APDU_CreateRequestGroup(record, phrase.data(), 64, out.data(), &small), 0u);
	EXPECT_EQ(small, 40);
	EXPECT_EQ(to_hex(out.data(), 40), to_hex(counting(40, 0x90)));
	EXPECT_TRUE(all_guard(out, 40));

	// 256 bytes cannot be delivered through the one-byte length.
	std::fill(out.begin(), out.end(), kGuard);
	small = 255;
	token.reply(ok_reply(256));
	EXPECT_EQ(APDU_CreateRequestGroup(record, phrase.data(), 64, out.data(), &small), kTooSmall);
	EXPECT_TRUE(all_guard(out));
}

TEST_F(CommandTest, GroupInvitation)
{
	Bytes request = counting(40, 0x90);
	small = 99;
	token.reply(ok_reply(100));
	EXPECT_EQ(APDU_CreateInviteGroup(record, request.data(), 40, out.data(), &small), kTooSmall);
	EXPECT_EQ(last(), "803C020028" + to_hex(request));
	EXPECT_EQ(small, 100);
	EXPECT_TRUE(all_guard(out));

	small = 100;
	token.reply(ok_reply(100, 0x33));
	EXPECT_EQ(APDU_CreateInviteGroup(record, request.data(), 40, out.data(), &small), 0u);
	EXPECT_EQ(small, 100);
	EXPECT_EQ(to_hex(out.data(), 100), to_hex(counting(100, 0x33)));

	last_error = 77;
	token.reply("6A88");
	EXPECT_EQ(APDU_CreateInviteGroup(record, request.data(), 40, out.data(), &small), kNoGroup);
	EXPECT_EQ(last_error, 5u);
	token.reply("6985");
	EXPECT_EQ(APDU_CreateInviteGroup(record, request.data(), 40, out.data(), &small), kNotAdmin);

	small = 0;
	EXPECT_EQ(APDU_CreateInviteGroup(record, request.data(), 40, out.data(), &small), kBadArgument);
	EXPECT_EQ(APDU_CreateInviteGroup(record, request.data(), 40, out.data(), nullptr), kBadArgument);
	EXPECT_EQ(token.commands().size(), 4u);
}

TEST_F(CommandTest, AcceptInvitation)
{
	auto accept = [&](const Bytes& invite, const BYTE* name_field, BYTE phrase_len) {
		return APDU_AcceptInviteGroup(record, invite.data(), static_cast<BYTE>(invite.size()),
		                              name_field, 64, phrase.data(), phrase_len);
	};
	Bytes invite = counting(100, 0x33);
	token.reply("9000");
	EXPECT_EQ(accept(invite, name.data(), 64), 0u);
	EXPECT_EQ(last(), "803C0300E4" + to_hex(invite) + to_hex(name) + to_hex(phrase));
	EXPECT_EQ(last_error, 0u);

	Bytes longest = counting(127);
	token.reply("6984");
	EXPECT_EQ(accept(longest, name.data(), 64), kGroupExists);
	EXPECT_EQ(last(), "803C0300FF" + to_hex(longest) + to_hex(name) + to_hex(phrase));
	token.reply("6A84");
	EXPECT_EQ(accept(invite, name.data(), 64), kNoRoom);
	token.reply("6A88");
	EXPECT_EQ(accept(invite, name.data(), 64), kStatusWord);

	size_t sent = token.commands().size();
	last_error = 77;
	EXPECT_EQ(accept(counting(128), name.data(), 64), kBadArgument) << "would need Lc 256";
	EXPECT_EQ(accept(invite, nullptr, 64), kBadArgument);
	EXPECT_EQ(accept(invite, name.data(), 0), kBadArgument);
	EXPECT_EQ(accept(Bytes{}, name.data(), 64), kBadArgument);
	EXPECT_EQ(token.commands().size(), sent);
	EXPECT_EQ(last_error, 77u) << "no exchange, nothing recorded";
}

// ---------------------------------------------------------------------------
// Token maintenance

TEST_F(CommandTest, DuplicateBlob)
{
	ul = 256;
	token.reply(ok_reply(200, 0x05));
	EXPECT_EQ(APDU_GetDublBlob(record, out.data(), &ul), 0u);
	EXPECT_EQ(last(), "9034010000");
	EXPECT_EQ(ul, 200u);
	EXPECT_EQ(to_hex(out.data(), 200), to_hex(counting(200, 0x05)));
	EXPECT_TRUE(all_guard(out, 200));

	ul = 256;
	token.reply("9000");
	EXPECT_EQ(APDU_GetDublBlob(record, out.data(), &ul), 0u);
	EXPECT_EQ(ul, 0u) << "no piece left";

	std::fill(out.begin(), out.end(), kGuard);
	ul = 199;
	token.reply(ok_reply(200));
	EXPECT_EQ(APDU_GetDublBlob(record, out.data(), &ul), kTooSmall);
	EXPECT_EQ(ul, 200u);
	EXPECT_TRUE(all_guard(out));

	Bytes piece = counting(200, 0x05);
	token.reply("9000");
	EXPECT_EQ(APDU_SetDublBlob(record, piece.data(), 200), 0u);
	EXPECT_EQ(last(), "90340200C8" + to_hex(piece));
	token.reply("9000");
	EXPECT_EQ(APDU_SetDublBlob(record, nullptr, 0), 0u);
	EXPECT_EQ(last(), "8034020000") << "closing command";

	size_t sent = token.commands().size();
	EXPECT_EQ(APDU_GetDublBlob(record, out.data(), nullptr), kBadArgument);
	EXPECT_EQ(APDU_SetDublBlob(record, nullptr, 5), kBadArgument);
	EXPECT_EQ(token.commands().size(), sent);
}

TEST_F(CommandTest, HeaderOnlyMaintenanceCommands)
{
	for (int i = 0; i < 3; ++i)
		token.reply("9000");
	EXPECT_EQ(APDU_GenDSKey(record), 0u);
	EXPECT_EQ(APDU_ClearCard(record), 0u);
	EXPECT_EQ(APDU_ClearNote(record), 0u);
	EXPECT_EQ(token.commands(), (Commands{"8038FF0000", "8038000000", "8038020000"}));

	token.reply("6982");
	EXPECT_EQ(APDU_ClearCard(record), kStatusWord);
	EXPECT_EQ(APDU_GetSW(record), 0x6982);
}

TEST_F(CommandTest, NotePolicy)
{
	size = 256;
	EXPECT_EQ(APDU_NotePolicy(record, 3, out.data(), &size), kBadArgument);
	EXPECT_EQ(APDU_NotePolicy(record, 0, out.data(), &size), kBadArgument);
	EXPECT_EQ(APDU_NotePolicy(record, 1, nullptr, &size), kBadArgument);
	EXPECT_EQ(APDU_NotePolicy(record, 1, out.data(), nullptr), kBadArgument);
	size = -1;
	EXPECT_EQ(APDU_NotePolicy(record, 1, out.data(), &size), kBadArgument);
	EXPECT_TRUE(token.commands().empty());

	size = 256;
	token.reply("119000");
	EXPECT_EQ(APDU_NotePolicy(record, 1, out.data(), &size), 0u);
	EXPECT_EQ(last(), "8032010000");
	EXPECT_EQ(size, 1);
	EXPECT_EQ(out[0], 0x11);
	EXPECT_EQ(out[1], kGuard);

	token.reply("059000");
	EXPECT_EQ(APDU_NotePolicy(record, 2, nullptr, nullptr), 0u);
	EXPECT_EQ(last(), "8032020000");
}

TEST_F(CommandTest, CreateFiles)
{
	for (int i = 0; i < 4; ++i)
		token.reply("9000");
	EXPECT_EQ(APDU_CreateBFTrac(record), 0u);
	EXPECT_EQ(APDU_CreateBFNote(record, ST23_L80_MODEL), 0u);
	EXPECT_EQ(APDU_CreateBFNote(record, 0), 0u);
	EXPECT_EQ(APDU_CreateBFNote(record, 7), 0u);
	const std::string note = "00E00000156213" "8002FF00" "820101" "8302F210" "860600FFFF050505";
	EXPECT_EQ(token.commands(),
	          (Commands{"00E00000156213" "80020100" "820101" "8302F190" "8606FFFFFF000000",
	                    "00E00000156213" "800230A0" "820101" "8302F210" "860600FFFF050505",
	                    note, note}));
}

} // namespace
