// The command tree as data: where in it a command line lands, the nearest
// name to a mistyped one, and shell completion generated from the tree, so
// that a new subcommand or option is never missing from any of them.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace draxel::tool {

// Where the words of a command line lead in the tree.
struct CommandPath {
	const CLI::App *command = nullptr; // the deepest subcommand named
	std::vector<std::string> names;    // the subcommands on the way
	std::string unknown;               // a word in a subcommand's place that names none
};

// Follows the words (argv without the program) through the subcommands,
// stepping over options and their values.
CommandPath follow(const CLI::App &app, const std::vector<std::string> &words);

// "unknown subcommand" with the nearest name, for a path that ends in one.
std::string unknown_subcommand_message(const CommandPath &path);

// A completion script for "bash" or "zsh"; empty for another shell.
std::string completion_script(const CLI::App &app, const std::string &shell);

} // namespace draxel::tool
