// What the message and file tests share: the token dialogue as hex commands
// for a scripted token, and a software token in-process whose exchanges a
// test can read back.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "draxel_lib.h"
#include "support/hex.h"
#include "support/scripted_token.h"
#include "token.h"
#include "token_handler.h"

namespace draxel::test {

// The opening of every dialogue, as the library frames it.
inline const std::string kSelectApp = "00A4040C0A4D454B54415F50534348";
inline const std::string kMseReset = "0022F30000";
std::string mse_set(int mode);                   // key 0B, 0D, 0F
std::string select_group(const std::string& name); // the 64-byte field
std::string text_hex(const std::string& s);
// The three commands every dialogue starts with.
std::vector<std::string> opening(int mode);

// A scripted token that is the library's current reader.
class ScriptedDialogue : public HostHandlerTest {
protected:
	void SetUp() override;
	void TearDown() override;
	// Replies 9000 to the opening (and, in mode 3, to the group selection).
	void accept_opening(int mode);
	// Commands sent since the last mark().
	void mark() { mark_ = token.commands().size(); }
	std::vector<std::string> sent() const;
	// True when no session-key or PSO command was sent since the mark.
	bool no_cipher_command() const;

private:
	size_t mark_ = 0;
};

// A software token that hands every exchange to the test as well.
class RecordingCard : public sim::Card {
public:
	explicit RecordingCard(sim::Card& inner) : inner_(inner) {}
	std::vector<uint8_t> process(std::span<const uint8_t> apdu) override;
	void power_off() override { inner_.power_off(); }
	void reset() override { inner_.reset(); }

	// Every (command, reply) pair so far.
	std::vector<std::pair<Bytes, Bytes>> exchanges;
	// The reply data (without SW1 SW2) of the last command with this INS
	// and P1; empty when there was none.
	Bytes last_reply(uint8_t ins, uint8_t p1) const;

private:
	sim::Card& inner_;
};

// The library connected to a software token in-process, its PIN verified
// and a group made, as a holder of the token would have it.
class SoftToken : public ::testing::Test {
protected:
	static constexpr const char* kGroup = "team";
	static constexpr const char* kGroupPhrase = "group phrase";

	SoftToken();
	void SetUp() override;
	void TearDown() override;
	// A new card session: the PIN is no longer verified.
	void power_cycle() { attached.power_cycle(); }

	sim::Token token;
	RecordingCard card;
	sim::InProcessToken attached;
};

} // namespace draxel::test
