// EncryptMes and DecryptMes: the exact dialogue against a scripted token,
// then round trips through the software token in-process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "encrypt_support.h"

using draxel::test::Bytes;
using draxel::test::counting;
using draxel::test::mse_set;
using draxel::test::opening;
using draxel::test::ScriptedDialogue;
using draxel::test::SoftToken;
using draxel::test::text_hex;
using draxel::test::to_hex;

namespace {

using Commands = std::vector<std::string>;

constexpr unsigned long kNoReader = 101, kBadArgument = 102, kTooSmall = 106,
                        kCannotDecrypt = 113, kCommunication = 116, kNoGroup = 117;
constexpr char kGuard = '#';

const Bytes kCryptogram = counting(36, 0xC0);

std::string ok(const Bytes& data) { return to_hex(data) + "9000"; }

// The text EncryptMes makes of a cryptogram and a ciphertext.
std::string message_text(const Bytes& cryptogram, const Bytes& cipher)
{
	return to_hex(cryptogram) + to_hex(cipher);
}

class MessageDialogue : public ScriptedDialogue {
protected:
	std::string out = std::string(4096, kGuard);
	int capacity = static_cast<int>(out.size()); // what the next call offers
	int size = 0;

	unsigned long encrypt(const std::string& message, int mode = 1, const char* phrase = "pw",
	                      const char* group = nullptr)
	{
		size = capacity;
		return EncryptMes(message.c_str(), out.data(), &size, mode, phrase, group);
	}
	unsigned long decrypt(const std::string& text, int mode = 1, const char* phrase = "pw",
	                      const char* group = nullptr)
	{
		size = capacity;
		return DecryptMes(text.c_str(), out.data(), &size, mode, phrase, group);
	}
	bool untouched() const
	{
		return std::all_of(out.begin(), out.end(), [](char c) { return c == kGuard; });
	}
	// The token's side of an encryption of n bytes: session key, then one
	// PSO reply per block of 232.
	void script_encryption(size_t n, int mode = 1)
	{
		accept_opening(mode);
		token.reply(ok(kCryptogram));
		for (size_t at = 0; at < n; at += 232)
			token.reply("02" + ok(counting(std::min<size_t>(232, n - at), 0x40)));
	}
};

TEST_F(MessageDialogue, EncryptsOneCharacterIntoSeventyFourDigits)
{
	int query = 0;
	EXPECT_EQ(EncryptMes("A", nullptr, &query, 1, "pw", nullptr), 0u);
	EXPECT_EQ(query, 75);
	EXPECT_TRUE(token.commands().empty()) << "the size query needs no token";

	script_encryption(1);
	ASSERT_EQ(encrypt("A"), 0u);
	Commands expected = opening(1);
	expected.insert(expected.end(), {"8036010102" + text_hex("pw"), "002A868001" + text_hex("A")});
	EXPECT_EQ(token.commands(), expected);
	EXPECT_EQ(size, 75);
	EXPECT_EQ(out.substr(0, 75), message_text(kCryptogram, counting(1, 0x40)) + '\0');
	EXPECT_EQ(out[75], kGuard);
}

TEST_F(MessageDialogue, SplitsIntoChainedBlocksOf232)
{
	std::string m232(232, 'x'), m233(233, 'y');
	script_encryption(232, 2);
	ASSERT_EQ(encrypt(m232, 2), 0u);
	EXPECT_EQ(token.commands()[2], mse_set(2));
	EXPECT_EQ(token.commands()[3], "8036010202" + text_hex("pw")) << "mode byte 2";
	EXPECT_EQ(token.commands().back(), "002A8680E8" + text_hex(m232)) << "one block, the last";

	mark();
	script_encryption(233);
	ASSERT_EQ(encrypt(m233), 0u);
	ASSERT_EQ(sent().size(), 6u);
	EXPECT_EQ(sent()[4], "102A8680E8" + text_hex(m233.substr(0, 232)));
	EXPECT_EQ(sent()[5], "002A868001" + text_hex("y"));
	EXPECT_EQ(out.substr(72, 2 * 233), to_hex(counting(232, 0x40)) + to_hex(counting(1, 0x40)));

	// deciphering: the cryptogram goes back with the phrase, then the blocks
	// with their indicator byte
	mark();
	std::string text = message_text(kCryptogram, counting(233, 0x10));
	accept_opening(1);
	token.reply("9000");
	token.reply(ok(Bytes(232, 'p')));
	token.reply(ok(Bytes(1, 'q')));
	ASSERT_EQ(decrypt(text), 0u);
	Commands expected = opening(1);
	expected.insert(expected.end(), {"8036020126" + text_hex("pw") + to_hex(kCryptogram),
	                                 "102A8086E902" + to_hex(counting(232, 0x10)),
	                                 "002A80860202" + to_hex(counting(1, 0xF8))});
	EXPECT_EQ(sent(), expected);
	EXPECT_EQ(size, 234);
	EXPECT_EQ(out.substr(0, 234), std::string(232, 'p') + "q" + '\0');
}

TEST_F(MessageDialogue, GroupModeSelectsThePaddedName)
{
	std::string longest(64, 'g');
	script_encryption(3, 3);
	ASSERT_EQ(encrypt("abc", 3, "", longest.c_str()), 0u);
	Commands expected = opening(3);
	expected.insert(expected.end(), {"803A040040" + text_hex(longest), "8036010300",
	                                 "002A868003" + text_hex("abc")});
	EXPECT_EQ(token.commands(), expected);

	mark();
	accept_opening(1);
	token.reply("6A88");
	EXPECT_EQ(encrypt("abc", 3, "", "nobody"), kNoGroup);
	EXPECT_EQ(sent().size(), 4u);
	EXPECT_EQ(sent().back(), draxel::test::select_group("nobody"));
	EXPECT_EQ(cur_context.error, kNoGroup);
}

TEST_F(MessageDialogue, RefusesBadArgumentsBeforeTheToken)
{
	std::string too_long_group(65, 'g');
	int query = 0;
	EXPECT_EQ(encrypt("abc", 3, "pw", too_long_group.c_str()), kBadArgument);
	EXPECT_EQ(encrypt("abc", 3, "pw", ""), kBadArgument);
	EXPECT_EQ(encrypt("abc", 3, "pw", nullptr), kBadArgument);
	EXPECT_EQ(encrypt("abc", 0), kBadArgument);
	EXPECT_EQ(encrypt("abc", 4), kBadArgument);
	EXPECT_EQ(decrypt(std::string(74, '0'), 4), kBadArgument);
	EXPECT_EQ(encrypt(""), kBadArgument);
	EXPECT_EQ(EncryptMes(nullptr, nullptr, &query, 1, "pw", nullptr), kBadArgument);
	EXPECT_EQ(EncryptMes("abc", out.data(), nullptr, 1, "pw", nullptr), kBadArgument);
	EXPECT_EQ(EncryptMes("abc", nullptr, nullptr, 1, "pw", nullptr), kBadArgument);
	EXPECT_EQ(DecryptMes(nullptr, nullptr, &query, 1, "pw", nullptr), kBadArgument);
	EXPECT_EQ(DecryptMes(std::string(74, '0').c_str(), out.data(), nullptr, 1, "pw", nullptr),
	          kBadArgument);
	for (size_t len : {0, 72, 73, 75})
		EXPECT_EQ(decrypt(std::string(len, 'A')), kBadArgument) << len;
	EXPECT_EQ(cur_context.error, kBadArgument);
	cur_context.pCurReader = nullptr;
	EXPECT_EQ(encrypt("abc"), kNoReader);
	EXPECT_EQ(decrypt(std::string(74, '0')), kNoReader);
	EXPECT_EQ(EncryptMes("abc", nullptr, &query, 1, "pw", nullptr), 0u) << "a query needs none";
	EXPECT_EQ(query, 79);
	cur_context.pCurReader = record;
	EXPECT_TRUE(token.commands().empty());
	EXPECT_TRUE(untouched());

	// the pass phrase is measured once the environment is set
	std::string phrase220(220, 'p'), phrase219(219, 'p');
	accept_opening(1);
	EXPECT_EQ(encrypt("abc", 1, phrase220.c_str()), kBadArgument);
	EXPECT_EQ(token.commands(), opening(1));
	mark();
	script_encryption(3);
	EXPECT_EQ(encrypt("abc", 1, phrase219.c_str()), 0u);
	EXPECT_EQ(sent()[3], "80360101DB" + text_hex(phrase219));
	mark();
	script_encryption(3);
	EXPECT_EQ(encrypt("abc", 1, nullptr), 0u) << "a null phrase is the empty one";
	EXPECT_EQ(sent()[3], "8036010100");
}

TEST_F(MessageDialogue, DecryptionSizeAndMalformedTexts)
{
	int query = 0;
	EXPECT_EQ(DecryptMes(std::string(74, '0').c_str(), nullptr, &query, 1, "pw", nullptr), 0u);
	EXPECT_EQ(query, 2);
	EXPECT_EQ(DecryptMes(std::string(80, 'Z').c_str(), nullptr, &query, 1, "pw", nullptr), 0u);
	EXPECT_EQ(query, 5) << "the query is arithmetic";
	EXPECT_TRUE(token.commands().empty());

	// texts of an acceptable length that do not decode to a cryptogram and a
	// byte: a pair that is not hex, blanks that make it short
	std::string valid = message_text(kCryptogram, Bytes{0x55});
	std::string not_hex = valid;
	not_hex[40] = 'G';
	std::string blanks = " " + valid.substr(0, 72) + " ";
	std::string tab_inside = valid.substr(0, 73) + "\t";
	for (const std::string& text : {not_hex, blanks, tab_inside}) {
		mark();
		accept_opening(1);
		EXPECT_EQ(decrypt(text), kBadArgument) << text;
		EXPECT_EQ(sent(), opening(1)) << text;
		EXPECT_TRUE(no_cipher_command()) << text;
		EXPECT_TRUE(untouched());
	}

	// lower case and blanks between pairs are read
	std::string spaced;
	for (size_t i = 0; i < valid.size(); i += 2)
		spaced += static_cast<char>(std::tolower(valid[i])) + std::string(1, valid[i + 1]) + " ";
	spaced += spaced.size() % 2 != 0 ? " " : "";
	mark();
	accept_opening(1);
	token.reply("9000");
	token.reply(ok(Bytes{'z'}));
	ASSERT_EQ(decrypt(spaced), 0u);
	EXPECT_EQ(sent()[3], "8036020126" + text_hex("pw") + to_hex(kCryptogram));
	EXPECT_EQ(out.substr(0, 2), std::string("z") + '\0');
}

TEST_F(MessageDialogue, ASizeOneShortWritesNothing)
{
	script_encryption(5);
	capacity = 82;
	EXPECT_EQ(encrypt("hello"), kTooSmall) << "83 with the zero";
	EXPECT_EQ(size, 82);
	EXPECT_TRUE(untouched());
	EXPECT_EQ(cur_context.error, kTooSmall);

	capacity = -1;
	script_encryption(5);
	EXPECT_EQ(encrypt("hello"), kTooSmall);
	EXPECT_EQ(size, -1);

	std::string text = message_text(kCryptogram, Bytes(5, 0x11));
	accept_opening(1);
	token.reply("9000");
	token.reply(ok(Bytes(5, 'h')));
	capacity = 5;
	EXPECT_EQ(decrypt(text), kTooSmall) << "five bytes and the zero";
	EXPECT_EQ(size, 5);
	EXPECT_TRUE(untouched());
}

TEST_F(MessageDialogue, TheTokensAnswersAreChecked)
{
	// a session-key answer of any length but 36 stops before the data
	for (size_t len : {0u, 35u, 37u, 68u}) {
		mark();
		accept_opening(1);
		token.reply(ok(counting(len)));
		EXPECT_EQ(encrypt("abc"), kNoReader) << len;
		EXPECT_TRUE(untouched());
		EXPECT_EQ(sent().size(), 4u) << "no PSO after a bad cryptogram";
	}
	accept_opening(1);
	token.reply(ok(counting(69)));
	EXPECT_EQ(encrypt("abc"), 8u) << "longer than the library's room";

	// a PSO answer of the wrong length
	accept_opening(1);
	token.reply(ok(kCryptogram));
	token.reply("02" + ok(counting(2)));
	EXPECT_EQ(encrypt("abc"), kNoReader);

	// an exchange that fails
	token.reply("9000");
	token.reply_with_length("9000", 1);
	EXPECT_EQ(encrypt("abc"), kCommunication);
	EXPECT_EQ(cur_context.error, kCommunication);
	EXPECT_TRUE(untouched());
}

// 63C0 at any step of either dialogue is the wrong-phrase code.
TEST_F(MessageDialogue, WrongSessionKeyAtAnyStepIs113)
{
	std::string text = message_text(kCryptogram, Bytes(240, 0x11));
	for (int failing = 0; failing < 6; failing++) {
		for (bool enciphering : {true, false}) {
			for (int step = 0; step < failing; step++)
				token.reply(step == 3 && enciphering ? ok(kCryptogram)
				            : step >= 4 && enciphering ? "02" + ok(Bytes(232, 0))
				            : step == 4             ? ok(Bytes(232, 0))
				                                    : "9000");
			token.reply("63C0");
			cur_context.error = 0;
			mark();
			unsigned long rc = enciphering ? encrypt(std::string(240, 'm')) : decrypt(text);
			EXPECT_EQ(rc, kCannotDecrypt) << failing << (enciphering ? " enciphering" : " deciphering");
			EXPECT_EQ(sent().size(), static_cast<size_t>(failing + 1)) << "it stops there";
			EXPECT_EQ(cur_context.error, kCannotDecrypt);
			EXPECT_TRUE(untouched());
		}
	}
}

// ---- through the software token ---------------------------------------------

class MessageRoundTrip : public SoftToken {
protected:
	std::string encrypt(const std::string& message, int mode, const char* phrase,
	                    const char* group, unsigned long* rc)
	{
		int size = 0;
		*rc = EncryptMes(message.c_str(), nullptr, &size, mode, phrase, group);
		std::string text(static_cast<size_t>(size), '#');
		if (*rc == 0)
			*rc = EncryptMes(message.c_str(), text.data(), &size, mode, phrase, group);
		EXPECT_TRUE(*rc != 0 || size == static_cast<int>(text.size())) << "the query was exact";
		text.resize(*rc == 0 ? static_cast<size_t>(size - 1) : 0);
		return text;
	}
	std::string decrypt(const std::string& text, int mode, const char* phrase, const char* group,
	                    unsigned long* rc)
	{
		int size = 0;
		*rc = DecryptMes(text.c_str(), nullptr, &size, mode, phrase, group);
		std::string plain(static_cast<size_t>(size), '#');
		if (*rc == 0)
			*rc = DecryptMes(text.c_str(), plain.data(), &size, mode, phrase, group);
		plain.resize(*rc == 0 ? std::strlen(plain.c_str()) : 0);
		return plain;
	}
	const char* group_of(int mode) { return mode == 3 ? kGroup : nullptr; }
	const char* phrase_of(int mode) { return mode == 3 ? kGroupPhrase : "my phrase"; }
};

TEST_F(MessageRoundTrip, EveryModeAndLength)
{
	for (int mode = 1; mode <= 3; mode++) {
		for (size_t len : {1, 7, 8, 231, 232, 233, 464, 465, 1000}) {
			std::string message;
			for (size_t i = 0; i < len; i++)
				message += static_cast<char>('a' + (i * 7 + len) % 26);
			unsigned long rc;
			std::string text = encrypt(message, mode, phrase_of(mode), group_of(mode), &rc);
			ASSERT_EQ(rc, 0u) << mode << "/" << len;
			EXPECT_EQ(text.size(), 72 + 2 * len);
			if (len >= 8) {
				EXPECT_EQ(text.find(text_hex(message)), std::string::npos) << "enciphered";
			}
			EXPECT_EQ(decrypt(text, mode, phrase_of(mode), group_of(mode), &rc), message)
			    << mode << "/" << len;
			EXPECT_EQ(rc, 0u);
		}
	}
	// the transcript: one PSO per 232 bytes and nothing but the dialogue
	size_t pso = 0;
	for (const auto& [command, reply] : card.exchanges)
		pso += command[1] == 0x2A;
	EXPECT_EQ(pso, 3u * 2 * (1 + 1 + 1 + 1 + 1 + 2 + 2 + 3 + 5));
}

TEST_F(MessageRoundTrip, WrongPhraseModeGroupOrSessionFail)
{
	unsigned long rc;
	std::string text = encrypt("secret", 1, "my phrase", nullptr, &rc);
	ASSERT_EQ(rc, 0u);
	EXPECT_NE(encrypt("secret", 1, "my phrase", nullptr, &rc), text) << "a fresh session key";
	decrypt(text, 1, "other", nullptr, &rc);
	EXPECT_EQ(rc, kCannotDecrypt);
	EXPECT_EQ(cur_context.error, kCannotDecrypt);
	decrypt(text, 2, "my phrase", nullptr, &rc);
	EXPECT_EQ(rc, kCannotDecrypt) << "another key";
	EXPECT_EQ(decrypt(text, 1, "my phrase", nullptr, &rc), "secret");

	encrypt("secret", 3, "not the group's", kGroup, &rc);
	EXPECT_EQ(rc, kCannotDecrypt);
	encrypt("secret", 3, kGroupPhrase, "no such group", &rc);
	EXPECT_EQ(rc, kNoGroup);
	std::string group_text = encrypt("secret", 3, kGroupPhrase, kGroup, &rc);
	ASSERT_EQ(rc, 0u);
	decrypt(group_text, 1, kGroupPhrase, nullptr, &rc);
	EXPECT_EQ(rc, kCannotDecrypt);

	power_cycle();
	decrypt(text, 1, "my phrase", nullptr, &rc);
	EXPECT_EQ(rc, 104u) << "the PIN is verified per card session";
}

} // namespace
