#include "busy_watch.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "tool_error.h"

namespace draxel::tool {

BusyWatch::BusyWatch(int seconds, bool as_json, std::string what)
    : seconds_(seconds), json_(as_json), what_(std::move(what)), watcher_([this] { watch(); })
{
}

BusyWatch::~BusyWatch()
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		done_ = true;
	}
	done_changed_.notify_one();
	watcher_.join();
}

void BusyWatch::watch()
{
	using std::chrono::seconds;
	std::unique_lock<std::mutex> lock(mutex_);
	const auto patience = seconds(1) < seconds(seconds_) ? seconds(1) : seconds(seconds_);
	if (done_changed_.wait_for(lock, patience, [this] { return done_; }))
		return;
	if (seconds_ > 1)
		std::fprintf(stderr, "draxel-tool: waiting for %s (at most %d s, see --wait)\n",
		             what_.c_str(), seconds_);
	if (done_changed_.wait_for(lock, seconds(seconds_) - patience, [this] { return done_; }))
		return;
	// The main thread is inside the wait and holds nothing of the token's:
	// ending the process here is the only way out of it.
	int status = report(ToolError(Exit::kNoToken, "token busy: gave up waiting for " + what_ +
	                                                      " after " + std::to_string(seconds_) +
	                                                      " s"),
	                    json_);
	std::fflush(nullptr);
	_exit(status);
}

} // namespace draxel::tool
