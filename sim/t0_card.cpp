#include "t0_card.h"

#include <algorithm>

#include "apdu.h"
#include "secret_wipe.h"

namespace draxel::sim {
namespace {

constexpr size_t kTpduHeader = 5;
constexpr uint8_t kInsGetResponse = 0xC0;

// P3 of the TPDU a reader would send: a bare 4-byte header goes out with
// P3 = 00, and P3 = 00 on an outgoing command asks for 256 bytes.
size_t expected_length(std::span<const uint8_t> apdu)
{
	if (apdu.size() < kTpduHeader || apdu[4] == 0)
		return 256;
	return apdu[4];
}

bool is_get_response(std::span<const uint8_t> apdu)
{
	return (apdu.size() == 4 || apdu.size() == kTpduHeader) && apdu[1] == kInsGetResponse &&
	       apdu[2] == 0 && apdu[3] == 0;
}

uint8_t length_byte(size_t length)
{
	return static_cast<uint8_t>(std::min<size_t>(length, 256) & 0xFF);
}

std::vector<uint8_t> length_status(uint8_t sw1, size_t length)
{
	return {sw1, length_byte(length)};
}

} // namespace

std::vector<uint8_t> T0Card::process(std::span<const uint8_t> apdu)
{
	if (pending_ == Pending::kGetResponse && is_get_response(apdu)) {
		return serve_get_response(expected_length(apdu));
	}
	if (pending_ == Pending::kReissue && is_matching_reissue(apdu)) {
		return serve_reissue();
	}
	drop_pending();
	return adapt(apdu, inner_.process(apdu));
}

void T0Card::power_off()
{
	drop_pending();
	inner_.power_off();
}

void T0Card::reset()
{
	drop_pending();
	inner_.reset();
}

std::vector<uint8_t> T0Card::adapt(std::span<const uint8_t> apdu, std::vector<uint8_t> reply)
{
	if (reply.size() <= 2 || status_of(reply) != sw::kOk || apdu.size() < 4) {
		return reply;
	}
	reply.resize(reply.size() - 2);
	// 6Cxx can only name up to 256 bytes; anything longer goes by GET RESPONSE.
	if (apdu.size() > kTpduHeader || reply.size() > 256) {
		return hold_for_get_response(std::move(reply));
	}
	if (reply.size() == expected_length(apdu)) {
		append_status(reply, sw::kOk);
		return reply;
	}
	return hold_for_reissue(apdu, std::move(reply));
}

std::vector<uint8_t> T0Card::hold_for_get_response(std::vector<uint8_t> data)
{
	pending_ = Pending::kGetResponse;
	held_ = std::move(data);
	handed_out_ = 0;
	return length_status(0x61, held_.size());
}

std::vector<uint8_t> T0Card::hold_for_reissue(std::span<const uint8_t> apdu,
                                              std::vector<uint8_t> data)
{
	pending_ = Pending::kReissue;
	held_ = std::move(data);
	std::copy_n(apdu.begin(), held_header_.size(), held_header_.begin());
	return length_status(0x6C, held_.size());
}

std::vector<uint8_t> T0Card::serve_get_response(size_t le)
{
	const size_t count = std::min(le, held_.size() - handed_out_);
	const auto first = held_.begin() + static_cast<ptrdiff_t>(handed_out_);
	std::vector<uint8_t> response(first, first + static_cast<ptrdiff_t>(count));
	handed_out_ += count;
	const size_t remaining = held_.size() - handed_out_;
	if (remaining == 0) {
		drop_pending();
		append_status(response, sw::kOk);
	} else {
		const auto more = length_status(0x61, remaining);
		response.insert(response.end(), more.begin(), more.end());
	}
	return response;
}

std::vector<uint8_t> T0Card::serve_reissue()
{
	std::vector<uint8_t> response = std::move(held_);
	drop_pending();
	append_status(response, sw::kOk);
	return response;
}

bool T0Card::is_matching_reissue(std::span<const uint8_t> apdu) const
{
	return apdu.size() == kTpduHeader &&
	       std::equal(held_header_.begin(), held_header_.end(), apdu.begin()) &&
	       expected_length(apdu) == held_.size();
}

void T0Card::drop_pending()
{
	pending_ = Pending::kNone;
	// held replies carry keys and plaintext
	wipe(held_);
	held_.clear();
	handed_out_ = 0;
}

} // namespace draxel::sim
