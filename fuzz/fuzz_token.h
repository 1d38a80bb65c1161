// What the fuzz targets share: a software token of fixed keys behind the
// library's host handler, fresh for every input, and the checks that hold
// whatever the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "draxel_lib.h"
#include "faulty_card.h"
#include "t0_card.h"
#include "token.h"
#include "token_handler.h"

namespace draxel::fuzz {

inline constexpr const char *kPin = "1234";
inline constexpr const char *kPuk = "12345678";
inline constexpr const char *kPhrase = "message phrase";
inline constexpr const char *kGroup = "team";
inline constexpr const char *kGroupPhrase = "group phrase";
// The phrase of the join request the token has pending.
inline constexpr const char *kJoinPhrase = "join phrase";

// A failed check is a finding: say what and stop the process the way a
// sanitizer would, so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond, what)                                                                     \
	do {                                                                                       \
		if (!(cond)) {                                                                     \
			std::fprintf(stderr, "check failed: %s (%s:%d)\n", what, __FILE__,         \
			             __LINE__);                                                    \
			std::abort();                                                              \
		}                                                                                  \
	} while (0)

// The token every in-process target talks to: issued once with fixed keys
// and serial number, a group it administers, one it joined and a pending
// join request, so that seed inputs made from it stay valid from run to run.
const sim::TokenState &prototype();

// A text of hex digit pairs in upper case whose size, with its zero, is size.
bool is_hex_text(const char *text, int size);

// Ends a file left in progress by an earlier input: each input starts clean.
void end_file_in_progress();
// The file state that a file's last chunk and every failing chunk wipe.
bool file_state_wiped();

// One input's token, the library's current reader through the host handler,
// its PIN verified. The token answers as a T=0 card unless t1 is set.
class Session {
public:
	explicit Session(bool t1 = false, sim::FaultPlan fault = {});
	~Session();
	Session(const Session &) = delete;
	Session &operator=(const Session &) = delete;

	sim::Token &token() { return token_; }
	ReaderStructPtr record() const { return record_; }

private:
	sim::Token token_;
	sim::FaultyCard faulty_;
	sim::T0Card t0_;
	sim::InProcessToken attached_;
	ReaderStructPtr record_ = nullptr;
};

// Input read front to back; past the end every value is 0 and every run of
// bytes empty, so a short input is still a whole one.
class Reader {
public:
	Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
	uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
	uint16_t u16()
	{
		uint16_t lo = byte();
		return static_cast<uint16_t>(lo | byte() << 8);
	}
	std::vector<uint8_t> bytes(size_t n);
	std::vector<uint8_t> rest() { return bytes(size_ - at_); }
	std::string rest_text();
	size_t left() const { return size_ - at_; }

private:
	const uint8_t *data_;
	size_t size_;
	size_t at_ = 0;
};

// The writing side, for the seed corpus.
class Writer {
public:
	Writer &byte(uint8_t b)
	{
		out.push_back(b);
		return *this;
	}
	Writer &u16(uint16_t v)
	{
		return byte(static_cast<uint8_t>(v)).byte(static_cast<uint8_t>(v >> 8));
	}
	Writer &bytes(const std::vector<uint8_t> &b)
	{
		out.insert(out.end(), b.begin(), b.end());
		return *this;
	}
	Writer &text(const std::string &t)
	{
		out.insert(out.end(), t.begin(), t.end());
		return *this;
	}
	std::vector<uint8_t> out;
};

// A pass phrase chosen by one input byte: the right one for the mode most of
// the time, else null, empty, a wrong one or one over the limit.
const char *phrase_for(uint8_t selector, int mode, std::string &storage);
const char *group_for(uint8_t selector, std::string &storage);

} // namespace draxel::fuzz
