// readers, info: what is attached and what the token says of itself.
#include <CLI/CLI.hpp>
#include <optional>

#include "session.h"
#include "tool.h"

namespace draxel::tool {
namespace {

constexpr int kSerialText = 15;

Result list_readers(Session &session)
{
	Result result;
	result.data = {{"readers", json::array()}};
	int index = 0;
	for (const ReaderInfo &reader : session.readers()) {
		json entry = {{"index", index},
		              {"card", reader.card},
		              {"token", reader.token},
		              {"serial", reader.serial.empty() ? json() : json(reader.serial)}};
		put_name(entry, "name", reader.name);
		result.data["readers"].push_back(entry);
		std::string what = reader.token  ? "token " + reader.serial
		                   : reader.card ? "card (not a token)"
		                                 : "empty";
		result.text += std::to_string(index++) + "  " + escaped(reader.name) + "  [" +
		               what + "]\n";
	}
	if (index == 0)
		result.text = "no readers\n";
	return result;
}

struct PasswordSlot {
	const char *key;   // in --json
	const char *label; // for people
	unsigned char reference;
};

const PasswordSlot kPasswordSlots[] = {
        {"pin", "PIN", 0x05},
        {"puk", "PUK", 0x07},
        {"erase_password", "erase password", 0x09},
        {"note_password", "note password", 0x11},
};

constexpr unsigned short kBlockedStatus = 0x6983;

// The attempts left, asked with a VERIFY that carries no password; none
// when the token does not say (or has no such password).
std::optional<int> attempts_left(unsigned char reference)
{
	int attempts = 0;
	if (APDU_GetKeyAttempts(cur_context.pCurReader, reference, &attempts) == 0)
		return attempts;
	if (APDU_GetSW(cur_context.pCurReader) == kBlockedStatus)
		return 0;
	return std::nullopt;
}

std::string attempts_text(int attempts)
{
	if (attempts == 0)
		return "blocked";
	return std::to_string(attempts) + (attempts == 1 ? " attempt left" : " attempts left");
}

// Filled in after the other questions, which select the application.
void add_attempts(Result &result)
{
	json attempts = json::object();
	for (const PasswordSlot &slot : kPasswordSlots) {
		std::optional<int> left = attempts_left(slot.reference);
		attempts[slot.key] = left ? json(*left) : json();
		std::string label = slot.label;
		label.resize(15, ' ');
		result.text +=
		        label + (left ? attempts_text(*left) : std::string("unknown")) + "\n";
	}
	result.data["attempts"] = attempts;
}

Result token_info(Session &session)
{
	Result result;
	char serial[kSerialText] = {};
	check(GetSN(serial), "reading the serial number");
	int version = session.version();
	bool default_puk = false;
	check(GetPUKFlag(&default_puk), "reading the PUK flag");
	int note_size = 0;
	int note_policy = 0;
	// a token without a note is still a token to describe
	bool has_note = GetNoteInf(&note_size, &note_policy, version, false) == 0;

	const char *policy = note_policy == 2 ? "note password" : "PIN";
	result.data = {
	        {"serial", serial},
	        {"version", version},
	        {"default_puk", default_puk},
	        {"note_size", has_note ? json(note_size) : json()},
	        {"note_policy", has_note ? json(note_policy == 2 ? "note-pas" : "pin") : json()}};
	result.text = std::string("serial number  ") + serial + "\nversion        " +
	              std::to_string(version) + "\nPUK            " +
	              (default_puk ? "as issued (change it)" : "changed") + "\nnote           " +
	              (has_note ? std::to_string(note_size) + " bytes, guarded by the " + policy
	                        : std::string("none")) +
	              "\n";
	add_attempts(result);
	return result;
}

// What a freshly issued software token holds, as `sim/` issues it.
Result issued_token(Session &session)
{
	char serial[kSerialText] = {};
	check(GetSN(serial), "reading the serial number");
	Result result;
	result.data = {{"serial", serial},        {"pin", "1234"},
	               {"puk", "12345678"},       {"erase_password", "00000000"},
	               {"note_password", "4321"}, {"key_loading_password", "11111111"}};
	put_name(result.data, "state", session.globals().sim);
	result.text = "software token " + std::string(serial) + " issued into " +
	              escaped(session.globals().sim) +
	              "\nPIN 1234, PUK 12345678, erase password 00000000, note password 4321, "
	              "key-loading password 11111111: change them\n";
	return result;
}

} // namespace

void add_reader_commands(CLI::App &app, Context &ctx)
{
	auto *readers =
	        app.add_subcommand("readers", "list the readers and which of them hold a token");
	readers->callback([&ctx] {
		ctx.needs_token = false;
		ctx.action = list_readers;
	});
	auto *info = app.add_subcommand(
	        "info", "show the token's serial number, version, PUK flag, note size and policy");
	info->callback([&ctx] { ctx.action = token_info; });
	auto *init = app.add_subcommand(
	        "init", "issue a new software token into the state file named by --sim");
	init->callback([&ctx] {
		ctx.issues_token = true;
		ctx.action = issued_token;
	});
}

} // namespace draxel::tool
