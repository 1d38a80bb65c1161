#include "cleanup.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstring>

namespace draxel::tool::cleanup {
namespace {

// Written only while disarmed, so the handler never sees half a path.
char temp_path[PATH_MAX];
volatile sig_atomic_t temp_armed = 0;

termios saved_terminal;
int terminal_fd = -1;
volatile sig_atomic_t terminal_armed = 0;

constexpr int kHandled[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void on_signal(int sig)
{
	if (temp_armed)
		unlink(temp_path);
	if (terminal_armed)
		tcsetattr(terminal_fd, TCSAFLUSH, &saved_terminal);
	signal(sig, SIG_DFL);
	raise(sig);
}

} // namespace

void install()
{
	struct sigaction action {};
	action.sa_handler = on_signal;
	sigemptyset(&action.sa_mask);
	for (int sig : kHandled)
		sigaddset(&action.sa_mask, sig);
	for (int sig : kHandled)
		sigaction(sig, &action, nullptr);
}

SignalsHeld::SignalsHeld()
{
	sigset_t held;
	sigemptyset(&held);
	for (int sig : kHandled)
		sigaddset(&held, sig);
	sigprocmask(SIG_BLOCK, &held, &saved_);
}

SignalsHeld::~SignalsHeld()
{
	sigprocmask(SIG_SETMASK, &saved_, nullptr);
}

void arm_temp_file(const char *path)
{
	temp_armed = 0;
	size_t len = strnlen(path, sizeof temp_path - 1);
	memcpy(temp_path, path, len);
	temp_path[len] = '\0';
	temp_armed = 1;
}

void disarm_temp_file()
{
	temp_armed = 0;
}

void arm_terminal(int fd, const termios &saved)
{
	terminal_armed = 0;
	saved_terminal = saved;
	terminal_fd = fd;
	terminal_armed = 1;
}

void disarm_terminal()
{
	terminal_armed = 0;
}

} // namespace draxel::tool::cleanup
