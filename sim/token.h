#pragma once

// The software token: one command dispatcher over one TokenState. It plays
// the token's side of every command the library sends, with the access rules
// that make the library's order of commands necessary.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "apdu.h"
#include "card.h"
#include "token_crypto.h"
#include "token_state.h"

namespace draxel::sim {

class Token : public Card {
public:
	explicit Token(TokenState state);
	// What the token held does not outlive it in freed memory.
	~Token() override;
	Token(const Token &) = default;
	Token &operator=(const Token &) = default;

	std::vector<uint8_t> process(std::span<const uint8_t> apdu) override;
	void power_off() override;
	void reset() override;

	const TokenState &state() const { return state_; }
	// Called after every command that changed the persistent state.
	void on_change(std::function<void(const TokenState &)> callback)
	{
		on_change_ = std::move(callback);
	}
	// Makes a changed state durable (the state file); false when it cannot.
	// A change that cannot be made durable is undone and its command refused
	// with 6581, so that nothing, a wrong PIN least of all, goes uncounted.
	void persist_with(std::function<bool(const TokenState &)> persist)
	{
		persist_ = std::move(persist);
	}

private:
	struct Reply {
		uint16_t sw = 0x9000;
		Bytes data;
	};
	using Handler = Reply (Token::*)(const CommandApdu &);
	struct Route {
		uint8_t cla; // with the chaining bit cleared
		uint8_t ins;
		Handler handler;
		bool changes_state;
	};
	static const Route kRoutes[];

	enum class Dir { kMaster, kApplication };

	Reply dispatch(const CommandApdu &cmd, bool &changed);
	Reply run_durably(Handler handler, const CommandApdu &cmd, bool &changed);
	bool made_durable();
	void end_session();
	int version() const; // the number in the version file, 0 without it
	std::map<uint16_t, Bytes> &current_directory();

	// file system
	Reply select(const CommandApdu &cmd);
	Reply read_binary(const CommandApdu &cmd);
	Reply update_binary(const CommandApdu &cmd);
	Reply create_file(const CommandApdu &cmd);
	Reply get_challenge(const CommandApdu &cmd);
	Reply identity(const CommandApdu &cmd);
	Bytes *selected_file();
	bool may_read(uint16_t file) const;
	bool may_write(uint16_t file) const;
	// credentials
	Reply verify(const CommandApdu &cmd);
	Reply change_reference_data(const CommandApdu &cmd);
	Reply reset_retry_counter(const CommandApdu &cmd);
	bool verified(uint8_t reference) const;
	// ciphers
	Reply manage_security_environment(const CommandApdu &cmd);
	Reply session_key(const CommandApdu &cmd);
	Reply perform_security_operation(const CommandApdu &cmd);
	std::optional<Key> mode_key(uint8_t mode, std::span<const uint8_t> phrase,
	                            uint16_t &refusal);
	void drop_session_key();
	// groups
	Reply group_command(const CommandApdu &cmd);
	Reply list_groups(const CommandApdu &cmd);
	Reply join_command(const CommandApdu &cmd);
	Reply join_step(const CommandApdu &cmd, const Key &request_key, const Key &invite_key);
	Reply accept_invite(const CommandApdu &cmd, const Key &invite_key);
	Group *find_group(std::span<const uint8_t> name);
	// maintenance
	Reply duplicate(const CommandApdu &cmd);
	Reply duplicate_step(const CommandApdu &cmd, const Key &duplicate_key);
	Reply erase_command(const CommandApdu &cmd);
	Reply note_policy(const CommandApdu &cmd);
	Bytes duplicate_payload() const;
	bool apply_duplicate(std::span<const uint8_t> payload);
	void clear_token();

	struct Session {
		std::vector<uint8_t> verified; // references verified in this card session
		Dir dir = Dir::kMaster;
		std::optional<uint16_t> file;   // selected elementary file
		std::optional<uint8_t> key_ref; // security environment
		std::optional<size_t> group;    // selected group
		std::optional<Key> session_key;
		CipherStream stream; // PSO chain under the session key
		size_t group_list_position = 0;
		std::vector<Bytes> duplicate_out; // pieces still to hand out
		bool duplicate_out_started = false;
		Bytes duplicate_in; // pieces received so far
	};

	TokenState state_;
	Session session_;
	std::function<void(const TokenState &)> on_change_;
	std::function<bool(const TokenState &)> persist_;
};

} // namespace draxel::sim
