// Passwords and pass phrases: from a file descriptor, an environment
// variable or a prompt without echo, never from the command line, and held
// in a fixed buffer that is wiped when released.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string_view>

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
	Secret(const Secret&) = delete;
	Secret& operator=(const Secret&) = delete;

	const char* c_str() const { return buffer_; }
	size_t size() const { return length_; }
	// False, keeping nothing, for a text longer than kMaxLength.
	bool assign(std::string_view text);
	// Appends one byte; false once the buffer is full.
	bool push_back(char c);
	bool operator==(const Secret& other) const;

private:
	char buffer_[kMaxLength + 1] = {};
	size_t length_ = 0;
};

class Secrets {
public:
	// Adds --<name>-fd to the subcommand, and names the environment variable
	// in its help.
	void add_option(CLI::App* command, SecretKind kind);
	// The secret from its descriptor, its variable or a prompt, in that
	// order; ToolError (usage) when none of them gives it.
	std::unique_ptr<Secret> get(SecretKind kind);

private:
	std::map<SecretKind, int> fds_;
};

} // namespace draxel::tool
