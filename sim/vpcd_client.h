#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "card.h"

namespace draxel::sim {

// A T=1 card with IFSC 254; pcscd picks T=1 when offered T=0|T=1.
inline constexpr std::array<uint8_t, 13> kAtrT1 = {
        0x3B, 0x86, 0x81, 0x31, 0xFE, 0x45, // T=1 only, IFSC 254, BWI 4 CWI 5
        0x44, 0x52, 0x41, 0x58, 0x45, 0x4C, // historical bytes "DRAXEL"
        0x8B};                              // TCK
// No interface bytes, so T=0 only (and no TCK).
inline constexpr std::array<uint8_t, 8> kAtrT0 = {0x3B, 0x06, 0x44, 0x52, 0x41, 0x58, 0x45, 0x4C};

// Plays a card in a vsmartcard vpcd reader. vpcd listens; the card connects
// and is "inserted" for as long as the connection lasts. Every message either
// way is a 2-byte big-endian length and that many bytes; a 1-byte message
// from the reader is a control code, anything else a command APDU.
class VpcdClient {
public:
	VpcdClient(Card &card, std::vector<uint8_t> atr);
	~VpcdClient();
	VpcdClient(const VpcdClient &) = delete;
	VpcdClient &operator=(const VpcdClient &) = delete;

	// Connects and serves until the reader drops the connection or stop() is
	// called. Returns false only when the connection could not be made.
	bool serve(const std::string &host, uint16_t port);
	// Serves an already-connected stream socket, which stays the caller's.
	void serve_connection(int fd);
	// Ends serve() from another thread or a signal handler; sticky.
	void stop();
	bool stopped() const { return stopped_.load(); }
	// Sleeps up to `pause`, waking early on stop(); returns stopped().
	bool wait_for_stop(std::chrono::milliseconds pause) const;
	// True, once, when the last connection ended because the card asked to
	// leave the reader (Card::pull_requested).
	bool take_pulled() { return std::exchange(pulled_, false); }

private:
	enum class Wait { kReady, kStopped, kFailed };
	Wait wait_ready(int fd, short events) const;
	bool read_exact(int fd, std::span<uint8_t> out) const;
	bool write_message(int fd, std::span<const uint8_t> payload) const;
	bool send_all(int fd, std::span<const uint8_t> bytes) const;
	bool handle_message(int fd, std::span<const uint8_t> message);
	bool handle_control(int fd, uint8_t code);

	Card &card_;
	std::vector<uint8_t> atr_;
	std::atomic<bool> stopped_{false};
	int wake_read_ = -1; // self-pipe: stop() writes, the serving loop polls
	int wake_write_ = -1;
	bool pulled_ = false;
};

} // namespace draxel::sim
