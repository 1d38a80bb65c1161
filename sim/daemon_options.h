#pragma once

// The command line of the virtual-card daemons: the options that place the
// reader (--port, --host, --t0, --once) are read here, in one place, and each
// daemon hands over the options of its own card.

#include <getopt.h>

#include <functional>
#include <vector>

#include "daemon.h"

namespace draxel::sim {

// The first getopt_long value a daemon may give an option of its own; the
// values below it are the shared options'.
constexpr int kFirstOwnOption = 0x100;

// Prints the problem and the daemon's usage and exits with status 2.
using DaemonUsage = void (*)(const char *problem);

// Reads argv with getopt_long, the shared options into the result and each of
// own_options (values from kFirstOwnOption on) through take(value, optarg),
// which checks its argument and calls usage itself when it is wrong. An
// unknown option, a missing value, a left-over argument, no --port or a host
// that does not resolve goes to usage, which does not return.
ReaderOptions parse_daemon_options(int argc, char **argv, const std::vector<option> &own_options,
                                   const std::function<void(int, const char *)> &take,
                                   DaemonUsage usage);

} // namespace draxel::sim
