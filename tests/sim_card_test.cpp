// The virtual card: T=0 adaptation, the scripted test card and vpcd framing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include "t0_card.h"
#include "test_card.h"
#include "vpcd_client.h"

namespace draxel::sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i);
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Answers every command with a fixed reply and records what reached it.
class ScriptedCard : public Card {
 public:
  explicit ScriptedCard(Bytes reply) : reply_(std::move(reply)) {}
  Bytes process(std::span<const uint8_t> apdu) override {
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
  Bytes process(std::span<const uint8_t> apdu) override {
    ++commands;
    return inner_.process(apdu);
  }
  int commands = 0;

 private:
  TestCard inner_;
};

const Bytes kGetResponseAll = {0x00, 0xC0, 0x00, 0x00, 0x00};

// --- T0Card ---------------------------------------------------------------

TEST(T0Card, CommandWithDataDefersResponseToGetResponseChain) {
  ScriptedCard inner(concat(pattern(0x30), {0x90, 0x00}));
  T0Card card(inner);

  EXPECT_EQ(card.process(Bytes{0x80, 0x10, 0, 0, 2, 0xAA, 0xBB}), (Bytes{0x61, 0x30}));
  EXPECT_EQ(card.process(Bytes{0x00, 0xC0, 0, 0, 0x10}),
            concat(pattern(0x10), {0x61, 0x20}));
  const Bytes all = pattern(0x30);
  // Asking for more than remains hands out what remains.
  EXPECT_EQ(card.process(Bytes{0x00, 0xC0, 0, 0, 0x40}),
            concat(Bytes(all.begin() + 0x10, all.end()), {0x90, 0x00}));
  EXPECT_EQ(inner.commands.size(), 1u);

  // The chain is exhausted: GET RESPONSE now belongs to the inner card again.
  card.process(kGetResponseAll);
  EXPECT_EQ(inner.commands.size(), 2u);
}

TEST(T0Card, FullAndOverlongResponsesUseLengthByteZero) {
  ScriptedCard exact(concat(pattern(256), {0x90, 0x00}));
  T0Card card(exact);
  EXPECT_EQ(card.process(Bytes{0x80, 0x10, 0, 0, 1, 0xAA, 0x00}), (Bytes{0x61, 0x00}));
  EXPECT_EQ(card.process(kGetResponseAll), concat(pattern(256), {0x90, 0x00}));

  // More than 256 bytes cannot be named by 6Cxx, even for a case-2 command.
  const Bytes big = pattern(300);
  ScriptedCard overlong(concat(big, {0x90, 0x00}));
  T0Card card2(overlong);
  EXPECT_EQ(card2.process(Bytes{0x80, 0x10, 0, 0, 0x00}), (Bytes{0x61, 0x00}));
  EXPECT_EQ(card2.process(kGetResponseAll),
            concat(Bytes(big.begin(), big.begin() + 256), {0x61, 44}));
  EXPECT_EQ(card2.process(kGetResponseAll),
            concat(Bytes(big.begin() + 256, big.end()), {0x90, 0x00}));
}

TEST(T0Card, WrongLeIsCorrectedWithoutRunningTheCommandTwice) {
  CountingTestCard inner;
  T0Card card(inner);

  EXPECT_EQ(card.process(Bytes{0x80, 0xF2, 0x10, 0x00, 0x00}), (Bytes{0x6C, 0x10}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF2, 0x10, 0x00, 0x10}), concat(pattern(0x10), {0x90, 0x00}));
  EXPECT_EQ(inner.commands, 1);

  // Nothing pending any more: the same command runs again, and matches.
  EXPECT_EQ(card.process(Bytes{0x80, 0xF2, 0x10, 0x00, 0x10}), concat(pattern(0x10), {0x90, 0x00}));
  EXPECT_EQ(inner.commands, 2);

