#include "virtual_card.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>
#include <winscard.h>

#if !defined(DRAXEL_VCARD_PATH) || !defined(DRAXEL_TOKEN_SIM_PATH)
#error "DRAXEL_VCARD_PATH and DRAXEL_TOKEN_SIM_PATH must name the virtual card programs"
#endif

namespace draxel::test {
namespace {

constexpr int kFirstVpcdPort = 35963;

class Context {
public:
	Context() { ok_ = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_) == SCARD_S_SUCCESS; }
	~Context()
	{
		if (ok_)
			SCardReleaseContext(ctx_);
	}
	bool ok() const { return ok_; }
	SCARDCONTEXT get() const { return ctx_; }

private:
	SCARDCONTEXT ctx_ = 0;
	bool ok_ = false;
};

std::vector<std::string> split_multistring(const char* list, DWORD size)
{
	std::vector<std::string> names;
	for (DWORD i = 0; i < size && list[i] != '\0'; i += static_cast<DWORD>(std::strlen(list + i)) + 1)
		names.emplace_back(list + i);
	return names;
}

} // namespace

std::vector<std::string> virtual_reader_names()
{
	Context ctx;
	if (!ctx.ok())
		return {};
	DWORD size = 0;
	if (SCardListReaders(ctx.get(), nullptr, nullptr, &size) != SCARD_S_SUCCESS)
		return {};
	std::vector<char> list(size);
	if (SCardListReaders(ctx.get(), nullptr, list.data(), &size) != SCARD_S_SUCCESS)
		return {};
	std::vector<std::string> names;
	for (auto& name : split_multistring(list.data(), size))
		if (name.rfind("Virtual PCD", 0) == 0)
			names.push_back(name);
	std::sort(names.begin(), names.end());
	return names;
}

bool wait_for_card(const std::string& reader, bool present, int timeout_ms)
{
	Context ctx;
	if (!ctx.ok())
		return false;
	SCARD_READERSTATE state{};
	state.szReader = reader.c_str();
	state.dwCurrentState = SCARD_STATE_UNAWARE;
	for (int waited = 0; waited <= timeout_ms; waited += 100) {
		LONG rv = SCardGetStatusChange(ctx.get(), 100, &state, 1);
		if (rv != SCARD_S_SUCCESS && rv != static_cast<LONG>(SCARD_E_TIMEOUT))
			return false;
		bool is_present = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
		bool is_empty = (state.dwEventState & SCARD_STATE_EMPTY) != 0;
		if (present ? is_present : is_empty)
			return true;
		state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
	}
	return false;
}

VirtualCard::VirtualCard(int reader_index, std::vector<std::string> extra_args)
    : VirtualCard(DRAXEL_VCARD_PATH, reader_index, std::move(extra_args))
{
}

VirtualCard VirtualCard::token(int reader_index, std::vector<std::string> extra_args)
{
	return VirtualCard(DRAXEL_TOKEN_SIM_PATH, reader_index, std::move(extra_args));
}

VirtualCard::VirtualCard(VirtualCard&& other) noexcept
    : pid_(other.pid_), serving_(other.serving_), reader_(std::move(other.reader_))
{
	other.pid_ = -1;
	other.serving_ = false;
}

VirtualCard::VirtualCard(const char* program, int reader_index, std::vector<std::string> extra_args)
{
	auto readers = virtual_reader_names();
	if (reader_index < 0 || static_cast<size_t>(reader_index) >= readers.size())
		return;
	reader_ = readers[static_cast<size_t>(reader_index)];
	if (!wait_for_card(reader_, false, 3000)) {
		std::fprintf(stderr, "%s already holds a card that this test did not attach\n",
		             reader_.c_str());
		return;
	}

	std::vector<std::string> args = {program, "--port",
	                                 std::to_string(kFirstVpcdPort + reader_index)};
	args.insert(args.end(), extra_args.begin(), extra_args.end());
	std::vector<char*> argv;
	for (auto& arg : args)
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

VirtualCard::~VirtualCard()
{
	pull();
}

void VirtualCard::pull()
{
	if (pid_ <= 0)
		return;
	kill(pid_, SIGTERM);
	int status = 0;
	waitpid(pid_, &status, 0);
	pid_ = -1;
	// A daemon that served ends with 0 on SIGTERM (or dies of it while it
	// starts); anything else is its own fault: a crash, or a sanitizer's
	// report in the checked build.
	bool clean_end = (WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
	                 (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
	if (serving_ && !clean_end)
		ADD_FAILURE() << "the card daemon in " << reader_ << " ended with status " << status;
	serving_ = false;
	wait_for_card(reader_, false);
}

} // namespace draxel::test
