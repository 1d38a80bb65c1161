// The token a command works on: a card behind pcscd, found by --reader or
// by searching, or the built-in software token kept in a state file (--sim).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "draxel_lib.h"
#include "token.h"
#include "token_handler.h"
#include "tool.h"

namespace draxel::tool {

// A reader as `readers` shows it.
struct ReaderInfo {
	std::string name;
	bool card = false;
	bool token = false;
	std::string serial; // 14 hex digits, or empty
};

// An exclusive lock on a software token's state, so that two processes
// never load the same state and each save over the other's changes.
class StateLock {
public:
	// Waits at most --wait seconds for another process to let go.
	StateLock(const std::string &state_path, const Globals &globals);
	~StateLock();
	StateLock(const StateLock &) = delete;
	StateLock &operator=(const StateLock &) = delete;

private:
	int fd_ = -1;
};

// One software token whose state lives in a file: loaded, or issued when
// the file does not exist yet and issuing was asked for, and saved after
// every change (a change that cannot be saved is refused by the token).
class SimToken {
public:
	SimToken(const std::string &path, const Globals &globals);
	// Whether a missing state file is issued (init, --issue) or refused.
	// quietly: `init` reports the new token itself, on stdout alone.
	static void allow_issue(bool allowed, bool quietly = false);
	// ToolError (no token) for a missing state that may not be issued.
	static void check_state(const std::string &path);
	sim::Token &card() { return token_; }
	const std::string &path() const { return path_; }
	// ToolError when a change could not be saved.
	void check_saved() const;

private:
	std::string path_;
	StateLock lock_;
	sim::Token token_;
	bool save_failed_ = false;
};

class Session {
public:
	explicit Session(Context &ctx);
	~Session();
	Session(const Session &) = delete;
	Session &operator=(const Session &) = delete;

	bool simulated() const { return !ctx_.globals.sim.empty(); }
	const Globals &globals() const { return ctx_.globals; }
	Secrets &secrets() { return ctx_.secrets; }

	// Makes the chosen token the library's current one.
	void connect();
	// The second token, for copying: --second-reader or the one other token.
	// With --sim the second token is a second state file, attached in turn
	// (use_second, use_first), since the library in-process has one handler.
	void connect_second();
	void use_first();
	void use_second();

	// The readers and what they hold; connect() not needed.
	std::vector<ReaderInfo> readers();
	// The current token's version, read once.
	int version();
	// Presents a password in this card session; LibraryError on refusal.
	void verify(SecretKind kind);
	// Presents the password that guards the note under its policy.
	void verify_note_password();
	// Ends the session: ToolError when a software token's change was lost.
	void finish();

private:
	void connect_card();
	void connect_second_card(const std::string &second);
	void take(std::vector<ReaderStructPtr> records);
	void open_context();
	std::vector<std::string> reader_names();
	std::string resolve_reader(const std::string &spec);
	ReaderInfo probe(const std::string &name);
	void attach(SimToken &token);
	void release_readers();

	Context &ctx_;
	bool context_open_ = false;
	std::unique_ptr<SimToken> sim_;
	std::unique_ptr<SimToken> second_sim_;
	std::optional<sim::InProcessToken> attached_;
	std::optional<int> version_;
};

} // namespace draxel::tool
