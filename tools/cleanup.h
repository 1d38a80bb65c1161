// What must not outlive the process when a signal ends it: a temporary file
// that may hold plaintext, and a terminal left without echo.
#pragma once

#include <termios.h>

namespace draxel::tool::cleanup {

// Installs the handlers for SIGINT, SIGTERM, SIGHUP and SIGPIPE.
void install();

// The temporary file to remove if a signal arrives; one at a time.
void arm_temp_file(const char* path);
void disarm_temp_file();

// The terminal settings to restore if a signal arrives.
void arm_terminal(int fd, const termios& saved);
void disarm_terminal();

} // namespace draxel::tool::cleanup