  // 256 bytes held are re-requested with P3 = 00.
  ScriptedCard full(concat(pattern(256), {0x90, 0x00}));
  T0Card card2(full);
  EXPECT_EQ(card2.process(Bytes{0x80, 0x10, 0, 0, 0x08}), (Bytes{0x6C, 0x00}));
  EXPECT_EQ(card2.process(Bytes{0x80, 0x10, 0, 0, 0x00}), concat(pattern(256), {0x90, 0x00}));
  EXPECT_EQ(full.commands.size(), 1u);
}

TEST(T0Card, AnyOtherCommandDropsTheHeldResponse) {
  CountingTestCard inner;
  T0Card card(inner);
  const Bytes wrong_le = {0x80, 0xF2, 0x10, 0x00, 0x08};
  const Bytes reissue = {0x80, 0xF2, 0x10, 0x00, 0x10};

  ASSERT_EQ(card.process(wrong_le), (Bytes{0x6C, 0x10}));
  card.process(Bytes{0x80, 0xF0, 0x90, 0x00});
  card.process(reissue);
  EXPECT_EQ(inner.commands, 3);

  // A re-issue with another header or still the wrong P3 runs the command.
  ASSERT_EQ(card.process(wrong_le), (Bytes{0x6C, 0x10}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF2, 0x10, 0x00, 0x07}), (Bytes{0x6C, 0x10}));
  EXPECT_EQ(inner.commands, 5);

  // A case-4 chain is dropped by an unrelated command, too.
  ASSERT_EQ(card.process(Bytes{0x80, 0xF0, 0x90, 0x00, 2, 1, 2}), (Bytes{0x61, 0x02}));
  card.process(Bytes{0x80, 0xF0, 0x90, 0x00});
  EXPECT_EQ(card.process(kGetResponseAll), concat(pattern(256), {0x90, 0x00}))
      << "GET RESPONSE must reach the inner card once nothing is held";
}

TEST(T0Card, PowerOffAndResetDropHeldResponseAndReachInnerCard) {
  ScriptedCard inner(concat(pattern(4), {0x90, 0x00}));
  T0Card card(inner);

  card.process(Bytes{0x80, 0x10, 0, 0, 1, 0xAA});
  card.reset();
  card.process(kGetResponseAll);
  EXPECT_EQ(inner.commands.size(), 2u);

  card.process(Bytes{0x80, 0x10, 0, 0, 0x02});
  card.power_off();
  card.process(Bytes{0x80, 0x10, 0, 0, 0x04});
  EXPECT_EQ(inner.commands.size(), 4u);
  EXPECT_EQ(inner.resets, 1);
  EXPECT_EQ(inner.power_offs, 1);
}

TEST(T0Card, RepliesWithoutDataOrWithErrorsPassThrough) {
  TestCard inner;
  T0Card card(inner);
  // Status words scripted through the echo command, with and without data.
  EXPECT_EQ(card.process(Bytes{0x80, 0xF0, 0x6A, 0x82, 2, 1, 2}), (Bytes{1, 2, 0x6A, 0x82}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF0, 0x62, 0x83, 1, 9}), (Bytes{9, 0x62, 0x83}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF0, 0x90, 0x00, 0x00}), (Bytes{0x90, 0x00}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF2, 0x03, 0x00, 0x03}), (Bytes{0, 1, 2, 0x90, 0x00}));
}

TEST(T0Card, MalformedCommandsGetAStatusWord) {
  TestCard inner;
  T0Card card(inner);
  for (const Bytes& apdu : {Bytes{}, Bytes{0x80}, Bytes{0x80, 0xF0, 0x90},
                            Bytes{0x80, 0xF0, 0x90, 0x00, 0x05, 0x01},
                            Bytes{0x80, 0xF0, 0x90, 0x00, 0x00, 0x01}}) {
    EXPECT_EQ(card.process(apdu), (Bytes{0x67, 0x00})) << apdu.size() << " bytes";
  }
}

// --- TestCard -------------------------------------------------------------

