// dup export|import|copy, keys generate|load, gen-ds-key, clean: the token's
// key material and its maintenance.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <span>

#include "file_stream.h"
#include "session.h"
#include "option_checks.h"
#include "tool.h"

namespace draxel::tool {
namespace {

constexpr size_t kMaxDuplicateText = 1 << 16;
constexpr int kKeySource = 160;
// Key material on disk is for its owner's eyes only.
constexpr unsigned kPrivateMode = 0600;
constexpr int kFirstTokenClearingNote = 5;

struct MaintenanceOptions {
	std::string file;  // input or output
	std::string piped; // what standard input gave, read before the token is taken
	bool force = false;
	bool with_puk = false;
	bool yes = false;
};

// What cannot be undone is asked about on the terminal, when there is one;
// scripts (no terminal) and --yes go ahead.
void confirm(const std::string &question)
{
	int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
	if (tty < 0)
		return;
	std::string prompt = question + " [y/N] ";
	std::string answer;
	char c = 0;
	bool asked =
	        write(tty, prompt.data(), prompt.size()) == static_cast<ssize_t>(prompt.size());
	while (asked && read(tty, &c, 1) == 1 && c != '\n')
		answer.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
	close(tty);
	if (answer != "y" && answer != "yes")
		throw ToolError(Exit::kFailure, "not confirmed; nothing was changed");
}

const char *const kPasswordsReplaced =
        "its PIN, PUK and other passwords become those of the token the duplicate comes from";

Result done(const std::string &text, json data)
{
	Result result;
	result.data = std::move(data);
	result.text = text + "\n";
	return result;
}

std::string without_blanks(std::string text)
{
	auto blanks = std::remove_if(text.begin(), text.end(), [](char c) {
		return std::isspace(static_cast<unsigned char>(c)) != 0;
	});
	// erase keeps the buffer: the characters left behind in it, past the
	// new end, would escape the wipe the caller gives the text
	wipe(std::span<char>(blanks, text.end()));
	text.erase(blanks, text.end());
	return text;
}

// Key material goes to a private file, or to stdout when none is named.
Result secret_output(const MaintenanceOptions &options, const std::string &text, const char *key)
{
	if (options.file.empty() || options.file == "-") {
		Result result;
		result.data = {{key, text}};
		result.text = text + "\n";
		return result;
	}
	std::string line = text + "\n";
	WipeOnExit wipe(line);
	TempOutput out(options.file, options.force, kPrivateMode);
	out.write(reinterpret_cast<const unsigned char *>(line.data()), line.size());
	out.commit();
	std::string label = key;
	std::replace(label.begin(), label.end(), '_', ' ');
	json data = json::object();
	put_name(data, "output", options.file);
	return written(label + " written to " + escaped(options.file), std::move(data), out);
}

bool from_stdin(const MaintenanceOptions &options)
{
	return options.file.empty() || options.file == "-";
}

std::string secret_input(MaintenanceOptions &options, size_t limit, const char *what)
{
	if (from_stdin(options)) {
		std::string text = std::move(options.piped);
		if (text.size() > limit) {
			wipe(text);
			throw ToolError(Exit::kUsage, std::string("the ") + what + " is too long");
		}
		std::string compact = without_blanks(text);
		wipe(text);
		return compact;
	}
	std::string text =
	        InputFile(options.file)
	                .read_at_most(limit, options.file + " is too long for a " + what);
	std::string compact = without_blanks(text);
	wipe(text);
	return compact;
}

// The duplicate text of the current token; the size query reads the whole
// duplicate from the token too, so the text is taken from the second call.
std::string duplicate_text(const Secret &puk)
{
	int size = 0;
	check(GetDublData(puk.c_str(), nullptr, &size), "exporting the duplicate");
	std::string text(static_cast<size_t>(size), '\0');
	check(GetDublData(puk.c_str(), text.data(), &size), "exporting the duplicate");
	text.resize(static_cast<size_t>(size) - 1);
	return text;
}

Result export_duplicate(Session &session, MaintenanceOptions &options)
{
	auto puk = session.secrets().get(SecretKind::kPuk);
	std::string text = duplicate_text(*puk);
	WipeOnExit wipe(text);
	return secret_output(options, text, "duplicate");
}

Result import_duplicate(Session &session, MaintenanceOptions &options)
{
	std::string text = secret_input(options, kMaxDuplicateText, "duplicate");
	WipeOnExit wipe(text);
	auto puk = session.secrets().get(SecretKind::kPuk);
	check(SetDublData(puk->c_str(), text.c_str(), static_cast<int>(text.size() + 1)),
	      "importing the duplicate");
	return done(std::string("duplicate imported: ") + kPasswordsReplaced,
	            {{"imported", true}, {"passwords_replaced", true}});
}

// The library in-process has one transmit handler for both of its readers,
// so two software tokens cannot take part in one call: the copy is made as
// the library makes it, step by step, with each token attached in turn.
void copy_software_token(Session &session, const Secret &puk, const Secret &second_puk)
{
	std::string text = duplicate_text(puk);
	WipeOnExit wipe(text);
	session.use_second();
	check(VerifyPUK(second_puk.c_str()), "verifying the second token's PUK");
	check(APDU_ClearCard(cur_context.pCurReader), "clearing the second token");
	check(SetDublData(second_puk.c_str(), text.c_str(), static_cast<int>(text.size() + 1)),
	      "copying onto the second token");
	session.use_first();
}

Result copy_token(Session &session, MaintenanceOptions &)
{
	session.connect_second();
	auto puk = session.secrets().get(SecretKind::kPuk);
	auto second_puk = session.secrets().get(SecretKind::kSecondPuk);
	if (session.simulated())
		copy_software_token(session, *puk, *second_puk);
	else
		check(MakeDublCard(puk->c_str(), second_puk->c_str()), "copying the token");
	return done("token copied onto the second token; the second token's passwords are now this "
	            "token's",
	            {{"copied", true}, {"passwords_replaced", true}});
}

Result generate_keys(Session &, MaintenanceOptions &options)
{
	unsigned char source[kKeySource];
	int size = sizeof source;
	WipeOnExit<unsigned char[kKeySource]> wipe_source(source);
	check(GetKeys(source, &size), "generating a key source");
	std::string text = to_hex(source, sizeof source);
	WipeOnExit wipe_text(text);
	return secret_output(options, text, "key_source");
}

int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
	return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

Result load_keys(Session &session, MaintenanceOptions &options)
{
	std::string text = secret_input(options, 4 * kKeySource, "key source");
	WipeOnExit wipe_text(text);
	unsigned char source[kKeySource];
	WipeOnExit<unsigned char[kKeySource]> wipe_source(source);
	bool valid = text.size() == 2 * sizeof source;
	for (size_t i = 0; valid && i < sizeof source; ++i) {
		int high = hex_digit(text[2 * i]);
		int low = hex_digit(text[2 * i + 1]);
		valid = high >= 0 && low >= 0;
		source[i] = static_cast<unsigned char>(high << 4 | low);
	}
	if (!valid)
		throw ToolError(Exit::kUsage, "a key source is 160 bytes as 320 hex digits");
	auto password = session.secrets().get(SecretKind::kKeyPas);
	check(ChangeKeys(source, sizeof source, password->c_str()), "loading the keys");
	return done("keys loaded", {{"loaded", true}});
}

Result generate_ds_key(Session &session, MaintenanceOptions &)
{
	session.verify(SecretKind::kPin);
	check(GenDSKey(session.version()), "generating the DS key");
	return done("DS key generated", {{"generated", true}});
}

Result clean_token(Session &session, MaintenanceOptions &options)
{
	int version = session.version();
	session.verify(options.with_puk ? SecretKind::kPuk : SecretKind::kErasePas);
	// older tokens leave the note to the host, under the note's password
	if (version < kFirstTokenClearingNote)
		session.verify_note_password();
	check(CleanCard(version), "clearing the token");
	return done("token cleared: new keys, no groups, an empty note", {{"cleared", true}});
}

using MaintenanceAction = Result (*)(Session &, MaintenanceOptions &);

CLI::App *add(CLI::App *parent, Context &ctx, const char *name, const char *help,
              MaintenanceAction action, std::shared_ptr<MaintenanceOptions> options)
{
	auto *command = parent->add_subcommand(name, help);
	command->callback([&ctx, action, options] {
		ctx.action = [action, options](Session &s) { return action(s, *options); };
	});
	return command;
}

// A command that destroys what the token held: asked about first, at parse
// time, before any token is taken or any password read.
void add_confirmation(CLI::App *command, MaintenanceOptions &options, std::string question)
{
	command->add_flag("-y,--yes", options.yes, "do not ask for confirmation on the terminal");
	command->parse_complete_callback([&options, question] {
		if (!options.yes)
			confirm(question);
	});
}

// A text read from standard input is read before the token is taken.
void read_piped_input_first(CLI::App *command, Context &ctx,
                            std::shared_ptr<MaintenanceOptions> options, size_t limit,
                            const char *what)
{
	command->preparse_callback([&ctx, options, limit, what](size_t) {
		ctx.prepare = [options, limit, what] {
			if (from_stdin(*options))
				options->piped = argument_or_stdin("", limit, what);
		};
	});
}

void add_output_options(CLI::App *command, MaintenanceOptions &options)
{
	command->add_option("-o,--output", options.file,
	                    "write to this file (mode 0600), not stdout")
	        ->check(not_empty());
	command->add_flag("-f,--force", options.force, "replace an existing output file");
}

void add_dup_commands(CLI::App &app, Context &ctx,
                      const std::shared_ptr<MaintenanceOptions> &options)
{
	Secrets &secrets = ctx.secrets;
	auto *dup = app.add_subcommand("dup", "copy the token's key material (needs the PUK)");
	dup->require_subcommand(1);
	auto *out =
	        add(dup, ctx, "export", "the token's duplicate as text", export_duplicate, options);
	add_output_options(out, *options);
	secrets.add_option(out, SecretKind::kPuk);
	auto *in = add(dup, ctx, "import", "restore a duplicate text into the token",
	               import_duplicate, options);
	in->add_option("input", options->file,
	               "the duplicate text; standard input when absent or -");
	add_confirmation(
	        in, *options,
	        std::string(
	                "Replace this token's keys, groups and passwords by the duplicate's (") +
	                kPasswordsReplaced + ")?");
	secrets.add_option(in, SecretKind::kPuk);
	read_piped_input_first(in, ctx, options, kMaxDuplicateText, "duplicate");
	auto *copy =
	        add(dup, ctx, "copy",
	            "clear the second token (--second-reader, or the one other token) and copy "
	            "this one onto it",
	            copy_token, options);
	add_confirmation(
	        copy, *options,
	        "Clear the second token and copy this one onto it (its passwords become this "
	        "token's)?");
	secrets.add_option(copy, SecretKind::kPuk);
	secrets.add_option(copy, SecretKind::kSecondPuk);
}

void add_keys_commands(CLI::App &app, Context &ctx,
                       const std::shared_ptr<MaintenanceOptions> &options)
{
	Secrets &secrets = ctx.secrets;
	auto *keys = app.add_subcommand("keys", "key sources: make one, load one into the token");
	keys->require_subcommand(1);
	auto *generate =
	        add(keys, ctx, "generate", "a fresh key source from the token's random generator",
	            generate_keys, options);
	add_output_options(generate, *options);
	auto *load = add(keys, ctx, "load", "load the token's keys from a key source", load_keys,
	                 options);
	load->add_option("input", options->file, "the key source; standard input when absent or -");
	add_confirmation(
	        load, *options,
	        "Replace the token's keys? What they enciphered cannot be deciphered again.");
	secrets.add_option(load, SecretKind::kKeyPas);
	read_piped_input_first(load, ctx, options, 4 * kKeySource, "key source");
}

} // namespace

void add_maintenance_commands(CLI::App &app, Context &ctx)
{
	auto options = std::make_shared<MaintenanceOptions>();
	Secrets &secrets = ctx.secrets;
	add_dup_commands(app, ctx, options);
	add_keys_commands(app, ctx, options);

	auto *ds = add(&app, ctx, "gen-ds-key", "let the token generate its DS key",
	               generate_ds_key, options);
	secrets.add_option(ds, SecretKind::kPin);

	auto *clean = add(&app, ctx, "clean",
	                  "clear the token: new keys, no groups, an empty note (needs the erase "
	                  "password; tokens before version 5 also the note's password or PIN, "
	                  "as the note's policy says)",
	                  clean_token, options);
	clean->add_flag("--with-puk", options->with_puk, "authorise with the PUK instead");
	add_confirmation(
	        clean, *options,
	        "Clear the token: new keys, no groups, an empty note? What it enciphered cannot "
	        "be deciphered again.");
	secrets.add_option(clean, SecretKind::kErasePas, Need::kMaybe);
	secrets.add_option(clean, SecretKind::kPuk, Need::kMaybe);
	secrets.add_option(clean, SecretKind::kPin, Need::kMaybe);
	secrets.add_option(clean, SecretKind::kNotePas, Need::kMaybe);
}

} // namespace draxel::tool
