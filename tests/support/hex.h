// Hex helpers for tests: commands and replies are written as hex text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace draxel::test {

using Bytes = std::vector<uint8_t>;

// "00 A4 04 0C" or "00A4040C" to bytes; blanks are ignored.
Bytes from_hex(std::string_view text);
// Bytes to upper-case hex without separators.
std::string to_hex(const uint8_t* data, size_t len);
inline std::string to_hex(const Bytes& bytes) { return to_hex(bytes.data(), bytes.size()); }
// Bytes 00 01 02 ... of the given length, the pattern the test card answers.
Bytes counting(size_t len, uint8_t first = 0);

} // namespace draxel::test
