// What the operation tests share: messages and files through the exported
// functions, a scripted token that is the library's current reader, and
// software tokens attached in-process whose exchanges a test can read back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "draxel_lib.h"
#include "support/hex.h"
#include "support/scripted_token.h"
#include "token.h"
#include "token_handler.h"

namespace draxel::test {

constexpr int kFirst = DRAXEL_FILE_FIRST, kLast = DRAXEL_FILE_LAST, kWhole = kFirst | kLast,
              kFast = DRAXEL_FILE_FAST;

inline std::string hex_text(std::string_view text)
{
	return to_hex(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

// A name or pass phrase as the 64-byte field the token takes.
inline Bytes field(std::string_view text)
{
	Bytes f(64, 0);
	std::memcpy(f.data(), text.data(), std::min<size_t>(text.size(), 64));
	return f;
}

inline const std::string kSelectApp = "00A4040C0A" + hex_text("MEKTA_PSCH");

// A hex text as a host may also give it: lower case, blanks and tabs
// between the byte pairs.
inline std::string loosened(const std::string &text)
{
	std::string out;
	for (size_t i = 0; i + 1 < text.size(); i += 2)
		out += std::string(i % 4 ? "\t" : " ") + static_cast<char>(std::tolower(text[i])) +
		       static_cast<char>(std::tolower(text[i + 1]));
	return out;
}

// EncryptMes or DecryptMes into a buffer of the size the query reported;
// 0 or the code.
inline unsigned long message_op(bool encipher, const std::string &in, int mode, const char *phrase,
                                const char *group, std::string &out)
{
	auto op = encipher ? EncryptMes : DecryptMes;
	int size = 0;
	unsigned long rc = op(in.c_str(), nullptr, &size, mode, phrase, group);
	std::string buf(static_cast<size_t>(std::max(size, 1)), '\0');
	if (rc == 0)
		rc = op(in.c_str(), buf.data(), &size, mode, phrase, group);
	out = rc == 0 ? buf.c_str() : "";
	return rc;
}

inline unsigned long encrypt(const std::string &message, int mode, const char *phrase,
                             const char *group, std::string &text)
{
	return message_op(true, message, mode, phrase, group, text);
}

inline unsigned long decrypt(const std::string &text, int mode, const char *phrase,
                             const char *group, std::string &message)
{
	return message_op(false, text, mode, phrase, group, message);
}

inline bool file_state_wiped()
{
	const auto *header = reinterpret_cast<const uint8_t *>(&_file_header);
	return std::all_of(header, header + sizeof _file_header,
	                   [](uint8_t b) { return b == 0; }) &&
	       std::all_of(iv, iv + 8, [](uint8_t b) { return b == 0; });
}

// A file through EncryptFileData or DecryptFileData in pieces of the given
// lengths (flags adds kFast); the code of the first failing piece, which
// must have ended the file, as the last piece must. Each enciphered piece
// goes into a buffer of the size its query gave, each deciphered one into
// one of its own length: a piece's plaintext is never longer. Neither may be
// overrun.
inline unsigned long file_op(bool encipher, const Bytes &in, const std::vector<size_t> &pieces,
                             int mode, const char *phrase, const char *group, int flags, Bytes &out)
{
	auto op = encipher ? EncryptFileData : DecryptFileData;
	out.clear();
	size_t at = 0;
	for (size_t i = 0; i < pieces.size(); at += pieces[i++]) {
		int f = (i == 0 ? kFirst : 0) | (i + 1 == pieces.size() ? kLast : 0) | flags;
		int len = static_cast<int>(pieces[i]), size = len, query = 0;
		if (encipher) {
			EXPECT_EQ(op(in.data() + at, len, nullptr, &query, mode, phrase, group, f),
			          0u);
			size = query;
		}
		Bytes chunk(static_cast<size_t>(size) + 1, 0xEE);
		unsigned long rc =
		        op(in.data() + at, len, chunk.data(), &size, mode, phrase, group, f);
		EXPECT_EQ(chunk.back(), 0xEE) << "piece " << i << " overran its buffer";
		if (rc != 0) {
			EXPECT_TRUE(file_state_wiped()) << "a failing piece ends the file";
			return rc;
		}
		EXPECT_TRUE(!encipher || size == query)
		        << "piece " << i << ": the query was not exact";
		out.insert(out.end(), chunk.begin(), chunk.begin() + size);
	}
	EXPECT_TRUE(file_state_wiped()) << "the last piece wipes the key and the register";
	return 0;
}

// The scripted token as the current reader.
class ScriptedTest : public HostHandlerTest {
protected:
	void SetUp() override
	{
		HostHandlerTest::SetUp();
		cur_context = LogicDLLContext{record, nullptr, 0};
	}
	void TearDown() override
	{
		cur_context = LogicDLLContext{};
		HostHandlerTest::TearDown();
	}
	void replies(int count, const char *reply = "9000")
	{
		for (int i = 0; i < count; ++i)
			token.reply(reply);
	}
	const std::vector<std::string> &sent() const { return token.commands(); }
};

// A card that hands every exchange to the test as well.
class RecordingCard : public sim::Card {
public:
	explicit RecordingCard(sim::Card &inner) : inner_(inner) {}
	std::vector<uint8_t> process(std::span<const uint8_t> apdu) override
	{
		std::vector<uint8_t> reply = inner_.process(apdu);
		exchanges.emplace_back(Bytes(apdu.begin(), apdu.end()), reply);
		return reply;
	}
	void power_off() override { inner_.power_off(); }
	void reset() override { inner_.reset(); }
	bool pull_requested() override { return inner_.pull_requested(); }

	// The reply data (without SW1 SW2) of the last command with this INS and
	// P1; empty when there was none.
	Bytes last_reply(uint8_t ins, uint8_t p1) const
	{
		for (auto it = exchanges.rbegin(); it != exchanges.rend(); ++it)
			if (it->first.size() >= 4 && it->first[1] == ins && it->first[2] == p1)
				return Bytes(it->second.begin(), it->second.end() - 2);
		return {};
	}
	// The data of every reply to commands with this INS, in order.
	Bytes data_of(uint8_t ins) const
	{
		Bytes all;
		for (const auto &[command, reply] : exchanges)
			if (command.size() >= 2 && command[1] == ins && reply.size() >= 2)
				all.insert(all.end(), reply.begin(), reply.end() - 2);
		return all;
	}
	std::vector<std::pair<Bytes, Bytes>> exchanges;

private:
	sim::Card &inner_;
};

// A software token behind the host transmit handler, connected as the
// current reader; every exchange recorded.
class InProcessTest : public ::testing::Test {
protected:
	static constexpr const char *kGroup = "team";
	static constexpr const char *kGroupPhrase = "group phrase";

	void attach(const sim::IssueOptions &options = {})
	{
		own_ = std::make_unique<sim::Token>(sim::issue_token(options));
		attach_existing(*own_);
	}
	// Makes another token (kept by the caller) the one the library talks to.
	void attach_existing(sim::Token &token)
	{
		handler_.reset();
		card_ = std::make_unique<RecordingCard>(token);
		handler_ = std::make_unique<sim::InProcessToken>(*card_);
		InitLib(handler_->table());
		FreeReaderStruct(cur_context.pCurReader);
		cur_context = LogicDLLContext{};
		ASSERT_EQ(ConnectToMekta(false), 0u);
	}
	// A token as its holder has it: the PIN verified and a group made.
	void attach_ready()
	{
		ASSERT_NO_FATAL_FAILURE(attach());
		ASSERT_EQ(VerifyPIN("1234", false), 0u);
		ASSERT_EQ(CreateGroup(kGroup, kGroupPhrase), 0u);
		card().exchanges.clear();
	}
	// A new card session: nothing is verified any more.
	void power_cycle() { handler_->power_cycle(); }
	const sim::TokenState &state() const { return own_->state(); }
	RecordingCard &card() { return *card_; }
	void TearDown() override
	{
		FreeReaderStruct(cur_context.pCurReader);
		cur_context = LogicDLLContext{};
		InitLib(nullptr);
		handler_.reset();
	}

private:
	std::unique_ptr<sim::Token> own_;
	std::unique_ptr<RecordingCard> card_;
	std::unique_ptr<sim::InProcessToken> handler_;
};

} // namespace draxel::test
