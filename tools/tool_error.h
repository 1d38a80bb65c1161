// draxel-tool: exit statuses and the failures that map onto them, for the
// units that need no more of the tool's command line.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "secret_wipe.h"

namespace draxel::tool {

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

// Reports a failure on stderr (and, with --json, as a JSON document on
// stdout) and gives the exit status.
int report(const std::exception &error, bool as_json);

// A name for a terminal: control characters and backslashes as \xNN, so
// that a name cannot move the cursor or pass for another.
std::string escaped(const std::string &name);

} // namespace draxel::tool
