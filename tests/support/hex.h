// Hex helpers for tests: commands and replies are written as hex text.
#pragma once

#include <cctype>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace draxel::test {

using Bytes = std::vector<uint8_t>;

// "00 A4 04 0C" or "00A4040C" to bytes; blanks are ignored.
inline Bytes from_hex(std::string_view text)
{
	std::string digits;
	for (char c : text)
		if (!std::isspace(static_cast<unsigned char>(c)))
			digits += c;
	if (digits.size() % 2 != 0)
		throw std::invalid_argument("odd number of hex digits");
	Bytes out;
	for (size_t i = 0; i < digits.size(); i += 2)
		out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
	return out;
}

// Bytes to upper-case hex without separators.
inline std::string to_hex(const uint8_t *data, size_t len)
{
	std::string out;
	for (size_t i = 0; i < len; ++i) {
		out += "0123456789ABCDEF"[data[i] >> 4];
		out += "0123456789ABCDEF"[data[i] & 0x0F];
	}
	return out;
}
inline std::string to_hex(const Bytes &bytes)
{
	return to_hex(bytes.data(), bytes.size());
}

// Bytes first, first + 1, ... of the given length, the pattern the test card
// answers.
inline Bytes counting(size_t len, uint8_t first = 0)
{
	Bytes out(len);
	for (size_t i = 0; i < len; ++i)
		out[i] = static_cast<uint8_t>(first + i);
	return out;
}

// a followed by b.
inline Bytes cat(Bytes a, const Bytes &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

} // namespace draxel::test
