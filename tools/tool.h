// draxel-tool: what every area of the command line shares.
#pragma once

// CLI11 costs seconds of compiling in every unit that includes it: only the
// units that build the command line do; here CLI::App is only named.
#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "secrets.h"
#include "tool_error.h"

namespace CLI {
class App;
}

namespace draxel::tool {

using nlohmann::json;

// What a command hands back: the JSON document for --json and the text for
// people. The text may hold a deciphered message, so it is wiped.
struct Result {
	json data = json::object();
	std::string text;

	Result() = default;
	Result(const Result &) = delete;
	Result &operator=(const Result &) = delete;
	Result(Result &&) = default;
	Result &operator=(Result &&) = default;
	~Result();
};

// Prints a result on stdout, as JSON or as text.
void emit(Result &result, bool as_json);

struct Globals {
	std::string reader;
	std::string second_reader;
	std::string sim;
	bool issue = false; // --issue: a missing --sim state is issued
	bool json = false;
	int wait_seconds = 30; // --wait: how long to wait for a token in use
};

class Session;

// The parsed command line: the global options, where the passwords come
// from, and the one action the chosen subcommand runs.
struct Context {
	Globals globals;
	Secrets secrets;
	std::function<Result(Session &)> action;
	// Reads the subcommand's input before the token is taken, so that no
	// other program waits on a slow pipe or a person at a prompt.
	std::function<void()> prepare;
	// Set by the subcommands that work without a token at all.
	bool needs_token = true;
	// Set by `init`, which issues a software token into a new state file.
	bool issues_token = false;
};

// Each area adds its subcommands to the application.
void add_reader_commands(CLI::App &app, Context &ctx);
void add_message_commands(CLI::App &app, Context &ctx);
void add_file_commands(CLI::App &app, Context &ctx);
void add_password_commands(CLI::App &app, Context &ctx);
void add_group_commands(CLI::App &app, Context &ctx);
void add_note_commands(CLI::App &app, Context &ctx);
void add_maintenance_commands(CLI::App &app, Context &ctx);
// help and completion, which describe the whole tree: add them last.
void add_help_commands(CLI::App &app, Context &ctx);
// `help [SUBCOMMAND...]`, read before parsing since its words name other
// subcommands; true when it set the action.
bool help_requested(const CLI::App &app, Context &ctx, const std::vector<std::string> &words);

// The key a message or file is enciphered under: --mode 1 or 2 (the
// token's keys), or 3 with --group (the group's key).
struct CipherChoice {
	int mode = 0;
	std::string group;

	void add_options(CLI::App *command);
	// The mode, 3 when only a group is named, 1 when nothing is; ToolError
	// for a group without mode 3 or mode 3 without a group.
	int resolved_mode() const;
	const char *group_or_null() const { return group.empty() ? nullptr : group.c_str(); }
	// A pass phrase typed at a prompt to encipher is typed twice, but for a
	// group's (the token checks that one).
	void ask_new_phrase_twice(Secrets &secrets) const;
	json describe() const;
};

// True when the bytes can go into a JSON string as they are.
bool valid_utf8(const std::string &text);
// A name in a JSON document: as it is, and as hex when it is not UTF-8.
void put_name(json &data, const char *key, const std::string &name);

// The text of a subcommand's input: the argument itself, or standard input
// when it is empty or "-". At most limit bytes.
std::string argument_or_stdin(const std::string &argument, size_t limit, const char *what);
// Hex text as the tool prints it.
std::string to_hex(const unsigned char *data, size_t len);

} // namespace draxel::tool
