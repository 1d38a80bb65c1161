#include "token_handler.h"

#include <cstring>
#include <span>
#include <vector>

#include "apdu.h"
#include "secret_wipe.h"

namespace draxel::sim {
namespace {

InProcessToken *g_active = nullptr;

constexpr unsigned long kExchanged = 0;
constexpr unsigned long kFailed = 1;

} // namespace

InProcessToken::InProcessToken(Card &card) : card_(card)
{
	table_.handlerScardTransmit = &InProcessToken::transmit;
	g_active = this;
}

InProcessToken::~InProcessToken()
{
	if (g_active == this)
		g_active = nullptr;
}

void InProcessToken::power_cycle()
{
	card_.power_off();
	card_.reset();
}

unsigned long InProcessToken::transmit(unsigned char *send, int send_len, unsigned char *recv,
                                       int *recv_len)
{
	if (recv_len == nullptr)
		return kFailed;
	const int capacity = *recv_len;
	// A length below 2 is the one failure the library recognises.
	*recv_len = 0;
	if (recv == nullptr || capacity < 2 || g_active == nullptr)
		return kFailed;
	// The library never sends more than its longest command; anything else is
	// a broken call, not a command the card could have received.
	if (send_len < 0 || send_len > DRAXEL_MAX_COMMAND || (send == nullptr && send_len > 0)) {
		return kFailed;
	}
	std::vector<uint8_t> reply;
	try {
		reply = g_active->card_.process(
		        std::span<const uint8_t>(send, static_cast<size_t>(send_len)));
	} catch (...) {
		// Nothing may unwind into the library's C frames; a card that failed
		// internally answers like a card with no precise diagnosis.
		reply.clear();
	}
	// A card that left the reader answers nothing: the exchange failed.
	if (g_active->card_.pull_requested()) {
		wipe(reply);
		return kFailed;
	}
	if (reply.size() < 2 || reply.size() > static_cast<size_t>(capacity)) {
		wipe(reply);
		reply = status_only(sw::kNoPreciseDiagnosis);
	}
	std::memcpy(recv, reply.data(), reply.size());
	*recv_len = static_cast<int>(reply.size());
	wipe(reply); // it may carry a note or deciphered data
	return kExchanged;
}

} // namespace draxel::sim
