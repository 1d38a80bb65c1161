// The software token's rules at APDU level: passwords and their counters,
// the access rules that make the library's order of commands necessary,
// session keys and the PSO chain, groups, duplication, malformed commands.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/hex.h"
#include "t0_card.h"
#include "token.h"

using draxel::sim::IssueOptions;
using draxel::sim::Token;
using draxel::sim::issue_token;
using draxel::test::Bytes;
using draxel::test::from_hex;
using draxel::test::to_hex;

namespace {

const std::string kAid = "4D454B54415F50534348";

std::string hex_of(const std::string& text)
{
	return to_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string field(const std::string& text)
{
	std::string hex = hex_of(text);
	return hex + std::string(128 - hex.size(), '0');
}

std::string lc(size_t n)
{
	return to_hex(Bytes{static_cast<uint8_t>(n)});
}

// Sends hex APDUs to one token and splits its answers.
struct Terminal {
	explicit Terminal(Token& t) : token(t) {}
	std::string send(const std::string& hex)
	{
		Bytes reply = token.process(from_hex(hex));
		std::string all = to_hex(reply);
		sw = all.substr(all.size() - 4);
		data = all.substr(0, all.size() - 4);
		return sw;
	}
	std::string with_data(const std::string& command, const std::string& payload)
	{
		return send(command + lc(payload.size() / 2) + payload);
	}
	void select_application() { ASSERT_EQ(send("00A4040C0A" + kAid), "9000"); }
	void verify(uint8_t reference, const std::string& password)
	{
		ASSERT_EQ(with_data("002000" + to_hex(Bytes{reference}), hex_of(password)), "9000");
	}
	// Generates a session key for the mode; returns the cryptogram.
	void environment(int mode, const std::string& group)
	{
		send("002200F3");
		with_data("0022C1B8", "8301" + to_hex(Bytes{static_cast<uint8_t>(0x09 + 2 * mode)}) + "8C0103");
		EXPECT_EQ(sw, "9000");
		if (!group.empty()) {
			EXPECT_EQ(with_data("803A0400", field(group)), "9000");
		}
	}
	std::string session(int mode, const std::string& phrase, const std::string& group = "")
	{
		environment(mode, group);
		with_data("803601" + to_hex(Bytes{static_cast<uint8_t>(mode)}), hex_of(phrase));
		EXPECT_EQ(sw, "9000");
		return data;
	}
	std::string recover(int mode, const std::string& phrase, const std::string& cryptogram,
	                    const std::string& group = "")
	{
		environment(mode, group);
		return with_data("803602" + to_hex(Bytes{static_cast<uint8_t>(mode)}),
		                 hex_of(phrase) + cryptogram);
	}
	// Runs hex data through the PSO chain in pieces of the given sizes.
	std::string pso(bool encipher, const std::string& hex, const std::vector<size_t>& pieces)
	{
		std::string out;
		size_t at = 0;
		for (size_t i = 0; i < pieces.size(); ++i) {
			std::string cla = i + 1 == pieces.size() ? "00" : "10";
			std::string part = hex.substr(at, pieces[i] * 2);
			at += pieces[i] * 2;
			if (encipher) {
				EXPECT_EQ(with_data(cla + "2A8680", part), "9000");
				out += data.substr(2);
			} else {
				EXPECT_EQ(with_data(cla + "2A8086", "02" + part), "9000");
				out += data;
			}
		}
		return out;
	}

	Token& token;
	std::string sw, data;
};

class TokenTest : public ::testing::Test {
protected:
	Token a{issue_token()};
	Token b{issue_token()};
	Terminal ta{a}, tb{b};
};

TEST_F(TokenTest, PasswordCountersAndBlocking)
{
	ta.select_application();
	EXPECT_EQ(ta.send("0020000500"), "63C3") << "state query: not verified, 3 tries";
	EXPECT_EQ(ta.with_data("00200005", hex_of("123")), "6700") << "too short, not counted";
	EXPECT_EQ(ta.with_data("00200005", hex_of("9999")), "63C2");
	ta.verify(0x05, "1234");
	EXPECT_EQ(ta.send("0020000500"), "9000");
	for (const char* expected : {"63C2", "63C1", "63C0", "6983"})
		EXPECT_EQ(ta.with_data("00200005", hex_of("0000")), expected);
	EXPECT_EQ(ta.with_data("00200005", hex_of("1234")), "6983") << "blocked for good";

	EXPECT_EQ(ta.send("002C030500"), "6982") << "unblocking needs the PUK";
	ta.verify(0x07, "12345678");
	EXPECT_EQ(ta.send("002C030500"), "9000");
	EXPECT_EQ(ta.with_data("00240105", hex_of("5555")), "9000") << "the PUK may set the PIN";
	ta.verify(0x05, "5555");
	a.reset();
	ta.select_application();
	EXPECT_EQ(ta.send("0020000500"), "63C3") << "a reset forgets what was verified";
	EXPECT_EQ(ta.with_data("00240105", hex_of("6666")), "6982");
}

TEST_F(TokenTest, SessionKeysNeedThePinAndAnEnvironment)
{
	ta.select_application();
	EXPECT_EQ(ta.with_data("80360101", hex_of("phrase")), "6982");
	ta.verify(0x05, "1234");
	ta.send("002200F3");
	EXPECT_EQ(ta.with_data("80360101", hex_of("phrase")), "6985") << "no key chosen";
	EXPECT_EQ(ta.with_data("002A8680", "00"), "6985") << "no session key";
	ta.with_data("0022C1B8", "83010D8C0103");
	EXPECT_EQ(ta.with_data("80360101", hex_of("phrase")), "6985") << "mode 1 wants key 0B";
	EXPECT_EQ(ta.with_data("80360112", ""), "9000");
	EXPECT_EQ(ta.data.size(), 2u * 68) << "fast mode hands the file key out";
}

TEST_F(TokenTest, AnySplitOfTheChainDeciphers)
{
	ta.select_application();
	ta.verify(0x05, "1234");
	std::string plain = to_hex(draxel::test::counting(233));
	std::string cryptogram = ta.session(1, "phrase");
	ASSERT_EQ(cryptogram.size(), 2u * 36);
	std::string cipher = ta.pso(true, plain, {232, 1});
	EXPECT_NE(cipher, plain);
	EXPECT_EQ(ta.with_data("002A8680", "00"), "6985") << "the chain ended with its last block";

	EXPECT_EQ(ta.recover(1, "phrase", cryptogram), "9000");
	EXPECT_EQ(ta.pso(false, cipher, {5, 3, 100, 125}), plain);
	EXPECT_EQ(ta.recover(1, "phrase!", cryptogram), "63C0") << "wrong pass phrase";
	EXPECT_EQ(ta.recover(2, "phrase", cryptogram), "63C0") << "wrong key";

	tb.select_application();
	tb.verify(0x05, "1234");
	EXPECT_EQ(tb.recover(1, "phrase", cryptogram), "63C0") << "another token";
}

TEST_F(TokenTest, JoiningAGroupCarriesItsKey)
{
	ta.select_application();
	ta.verify(0x05, "1234");
	EXPECT_EQ(ta.with_data("803A0100", field("team") + field("team phrase")), "9000");
	EXPECT_EQ(ta.with_data("803A0100", field("team") + field("x")), "6984");

	tb.select_application();
	tb.verify(0x05, "1234");
	ASSERT_EQ(tb.with_data("803C0100", field("my phrase")), "9000");
	std::string request = tb.data;
	EXPECT_EQ(ta.with_data("803A0400", field("team")), "9000");
	ASSERT_EQ(ta.with_data("803C0200", request), "9000");
	std::string invite = ta.data;
	EXPECT_LE(invite.size(), 2u * 127) << "fits one accept command";
	EXPECT_EQ(tb.with_data("803C0300", invite + field("our team") + field("wrong")), "63C0");
	ASSERT_EQ(tb.with_data("803C0300", invite + field("our team") + field("my phrase")), "9000");

	std::string cryptogram = ta.session(3, "team phrase", "team");
	std::string cipher = ta.pso(true, "0102030405", {5});
	EXPECT_EQ(tb.recover(3, "my phrase", cryptogram, "our team"), "9000");
	EXPECT_EQ(tb.pso(false, cipher, {2, 3}), "0102030405");

	EXPECT_EQ(tb.with_data("803A0500", field("our team") + field("new")), "6985")
	    << "a member is not the administrator";
	EXPECT_EQ(tb.recover(3, "team phrase", cryptogram, "our team"), "63C0")
	    << "the group's pass phrase on this token is its own";
	EXPECT_EQ(tb.with_data("803C0200", request), "6985");
	EXPECT_EQ(ta.with_data("803A0400", field("nobody")), "6A88");
}

TEST_F(TokenTest, DuplicateRestoresKeysIntoAnotherToken)
{
	ta.select_application();
	ta.verify(0x05, "1234");
	std::string cryptogram = ta.session(1, "p");
	std::string cipher = ta.pso(true, "CAFE", {2});

	EXPECT_EQ(ta.send("9034010000"), "6982") << "the duplicate needs the PUK";
	ta.verify(0x07, "12345678");
	std::vector<std::string> pieces;
	while (ta.send("9034010000") == "9000" && !ta.data.empty())
		pieces.push_back(ta.data);
	ASSERT_FALSE(pieces.empty());

	tb.select_application();
	tb.verify(0x07, "12345678");
	EXPECT_EQ(tb.send("8038000000"), "9000") << "the PUK may clear the token";
	for (const std::string& piece : pieces)
		EXPECT_EQ(tb.with_data("90340200", piece), "9000");
	EXPECT_EQ(tb.send("8034020000"), "9000");
	tb.verify(0x05, "1234");
	EXPECT_EQ(tb.recover(1, "p", cryptogram), "9000");
	EXPECT_EQ(tb.pso(false, cipher, {2}), "CAFE");

	tb.with_data("90340200", pieces[0].substr(2));
	EXPECT_EQ(tb.send("8034020000"), "6A80") << "a damaged duplicate is refused";
}

TEST_F(TokenTest, FilesAndTheirGuards)
{
	EXPECT_EQ(ta.with_data("00A4000C", "F190"), "9000") << "under the master file";
	ta.select_application();
	EXPECT_EQ(ta.with_data("00A40000", "F210"), "9000");
	EXPECT_EQ(ta.data.substr(8, 4), "FF00") << "size in bytes 4 and 5";
	EXPECT_EQ(ta.with_data("00B10000", "54020000"), "6982") << "the note needs its password";
	ta.verify(0x05, "1234");
	EXPECT_EQ(ta.with_data("00D70000", "540200105303AABBCC"), "9000");
	EXPECT_EQ(ta.with_data("00B10000", "54020010"), "9000");
	EXPECT_EQ(ta.data.substr(0, 12), "5381F0AABBCC");
	EXPECT_EQ(ta.with_data("00B10000", "5402FF00"), "6B00");
	EXPECT_EQ(ta.with_data("00A4000C", "F999"), "6A82");

	ta.with_data("00A4000C", "3F00");
	EXPECT_EQ(ta.with_data("00E00000", "62138002010082010183020A0B8606FFFFFF000000"), "6982");
	ta.with_data("00200073", to_hex(draxel::sim::file_creation_password()));
	EXPECT_EQ(ta.sw, "9000");
	EXPECT_EQ(ta.with_data("00E00000", "62138002010082010183020A0B8606FFFFFF000000"), "9000");
	EXPECT_EQ(ta.with_data("00E00000", "62138002010082010183020A0B8606FFFFFF000000"), "6A89");
}

TEST_F(TokenTest, T0CardFetchesRepliesWithGetResponse)
{
	draxel::sim::T0Card t0(a);
	auto send = [&](const std::string& hex) { return to_hex(t0.process(from_hex(hex))); };
	EXPECT_EQ(send("00A4040C0A" + kAid), "9000");
	EXPECT_EQ(send("80FE060000"), "6C07");
	EXPECT_EQ(send("80FE060007").size(), 2u * 9);
	EXPECT_EQ(send("00A40000" "02F210").substr(0, 2), "61");
}

TEST_F(TokenTest, MalformedCommandsGetAStatusWord)
{
	std::mt19937 rng(7);
	for (int i = 0; i < 20000; ++i) {
		Bytes apdu(rng() % 300);
		for (auto& byte : apdu)
			byte = static_cast<uint8_t>(rng());
		if (apdu.size() > 1 && i % 2 == 0)
			apdu[0] = static_cast<uint8_t>(rng() % 2 ? 0x80 : 0x00);
		if (apdu.size() > 4 && i % 3 == 0)
			apdu[4] = static_cast<uint8_t>(apdu.size() - 5);
		Bytes reply = a.process(apdu);
		ASSERT_GE(reply.size(), 2u);
	}
}

} // namespace
