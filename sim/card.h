#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace draxel::sim {

// The behaviour of a card behind a reader: one response per command APDU.
class Card {
public:
	virtual ~Card() = default;

	// Returns the response data followed by SW1 SW2, so always at least two
	// bytes, whatever the command looks like.
	virtual std::vector<uint8_t> process(std::span<const uint8_t> apdu) = 0;

	virtual void power_off() {}
	// Cold power-on and warm reset alike: the card forgets its session state.
	virtual void reset() {}
	// True, once, when the reply process() just gave must not reach the
	// reader: the card leaves the reader instead (fault tests, FaultyCard).
	virtual bool pull_requested() { return false; }
};

} // namespace draxel::sim