TEST(TestCard, EchoScriptsAnyStatusWithOrWithoutData) {
  TestCard card;
  EXPECT_EQ(card.process(Bytes{0x80, 0xF0, 0x61, 0x10}), (Bytes{0x61, 0x10}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF0, 0x63, 0xC2, 0x00}), (Bytes{0x63, 0xC2}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF0, 0x90, 0x00, 3, 7, 8, 9, 0x00}),
            (Bytes{7, 8, 9, 0x90, 0x00}));

  // Extended length carries more than a short APDU can.
  Bytes extended = {0x80, 0xF0, 0x90, 0x00, 0x00, 0x01, 0x2C};
  extended = concat(extended, pattern(300));
  EXPECT_EQ(card.process(extended), concat(pattern(300), {0x90, 0x00}));
}

TEST(TestCard, CountingPatternCommands) {
  TestCard card;
  EXPECT_EQ(card.process(Bytes{0x80, 0xF2, 0x00, 0x00}), (Bytes{0x90, 0x00}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF2, 0x05, 0x00, 0x02}), concat(pattern(5), {0x90, 0x00}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF2, 0xFF, 0x00, 0x00}), concat(pattern(255), {0x90, 0x00}));
  EXPECT_EQ(card.process(Bytes{0x00, 0xC0, 0x00, 0x00, 0x10}), concat(pattern(16), {0x90, 0x00}));
  EXPECT_EQ(card.process(kGetResponseAll), concat(pattern(256), {0x90, 0x00}));
}

TEST(TestCard, SelectMatchesConfiguredAid) {
  const Bytes select_mekta = {0x00, 0xA4, 0x04, 0x00, 10, 'M', 'E', 'K', 'T', 'A', '_', 'P', 'S', 'C', 'H'};
  EXPECT_EQ(TestCard().process(select_mekta), (Bytes{0x90, 0x00}));
  EXPECT_EQ(TestCard({.aid = {0xA0, 0x00, 0x01}}).process(select_mekta), (Bytes{0x6A, 0x82}));
  EXPECT_EQ(TestCard({.aid = {0xA0, 0x00, 0x01}}).process(Bytes{0x00, 0xA4, 0x04, 0x00, 3, 0xA0, 0x00, 0x01}),
            (Bytes{0x90, 0x00}));
  EXPECT_EQ(TestCard({.refuse_select = true}).process(select_mekta), (Bytes{0x6A, 0x82}));
  EXPECT_EQ(TestCard().process(Bytes{0x00, 0xA4, 0x04, 0x00, 4, 'M', 'E', 'K', 'T'}), (Bytes{0x6A, 0x82}));
}

TEST(TestCard, UnknownAndMalformedCommands) {
  TestCard card;
  EXPECT_EQ(card.process(Bytes{0x80, 0x10, 0x00, 0x00}), (Bytes{0x6D, 0x00}));
  EXPECT_EQ(card.process(Bytes{0x00, 0xF0, 0x90, 0x00}), (Bytes{0x6D, 0x00}));
  EXPECT_EQ(card.process(Bytes{0xA0, 0xF0, 0x90, 0x00}), (Bytes{0x6E, 0x00}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF0}), (Bytes{0x67, 0x00}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF0, 0x90, 0x00, 0x00, 0x00}), (Bytes{0x67, 0x00}));
  EXPECT_EQ(card.process(Bytes{0x80, 0xF0, 0x90, 0x00, 0x00, 0x00, 0x02, 0x01}), (Bytes{0x67, 0x00}));
}

// --- VpcdClient -----------------------------------------------------------

TEST(VpcdClient, AtrsAreWellFormed) {
  // TCK makes the XOR of T0..TCK zero; a T=0-only ATR carries none.
  const uint8_t check = std::accumulate(kAtrT1.begin() + 1, kAtrT1.end(), uint8_t{0},
                                        [](uint8_t a, uint8_t b) { return uint8_t(a ^ b); });
  EXPECT_EQ(check, 0);
  EXPECT_EQ(kAtrT1[2] & 0x0F, 1) << "first protocol offered is T=1";
  EXPECT_EQ(kAtrT0[1] & 0xF0, 0) << "no interface bytes: T=0 only";
  EXPECT_EQ(kAtrT0.size(), 2u + (kAtrT0[1] & 0x0F));
}

