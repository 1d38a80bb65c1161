// Checks of option values that the tool makes before anything is sent, so
// that a mistake gets a message that names the limit.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace draxel::tool {

// An option given an empty value is a mistake (an unset variable, most
// often), never a request for the default: `-o ""` must not write ./NAME,
// nor `-g ""` encipher in mode 1.
inline CLI::Validator not_empty()
{
	return CLI::Validator(
	        [](std::string &value) {
		        return value.empty() ? std::string("an empty value (an unset variable?)")
		                             : std::string();
	        },
	        "", "NOT EMPTY");
}

// A group name travels in a 64-byte field with its terminating zero.
inline CLI::Validator group_name()
{
	constexpr size_t kLongest = 63;
	return CLI::Validator(
	        [](std::string &value) {
		        if (value.empty())
			        return std::string("an empty group name (an unset variable?)");
		        if (value.size() > kLongest)
			        return "a group name is at most " + std::to_string(kLongest) +
			               " bytes; this one has " + std::to_string(value.size());
		        return std::string();
	        },
	        "", "GROUP NAME");
}

} // namespace draxel::tool
