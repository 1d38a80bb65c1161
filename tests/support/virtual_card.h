// Virtual cards in the vpcd readers of the real pcscd, each a draxel-vcard
// (or draxel-token-sim) process that this helper starts and stops by PID.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <winscard.h>

#include "draxel_lib.h"

#if !defined(DRAXEL_VCARD_PATH) || !defined(DRAXEL_TOKEN_SIM_PATH)
#error "DRAXEL_VCARD_PATH and DRAXEL_TOKEN_SIM_PATH must name the virtual card programs"
#endif

namespace draxel::test {

// A PC/SC context of this process's own, released when it goes.
struct PcscContext {
	SCARDCONTEXT ctx = 0;
	bool ok = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) ==
	          SCARD_S_SUCCESS;
	~PcscContext()
	{
		if (ok)
			SCardReleaseContext(ctx);
	}
};

// The names of the two vpcd readers ("Virtual PCD 00 00", "... 00 01"),
// as pcscd lists them; empty when pcscd or the readers are missing.
inline std::vector<std::string> virtual_reader_names()
{
	PcscContext c;
	DWORD size = 0;
	if (!c.ok || SCardListReaders(c.ctx, nullptr, nullptr, &size) != SCARD_S_SUCCESS)
		return {};
	std::vector<char> list(size);
	if (SCardListReaders(c.ctx, nullptr, list.data(), &size) != SCARD_S_SUCCESS)
		return {};
	std::vector<std::string> names;
	for (DWORD i = 0; i < size && list[i] != '\0';
	     i += static_cast<DWORD>(std::strlen(&list[i])) + 1)
		if (std::strncmp(&list[i], "Virtual PCD", 11) == 0)
			names.emplace_back(&list[i]);
	std::sort(names.begin(), names.end());
	return names;
}

// Waits until pcscd reports the reader's card present (or absent).
inline bool wait_for_card(const std::string &reader, bool present, int timeout_ms = 10000)
{
	PcscContext c;
	SCARD_READERSTATE state{};
	state.szReader = reader.c_str();
	state.dwCurrentState = SCARD_STATE_UNAWARE;
	for (int waited = 0; c.ok && waited <= timeout_ms; waited += 100) {
		LONG rv = SCardGetStatusChange(c.ctx, 100, &state, 1);
		if (rv != SCARD_S_SUCCESS && rv != static_cast<LONG>(SCARD_E_TIMEOUT))
			return false;
		DWORD wanted = present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
		if ((state.dwEventState & wanted) != 0)
			return true;
		state.dwCurrentState =
		        state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
	}
	return false;
}

class VirtualCard {
public:
	// Attaches a test card to virtual reader 0 or 1; extra_args go to the
	// daemon (--t0, --aid HEX, --refuse-select, ...).
	VirtualCard(int reader_index, std::vector<std::string> extra_args = {})
	    : VirtualCard(DRAXEL_VCARD_PATH, reader_index, std::move(extra_args))
	{
	}
	// Attaches a software token (draxel-token-sim) instead.
	static VirtualCard token(int reader_index, std::vector<std::string> extra_args = {})
	{
		return VirtualCard(DRAXEL_TOKEN_SIM_PATH, reader_index, std::move(extra_args));
	}
	~VirtualCard() { pull(); }
	VirtualCard(const VirtualCard &) = delete;
	VirtualCard &operator=(const VirtualCard &) = delete;
	VirtualCard(VirtualCard &&other) noexcept
	    : pid_(std::exchange(other.pid_, -1)), serving_(std::exchange(other.serving_, false)),
	      reader_(std::move(other.reader_))
	{
	}

	bool attached() const { return pid_ > 0; }
	const std::string &reader() const { return reader_; }

	// Pulls the card out: the process ends and pcscd sees the reader empty.
	// A daemon that served ends with 0 on SIGTERM (or dies of it while it
	// starts); anything else is its own fault, a crash or a sanitizer's
	// report in the checked build, and fails the running test.
	void pull()
	{
		if (pid_ <= 0)
			return;
		kill(pid_, SIGTERM);
		int status = 0;
		waitpid(pid_, &status, 0);
		pid_ = -1;
		bool clean_end = (WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
		                 (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
		if (serving_ && !clean_end)
			ADD_FAILURE() << "the card daemon in " << reader_ << " ended with status "
			              << status;
		serving_ = false;
		wait_for_card(reader_, false);
	}

private:
	VirtualCard(const char *program, int reader_index, std::vector<std::string> extra_args)
	{
		auto readers = virtual_reader_names();
		if (reader_index < 0 || static_cast<size_t>(reader_index) >= readers.size())
			return;
		reader_ = readers[static_cast<size_t>(reader_index)];
		if (!wait_for_card(reader_, false, 3000)) {
			std::fprintf(stderr,
			             "%s already holds a card that this test did not attach\n",
			             reader_.c_str());
			return;
		}
		std::vector<std::string> args = {program, "--port",
		                                 std::to_string(35963 + reader_index)};
		args.insert(args.end(), extra_args.begin(), extra_args.end());
		std::vector<char *> argv;
		for (auto &arg : args)
			argv.push_back(arg.data());
		argv.push_back(nullptr);
		pid_ = fork();
		if (pid_ == 0) {
			execv(argv[0], argv.data());
			std::perror("execv");
			_exit(127);
		}
		if (pid_ > 0 && !wait_for_card(reader_, true))
			pull();
		else
			serving_ = pid_ > 0;
	}

	pid_t pid_ = -1;
	bool serving_ = false; // the card appeared in the reader
	std::string reader_;
};

// The library in PC/SC mode with no current reader; at the end the records
// it handed over are freed and its context released.
class PcscLibraryTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		InitLib(nullptr);
		cur_context = LogicDLLContext{};
	}
	void TearDown() override
	{
		FreeReaderStruct(cur_context.pCurReader);
		if (cur_context.pSecondReader != cur_context.pCurReader)
			FreeReaderStruct(cur_context.pSecondReader);
		cur_context = LogicDLLContext{};
		if (hSC != 0)
			CloseReaderContext();
	}
};

} // namespace draxel::test
