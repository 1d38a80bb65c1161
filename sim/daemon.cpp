#include "daemon.h"

#include <signal.h>

#include <chrono>
#include <vector>

#include "t0_card.h"
#include "vpcd_client.h"

namespace draxel::sim {
namespace {

constexpr std::chrono::milliseconds kRetryPause{100};

VpcdClient *g_client = nullptr;

void on_signal(int)
{
	if (g_client != nullptr)
		g_client->stop();
}

void install_signal_handlers()
{
	struct sigaction action {};
	action.sa_handler = on_signal;
	sigemptyset(&action.sa_mask);
	sigaction(SIGTERM, &action, nullptr);
	sigaction(SIGINT, &action, nullptr);
	signal(SIGPIPE, SIG_IGN);
}

} // namespace

int serve_in_reader(Card &card, const ReaderOptions &options)
{
	T0Card t0_card(card);
	Card &played = options.t0 ? static_cast<Card &>(t0_card) : card;
	std::vector<uint8_t> atr = options.t0 ? std::vector<uint8_t>(kAtrT0.begin(), kAtrT0.end())
	                                      : std::vector<uint8_t>(kAtrT1.begin(), kAtrT1.end());
	VpcdClient client(played, atr);
	g_client = &client;
	install_signal_handlers();
	while (!client.stopped()) {
		if (client.serve(options.host, options.port)) {
			if (options.once)
				break;
			if (client.take_pulled())
				client.wait_for_stop(options.reinsert_pause);
		} else {
			client.wait_for_stop(kRetryPause); // vpcd not listening yet
		}
	}
	g_client = nullptr;
	return 0;
}

} // namespace draxel::sim
