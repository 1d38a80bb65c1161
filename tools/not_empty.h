// An option given an empty value is a mistake (an unset variable, most
// often), never a request for the default: `-o ""` must not write ./NAME,
// nor `-g ""` encipher in mode 1.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace draxel::tool {

inline CLI::Validator not_empty()
{
	return CLI::Validator(
	        [](std::string &value) {
		        return value.empty() ? std::string("an empty value (an unset variable?)")
		                             : std::string();
	        },
	        "", "NOT EMPTY");
}

} // namespace draxel::tool
