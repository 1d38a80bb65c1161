// draxel-tool: what every area of the command line shares.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "secret_wipe.h"
#include "secrets.h"

namespace draxel::tool {

using nlohmann::json;
// Buffers that held a secret or plaintext are cleared as the software token
// clears its own.
using sim::wipe;
using sim::WipeOnExit;

// Exit statuses, one per class of failure, so that a script can tell a wrong
// PIN from a blocked one without parsing text. Documented in draxel-tool(1).
enum class Exit : int {
	kOk = 0,
	kFailure = 1,       // a local file or system error, anything unforeseen
	kUsage = 2,         // bad arguments or input text
	kNoToken = 3,       // no reader, no token, several tokens, no pcscd
	kWrongPassword = 4, // wrong password or pass phrase
	kBlocked = 5,       // the password is blocked
	kIntegrity = 6,     // an encrypted file is damaged or fails its checksum
	kRefused = 7,       // the token refused the operation
	kCommunication = 8, // an exchange with the reader or token failed
};

// A failing library call: its code and the library's own text for it, read
// at once since the next call may record another code.
class LibraryError : public std::runtime_error {
public:
	LibraryError(unsigned long code, const std::string &doing);
	unsigned long code() const { return code_; }
	const std::string &library_text() const { return library_text_; }

private:
	unsigned long code_;
	std::string library_text_; // empty when the library did not record the code
};

// A failure the tool itself detects.
class ToolError : public std::runtime_error {
public:
	ToolError(Exit status, const std::string &message)
	    : std::runtime_error(message), status_(status)
	{
	}
	Exit status() const { return status_; }

private:
	Exit status_;
};

// Throws LibraryError for any code but 0.
void check(unsigned long rc, const std::string &doing);

Exit classify(unsigned long code);
// A short English description of a library, transport or PC/SC code.
std::string describe(unsigned long code);

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
// Reports a failure on stderr (and, with --json, as a JSON document on
// stdout) and gives the exit status.
int report(const std::exception &error, bool as_json);

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
// A name for a terminal: control characters and backslashes as \xNN, so
// that a name cannot move the cursor or pass for another.
std::string escaped(const std::string &name);
// A name in a JSON document: as it is, and as hex when it is not UTF-8.
void put_name(json &data, const char *key, const std::string &name);

// The text of a subcommand's input: the argument itself, or standard input
// when it is empty or "-". At most limit bytes.
std::string argument_or_stdin(const std::string &argument, size_t limit, const char *what);
// Hex text as the tool prints it.
std::string to_hex(const unsigned char *data, size_t len);

} // namespace draxel::tool
