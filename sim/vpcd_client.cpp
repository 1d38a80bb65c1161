#include "vpcd_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "apdu.h"
#include "secret_wipe.h"

namespace draxel::sim {
namespace {

enum Control : uint8_t { kPowerOff = 0x00, kPowerOn = 0x01, kReset = 0x02, kGetAtr = 0x04 };
constexpr size_t kMaxMessage = 0xFFFF;

class UniqueFd {
public:
	explicit UniqueFd(int fd = -1) : fd_(fd) {}
	UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
	UniqueFd &operator=(UniqueFd &&other) noexcept
	{
		std::swap(fd_, other.fd_);
		return *this;
	}
	~UniqueFd()
	{
		if (fd_ >= 0)
			::close(fd_);
	}
	int get() const { return fd_; }

private:
	int fd_;
};

UniqueFd connect_to(const addrinfo &ai)
{
	UniqueFd fd(::socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC, ai.ai_protocol));
	if (fd.get() < 0)
		return fd;
	// connect() interrupted by a signal goes on in the background; restarting
	// it would fail with EALREADY, so treat it as a failed attempt.
	if (::connect(fd.get(), ai.ai_addr, ai.ai_addrlen) != 0)
		return UniqueFd();
	// One small message per round trip: do not let Nagle hold it back.
	const int one = 1;
	::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
	return fd;
}

UniqueFd connect_tcp(const std::string &host, uint16_t port)
{
	addrinfo hints{};
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_STREAM;
	addrinfo *found = nullptr;
	if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
		return UniqueFd();
	}
	UniqueFd fd;
	for (const addrinfo *ai = found; ai != nullptr && fd.get() < 0; ai = ai->ai_next) {
		fd = connect_to(*ai);
	}
	::freeaddrinfo(found);
	return fd;
}

} // namespace

VpcdClient::VpcdClient(Card &card, std::vector<uint8_t> atr) : card_(card), atr_(std::move(atr))
{
	int fds[2];
	if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
		throw std::system_error(errno, std::generic_category(), "pipe2");
	}
	wake_read_ = fds[0];
	wake_write_ = fds[1];
}

VpcdClient::~VpcdClient()
{
	::close(wake_read_);
	::close(wake_write_);
}

bool VpcdClient::serve(const std::string &host, uint16_t port)
{
	if (stopped())
		return true;
	const UniqueFd fd = connect_tcp(host, port);
	if (fd.get() < 0)
		return false;
	serve_connection(fd.get());
	return true;
}

void VpcdClient::serve_connection(int fd)
{
	std::vector<uint8_t> message;
	for (;;) {
		std::array<uint8_t, 2> length{};
		if (!read_exact(fd, length))
			break;
		message.resize((size_t{length[0]} << 8) | length[1]);
		const bool served = read_exact(fd, message) && handle_message(fd, message);
		// commands carry passwords, keys and plaintext
		wipe(message);
		if (!served)
			break;
	}
	// A lost connection is the card leaving the reader.
	card_.power_off();
}

void VpcdClient::stop()
{
	stopped_.store(true);
	const uint8_t byte = 1;
	// Async-signal-safe; a full pipe already wakes the loop, so ignore EAGAIN.
	[[maybe_unused]] const auto ignored = ::write(wake_write_, &byte, 1);
}

bool VpcdClient::wait_for_stop(std::chrono::milliseconds pause) const
{
	const auto deadline = std::chrono::steady_clock::now() + pause;
	while (!stopped()) {
		const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
		        deadline - std::chrono::steady_clock::now());
		if (left.count() <= 0)
			break;
		pollfd wake{wake_read_, POLLIN, 0};
		::poll(&wake, 1, static_cast<int>(left.count()));
	}
	return stopped();
}

VpcdClient::Wait VpcdClient::wait_ready(int fd, short events) const
{
	for (;;) {
		if (stopped())
			return Wait::kStopped;
		pollfd fds[2] = {{fd, events, 0}, {wake_read_, POLLIN, 0}};
		const int rc = ::poll(fds, 2, -1);
		if (rc < 0 && errno == EINTR)
			continue;
		if (rc < 0)
			return Wait::kFailed;
		if (fds[1].revents != 0)
			return Wait::kStopped;
		if (fds[0].revents != 0)
			return Wait::kReady;
	}
}

bool VpcdClient::read_exact(int fd, std::span<uint8_t> out) const
{
	size_t got = 0;
	while (got < out.size()) {
		if (wait_ready(fd, POLLIN) != Wait::kReady)
			return false;
		const ssize_t n = ::recv(fd, out.data() + got, out.size() - got, 0);
		if (n < 0 && (errno == EINTR || errno == EAGAIN))
			continue;
		if (n <= 0)
			return false;
		got += static_cast<size_t>(n);
		// vpcd sends a message's length and its bytes in two writes, the second
		// held back by Nagle until the first is acknowledged: acknowledge at
		// once rather than after the delayed-ACK timeout (about 40 ms a command).
		// The kernel clears the flag again, so it is set after every read.
		const int one = 1;
		::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
	}
	return true;
}

bool VpcdClient::write_message(int fd, std::span<const uint8_t> payload) const
{
	if (payload.size() > kMaxMessage)
		return false;
	std::vector<uint8_t> frame{static_cast<uint8_t>(payload.size() >> 8),
	                           static_cast<uint8_t>(payload.size() & 0xFF)};
	frame.insert(frame.end(), payload.begin(), payload.end());
	const bool sent = send_all(fd, frame);
	wipe(frame); // the reply may carry a key or plaintext
	return sent;
}

bool VpcdClient::send_all(int fd, std::span<const uint8_t> bytes) const
{
	size_t sent = 0;
	while (sent < bytes.size()) {
		// A reader that stops reading must not keep stop() from working.
		if (wait_ready(fd, POLLOUT) != Wait::kReady)
			return false;
		const ssize_t n =
		        ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
		if (n < 0 && (errno == EINTR || errno == EAGAIN))
			continue;
		if (n <= 0)
			return false;
		sent += static_cast<size_t>(n);
	}
	return true;
}

bool VpcdClient::handle_message(int fd, std::span<const uint8_t> message)
{
	if (message.size() == 1)
		return handle_control(fd, message[0]);
	auto response = card_.process(message);
	// The card leaves the reader with the command unanswered.
	if (card_.pull_requested()) {
		pulled_ = true;
		return false;
	}
	// The frame cannot carry more; a card that wants to send more is faulty.
	if (response.size() < 2 || response.size() > kMaxMessage) {
		response = status_only(sw::kNoPreciseDiagnosis);
	}
	const bool written = write_message(fd, response);
	wipe(response);
	return written;
}

bool VpcdClient::handle_control(int fd, uint8_t code)
{
	switch (code) {
	case kPowerOff:
		card_.power_off();
		return true;
	case kPowerOn:
	case kReset:
		card_.reset();
		return true;
	case kGetAtr:
		return write_message(fd, atr_);
	default:
		return true; // unknown codes expect no answer either
	}
}

} // namespace draxel::sim
