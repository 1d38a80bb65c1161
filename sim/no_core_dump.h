#pragma once

// The tool and the token daemons hold passwords, keys and plaintext in
// memory: a crash must not write them to a core file, nor another process
// of the same user read them through ptrace or /proc/PID/mem. Called first
// thing in main(); a failure leaves the process as it was, nothing worse.
// (The library, which must not change a host's process settings, keeps its
// own secret blocks out of dumps instead.)

#include <sys/prctl.h>
#include <sys/resource.h>

namespace draxel::sim {

inline void forbid_core_dumps()
{
	prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
	struct rlimit none {};
	setrlimit(RLIMIT_CORE, &none);
}

} // namespace draxel::sim
