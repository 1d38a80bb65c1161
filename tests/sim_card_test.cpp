// The virtual card: the T=0 adaptation and the vpcd link. The test card's
// own commands are exercised through pcscd by pcsc_e2e_test.cpp.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include "support/hex.h"
#include "t0_card.h"
#include "test_card.h"
#include "vpcd_client.h"

namespace draxel::sim {
namespace {

using test::Bytes;
using test::cat;
using test::counting;

// Answers every command with a fixed reply and records what reached it.
class ScriptedCard : public Card {
public:
	explicit ScriptedCard(Bytes reply) : reply_(std::move(reply)) {}
	Bytes process(std::span<const uint8_t> apdu) override
	{
		commands.emplace_back(apdu.begin(), apdu.end());
		return reply_;
	}
	void power_off() override { ++power_offs; }
	void reset() override { ++resets; }

	std::vector<Bytes> commands;
	int power_offs = 0;
	int resets = 0;

private:
	Bytes reply_;
};

// Counts commands on the way to a TestCard.
class CountingTestCard : public Card {
public:
	Bytes process(std::span<const uint8_t> apdu) override
	{
		++commands;
		return inner_.process(apdu);
	}
	int commands = 0;

private:
	TestCard inner_;
};

const Bytes kGetResponseAll = {0x00, 0xC0, 0x00, 0x00, 0x00};

// --- T0Card ---------------------------------------------------------------

// Any other command, a power-off or a reset drops a held reply: a stale one
// is never handed out. (The replies held for GET RESPONSE and a wrong Le
// corrected run through every operation over T=0 in fault_test.cpp and the
// T=0 tokens through pcscd; malformed commands are the fuzz target
// fuzz_token_apdu's.)
TEST(T0Card, AnythingElseDropsTheHeldReply)
{
	CountingTestCard inner;
	T0Card card(inner);
	const Bytes wrong_le = {0x80, 0xF2, 0x10, 0x00, 0x08};
	ASSERT_EQ(card.process(wrong_le), (Bytes{0x6C, 0x10}));
	card.process(Bytes{0x80, 0xF0, 0x90, 0x00});
	card.process(Bytes{0x80, 0xF2, 0x10, 0x00, 0x10});
	EXPECT_EQ(inner.commands, 3);
	ASSERT_EQ(card.process(wrong_le), (Bytes{0x6C, 0x10}));
	EXPECT_EQ(card.process(Bytes{0x80, 0xF2, 0x10, 0x00, 0x07}), (Bytes{0x6C, 0x10}))
	        << "still the wrong P3: the command runs";
	EXPECT_EQ(inner.commands, 5);
	ASSERT_EQ(card.process(Bytes{0x80, 0xF0, 0x90, 0x00, 2, 1, 2}), (Bytes{0x61, 0x02}));
	card.process(Bytes{0x80, 0xF0, 0x90, 0x00});
	EXPECT_EQ(card.process(kGetResponseAll), cat(counting(256), {0x90, 0x00}))
	        << "GET RESPONSE reaches the inner card once nothing is held";

	ScriptedCard scripted(cat(counting(4), {0x90, 0x00}));
	T0Card card2(scripted);
	card2.process(Bytes{0x80, 0x10, 0, 0, 1, 0xAA});
	card2.reset();
	card2.process(kGetResponseAll);
	card2.process(Bytes{0x80, 0x10, 0, 0, 0x02});
	card2.power_off();
	card2.process(Bytes{0x80, 0x10, 0, 0, 0x04});
	EXPECT_EQ(scripted.commands.size(), 4u);
	EXPECT_EQ(scripted.resets, 1);
	EXPECT_EQ(scripted.power_offs, 1);
}

// --- VpcdClient -----------------------------------------------------------

TEST(VpcdClient, AtrsAreWellFormed)
{
	// TCK makes the XOR of T0..TCK zero; a T=0-only ATR carries none.
	const uint8_t check = std::accumulate(kAtrT1.begin() + 1, kAtrT1.end(), uint8_t{0},
	                                      [](uint8_t a, uint8_t b) { return uint8_t(a ^ b); });
	EXPECT_EQ(check, 0);
	EXPECT_EQ(kAtrT1[2] & 0x0F, 1) << "first protocol offered is T=1";
	EXPECT_EQ(kAtrT0[1] & 0xF0, 0) << "no interface bytes: T=0 only";
	EXPECT_EQ(kAtrT0.size(), 2u + (kAtrT0[1] & 0x0F));
}

Bytes frame(const Bytes &payload)
{
	return cat({uint8_t(payload.size() >> 8), uint8_t(payload.size() & 0xFF)}, payload);
}

// The reader side of a vpcd connection, over a socketpair.
class VpcdLink : public ::testing::Test {
protected:
	void SetUp() override
	{
		int fds[2];
		ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
		reader_ = fds[0];
		card_side_ = fds[1];
		timeval timeout{5, 0}; // a broken client fails the test instead of hanging it
		::setsockopt(reader_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
		client_ = std::make_unique<VpcdClient>(card_, Bytes(kAtrT1.begin(), kAtrT1.end()));
		server_ = std::thread([this] { client_->serve_connection(card_side_); });
	}
	void TearDown() override
	{
		client_->stop();
		server_.join();
		if (reader_ >= 0)
			::close(reader_);
		::close(card_side_);
	}

	void send_bytes(const Bytes &bytes)
	{
		ASSERT_EQ(::send(reader_, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
	}
	Bytes receive()
	{
		uint8_t len[2];
		if (::recv(reader_, len, 2, MSG_WAITALL) != 2)
			return {0xDE, 0xAD};
		Bytes payload((size_t(len[0]) << 8) | len[1]);
		if (::recv(reader_, payload.data(), payload.size(), MSG_WAITALL) !=
		    ssize_t(payload.size()))
			return {0xDE, 0xAD};
		return payload;
	}

	TestCard test_card_;
	T0Card card_{test_card_};
	int reader_ = -1;
	int card_side_ = -1;
	std::unique_ptr<VpcdClient> client_;
	std::thread server_;
};

const Bytes kGetAtr = {0x04};
const Bytes kAtr(kAtrT1.begin(), kAtrT1.end());

// Messages arrive coalesced, byte by byte, or larger than any APDU; each
// gets its answer, in order. Power controls get none and drop what the
// card held; short and empty APDUs still get a status word.
TEST_F(VpcdLink, MessagesHoweverTheyArrive)
{
	Bytes burst = cat(frame(kGetAtr), frame({0x01}));
	burst = cat(burst, frame({0x80, 0xF2, 0x03, 0x00, 0x03}));
	burst = cat(burst, frame({0x80, 0xF2, 0x02, 0x00, 0x05}));
	send_bytes(cat(burst, frame(kGetAtr)));
	EXPECT_EQ(receive(), kAtr);
	EXPECT_EQ(receive(), (Bytes{0, 1, 2, 0x90, 0x00}));
	EXPECT_EQ(receive(), (Bytes{0x6C, 0x02}));
	EXPECT_EQ(receive(), kAtr);

	const Bytes stream = cat(frame({0x80, 0xF0, 0x90, 0x00, 3, 7, 8, 9}), frame(kGetAtr));
	for (uint8_t byte : stream) {
		send_bytes({byte});
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	EXPECT_EQ(receive(), (Bytes{0x61, 0x03}));
	EXPECT_EQ(receive(), kAtr);

	Bytes apdu = cat({0x80, 0xF0, 0x90, 0x00, 0x00, 0x10, 0x00}, counting(0x1000));
	send_bytes(cat(frame(apdu), frame(kGetResponseAll)));
	EXPECT_EQ(receive(), (Bytes{0x61, 0x00}));
	EXPECT_EQ(receive(), cat(counting(256), {0x61, 0x00}));

	send_bytes(frame({0x80, 0xF2, 0x04, 0x00, 0x00}));
	EXPECT_EQ(receive(), (Bytes{0x6C, 0x04}));
	// power off, power on, reset, an unknown code: the next answer is the ATR
	send_bytes(cat(cat(frame({0x00}), frame({0x01})), cat(frame({0x02}), frame({0x03}))));
	send_bytes(frame(kGetAtr));
	EXPECT_EQ(receive(), kAtr);
	send_bytes(frame({0x80, 0xF2, 0x04, 0x00, 0x04}));
	EXPECT_EQ(receive(), cat(counting(4), {0x90, 0x00})) << "the held 6C went with the power";

	send_bytes(cat(frame({}), frame({0x80, 0xF0})));
	EXPECT_EQ(receive(), (Bytes{0x67, 0x00}));
	EXPECT_EQ(receive(), (Bytes{0x67, 0x00}));

	// the reader's end of the link ends serving, even in the middle of a message
	send_bytes({0x00, 0x09, 0x80});
	::close(reader_);
	reader_ = -1;
	server_.join();
	server_ = std::thread([] {});
}

TEST(VpcdClientFraming, StopWorksWhileTheReaderIsNotReading)
{
	ScriptedCard card(Bytes(60000, 0x90));
	VpcdClient client(card, Bytes(kAtrT1.begin(), kAtrT1.end()));
	int fds[2];
	ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
	std::thread server([&] { client.serve_connection(fds[1]); });
	Bytes requests;
	for (int i = 0; i < 64; ++i)
		requests = cat(requests, frame({0x80, 0x10, 0x00, 0x00}));
	ASSERT_EQ(::send(fds[0], requests.data(), requests.size(), 0), ssize_t(requests.size()));
	std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let the send buffer fill
	client.stop();
	server.join();
	EXPECT_LT(card.commands.size(), 64u) << "the responses never fitted into the socket";
	EXPECT_TRUE(client.stopped());
	EXPECT_TRUE(client.wait_for_stop(std::chrono::hours(1))) << "stop is for good";
	::close(fds[0]);
	::close(fds[1]);
}

} // namespace
} // namespace draxel::sim
