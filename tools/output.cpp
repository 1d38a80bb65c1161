// Results on stdout, failures on stderr, and the exit status of each class
// of failure.
#include <PCSC/winscard.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "draxel_lib.h"
#include "error_table.h"
#include "tool.h"

namespace draxel::tool {
namespace {

using draxel_errors::is_pcsc;
using draxel_errors::is_wrong_password;

// PC/SC results read better in hex, as their documentation gives them.
std::string code_text(unsigned long code)
{
	if (!is_pcsc(code))
		return std::to_string(code);
	char text[24];
	std::snprintf(text, sizeof text, "0x%08lX", code);
	return text;
}

// The library's text for the recorded code; empty when it recorded another.
std::string recorded_text(unsigned long code)
{
	if (cur_context.error != code)
		return {};
	int len = 0;
	if (GetError(nullptr, &len) != 0 || len <= 0)
		return {};
	std::string text(static_cast<size_t>(len), '\0');
	if (GetError(text.data(), &len) != 0)
		return {};
	text.resize(strnlen(text.c_str(), text.size()));
	return text;
}

// Writes everything or fails: a result cut short must not pass for whole.
void write_all(int fd, const std::string &bytes)
{
	size_t done = 0;
	while (done < bytes.size()) {
		ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			throw ToolError(Exit::kFailure,
			                std::string("cannot write the result: ") + strerror(errno));
		done += static_cast<size_t>(n);
	}
}

// The way out of a blocked password, named where it blocks. The failing
// step names the password ("verifying the PIN").
std::string unblock_hint(const std::string &doing, unsigned long code)
{
	if (code != DRAXEL_E_PASSWORD_BLOCKED && code != DRAXEL_E_WRONG_PASSWORD)
		return {};
	if (doing.find("note password") != std::string::npos)
		return "\n  `draxel-tool note-pas unblock` resets it with the PUK";
	if (doing.find("PIN") != std::string::npos)
		return "\n  `draxel-tool pin unblock` resets it with the PUK";
	if (doing.find("erase password") != std::string::npos)
		return "\n  no command unblocks it; `draxel-tool clean --with-puk` clears the "
		       "token with "
		       "the PUK instead";
	if (doing.find("PUK") != std::string::npos)
		return "\n  no command unblocks the PUK";
	return {};
}

// With no pcscd a new user sees only a PC/SC code: say what to do.
std::string pcscd_hint(unsigned long code)
{
	if (code != static_cast<uint32_t>(SCARD_E_NO_SERVICE) &&
	    code != static_cast<uint32_t>(SCARD_E_SERVICE_STOPPED))
		return {};
	return "\n  start pcscd (systemctl start pcscd.socket, or pcscd as root), or use the "
	       "built-in software token with --sim STATE (see `draxel-tool help init`)";
}

} // namespace

LibraryError::LibraryError(unsigned long code, const std::string &doing)
    : std::runtime_error(doing), code_(code), library_text_(recorded_text(code))
{
}

void check(unsigned long rc, const std::string &doing)
{
	if (rc != 0)
		throw LibraryError(rc, doing);
}

// The library's class of each code, as an exit status.
Exit classify(unsigned long code)
{
	using draxel_errors::ErrorClass;
	switch (draxel_errors::class_of(code)) {
	case ErrorClass::kNone:
		return Exit::kOk;
	case ErrorClass::kUsage:
		return Exit::kUsage;
	case ErrorClass::kNoToken:
		return Exit::kNoToken;
	case ErrorClass::kWrongPassword:
		return Exit::kWrongPassword;
	case ErrorClass::kBlocked:
		return Exit::kBlocked;
	case ErrorClass::kIntegrity:
		return Exit::kIntegrity;
	case ErrorClass::kRefused:
		return Exit::kRefused;
	case ErrorClass::kCommunication:
		return Exit::kCommunication;
	case ErrorClass::kFailure:
		break;
	}
	return Exit::kFailure;
}

std::string describe(unsigned long code)
{
	if (is_wrong_password(code)) {
		unsigned long left = DRAXEL_TRIES_LEFT(code);
		if (left == 0)
			return "wrong password, no attempts left: it is blocked now";
		return "wrong password, " + std::to_string(left) +
		       (left == 1 ? " attempt left" : " attempts left");
	}
	if (const draxel_errors::ErrorInfo *info = draxel_errors::find_error(code))
		return info->description;
	if (is_pcsc(code)) {
		const char *text = pcsc_stringify_error(static_cast<LONG>(code));
		return std::string("PC/SC: ") + (text != nullptr ? text : "error");
	}
	return "error";
}

namespace {

// A result may carry a key or plaintext in any of its strings.
void wipe_strings(json &value)
{
	if (value.is_string())
		wipe(value.get_ref<std::string &>());
	else if (value.is_structured())
		for (json &item : value)
			wipe_strings(item);
}

} // namespace

Result::~Result()
{
	wipe(text);
	wipe_strings(data);
}

void emit(Result &result, bool as_json)
{
	if (as_json) {
		// one shape for every result: an object that says it succeeded,
		// as a failure's says it did not
		if (!result.data.is_object())
			result.data = json{{"result", std::move(result.data)}};
		if (!result.data.contains("ok"))
			result.data["ok"] = true;
		// the commands give bytes that may not be UTF-8 as hex; whatever
		// else slips through must not make the whole result fail
		std::string doc =
		        result.data.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
		WipeOnExit wipe_doc(doc);
		write_all(STDOUT_FILENO, doc);
		return;
	}
	write_all(STDOUT_FILENO, result.text);
}

int report(const std::exception &error, bool as_json)
{
	json doc;
	Exit status = Exit::kFailure;
	std::string message = error.what();
	if (auto *library = dynamic_cast<const LibraryError *>(&error)) {
		status = classify(library->code());
		std::string text = library->library_text();
		message += ": ";
		if (!text.empty())
			message += text + " ";
		message += "(code " + code_text(library->code()) + ": " +
		           describe(library->code()) + ")";
		message += unblock_hint(error.what(), library->code());
		message += pcscd_hint(library->code());
		doc["code"] = library->code();
		doc["library_text"] = text;
		doc["description"] = describe(library->code());
	} else if (auto *tool = dynamic_cast<const ToolError *>(&error)) {
		status = tool->status();
	}
	std::fprintf(stderr, "draxel-tool: %s\n", message.c_str());
	if (as_json) {
		doc["error"] = error.what();
		doc["exit_status"] = static_cast<int>(status);
		try {
			Result result;
			result.data = json{{"ok", false}, {"failure", doc}};
			emit(result, true);
		} catch (const std::exception &) {
			// stderr has the message already
		}
	}
	return static_cast<int>(status);
}

std::string escaped(const std::string &name)
{
	std::string out;
	for (char c : name) {
		auto byte = static_cast<unsigned char>(c);
		if (byte >= 0x20 && byte != 0x7F && c != '\\') {
			out.push_back(c);
			continue;
		}
		char code[5];
		std::snprintf(code, sizeof code, "\\x%02X", byte);
		out += code;
	}
	return out;
}

void put_name(json &data, const char *key, const std::string &name)
{
	data[key] = name;
	if (!valid_utf8(name))
		data[std::string(key) + "_hex"] =
		        to_hex(reinterpret_cast<const unsigned char *>(name.data()), name.size());
}

std::string to_hex(const unsigned char *data, size_t len)
{
	static const char digits[] = "0123456789ABCDEF";
	std::string text;
	text.reserve(2 * len);
	for (size_t i = 0; i < len; ++i) {
		text.push_back(digits[data[i] >> 4]);
		text.push_back(digits[data[i] & 15]);
	}
	return text;
}

std::string argument_or_stdin(const std::string &argument, size_t limit, const char *what)
{
	if (!argument.empty() && argument != "-") {
		if (argument.size() > limit)
			throw ToolError(Exit::kUsage, std::string("the ") + what +
			                                      " is longer than " +
			                                      std::to_string(limit) + " bytes");
		return argument;
	}
	std::string text;
	// growing would leave copies of a plaintext in freed memory
	text.reserve(limit);
	char chunk[4096];
	WipeOnExit wipe_chunk(chunk);
	for (;;) {
		ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			wipe(text); // what came before the failure is plaintext all the same
			throw ToolError(Exit::kFailure,
			                std::string("cannot read the ") + what +
			                        " from standard input: " + strerror(errno));
		}
		if (n == 0)
			break;
		if (text.size() + static_cast<size_t>(n) > limit) {
			wipe(text);
			throw ToolError(Exit::kUsage, std::string("the ") + what +
			                                      " is longer than " +
			                                      std::to_string(limit) + " bytes");
		}
		text.append(chunk, static_cast<size_t>(n));
	}
	return text;
}

} // namespace draxel::tool
