// Virtual cards in the vpcd readers of the real pcscd, each a draxel-vcard
// process that this helper starts and stops by PID.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace draxel::test {

// The names of the two vpcd readers ("Virtual PCD 00 00", "... 00 01"),
// as pcscd lists them; empty when pcscd or the readers are missing.
std::vector<std::string> virtual_reader_names();

// Waits until pcscd reports the reader's card present (or absent).
bool wait_for_card(const std::string& reader, bool present, int timeout_ms = 10000);

class VirtualCard {
public:
	// Attaches a test card to virtual reader 0 or 1; extra_args go to the
	// daemon (--t0, --aid HEX, --refuse-select, ...).
	VirtualCard(int reader_index, std::vector<std::string> extra_args = {});
	// Attaches a software token (draxel-token-sim) instead.
	static VirtualCard token(int reader_index, std::vector<std::string> extra_args = {});
	~VirtualCard();
	VirtualCard(const VirtualCard&) = delete;
	VirtualCard& operator=(const VirtualCard&) = delete;
	VirtualCard(VirtualCard&& other) noexcept;

	bool attached() const { return pid_ > 0; }
	const std::string& reader() const { return reader_; }
	// Pulls the card out: the process ends and pcscd sees the reader empty.
	// A daemon that does not end cleanly fails the running test.
	void pull();

private:
	VirtualCard(const char* program, int reader_index, std::vector<std::string> extra_args);

	pid_t pid_ = -1;
	bool serving_ = false; // the card appeared in the reader
	std::string reader_;
};

} // namespace draxel::test
