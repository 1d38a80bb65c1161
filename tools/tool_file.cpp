// file encrypt|decrypt: files of any size in 1 MiB chunks, in bounded memory.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <optional>

#include "file_stream.h"
#include "option_checks.h"
#include "session.h"
#include "tool.h"

namespace draxel::tool {
namespace {

constexpr size_t kChunk = 1 << 20;
constexpr size_t kHeader = sizeof(FileEncHeader);
constexpr size_t kFileKey = 32; // the enciphered file key of fast group files
constexpr size_t kCrc = 4;
// Room for the header with the file key, whichever the file holds: the rest
// of the first chunk is data, a multiple of 8 bytes either way, as the
// host-side cipher wants it for chunks it does not split at the same points.
constexpr size_t kHeadRoom = kHeader + kFileKey;
constexpr const char *kSuffix = ".drx";

struct FileOptions {
	std::string input;
	std::string output;
	CipherChoice cipher;
	bool fast = false;
	bool force = false;
	std::string mode; // --file-mode, octal
};

// Plaintext someone chose to protect is for its owner's eyes, unless asked.
constexpr unsigned kPlaintextMode = 0600;

std::optional<unsigned> output_mode(const std::string &text)
{
	if (text.empty())
		return std::nullopt;
	size_t end = 0;
	unsigned long mode = 0;
	try {
		mode = std::stoul(text, &end, 8);
	} catch (const std::exception &) {
		end = 0;
	}
	if (end != text.size() || mode > 07777)
		throw ToolError(Exit::kUsage, "--file-mode takes an octal file mode such as 0640");
	return static_cast<unsigned>(mode);
}

Result finished(Result result, const TempOutput &out)
{
	return written(std::move(result), out);
}

// Between a file's chunks the library keeps its file key; a file abandoned
// midway (our own write failing, say) must not leave it behind.
class UnfinishedFile {
public:
	~UnfinishedFile()
	{
		if (!ended_)
			AbandonFileData();
	}
	void end() { ended_ = true; }

private:
	bool ended_ = false;
};

bool ends_with(const std::string &text, const std::string &suffix)
{
	return text.size() > suffix.size() &&
	       text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string encrypted_name(const FileOptions &options)
{
	if (!options.output.empty())
		return options.output;
	if (options.input == "-")
		throw ToolError(Exit::kUsage, "name the output with -o");
	return options.input + kSuffix;
}

std::string decrypted_name(const FileOptions &options)
{
	if (!options.output.empty())
		return options.output;
	if (!ends_with(options.input, kSuffix))
		throw ToolError(Exit::kUsage, std::string("the input does not end in ") + kSuffix +
		                                      "; name the output with -o");
	return options.input.substr(0, options.input.size() - std::strlen(kSuffix));
}

Result file_result(const FileOptions &options, const std::string &target, uint64_t in, uint64_t out)
{
	Result result;
	result.data = options.cipher.describe();
	put_name(result.data, "input", options.input);
	put_name(result.data, "output", target);
	result.data["bytes_in"] = in;
	result.data["bytes_out"] = out;
	result.text = escaped(options.input) + " -> " +
	              (target == "-" ? "standard output" : escaped(target)) + " (" +
	              std::to_string(out) + " bytes)\n";
	return result;
}

Result encrypt_file(Session &session, const FileOptions &options)
{
	int mode = options.cipher.resolved_mode();
	const char *group = options.cipher.group_or_null();
	// a missing input is named as such, before any complaint about its name
	InputFile in(options.input);
	std::string target = encrypted_name(options);
	// an existing target is refused before anything is asked for
	TempOutput out(target, options.force, output_mode(options.mode));
	session.verify(SecretKind::kPin);
	auto phrase = session.secrets().get(SecretKind::kPassPhrase);

	SecureBuffer plain(kChunk);
	SecureBuffer cipher(kChunk + kHeadRoom + kCrc);
	Progress progress("encrypting", in.size());
	UnfinishedFile file;
	uint64_t total_in = 0;
	for (bool first = true, last = false; !last; first = false) {
		size_t len = in.read_full(plain.data(), kChunk);
		last = len < kChunk;
		int flags = (first ? DRAXEL_FILE_FIRST : 0) | (last ? DRAXEL_FILE_LAST : 0) |
		            (options.fast ? DRAXEL_FILE_FAST : 0);
		int out_len = static_cast<int>(cipher.size());
		check(EncryptFileData(plain.data(), static_cast<int>(len), cipher.data(), &out_len,
		                      mode, phrase->c_str(), group, flags),
		      "encrypting " + options.input);
		out.write(cipher.data(), static_cast<size_t>(out_len));
		total_in += len;
		progress.advance(len);
	}
	file.end();
	out.commit();
	progress.done();
	Result result = file_result(options, target, total_in, out.written());
	result.data["fast"] = options.fast;
	return finished(std::move(result), out);
}

Result decrypt_file(Session &session, const FileOptions &options)
{
	int mode = options.cipher.resolved_mode();
	const char *group = options.cipher.group_or_null();
	InputFile in(options.input);
	std::string target = decrypted_name(options);
	TempOutput out(target, options.force, output_mode(options.mode), kPlaintextMode);
	session.verify(SecretKind::kPin);
	auto phrase = session.secrets().get(SecretKind::kPassPhrase);

	// The last chunk must hold the whole CRC: four bytes are held back
	// until the next read shows whether more data follows them.
	SecureBuffer cipher(kHeadRoom + kChunk + kCrc);
	SecureBuffer plain(kHeadRoom + kChunk + kCrc);
	Progress progress("decrypting", in.size());
	UnfinishedFile file;
	uint64_t total_in = 0;
	size_t have = in.read_full(cipher.data(), cipher.size());
	for (bool first = true;; first = false) {
		size_t capacity = first ? cipher.size() : kChunk + kCrc;
		bool last = have < capacity;
		size_t len = last ? have : have - kCrc;
		int flags = (first ? DRAXEL_FILE_FIRST : 0) | (last ? DRAXEL_FILE_LAST : 0);
		int out_len = static_cast<int>(plain.size());
		check(DecryptFileData(cipher.data(), static_cast<int>(len), plain.data(), &out_len,
		                      mode, phrase->c_str(), group, flags),
		      "decrypting " + options.input);
		out.write(plain.data(), static_cast<size_t>(out_len));
		total_in += len;
		progress.advance(len);
		if (last)
			break;
		std::memmove(cipher.data(), cipher.data() + len, kCrc);
		have = kCrc + in.read_full(cipher.data() + kCrc, kChunk);
	}
	file.end();
	out.commit();
	progress.done();
	return finished(file_result(options, target, total_in, out.written()), out);
}

void check_output_choice(const Context &ctx, const FileOptions &options)
{
	options.cipher.resolved_mode();
	output_mode(options.mode);
	if (options.output == "-" && ctx.globals.json)
		throw ToolError(Exit::kUsage, "-o - and --json both want standard output");
}

CLI::App *add_file_command(CLI::App *file, Context &ctx, const char *name, const char *help,
                           std::shared_ptr<FileOptions> options)
{
	auto *command = file->add_subcommand(name, help);
	command->add_option("input", options->input, "the input file; - for standard input")
	        ->required();
	command->add_option(
	               "-o,--output", options->output,
	               "the output file; - for standard output (a failure then shows in the exit "
	               "status only)")
	        ->check(not_empty());
	command->add_flag("-f,--force", options->force,
	                  "replace an existing output file (through a symbolic link of the "
	                  "caller's: its target)");
	command->add_option("--file-mode", options->mode,
	                    "the output file's mode, in octal (default: the replaced file's, else "
	                    "0600 for decrypted and the umask's for encrypted files)");
	options->cipher.add_options(command);
	ctx.secrets.add_option(command, SecretKind::kPin);
	ctx.secrets.add_option(command, SecretKind::kPassPhrase);
	return command;
}

} // namespace

void add_file_commands(CLI::App &app, Context &ctx)
{
	auto *file = app.add_subcommand("file", "encrypt and decrypt files of any size");
	file->require_subcommand(1);

	auto encrypt_options = std::make_shared<FileOptions>();
	auto *encrypt = add_file_command(file, ctx, "encrypt",
	                                 "encrypt a file (output: INPUT.drx unless -o is given)",
	                                 encrypt_options);
	encrypt->add_flag("--fast", encrypt_options->fast,
	                  "fast mode: the token makes a file key, the host enciphers the data");
	encrypt->callback([&ctx, encrypt_options] {
		check_output_choice(ctx, *encrypt_options);
		encrypt_options->cipher.ask_new_phrase_twice(ctx.secrets);
		ctx.action = [encrypt_options](Session &s) {
			return encrypt_file(s, *encrypt_options);
		};
	});

	auto decrypt_options = std::make_shared<FileOptions>();
	auto *decrypt = add_file_command(
	        file, ctx, "decrypt",
	        "decrypt a file (output: INPUT without .drx unless -o is given); fast mode is read "
	        "from the file",
	        decrypt_options);
	decrypt->callback([&ctx, decrypt_options] {
		check_output_choice(ctx, *decrypt_options);
		ctx.action = [decrypt_options](Session &s) {
			return decrypt_file(s, *decrypt_options);
		};
	});
}

} // namespace draxel::tool
