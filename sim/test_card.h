#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "card.h"

namespace draxel::sim {

// A stateless card whose answers a test can script, to exercise the transport
// between the host library and the reader:
//   80 F0 SW1 SW2 [Lc data [Le]]  echoes data, then SW1 SW2 from P1 P2
//   80 F2 N 00 [Le]               N bytes 00 01 02 ..., 9000 (Le ignored)
//   00 C0 00 00 Le                Le bytes of the same pattern, 9000
//   00 A4 04 xx Lc AID            9000 for the configured AID, else 6A82
class TestCard : public Card {
public:
	struct Options {
		std::vector<uint8_t> aid{'M', 'E', 'K', 'T', 'A', '_', 'P', 'S', 'C', 'H'};
		bool refuse_select = false;
	};

	TestCard() = default;
	explicit TestCard(Options options) : options_(std::move(options)) {}

	std::vector<uint8_t> process(std::span<const uint8_t> apdu) override;

private:
	Options options_;
};

} // namespace draxel::sim
