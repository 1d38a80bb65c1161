#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "card.h"

namespace draxel::sim {

// Presents another card the way a T=0 card would: T=0 cannot return data in
// the same exchange as command data, and a case-2 command must name the exact
// length, so response data is held back and fetched by GET RESPONSE (61xx) or
// by re-issuing the command with the right P3 (6Cxx).
class T0Card : public Card {
public:
	explicit T0Card(Card &inner) : inner_(inner) {}

	std::vector<uint8_t> process(std::span<const uint8_t> apdu) override;
	void power_off() override;
	void reset() override;
	bool pull_requested() override { return inner_.pull_requested(); }

private:
	enum class Pending { kNone, kGetResponse, kReissue };

	std::vector<uint8_t> adapt(std::span<const uint8_t> apdu, std::vector<uint8_t> reply);
	std::vector<uint8_t> hold_for_get_response(std::vector<uint8_t> data);
	std::vector<uint8_t> hold_for_reissue(std::span<const uint8_t> apdu,
	                                      std::vector<uint8_t> data);
	std::vector<uint8_t> serve_get_response(size_t le);
	std::vector<uint8_t> serve_reissue();
	bool is_matching_reissue(std::span<const uint8_t> apdu) const;
	void drop_pending();

	Card &inner_;
	Pending pending_ = Pending::kNone;
	std::vector<uint8_t> held_; // response data not yet handed to the host
	size_t handed_out_ = 0;
	std::array<uint8_t, 4> held_header_{}; // CLA INS P1 P2 of a 6Cxx command
};

} // namespace draxel::sim