Bytes frame(const Bytes& payload) {
  return concat({uint8_t(payload.size() >> 8), uint8_t(payload.size() & 0xFF)}, payload);
}

// The reader side of a vpcd connection, over a socketpair.
class VpcdLink : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    reader_ = fds[0];
    card_side_ = fds[1];
    timeval timeout{5, 0};  // a broken client fails the test instead of hanging it
    ::setsockopt(reader_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    client_ = std::make_unique<VpcdClient>(card_, Bytes(kAtrT1.begin(), kAtrT1.end()));
    server_ = std::thread([this] { client_->serve_connection(card_side_); });
  }
  void TearDown() override {
    client_->stop();
    server_.join();
    if (reader_ >= 0) ::close(reader_);
    ::close(card_side_);
  }

  void send_bytes(const Bytes& bytes) {
    ASSERT_EQ(::send(reader_, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
  }
  bool read_exact(uint8_t* out, size_t n) {
    for (size_t got = 0; got < n;) {
      const ssize_t r = ::recv(reader_, out + got, n - got, 0);
      if (r <= 0) return false;
      got += size_t(r);
    }
    return true;
  }
  Bytes receive() {
    uint8_t len[2];
    if (!read_exact(len, 2)) return {0xDE, 0xAD};
    Bytes payload((size_t(len[0]) << 8) | len[1]);
    if (!read_exact(payload.data(), payload.size())) return {0xDE, 0xAD};
    return payload;
  }
  void end_and_join() {
    ::close(reader_);
    reader_ = -1;
    server_.join();
    server_ = std::thread([] {});
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

TEST_F(VpcdLink, CoalescedMessagesAreAnsweredInOrder) {
  Bytes burst = concat(frame(kGetAtr), frame({0x01}));
  burst = concat(burst, frame({0x80, 0xF2, 0x03, 0x00, 0x03}));
  burst = concat(burst, frame({0x80, 0xF2, 0x02, 0x00, 0x05}));
  burst = concat(burst, frame(kGetAtr));
  send_bytes(burst);
  EXPECT_EQ(receive(), kAtr);
  EXPECT_EQ(receive(), (Bytes{0, 1, 2, 0x90, 0x00}));
  EXPECT_EQ(receive(), (Bytes{0x6C, 0x02}));
  EXPECT_EQ(receive(), kAtr);
}

TEST_F(VpcdLink, MessagesSplitByteByByte) {
  const Bytes stream = concat(frame({0x80, 0xF0, 0x90, 0x00, 3, 7, 8, 9}), frame(kGetAtr));
  for (uint8_t byte : stream) {
    send_bytes({byte});
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(receive(), (Bytes{0x61, 0x03}));
  EXPECT_EQ(receive(), kAtr);
}

TEST_F(VpcdLink, LargeMessagesCrossTheLinkWhole) {
  Bytes apdu = {0x80, 0xF0, 0x90, 0x00, 0x00, 0x10, 0x00};
  apdu = concat(apdu, pattern(0x1000));
  send_bytes(frame(apdu));
  send_bytes(frame(kGetResponseAll));
  EXPECT_EQ(receive(), (Bytes{0x61, 0x00}));
  EXPECT_EQ(receive(), concat(pattern(256), {0x61, 0x00}));
}

TEST_F(VpcdLink, PowerControlsGetNoAnswerAndDropCardState) {
  send_bytes(frame({0x80, 0xF2, 0x04, 0x00, 0x00}));
  EXPECT_EQ(receive(), (Bytes{0x6C, 0x04}));
  // Power off, power on, reset, an unknown code: the next answer is the ATR.
  send_bytes(concat(concat(frame({0x00}), frame({0x01})), concat(frame({0x02}), frame({0x03}))));
  send_bytes(frame(kGetAtr));
  EXPECT_EQ(receive(), kAtr);
  // The held 6C response went with the power cycle: a re-issue runs afresh.
  send_bytes(frame({0x80, 0xF2, 0x04, 0x00, 0x04}));
  EXPECT_EQ(receive(), concat(pattern(4), {0x90, 0x00}));
}

TEST_F(VpcdLink, ShortAndEmptyApdusStillGetAStatusWord) {
  send_bytes(concat(frame({}), frame({0x80, 0xF0})));
  EXPECT_EQ(receive(), (Bytes{0x67, 0x00}));
  EXPECT_EQ(receive(), (Bytes{0x67, 0x00}));
}

TEST_F(VpcdLink, EofEndsServingEvenMidMessage) {
  send_bytes({0x00, 0x09, 0x80});
  end_and_join();
  SUCCEED();
}

TEST_F(VpcdLink, StopEndsServingWhileIdle) {
  send_bytes(frame(kGetAtr));
  EXPECT_EQ(receive(), kAtr);
  client_->stop();
  server_.join();
  server_ = std::thread([] {});
  EXPECT_TRUE(client_->stopped());
  EXPECT_TRUE(client_->wait_for_stop(std::chrono::hours(1))) << "stop is sticky";
}

TEST(VpcdClientFraming, OversizedResponseBecomesAnError) {
  ScriptedCard card(Bytes(0x10000 + 2, 0x90));
  VpcdClient client(card, Bytes(kAtrT0.begin(), kAtrT0.end()));
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const Bytes request = frame({0x80, 0x10, 0x00, 0x00});
  ASSERT_EQ(::send(fds[0], request.data(), request.size(), 0), ssize_t(request.size()));
  ::shutdown(fds[0], SHUT_WR);
  client.serve_connection(fds[1]);  // returns at EOF after answering
  uint8_t reply[4] = {};
  ASSERT_EQ(::recv(fds[0], reply, sizeof reply, MSG_WAITALL), 4);
  EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{0x00, 0x02, 0x6F, 0x00}));
  EXPECT_EQ(card.power_offs, 1) << "losing the link ejects the card";
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(VpcdClientFraming, StopWorksWhileTheReaderIsNotReading) {
  ScriptedCard card(Bytes(60000, 0x90));
  VpcdClient client(card, Bytes(kAtrT1.begin(), kAtrT1.end()));
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  std::thread server([&] { client.serve_connection(fds[1]); });
  Bytes requests;
  for (int i = 0; i < 64; ++i) requests = concat(requests, frame({0x80, 0x10, 0x00, 0x00}));
  ASSERT_EQ(::send(fds[0], requests.data(), requests.size(), 0), ssize_t(requests.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the send buffer fill
  client.stop();
  server.join();
  EXPECT_LT(card.commands.size(), 64u) << "the responses never fitted into the socket";
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(VpcdClientTcp, ConnectsToTheReaderAndReportsRefusal) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const uint16_t port = ntohs(addr.sin_port);

  TestCard card;
  VpcdClient client(card, Bytes(kAtrT0.begin(), kAtrT0.end()));
  bool served = false;
  std::thread server([&] { served = client.serve("127.0.0.1", port); });
  const int reader = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(reader, 0);
  const Bytes request = frame(kGetAtr);
  ::send(reader, request.data(), request.size(), 0);
  Bytes reply(2 + kAtrT0.size());
  ASSERT_EQ(::recv(reader, reply.data(), reply.size(), MSG_WAITALL), ssize_t(reply.size()));
  EXPECT_EQ(reply, frame(Bytes(kAtrT0.begin(), kAtrT0.end())));
  ::close(reader);
  server.join();
  EXPECT_TRUE(served);

  ::close(listener);  // nothing listens on the port any more
  EXPECT_FALSE(client.serve("127.0.0.1", port));
}

}  // namespace
}  // namespace draxel::sim
