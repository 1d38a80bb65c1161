#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace draxel::sim {

namespace sw {
inline constexpr uint16_t kOk = 0x9000;
inline constexpr uint16_t kMemoryFailure = 0x6581;
inline constexpr uint16_t kWrongLength = 0x6700;
inline constexpr uint16_t kFileNotFound = 0x6A82;
inline constexpr uint16_t kIncorrectP1P2 = 0x6A86;
inline constexpr uint16_t kInsNotSupported = 0x6D00;
inline constexpr uint16_t kClaNotSupported = 0x6E00;
inline constexpr uint16_t kNoPreciseDiagnosis = 0x6F00;
inline constexpr uint16_t kSecurityNotSatisfied = 0x6982;
inline constexpr uint16_t kBlocked = 0x6983;
inline constexpr uint16_t kExists = 0x6984;
inline constexpr uint16_t kConditionsNotSatisfied = 0x6985;
inline constexpr uint16_t kNoCurrentFile = 0x6986;
inline constexpr uint16_t kWrongData = 0x6A80;
inline constexpr uint16_t kNoRoom = 0x6A84;
inline constexpr uint16_t kNotFound = 0x6A88;
inline constexpr uint16_t kFileExists = 0x6A89;
inline constexpr uint16_t kOutsideFile = 0x6B00;
inline constexpr uint16_t kWrongCryptogram = 0x63C0;
} // namespace sw

// A command APDU split into its parts; `data` views the caller's buffer.
struct CommandApdu {
	uint8_t cla = 0;
	uint8_t ins = 0;
	uint8_t p1 = 0;
	uint8_t p2 = 0;
	std::span<const uint8_t> data;
	size_t ne = 0; // expected response length; 0 when the command has no Le
};

// Parses short and extended APDUs; nullopt when the length fields do not
// match the number of bytes present.
std::optional<CommandApdu> parse_command(std::span<const uint8_t> apdu);

std::vector<uint8_t> status_only(uint16_t status_word);
void append_status(std::vector<uint8_t> &response, uint16_t status_word);
// The status word of a response; 0 when the response is too short to hold one.
uint16_t status_of(std::span<const uint8_t> response);

} // namespace draxel::sim
