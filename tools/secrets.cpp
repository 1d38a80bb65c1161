#include "secrets.h"

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "cleanup.h"
#include "tool_error.h"

namespace draxel::tool {
namespace {

struct SecretInfo {
	const char *label;  // for prompts and messages
	const char *option; // --<option>-fd
	const char *env;
	bool confirm; // a new value is typed twice
};

SecretInfo info(SecretKind kind)
{
	switch (kind) {
	case SecretKind::kPin:
		return {"PIN", "pin", "DRAXEL_PIN", false};
	case SecretKind::kNewPin:
		return {"new PIN", "new-pin", "DRAXEL_NEW_PIN", true};
	case SecretKind::kPuk:
		return {"PUK", "puk", "DRAXEL_PUK", false};
	case SecretKind::kNewPuk:
		return {"new PUK", "new-puk", "DRAXEL_NEW_PUK", true};
	case SecretKind::kSecondPuk:
		return {"PUK of the second token", "second-puk", "DRAXEL_SECOND_PUK", false};
	case SecretKind::kErasePas:
		return {"erase password", "erase-pas", "DRAXEL_ERASE_PAS", false};
	case SecretKind::kNewErasePas:
		return {"new erase password", "new-erase-pas", "DRAXEL_NEW_ERASE_PAS", true};
	case SecretKind::kNotePas:
		return {"note password", "note-pas", "DRAXEL_NOTE_PAS", false};
	case SecretKind::kNewNotePas:
		return {"new note password", "new-note-pas", "DRAXEL_NEW_NOTE_PAS", true};
	case SecretKind::kPassPhrase:
		return {"pass phrase", "pass-phrase", "DRAXEL_PASS_PHRASE", false};
	case SecretKind::kNewPassPhrase:
		return {"new pass phrase", "new-pass-phrase", "DRAXEL_NEW_PASS_PHRASE", true};
	case SecretKind::kKeyPas:
		return {"key-loading password", "key-pas", "DRAXEL_KEY_PAS", false};
	}
	return {"password", "password", "DRAXEL_PASSWORD", false};
}

[[noreturn]] void too_long(const SecretInfo &what)
{
	throw ToolError(Exit::kUsage, std::string("the ") + what.label + " is longer than " +
	                                      std::to_string(Secret::kMaxLength) + " bytes");
}

// One line from the descriptor, byte by byte so that several secrets can
// follow each other on one descriptor, one per line.
std::unique_ptr<Secret> from_fd(int fd, const SecretInfo &what)
{
	auto secret = std::make_unique<Secret>();
	for (;;) {
		char c;
		ssize_t n = read(fd, &c, 1);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			throw ToolError(Exit::kUsage, std::string("cannot read the ") + what.label +
			                                      " from descriptor " +
			                                      std::to_string(fd) + ": " +
			                                      strerror(errno));
		if (n == 0 || c == '\n')
			break;
		// the library takes zero-terminated texts: a zero byte would cut
		// the password short without a word
		if (c == '\0')
			throw ToolError(Exit::kUsage,
			                std::string("the ") + what.label + " holds a zero byte");
		if (!secret->push_back(c))
			too_long(what);
	}
	return secret;
}

// The controlling terminal with echo off for as long as it lives.
class QuietTerminal {
public:
	QuietTerminal()
	{
		fd_ = open("/dev/tty", O_RDWR | O_CLOEXEC);
		if (fd_ < 0 || tcgetattr(fd_, &saved_) != 0) {
			close_fd();
			return;
		}
		termios quiet = saved_;
		quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
		quiet.c_lflag |= ECHONL;
		cleanup::arm_terminal(fd_, saved_);
		if (tcsetattr(fd_, TCSAFLUSH, &quiet) != 0) {
			cleanup::disarm_terminal();
			close_fd();
		}
	}
	~QuietTerminal()
	{
		if (fd_ < 0)
			return;
		tcsetattr(fd_, TCSAFLUSH, &saved_);
		cleanup::disarm_terminal();
		close_fd();
	}
	QuietTerminal(const QuietTerminal &) = delete;
	QuietTerminal &operator=(const QuietTerminal &) = delete;

	bool ok() const { return fd_ >= 0; }

	std::unique_ptr<Secret> ask(const std::string &prompt, const SecretInfo &what)
	{
		if (write(fd_, prompt.data(), prompt.size()) < 0)
			throw ToolError(Exit::kUsage,
			                std::string("cannot ask for the ") + what.label);
		return from_fd(fd_, what);
	}

private:
	void close_fd()
	{
		if (fd_ >= 0)
			close(fd_);
		fd_ = -1;
	}

