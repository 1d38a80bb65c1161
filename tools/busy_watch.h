// A bound on waiting for a token that another program holds.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace draxel::tool {

// Watches one wait that cannot be interrupted (PC/SC waits for a held card
// without a time limit, flock for a held state file). After a second it
// says on stderr what the tool waits for; when `seconds` have passed it
// reports "token busy" (exit status 3) and ends the process from the
// watching thread. The wait is over when the watch is destroyed.
class BusyWatch {
public:
	BusyWatch(int seconds, bool as_json, std::string what);
	~BusyWatch();
	BusyWatch(const BusyWatch &) = delete;
	BusyWatch &operator=(const BusyWatch &) = delete;

private:
	void watch();

	int seconds_;
	bool json_;
	std::string what_;
	std::mutex mutex_;
	std::condition_variable done_changed_;
	bool done_ = false;
	std::thread watcher_;
};

} // namespace draxel::tool
