#pragma once

// What a software token keeps between card sessions: its identity, files,
// passwords, keys and groups. Everything here survives a power cycle and is
// what the daemon saves to its state file; the session (verified passwords,
// selection, security environment) lives in Token.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace draxel::sim {

using Bytes = std::vector<uint8_t>;
using Key = std::array<uint8_t, 32>;
using Field = std::array<uint8_t, 64>; // a padded name or pass phrase

// The token's password and key references and its files, as the token
// defines them (kept apart from the library's own names on purpose: the
// software token is the library's independent counterpart in the tests).
namespace ref {
inline constexpr uint8_t kKeyLoad = 0x03;
inline constexpr uint8_t kPin = 0x05;
inline constexpr uint8_t kPuk = 0x07;
inline constexpr uint8_t kErase = 0x09;
inline constexpr uint8_t kNote = 0x11;
inline constexpr uint8_t kFileCreation = 0x73;
inline constexpr uint8_t kKeyMode1 = 0x0B;
inline constexpr uint8_t kKeyMode2 = 0x0D;
inline constexpr uint8_t kKeyGroup = 0x0F;
inline constexpr uint8_t kKey15 = 0x15;
inline constexpr uint8_t kKey1D = 0x1D;
} // namespace ref

namespace fid {
inline constexpr uint16_t kMaster = 0x3F00;
inline constexpr uint16_t kTraceBuffer = 0xF190;
inline constexpr uint16_t kVersion = 0xF140;
inline constexpr uint16_t kPukFlag = 0xF141;
inline constexpr uint16_t kNote = 0xF210;
} // namespace fid

struct Password {
	Bytes value;
	uint8_t tries_left = 0;
	uint8_t max_tries = 0;
	bool operator==(const Password &) const = default;
};

struct Group {
	Field name{};
	Field pass_phrase{};
	Key key{};
	bool admin = false; // created here (administrator) or joined by invite
	bool operator==(const Group &) const = default;
};

// A join request made on this token and not yet accepted.
struct PendingRequest {
	std::array<uint8_t, 16> nonce{};
	Field pass_phrase{};
	bool operator==(const PendingRequest &) const = default;
};

struct TokenState {
	std::array<uint8_t, 7> serial{};
	bool st23l80_chip = false;
	std::map<uint8_t, Password> passwords; // by reference
	std::map<uint8_t, Key> keys;           // by reference
	std::optional<Key> ds_key;
	std::vector<Group> groups;
	size_t max_groups = 16;
	uint8_t note_policy = ref::kPin;             // the password that guards the note
	std::map<uint16_t, Bytes> master_files;      // files under 3F00
	std::map<uint16_t, Bytes> application_files; // files in "MEKTA_PSCH"
	std::optional<PendingRequest> pending_request;
	bool operator==(const TokenState &) const = default;
};

// How a new token is issued.
struct IssueOptions {
	std::string pin = "1234";
	std::string puk = "12345678";
	std::string erase_password = "00000000";
	std::string note_password = "4321";
	std::string key_load_password = "11111111";
	std::optional<int> version = 18; // nullopt: no version file
	bool st23l80_chip = false;
	bool note_file = true;
	bool trace_buffer = true;
	std::optional<std::array<uint8_t, 7>> serial; // random when not given
};

// Clears every secret the state holds (keys, passwords, pass phrases, the
// files) in place, before a state is dropped or replaced.
void wipe_state(TokenState &state);

// A freshly issued token: random keys and serial number, default passwords.
TokenState issue_token(const IssueOptions &options = {});

// The file-creation password every issued token shares with the library
// build (reference 0x73).
Bytes file_creation_password();

// The state as text and back; nullopt for a text that does not parse.
std::string serialize(const TokenState &state);
std::optional<TokenState> deserialize(std::string_view text);

// Writes the state to path through a temporary file and a rename, so that a
// crash never leaves a half-written state behind. False on any I/O error.
bool save_state(const std::string &path, const TokenState &state);
std::optional<TokenState> load_state(const std::string &path);

// Removes the temporaries of save_state that a process killed while saving
// left beside path (full copies of the state: its keys). Only for a caller
// that holds the state's lock, since another saver's temporary is live.
size_t remove_save_leftovers(const std::string &path);

} // namespace draxel::sim
