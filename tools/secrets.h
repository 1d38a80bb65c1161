// Passwords and pass phrases: from a file descriptor, an environment
// variable or a prompt without echo, never from the command line, and held
// in a fixed buffer that is wiped when released.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <memory>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace draxel::tool {

enum class SecretKind {
	kPin,
	kNewPin,
	kPuk,
	kNewPuk,
	kSecondPuk,
	kErasePas,
	kNewErasePas,
	kNotePas,
	kNewNotePas,
	kPassPhrase,
	kNewPassPhrase,
	kKeyPas,
};

class Secret {
public:
	// The library's commands carry a password's length in one byte.
	static constexpr size_t kMaxLength = 255;

	Secret() = default;
	~Secret();
	Secret(const Secret &) = delete;
	Secret &operator=(const Secret &) = delete;

	const char *c_str() const { return buffer_; }
	size_t size() const { return length_; }
	// False, keeping nothing, for a text longer than kMaxLength.
	bool assign(std::string_view text);
	// Appends one byte; false once the buffer is full.
	bool push_back(char c);
	// Keeps the first len bytes, wiping the rest.
	void truncate(size_t len);
	bool operator==(const Secret &other) const;

private:
	char buffer_[kMaxLength + 1] = {};
	size_t length_ = 0;
};

// Whether a subcommand needs a secret on every run, or only on some (by the
// token's answers, or by its options).
enum class Need { kAlways, kMaybe };

class Secrets {
public:
	// Adds --<name>-fd to the subcommand, and names the environment variable
	// in its help.
	void add_option(CLI::App *command, SecretKind kind, Need need = Need::kAlways);
	// Reads the chosen subcommand's secrets before it takes the token, so that
	// no other program waits while a person types: every one it always
	// needs, and those it may need when no prompt is involved.
	void prefetch();
	// The secret from its descriptor, its variable or a prompt, in that
	// order, each read once; ToolError (usage) when none of them gives it.
	std::unique_ptr<Secret> get(SecretKind kind);
	// A prompt for this secret asks for it twice: a pass phrase chosen while
	// enciphering, which nothing checks until it is too late.
	void type_twice(SecretKind kind) { typed_twice_.insert(kind); }

private:
	struct Registration {
		const CLI::App *command;
		SecretKind kind;
		Need need;
	};

	std::unique_ptr<Secret> read(SecretKind kind);
	bool needs_prompt(SecretKind kind) const;

	std::map<SecretKind, int> fds_;
	std::vector<Registration> registered_;
	std::map<SecretKind, std::unique_ptr<Secret>> cache_;
	std::set<SecretKind> typed_twice_;
};

} // namespace draxel::tool
