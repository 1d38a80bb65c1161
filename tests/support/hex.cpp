#include "hex.h"

#include <cctype>
#include <stdexcept>

namespace draxel::test {

Bytes from_hex(std::string_view text)
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

std::string to_hex(const uint8_t* data, size_t len)
{
	static const char digits[] = "0123456789ABCDEF";
	std::string out;
	for (size_t i = 0; i < len; ++i) {
		out += digits[data[i] >> 4];
		out += digits[data[i] & 0x0F];
	}
	return out;
}

Bytes counting(size_t len, uint8_t first)
{
	Bytes out(len);
	for (size_t i = 0; i < len; ++i)
		out[i] = static_cast<uint8_t>(first + i);
	return out;
}

} // namespace draxel::test