	int fd_ = -1;
	termios saved_{};
};

std::unique_ptr<Secret> from_prompt(const SecretInfo &what)
{
	QuietTerminal terminal;
	if (!terminal.ok())
		throw ToolError(Exit::kUsage, std::string("no ") + what.label + ": set " +
		                                      what.env + ", use --" + what.option +
		                                      "-fd N, or run on a terminal");
	auto secret = terminal.ask(std::string(what.label) + ": ", what);
	if (what.confirm) {
		auto again = terminal.ask(std::string("repeat the ") + what.label + ": ", what);
		if (!(*again == *secret))
			throw ToolError(Exit::kUsage, std::string("the two entries of the ") +
			                                      what.label + " differ");
	}
	return secret;
}

bool is_pass_phrase(SecretKind kind)
{
	return kind == SecretKind::kPassPhrase || kind == SecretKind::kNewPassPhrase;
}

// A value from `echo $PIN > file`, a here-string or a file saved on another
// system ends in a line break that nobody meant as part of it; sent as it is,
// it would cost an attempt. One LF or CRLF goes (a descriptor's line has lost
// its LF already). What control characters are left are refused in a
// password before anything is sent: a PIN is typed, and a tab or an escape
// in one is a mistake. A pass phrase is taken as the bytes it is.
std::unique_ptr<Secret> checked(std::unique_ptr<Secret> secret, SecretKind kind)
{
	size_t len = secret->size();
	const char *text = secret->c_str();
	if (len > 0 && text[len - 1] == '\n')
		--len;
	if (len > 0 && text[len - 1] == '\r')
		--len;
	secret->truncate(len);
	for (size_t i = 0; i < len && !is_pass_phrase(kind); ++i) {
		unsigned char c = static_cast<unsigned char>(text[i]);
		if (c < 0x20 || c == 0x7F) {
			char byte[8];
			std::snprintf(byte, sizeof byte, "0x%02X", c);
			throw ToolError(Exit::kUsage, std::string("the ") + info(kind).label +
			                                      " holds a control character (" +
			                                      byte + "); nothing was sent");
		}
	}
	return secret;
}

} // namespace

Secret::~Secret()
{
	wipe(buffer_);
}

bool Secret::assign(std::string_view text)
{
	wipe(buffer_);
	length_ = 0;
	if (text.size() > kMaxLength)
		return false;
	memcpy(buffer_, text.data(), text.size());
	length_ = text.size();
	return true;
}

bool Secret::push_back(char c)
{
	if (length_ >= kMaxLength)
		return false;
	buffer_[length_++] = c;
	return true;
}

void Secret::truncate(size_t len)
{
	if (len >= length_)
		return;
	wipe(std::span<char>(buffer_ + len, length_ - len));
	length_ = len;
}

bool Secret::operator==(const Secret &other) const
{
	return length_ == other.length_ && memcmp(buffer_, other.buffer_, length_) == 0;
}

void Secrets::add_option(CLI::App *command, SecretKind kind, Need need)
{
	registered_.push_back({command, kind, need});
	SecretInfo what = info(kind);
	int &fd = fds_[kind];
	fd = -1;
	command->add_option(std::string("--") + what.option + "-fd", fd,
	                    std::string("read the ") + what.label +
	                            " from this file descriptor (one line); otherwise from $" +
	                            what.env + " or a prompt")
	        ->check(CLI::NonNegativeNumber);
}

void Secrets::prefetch()
{
	for (const Registration &entry : registered_) {
		bool wanted = entry.need == Need::kAlways || !needs_prompt(entry.kind);
		if (entry.command->parsed() && wanted && cache_.count(entry.kind) == 0)
			cache_[entry.kind] = read(entry.kind);
	}
}

std::unique_ptr<Secret> Secrets::get(SecretKind kind)
{
	auto &cached = cache_[kind];
	if (!cached)
		cached = read(kind);
	// an empty variable or line, or Ctrl-D at the prompt: nothing to present
	if (cached->size() == 0)
		throw ToolError(Exit::kUsage, std::string("no ") + info(kind).label + " given");
	auto copy = std::make_unique<Secret>();
	copy->assign(std::string_view(cached->c_str(), cached->size()));
	return copy;
}

bool Secrets::needs_prompt(SecretKind kind) const
{
	auto fd = fds_.find(kind);
	return (fd == fds_.end() || fd->second < 0) && std::getenv(info(kind).env) == nullptr;
}

std::unique_ptr<Secret> Secrets::read(SecretKind kind)
{
	SecretInfo what = info(kind);
	auto fd = fds_.find(kind);
	if (fd != fds_.end() && fd->second >= 0)
		return checked(from_fd(fd->second, what), kind);
	// a variable cannot hold a zero byte, so it needs no such check
	if (const char *value = std::getenv(what.env)) {
		auto secret = std::make_unique<Secret>();
		if (!secret->assign(value))
			too_long(what);
		return checked(std::move(secret), kind);
	}
	what.confirm = what.confirm || typed_twice_.count(kind) > 0;
	return checked(from_prompt(what), kind);
}

} // namespace draxel::tool
