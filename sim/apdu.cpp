#include "apdu.h"

namespace draxel::sim {
namespace {

constexpr size_t kHeader = 4;

size_t short_ne(uint8_t le)
{
	return le == 0 ? 256 : le;
}

size_t extended_ne(uint8_t hi, uint8_t lo)
{
	const size_t ne = (size_t{hi} << 8) | lo;
	return ne == 0 ? 65536 : ne;
}

std::optional<CommandApdu> parse_extended_body(CommandApdu cmd, std::span<const uint8_t> body)
{
	// body starts with the 00 marker byte
	if (body.size() == 3) {
		cmd.ne = extended_ne(body[1], body[2]);
		return cmd;
	}
	if (body.size() < 3)
		return std::nullopt;
	const size_t lc = (size_t{body[1]} << 8) | body[2];
	if (lc == 0)
		return std::nullopt;
	if (body.size() == 3 + lc + 2) {
		cmd.ne = extended_ne(body[3 + lc], body[4 + lc]);
	} else if (body.size() != 3 + lc) {
		return std::nullopt;
	}
	cmd.data = body.subspan(3, lc);
	return cmd;
}

} // namespace

std::optional<CommandApdu> parse_command(std::span<const uint8_t> apdu)
{
	if (apdu.size() < kHeader)
		return std::nullopt;
	CommandApdu cmd{apdu[0], apdu[1], apdu[2], apdu[3], {}, 0};
	const auto body = apdu.subspan(kHeader);
	if (body.empty())
		return cmd;
	if (body.size() == 1) {
		cmd.ne = short_ne(body[0]);
		return cmd;
	}
	if (body[0] == 0)
		return parse_extended_body(cmd, body);
	const size_t lc = body[0];
	if (body.size() == 1 + lc + 1) {
		cmd.ne = short_ne(body[1 + lc]);
	} else if (body.size() != 1 + lc) {
		return std::nullopt;
	}
	cmd.data = body.subspan(1, lc);
	return cmd;
}

std::vector<uint8_t> status_only(uint16_t status_word)
{
	std::vector<uint8_t> response;
	append_status(response, status_word);
	return response;
}

void append_status(std::vector<uint8_t> &response, uint16_t status_word)
{
	response.push_back(static_cast<uint8_t>(status_word >> 8));
	response.push_back(static_cast<uint8_t>(status_word & 0xFF));
}

uint16_t status_of(std::span<const uint8_t> response)
{
	if (response.size() < 2)
		return 0;
	const size_t n = response.size();
	return static_cast<uint16_t>((response[n - 2] << 8) | response[n - 1]);
}

} // namespace draxel::sim
