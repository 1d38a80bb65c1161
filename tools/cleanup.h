// What must not outlive the process when a signal ends it: a temporary file
// that may hold plaintext, and a terminal left without echo.
#pragma once

#include <signal.h>
#include <termios.h>

namespace draxel::tool::cleanup {

// Installs the handlers for SIGINT, SIGTERM, SIGHUP and SIGPIPE.
void install();

// The temporary file to remove if a signal arrives; one at a time.
void arm_temp_file(const char *path);
void disarm_temp_file();

// Holds back the handled signals while it lives, for a step that must not
// be cut short (a save that would leave a temporary behind); they arrive
// when it ends.
class SignalsHeld {
public:
	SignalsHeld();
	~SignalsHeld();
	SignalsHeld(const SignalsHeld &) = delete;
	SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
	sigset_t saved_;
};

// The terminal settings to restore if a signal arrives.
void arm_terminal(int fd, const termios &saved);
void disarm_terminal();

} // namespace draxel::tool::cleanup
