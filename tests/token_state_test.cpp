// The software token: its persistent state (the text form and the refusal
// of every kind of damage, the state file on disk), the in-process transmit
// handler's guards, and the rules of its own that the library never tests.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "support/files.h"
#include "support/hex.h"
#include "token.h"
#include "token_crypto.h"
#include "token_handler.h"
#include "token_state.h"

namespace draxel::sim {
namespace {

Field field_of(const std::string &text)
{
	Field out{};
	std::memcpy(out.data(), text.data(), text.size());
	return out;
}

Key key_of(uint8_t seed)
{
	Key out{};
	for (size_t i = 0; i < out.size(); ++i)
		out[i] = static_cast<uint8_t>(seed + i);
	return out;
}

Bytes pattern(size_t n, uint8_t seed)
{
	Bytes out(n);
	for (size_t i = 0; i < n; ++i)
		out[i] = static_cast<uint8_t>(seed + i * 7);
	return out;
}

void expect_same(const TokenState &a, const TokenState &b)
{
	EXPECT_EQ(a.serial, b.serial);
	EXPECT_EQ(a.st23l80_chip, b.st23l80_chip);
	auto password = [](const Password &p) {
		return std::tuple(p.value, p.tries_left, p.max_tries);
	};
	ASSERT_EQ(a.passwords.size(), b.passwords.size());
	for (const auto &[ref, p] : a.passwords) {
		ASSERT_TRUE(b.passwords.contains(ref)) << int{ref};
		EXPECT_EQ(password(p), password(b.passwords.at(ref))) << int{ref};
	}
	EXPECT_EQ(a.keys, b.keys);
	EXPECT_EQ(a.ds_key, b.ds_key);
	auto group = [](const Group &g) {
		return std::tuple(g.name, g.pass_phrase, g.key, g.admin);
	};
	ASSERT_EQ(a.groups.size(), b.groups.size());
	for (size_t i = 0; i < a.groups.size(); ++i)
		EXPECT_EQ(group(a.groups[i]), group(b.groups[i])) << i;
	EXPECT_EQ(a.max_groups, b.max_groups);
	EXPECT_EQ(a.note_policy, b.note_policy);
	EXPECT_EQ(a.master_files, b.master_files);
	EXPECT_EQ(a.application_files, b.application_files);
	auto request = [](const std::optional<PendingRequest> &r) {
		return r ? std::optional(std::tuple(r->nonce, r->pass_phrase)) : std::nullopt;
	};
	EXPECT_EQ(request(a.pending_request), request(b.pending_request));
}

// A token as it looks after some use: groups of both kinds, a pending join
// request, a generated key, spent tries, a written note and odd files.
TokenState used_token()
{
	IssueOptions options;
	options.serial = std::array<uint8_t, 7>{1, 2, 3, 4, 5, 6, 7};
	options.pin = "9876";
	TokenState state = issue_token(options);
	state.passwords[ref::kPin].tries_left = 1;
	state.passwords[ref::kNote].tries_left = 0;
	state.ds_key = key_of(0x40);
	state.groups.push_back({field_of("accounts"), field_of("phrase one"), key_of(1), true});
	state.groups.push_back(
	        {field_of("field office"), field_of(std::string(64, 'p')), key_of(2), false});
	state.max_groups = 20;
	state.note_policy = ref::kNote;
	state.pending_request = PendingRequest{{}, field_of("join me")};
	state.pending_request->nonce.fill(0xA5);
	state.application_files[fid::kNote] = pattern(65280, 3);
	state.application_files[0x1234] = Bytes();       // created, never written
	state.master_files[0xF1F1] = pattern(0xFFFF, 9); // the largest file there is
	return state;
}

// A small token for mutation tests: every kind of line, short files.
TokenState small_token()
{
	TokenState state = used_token();
	state.application_files[fid::kNote] = pattern(8, 1);
	state.master_files.erase(0xF1F1);
	return state;
}

// Fresh secrets every time; the options the in-process tests rely on are
// checked there. Values the token could never hold are refused, not
// truncated.
TEST(TokenIssue, FreshSecretsAndOnlyValuesATokenCanHold)
{
	const TokenState a = issue_token();
	const TokenState b = issue_token();
	EXPECT_NE(a.serial, b.serial);
	for (uint8_t ref :
	     {ref::kKeyMode1, ref::kKeyMode2, ref::kKeyGroup, ref::kKey15, ref::kKey1D}) {
		ASSERT_TRUE(a.keys.contains(ref));
		EXPECT_NE(a.keys.at(ref), b.keys.at(ref));
	}
	IssueOptions options;
	options.version = 0x10000;
	EXPECT_THROW(issue_token(options), std::invalid_argument);
	options.version = 18;
	options.pin = "";
	EXPECT_THROW(issue_token(options), std::invalid_argument);
	options.pin = std::string(256, '1');
	EXPECT_THROW(issue_token(options), std::invalid_argument);
}

TEST(TokenStateText, RoundTripKeepsEverything)
{
	const TokenState state = used_token();
	const std::string text = serialize(state);
	const auto back = deserialize(text);
	ASSERT_TRUE(back.has_value());
	expect_same(state, *back);
	EXPECT_EQ(serialize(*back), text);

	// Hex is read in either case.
	std::string lower = text;
	for (char &c : lower) {
		if (c >= 'A' && c <= 'F')
			c = static_cast<char>(c - 'A' + 'a');
	}
	const auto from_lower = deserialize(lower);
	ASSERT_TRUE(from_lower.has_value());
	expect_same(state, *from_lower);

	// A fresh token without optional parts round-trips too.
	IssueOptions bare;
	bare.version = std::nullopt;
	bare.note_file = bare.trace_buffer = false;
	const TokenState issued = issue_token(bare);
	const auto issued_back = deserialize(serialize(issued));
	ASSERT_TRUE(issued_back.has_value());
	expect_same(issued, *issued_back);
}

// Replaces the first occurrence of `from`; the test fails if there is none,
// so that no mutation silently leaves the text intact.
std::string replaced(const std::string &text, const std::string &from, const std::string &to)
{
	const size_t at = text.find(from);
	if (at == std::string::npos)
		throw std::logic_error("mutation target missing: " + from);
	std::string out = text;
	out.replace(at, from.size(), to);
	return out;
}

std::string line_starting(const std::string &text, const std::string &prefix)
{
	const size_t at = text.find("\n" + prefix);
	if (at == std::string::npos)
		throw std::logic_error("no line " + prefix);
	const size_t end = text.find('\n', at + 1);
	return text.substr(at + 1, end - at - 1);
}

std::string with_line(const std::string &text, const std::string &line)
{
	return replaced(text, "\nend\n", "\n" + line + "\nend\n");
}

std::string hex_bytes(size_t n, char digit = 'A')
{
	return std::string(2 * n, digit);
}

std::string group_line(int index)
{
	char name[8];
	std::snprintf(name, sizeof name, "%02X", index);
	return "group 0 " + std::string(name) + hex_bytes(63) + " " + hex_bytes(64) + " " +
	       hex_bytes(32);
}

TEST(TokenStateText, EveryKindOfDamageIsRefused)
{
	const std::string good = serialize(small_token());
	ASSERT_TRUE(deserialize(good).has_value());
	const std::string key_line = line_starting(good, "key 0B");
	const std::string key_hex = key_line.substr(7);
	const std::string group = line_starting(good, "group 1");
	const std::string request = line_starting(good, "request");

	std::string many_groups = replaced(good, "maxgroups 20", "maxgroups 64");
	for (int i = 0; i < 63; ++i)
		many_groups = with_line(many_groups, group_line(i));
	// 2 groups of its own and 62 more is the most there can be...
	ASSERT_TRUE(deserialize(replaced(many_groups, group_line(62) + "\n", "")).has_value());

	std::string over_max = good;
	for (int i = 0; i < 19; ++i)
		over_max = with_line(over_max, group_line(i));

	const struct {
		const char *what;
		std::string text;
	} cases[] = {
	        {"empty text", ""},
	        {"tag only", "draxel-token 1\nend\n"},
	        {"other format version", replaced(good, "draxel-token 1", "draxel-token 2")},
	        {"no tag", good.substr(good.find('\n') + 1)},
	        {"no end line", replaced(good, "\nend\n", "\n")},
	        {"end without newline", good.substr(0, good.size() - 1)},
	        {"text after the end", good + "serial 01020304050607\n"},
	        {"blank line after the end", good + "\n"},
	        {"blank line inside", replaced(good, "\nchip", "\n\nchip")},
	        {"carriage returns", replaced(good, "chip other\n", "chip other\r\n")},
	        {"doubled blank", replaced(good, "key 0B ", "key 0B  ")},
	        {"trailing blank", replaced(good, "policy 11\n", "policy 11 \n")},
	        {"unknown keyword", with_line(good, "colour blue")},
	        {"keyword in capitals", replaced(good, "serial ", "SERIAL ")},
	        {"serial missing", replaced(good, "serial 01020304050607\n", "")},
	        {"serial twice", with_line(good, "serial 01020304050607")},
	        {"serial 6 bytes", replaced(good, "serial 01020304050607", "serial 010203040506")},
	        {"serial 8 bytes",
	         replaced(good, "serial 01020304050607", "serial 0102030405060708")},
	        {"chip missing", replaced(good, "chip other\n", "")},
	        {"chip unknown", replaced(good, "chip other", "chip st23l81")},
	        {"bad hex digit", replaced(good, key_line, "key 0B G" + key_hex.substr(1))},
	        {"odd hex length", replaced(good, key_line, key_line + "0")},
	        {"key 31 bytes", replaced(good, key_line, "key 0B " + key_hex.substr(2))},
	        {"key 33 bytes", replaced(good, key_line, key_line + "00")},
	        {"key twice", with_line(good, key_line)},
	        {"key reference 3 digits", replaced(good, "key 0B", "key 00B")},
	        {"key under a password reference", with_line(good, "key 05 " + key_hex)},
	        {"key value missing", with_line(good, "key 21")},
	        {"dskey short", replaced(good, "dskey 4041", "dskey 41")},
	        {"dskey twice", with_line(good, line_starting(good, "dskey"))},
	        {"password twice", with_line(good, line_starting(good, "password 05"))},
	        {"tries above max", replaced(good, "password 05 1 3 ", "password 05 4 3 ")},
	        {"max above 15", replaced(good, "password 05 1 3 ", "password 05 1 16 ")},
	        {"negative tries", replaced(good, "password 05 1 3 ", "password 05 -1 3 ")},
	        {"signed tries", replaced(good, "password 05 1 3 ", "password 05 +1 3 ")},
	        {"tries in hex", replaced(good, "password 05 1 3 ", "password 05 0x1 3 ")},
	        {"tries with leading zero",
	         replaced(good, "password 05 1 3 ", "password 05 01 3 ")},
	        {"empty password", with_line(good, "password 21 3 3 -")},
	        {"password 256 bytes", with_line(good, "password 21 3 3 " + hex_bytes(256))},
	        {"password without value", with_line(good, "password 21 3 3")},
	        {"maxgroups missing", replaced(good, "maxgroups 20\n", "")},
	        {"maxgroups 0", replaced(good, "maxgroups 20", "maxgroups 0")},
	        {"maxgroups 65", replaced(good, "maxgroups 20", "maxgroups 65")},
	        {"more groups than maxgroups", over_max},
	        {"more than 64 groups", many_groups},
	        {"group name 63 bytes", replaced(good, group, "group 1 " + group.substr(10))},
	        {"pass phrase 65 bytes",
	         replaced(good, group, group.substr(0, 137) + "00" + group.substr(137))},
	        {"group key short", replaced(good, group, group.substr(0, group.size() - 2))},
	        {"group admin flag 2", replaced(good, "group 1 ", "group 2 ")},
	        {"group without key", replaced(good, group, group.substr(0, group.rfind(' ')))},
	        {"group name twice", with_line(good, group)},
	        {"policy missing", replaced(good, "policy 11\n", "")},
	        {"policy not a note password", replaced(good, "policy 11", "policy 07")},
	        {"policy twice", with_line(good, "policy 05")},
	        {"file over 65535 bytes", with_line(good, "file app F300 " + hex_bytes(65536))},
	        {"file in unknown directory", with_line(good, "file df F300 00")},
	        {"file named 3F00", with_line(good, "file mf 3F00 00")},
	        {"file id 3 digits", with_line(good, "file app F30 00")},
	        {"file twice", with_line(good, line_starting(good, "file app F210"))},
	        {"empty file written as nothing",
	         replaced(good, "file app 1234 -", "file app 1234 ")},
	        {"empty file written as empty hex",
	         replaced(good, "file app 1234 -", "file app 1234")},
	        {"request nonce 15 bytes",
	         replaced(good, request, "request " + request.substr(10))},
	        {"request phrase missing", replaced(good, request, request.substr(0, 40))},
	        {"request twice", with_line(good, request)},
	};
	std::set<std::string> seen;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		EXPECT_NE(c.text, good);
		EXPECT_TRUE(seen.insert(c.text).second) << "two cases make the same text";
		EXPECT_FALSE(deserialize(c.text).has_value());
	}
}

TEST(TokenStateText, EveryCutShortTextIsRefused)
{
	const std::string good = serialize(small_token());
	for (size_t length = 0; length < good.size(); ++length) {
		ASSERT_FALSE(deserialize(std::string_view(good).substr(0, length)).has_value())
		        << "accepted the first " << length << " bytes";
	}
}

namespace fs = std::filesystem;

class TokenStateFile : public ::testing::Test {
protected:
	static unsigned mode_of(const std::string &path)
	{
		return static_cast<unsigned>(fs::status(path).permissions() & fs::perms::mask);
	}
	static void write_file(const std::string &path, const std::string &text, fs::perms mode)
	{
		test::write_file(path, text);
		fs::permissions(path, mode);
	}

