#pragma once

// What the virtual-card daemons share: where the vpcd reader is, and the
// loop that plays a card in it until a signal ends the daemon.

#include <chrono>
#include <cstdint>
#include <string>

#include "card.h"

namespace draxel::sim {

struct ReaderOptions {
	std::string host = "127.0.0.1";
	uint16_t port = 0;
	bool t0 = false;   // answer as a T=0 card, with a T=0-only ATR
	bool once = false; // end after the first connection instead of reconnecting
	// How long a card that left the reader by itself (FaultyCard's drop) stays
	// out: long enough for pcscd to see the reader empty before it comes back.
	std::chrono::milliseconds reinsert_pause{1500};
};

// Plays card in the reader, connecting again whenever vpcd drops it (so a
// pcscd restart is survived), until SIGTERM or SIGINT. Returns the exit
// status.
int serve_in_reader(Card &card, const ReaderOptions &options);

} // namespace draxel::sim
