// msg encrypt|decrypt: short texts enciphered on the token, as hex text.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>

#include "session.h"
#include "option_checks.h"
#include "tool.h"

namespace draxel::tool {
namespace {

// Longer data belongs in `file encrypt`: every byte of a message passes
// through the token.
constexpr size_t kMaxMessage = 1 << 20;
constexpr size_t kCryptogramHex = 72;

struct MessageOptions {
	std::string text;
	CipherChoice cipher;
	std::string input; // the text, or what standard input gave, read early
};

constexpr size_t kMaxEncrypted = 2 * kMaxMessage + kCryptogramHex + 4096;

void verify_and_get_phrase(Session &session, std::unique_ptr<Secret> &phrase)
{
	session.verify(SecretKind::kPin);
	phrase = session.secrets().get(SecretKind::kPassPhrase);
}

Result encrypt_message(Session &session, MessageOptions &options)
{
	int mode = options.cipher.resolved_mode();
	std::string message = std::move(options.input);
	WipeOnExit wipe_message(message);
	if (message.empty() || message.find('\0') != std::string::npos)
		throw ToolError(Exit::kUsage, "a message is one or more bytes, none of them zero");
	std::unique_ptr<Secret> phrase;
	verify_and_get_phrase(session, phrase);

	int size = 0;
	const char *group = options.cipher.group_or_null();
	check(EncryptMes(message.c_str(), nullptr, &size, mode, phrase->c_str(), group),
	      "enciphering the message");
	std::string out(static_cast<size_t>(size), '\0');
	check(EncryptMes(message.c_str(), out.data(), &size, mode, phrase->c_str(), group),
	      "enciphering the message");
	out.resize(static_cast<size_t>(size) - 1);

	Result result;
	result.data = options.cipher.describe();
	result.data["encrypted"] = out;
	result.text = out + "\n";
	return result;
}

Result decrypt_message(Session &session, MessageOptions &options)
{
	int mode = options.cipher.resolved_mode();
	std::string hex = std::move(options.input);
	// pasted text arrives with line breaks
	hex.erase(std::remove_if(
	                  hex.begin(), hex.end(),
	                  [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }),
	          hex.end());
	std::unique_ptr<Secret> phrase;
	verify_and_get_phrase(session, phrase);

	int size = 0;
	const char *group = options.cipher.group_or_null();
	check(DecryptMes(hex.c_str(), nullptr, &size, mode, phrase->c_str(), group),
	      "deciphering the message");
	std::string message(static_cast<size_t>(size), '\0');
	WipeOnExit wipe_message(message);
	check(DecryptMes(hex.c_str(), message.data(), &size, mode, phrase->c_str(), group),
	      "deciphering the message");
	message.resize(static_cast<size_t>(size) - 1);

	Result result;
	result.data = options.cipher.describe();
	if (valid_utf8(message))
		result.data["message"] = message;
	else
		result.data["message_hex"] = to_hex(
		        reinterpret_cast<const unsigned char *>(message.data()), message.size());
	// printed as it was enciphered, without a line break of our own
	result.text = message;
	return result;
}

} // namespace

void CipherChoice::add_options(CLI::App *command)
{
	command->add_option(
	               "-m,--mode", mode,
	               "1 or 2: the token's keys; 3: a group's key (default 1, or 3 with --group)")
	        ->check(CLI::Range(1, 3));
	command->add_option("-g,--group", group, "the group whose key to use (mode 3)")
	        ->check(group_name());
}

int CipherChoice::resolved_mode() const
{
	int resolved = mode != 0 ? mode : group.empty() ? 1 : 3;
	if (resolved == 3 && group.empty())
		throw ToolError(Exit::kUsage, "mode 3 needs --group");
	if (resolved != 3 && !group.empty())
		throw ToolError(Exit::kUsage, "--group needs mode 3");
	return resolved;
}

// Under the token's keys any pass phrase enciphers, and a mistyped one is
// found out only when deciphering fails; a group's phrase the token checks.
void CipherChoice::ask_new_phrase_twice(Secrets &secrets) const
{
	if (resolved_mode() != 3)
		secrets.type_twice(SecretKind::kPassPhrase);
}

json CipherChoice::describe() const
{
	int resolved = resolved_mode();
	return {{"mode", resolved}, {"group", group.empty() ? json() : json(group)}};
}

bool valid_utf8(const std::string &text)
{
	try {
		(void)json(text).dump();
		return true;
	} catch (const json::type_error &) {
		return false;
	}
}

void add_message_commands(CLI::App &app, Context &ctx)
{
	auto *msg = app.add_subcommand("msg", "encipher and decipher text messages on the token");
	msg->require_subcommand(1);

	auto encrypt_options = std::make_shared<MessageOptions>();
	auto *encrypt = msg->add_subcommand("encrypt", "encipher a message; prints hex text");
	encrypt->add_option("text", encrypt_options->text,
	                    "the message; standard input when absent or -");
	encrypt_options->cipher.add_options(encrypt);
	ctx.secrets.add_option(encrypt, SecretKind::kPin);
	ctx.secrets.add_option(encrypt, SecretKind::kPassPhrase);
	encrypt->callback([&ctx, encrypt_options] {
		encrypt_options->cipher.ask_new_phrase_twice(ctx.secrets);
		ctx.prepare = [encrypt_options] {
			encrypt_options->input =
			        argument_or_stdin(encrypt_options->text, kMaxMessage, "message");
		};
		ctx.action = [encrypt_options](Session &s) {
			return encrypt_message(s, *encrypt_options);
		};
	});

	auto decrypt_options = std::make_shared<MessageOptions>();
	auto *decrypt = msg->add_subcommand("decrypt", "decipher hex text made by `msg encrypt`");
	decrypt->add_option("text", decrypt_options->text,
	                    "the hex text; standard input when absent or -");
	decrypt_options->cipher.add_options(decrypt);
	ctx.secrets.add_option(decrypt, SecretKind::kPin);
	ctx.secrets.add_option(decrypt, SecretKind::kPassPhrase);
	decrypt->callback([&ctx, decrypt_options] {
		decrypt_options->cipher.resolved_mode();
		ctx.prepare = [decrypt_options] {
			decrypt_options->input = argument_or_stdin(
			        decrypt_options->text, kMaxEncrypted, "encrypted message");
		};
		ctx.action = [decrypt_options](Session &s) {
			return decrypt_message(s, *decrypt_options);
		};
	});
}

} // namespace draxel::tool