	test::TempDir dir;
	const std::string path_ = dir / "token.state";
};

TEST_F(TokenStateFile, SaveAndLoadRoundTripPrivately)
{
	const TokenState state = used_token();
	// A permissive umask must not widen a file that holds keys.
	const mode_t old_umask = umask(0);
	const bool saved = save_state(path_, state);
	umask(old_umask);
	ASSERT_TRUE(saved);
	EXPECT_EQ(mode_of(path_), 0600u);
	EXPECT_EQ(dir.entries(), std::vector<std::string>{"token.state"});
	const auto loaded = load_state(path_);
	ASSERT_TRUE(loaded.has_value());
	expect_same(state, *loaded);

	// Saving over an older, world-readable state replaces it whole.
	write_file(path_, "old contents\n", fs::perms(0644));
	TokenState changed = state;
	changed.groups.pop_back();
	ASSERT_TRUE(save_state(path_, changed));
	EXPECT_EQ(mode_of(path_), 0600u);
	EXPECT_EQ(dir.entries(), std::vector<std::string>{"token.state"});
	const auto reloaded = load_state(path_);
	ASSERT_TRUE(reloaded.has_value());
	expect_same(changed, *reloaded);
}

TEST_F(TokenStateFile, FailuresLeaveNothingBehind)
{
	// The target is a directory: the rename fails and the temporary goes.
	ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
	EXPECT_FALSE(save_state(path_, small_token()));
	EXPECT_EQ(dir.entries(), std::vector<std::string>{"token.state"});
	EXPECT_FALSE(load_state(path_).has_value());
	rmdir(path_.c_str());

	EXPECT_FALSE(save_state(dir / "missing/token.state", small_token()));
	EXPECT_FALSE(load_state(dir / "missing.state").has_value());
	EXPECT_TRUE(dir.entries().empty());

	// A damaged state file is refused, and loading leaves it as it was.
	const std::string text = serialize(small_token());
	write_file(path_, text.substr(0, text.size() / 2), fs::perms(0600));
	EXPECT_FALSE(load_state(path_).has_value());
	write_file(path_, "draxel-token 1\nend\n", fs::perms(0600));
	EXPECT_FALSE(load_state(path_).has_value());
	EXPECT_EQ(dir.entries(), std::vector<std::string>{"token.state"});

	// Not a regular file: refused without reading it forever.
	EXPECT_FALSE(load_state("/dev/zero").has_value());

	// A saver killed mid-save leaves its temporary, a copy of the keys; the
	// next holder of the lock removes it, and nothing that is not surely one.
	write_file(path_ + ".a1B2c3", text, fs::perms(0600));
	write_file(path_ + ".backup", "my own notes\n", fs::perms(0600));
	fs::create_symlink(path_ + ".a1B2c3", path_ + ".Zz9Zz9");
	EXPECT_EQ(remove_save_leftovers(path_), 1u);
	EXPECT_EQ(dir.entries(), (std::vector<std::string>{"token.state", "token.state.Zz9Zz9",
	                                                   "token.state.backup"}));
}

// The handler between the library and a card: replies that do not fit the
// library's buffer, or have no status word, or come from a card that failed
// inside become 6F00; broken calls are failed exchanges (a length below 2)
// and reach no card.
TEST(InProcessHandler, GuardsTheBuffers)
{
	struct : Card {
		Bytes reply{0x90, 0x00};
		bool throws = false;
		size_t commands = 0;
		Bytes process(std::span<const uint8_t>) override
		{
			++commands;
			if (throws)
				throw std::runtime_error("card failure");
			return reply;
		}
	} card;
	InProcessToken attached(card);
	auto call = [&](Bytes send, int send_len, int capacity = 258) {
		Bytes recv(300, 0xEE);
		attached.table()->handlerScardTransmit(send.data(), send_len, recv.data(),
		                                       &capacity);
		recv.resize(capacity >= 0 && capacity <= 300 ? static_cast<size_t>(capacity) : 0);
		return recv;
	};
	const Bytes select = {0x00, 0xA4, 0x04, 0x0C, 0x02, 0x3F, 0x00},
	            kNoDiagnosis = {0x6F, 0x00};
	card.reply = pattern(258, 0);
	EXPECT_EQ(call(select, 7), card.reply) << "the longest reply that fits";
	card.reply = pattern(259, 0);
	EXPECT_EQ(call(select, 7), kNoDiagnosis);
	card.reply = pattern(100, 0);
	EXPECT_EQ(call(select, 7, 64), kNoDiagnosis);
	card.reply = {0x90};
	EXPECT_EQ(call(select, 7), kNoDiagnosis);
	card.throws = true;
	EXPECT_EQ(call(select, 7), kNoDiagnosis);
	card.throws = false;
	card.reply = {0x90, 0x00};

	const size_t before = card.commands;
	EXPECT_LT(call(select, -1).size(), 2u);
	EXPECT_LT(call(pattern(261, 0), 261).size(), 2u);
	EXPECT_LT(call(select, 7, 1).size(), 2u);
	EXPECT_LT(call(select, 7, -5).size(), 2u);
	Bytes command = select, buffer(258);
	int len = 258;
	attached.table()->handlerScardTransmit(nullptr, 7, buffer.data(), &len);
	EXPECT_LT(len, 2);
	len = 258;
	attached.table()->handlerScardTransmit(command.data(), 7, nullptr, &len);
	EXPECT_LT(len, 2);
	EXPECT_EQ(card.commands, before);
	EXPECT_EQ(call(pattern(260, 0), 260), card.reply)
	        << "the longest command the library sends";
}

// --- the token's own rules -------------------------------------------------

// A token driven by hex commands: "SW" or "data SW" back, as hex.
struct Terminal {
	Token token{issue_token()};
	std::string operator()(const std::string &hex)
	{
		return test::to_hex(token.process(test::from_hex(hex)));
	}
};

const std::string kSelect = "00A4040C0A4D454B54415F50534348", kPin = "002000050431323334",
                  kPuk = "00200007083132333435363738";

// What the library never does, and so cannot show: a session key without an
// environment or for another mode's key, a block without a session key or
// after the chain ended.
TEST(TokenRules, CommandsOutOfOrderAreRefused)
{
	Terminal t;
	t(kSelect);
	EXPECT_EQ(t(kPin), "9000");
	t("002200F3");
	EXPECT_EQ(t("803601010170"), "6985") << "no key chosen";
	EXPECT_EQ(t("002A86800100"), "6985") << "no session key";
	EXPECT_EQ(t("0022C1B80683010D8C0103"), "9000");
	EXPECT_EQ(t("803601010170"), "6985") << "mode 1 wants key 0B";
	EXPECT_EQ(t("0022C1B80683010B8C0103"), "9000");
	EXPECT_EQ(t("803601010170").size(), 2u * (36 + 2));
	EXPECT_EQ(t("102A8680020102").substr(6), "9000");
	EXPECT_EQ(t("002A8680020304").substr(6), "9000");
	EXPECT_EQ(t("002A8680020506"), "6985") << "the chain ended with its last block";
}

// Which password opens which command, for a client that sends whatever it
// likes: every guarded command in every security state, its status word
// (9000 allowed, 6982 refused). A failed verification withdraws the
// password's earlier one, and a reset withdraws them all.
TEST(TokenRules, EachGuardedCommandOpensOnlyToItsPasswords)
{
	const std::string kErase = "00200009083030303030303030", kNote = "002000110434333231",
	                  kKeyLoad = "00200003083131313131313131";
	const std::string kFileCreation =
	        "00200073" +
	        test::to_hex(Bytes{static_cast<uint8_t>(file_creation_password().size())}) +
	        test::to_hex(file_creation_password());
	const std::string kField = std::string(126, '0') + "41" + std::string(126, '0') + "42";
	struct State {
		const char *name;
		std::vector<std::string> steps; // after SELECT of the application
	};
	const std::vector<State> states = {
	        {"none", {}},
	        {"PIN", {kPin}},
	        {"PUK", {kPuk}},
	        {"erase", {kErase}},
	        {"note", {kNote}},
	        {"key load", {kKeyLoad}},
	        {"file creation", {"00A4000C023F00", kFileCreation, kSelect}},
	        {"PIN, then a wrong PIN", {kPin, "002000050430303030"}},
	        {"PUK, then a wrong PUK", {kPuk, "00200007083030303030303030"}},
	        {"PIN, PUK, then a reset", {kPin, kPuk, "reset", kSelect}},
	};
	struct Row {
		const char *what;
		std::vector<std::string> before; // sent after the state's steps
		std::string command;
		std::set<std::string> opened_by;
	};
	const std::vector<Row> rows = {
	        {"reset the PIN's counter", {}, "002C030500", {"PUK"}},
	        {"reset the note password's counter", {}, "002C031100", {"PUK"}},
	        {"change the PIN", {}, "002401050435363738", {"PIN", "PUK"}},
	        {"change the PUK", {}, "00240107083837363534333231", {"PUK"}},
	        {"change the erase password", {}, "00240109083838383838383838", {"erase", "PUK"}},
	        {"change the note password", {}, "002401110438383838", {"note", "PUK"}},
	        {"load a key", {}, "0024010D20" + std::string(64, 'A'), {"key load"}},
	        {"export the duplicate", {}, "8034010000", {"PUK"}},
	        {"import a duplicate piece", {}, "8034020004AABBCCDD", {"PUK"}},
	        {"clear the token", {}, "8038000000", {"erase", "PUK"}},
	        {"clear the note", {}, "8038020000", {"PIN"}},
	        {"change the note policy", {}, "8032020000", {"PIN"}},
	        {"generate the DS key", {}, "8038FF0000", {"PIN"}},
	        {"create a group", {}, "803A010080" + kField, {"PIN"}},
	        {"request to join a group", {}, "803C010040" + kField.substr(128), {"PIN"}},
	        {"a session key", {"0022C1B80683010B8C0103"}, "803601010170", {"PIN"}},
	        {"read the note", {"00A4000C02F210"}, "00B0000004", {"PIN"}},
	        {"write the note", {"00A4000C02F210"}, "00D6000004AABBCCDD", {"PIN"}},
	        {"write the version file", {"00A4000C02F140"}, "00D60000020012", {"file creation"}},
	        {"write the PUK flag", {"00A4000C02F141"}, "00D600000101", {"PUK"}},
	};
	for (const Row &row : rows)
		for (const State &state : states) {
			Terminal t;
			t(kSelect);
			for (const std::string &step : state.steps) {
				if (step == "reset")
					t.token.reset();
				else
					t(step);
			}
			for (const std::string &step : row.before)
				ASSERT_EQ(t(step), "9000") << row.what;
			const std::string sw = t(row.command);
			const std::string want =
			        row.opened_by.contains(state.name) ? "9000" : "6982";
			EXPECT_EQ(sw.substr(sw.size() - 4), want)
			        << row.what << " with " << state.name << " verified";
		}
}

// Sealed items (a duplicate, a join request, an invitation) carry their own
// integrity: any one byte changed, anywhere, and the token refuses the item
// and keeps its state.
TEST(TokenRules, EveryByteOfASealedItemIsChecked)
{
	auto flipped = [](Bytes item, size_t at) {
		item[at] ^= 0x01;
		return item;
	};
	auto with = [](const std::string &header, const Bytes &data) {
		return header + test::to_hex(Bytes{static_cast<uint8_t>(data.size())}) +
		       test::to_hex(data);
	};
	auto data_of = [](const std::string &answer) {
		Bytes data = test::from_hex(answer);
		data.resize(data.size() >= 2 ? data.size() - 2 : 0);
		return data;
	};
	Terminal source;
	source(kSelect);
	ASSERT_EQ(source(kPuk), "9000");
	Bytes duplicate;
	for (Bytes piece; !(piece = data_of(source("8034010000"))).empty();)
		duplicate.insert(duplicate.end(), piece.begin(), piece.end());
	auto import = [&](const Bytes &item) {
		Terminal target;
		target(kSelect);
		target(kPuk);
		const TokenState before = target.token.state();
		for (size_t at = 0; at < item.size(); at += 200)
			target(with("80340200",
			            Bytes(item.begin() + static_cast<long>(at),
			                  item.begin() + static_cast<long>(std::min(item.size(),
			                                                            at + 200)))));
		std::string sw = target("8034020000");
		if (sw != "9000")
			expect_same(target.token.state(), before);
		return sw;
	};
	ASSERT_EQ(import(duplicate), "9000");
	for (size_t at = 0; at < duplicate.size(); ++at)
		ASSERT_EQ(import(flipped(duplicate, at)), "6A80") << "duplicate byte " << at;

	// a join: the request from one token, the invitation from the group's
	// administrator, accepted by the first
	const std::string kName = std::string(126, '0') + "47",
	                  kPhrase = std::string(126, '0') + "50";
	Terminal admin, joiner;
	for (Terminal *t : {&admin, &joiner}) {
		(*t)(kSelect);
		ASSERT_EQ((*t)(kPin), "9000");
	}
	ASSERT_EQ(admin("803A010080" + kName + kPhrase), "9000");
	ASSERT_EQ(admin("803A040040" + kName), "9000");
	const Bytes request = data_of(joiner("803C010040" + kPhrase));
	for (size_t at = 0; at < request.size(); ++at)
		ASSERT_EQ(admin(with("803C0200", flipped(request, at))), "6A80")
		        << "request " << at;
	const Bytes invite = data_of(admin(with("803C0200", request)));
	auto accept = [&](Bytes item) {
		Bytes tail = test::from_hex(std::string(126, '0') + "4A" + kPhrase);
		item.insert(item.end(), tail.begin(), tail.end());
		return joiner(with("803C0300", item));
	};
	for (size_t at = 0; at < invite.size(); ++at)
		ASSERT_EQ(accept(flipped(invite, at)), "6A80") << "invitation byte " << at;
	EXPECT_TRUE(joiner.token.state().groups.empty());
	EXPECT_EQ(accept(invite), "9000");
	EXPECT_EQ(joiner.token.state().groups.size(), 1u);
}

// A token must fail closed: a change its state file cannot keep is refused
// and undone, so that a wrong PIN is never answered uncounted nor a right
// one accepted on a full disk.
TEST(TokenRules, AChangeThatCannotBeSavedIsRefusedAndUndone)
{
	Terminal t;
	bool disk_full = true;
	std::vector<int> saved_pin_tries;
	t.token.persist_with([&](const TokenState &state) {
		if (!disk_full)
			saved_pin_tries.push_back(state.passwords.at(ref::kPin).tries_left);
		return !disk_full;
	});
	t("00A4000C023F00");
	t("00A4000C02F190");
	EXPECT_EQ(t("00D6000004AABBCCDD"), "6581");
	EXPECT_EQ(t("00B0000004"), "000000009000") << "the write undone";
	t(kSelect);
	for (int i = 0; i < 4; ++i)
		EXPECT_EQ(t("002000050430303030"), "6581") << "wrong PIN " << i;
	EXPECT_EQ(t(kPin), "6581");
	EXPECT_EQ(t("0020000500"), "63C3") << "nothing counted, nothing verified";

	disk_full = false;
	EXPECT_EQ(t("002000050430303030"), "63C2");
	EXPECT_EQ(t(kPin), "9000");
	EXPECT_EQ(saved_pin_tries, (std::vector<int>{2, 1, 3})) << "counted before the comparison";
}

} // namespace
} // namespace draxel::sim
