#include "test_card.h"

#include <algorithm>

#include "apdu.h"

namespace draxel::sim {
namespace {

constexpr uint8_t kClaIso = 0x00;
constexpr uint8_t kClaProprietary = 0x80;
constexpr uint8_t kInsSelect = 0xA4;
constexpr uint8_t kInsGetResponse = 0xC0;
constexpr uint8_t kInsEcho = 0xF0;
constexpr uint8_t kInsCount = 0xF2;
constexpr uint8_t kSelectByName = 0x04;

std::vector<uint8_t> counting_pattern(size_t length)
{
	std::vector<uint8_t> data(length);
	for (size_t i = 0; i < length; ++i)
		data[i] = static_cast<uint8_t>(i & 0xFF);
	return data;
}

std::vector<uint8_t> with_status(std::vector<uint8_t> data, uint16_t status)
{
	append_status(data, status);
	return data;
}

std::vector<uint8_t> echo(const CommandApdu &cmd)
{
	std::vector<uint8_t> response(cmd.data.begin(), cmd.data.end());
	response.push_back(cmd.p1);
	response.push_back(cmd.p2);
	return response;
}

std::vector<uint8_t> count(const CommandApdu &cmd)
{
	if (cmd.p2 != 0)
		return status_only(sw::kIncorrectP1P2);
	return with_status(counting_pattern(cmd.p1), sw::kOk);
}

std::vector<uint8_t> get_response(const CommandApdu &cmd)
{
	if (cmd.p1 != 0 || cmd.p2 != 0)
		return status_only(sw::kIncorrectP1P2);
	return with_status(counting_pattern(cmd.ne), sw::kOk);
}

bool is_known_class(uint8_t cla)
{
	return cla == kClaIso || cla == kClaProprietary;
}

} // namespace

std::vector<uint8_t> TestCard::process(std::span<const uint8_t> apdu)
{
	const auto cmd = parse_command(apdu);
	if (apdu.size() >= 4 && !is_known_class(apdu[0])) {
		return status_only(sw::kClaNotSupported);
	}
	if (!cmd)
		return status_only(sw::kWrongLength);
	const bool iso = cmd->cla == kClaIso;
	if (!iso && cmd->ins == kInsEcho)
		return echo(*cmd);
	if (!iso && cmd->ins == kInsCount)
		return count(*cmd);
	if (iso && cmd->ins == kInsGetResponse)
		return get_response(*cmd);
	if (iso && cmd->ins == kInsSelect) {
		if (cmd->p1 != kSelectByName)
			return status_only(sw::kIncorrectP1P2);
		const bool match = std::ranges::equal(cmd->data, options_.aid);
		return status_only(match && !options_.refuse_select ? sw::kOk : sw::kFileNotFound);
	}
	return status_only(sw::kInsNotSupported);
}

} // namespace draxel::sim
