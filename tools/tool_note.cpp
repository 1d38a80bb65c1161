// note create|read|write|clear|info|policy|repair-trace: the secure note.
#include <CLI/CLI.hpp>

#include "file_stream.h"
#include "session.h"
#include "option_checks.h"
#include "tool.h"

namespace draxel::tool {
namespace {

constexpr int kPolicyPin = 1;
constexpr int kPolicyNotePassword = 2;

struct NoteOptions {
	int offset = 0;
	int length = 0; // 0: up to the note's last non-zero byte
	std::string input;
	std::string piped; // what standard input gave, read before the token is taken
	std::string output;
	bool force = false;
	std::string policy;
};

struct NoteInfo {
	int size = 0;
	int policy = 0;
};

NoteInfo note_info(Session &session)
{
	NoteInfo info;
	check(GetNoteInf(&info.size, &info.policy, session.version(), false),
	      "reading the note's size");
	return info;
}

const char *policy_name(int policy)
{
	return policy == kPolicyNotePassword ? "note-pas" : "pin";
}

Result done(const std::string &text, json data)
{
	Result result;
	result.data = std::move(data);
	result.text = text + "\n";
	return result;
}

void check_range(const NoteInfo &info, int offset, size_t length)
{
	if (offset < 0 || offset > info.size || length > static_cast<size_t>(info.size - offset))
		throw ToolError(Exit::kUsage, "the note holds " + std::to_string(info.size) +
		                                      " bytes; that piece does not fit");
}

Result create_note(Session &session, NoteOptions &)
{
	// the token answers a bare 120 for a note that exists
	int size = 0;
	int policy = 0;
	if (GetNoteInf(&size, &policy, session.version(), false) == 0)
		throw ToolError(Exit::kRefused,
		                "the token has a note already (" + std::to_string(size) +
		                        " bytes); `draxel-tool note clear` empties it");
	check(CreateNote(), "creating the note");
	return done("note created", {{"created", true}});
}

Result read_note(Session &session, NoteOptions &options)
{
	NoteInfo info = note_info(session);
	size_t wanted = options.length > 0 ? static_cast<size_t>(options.length)
	                                   : static_cast<size_t>(info.size - options.offset);
	check_range(info, options.offset, wanted);
	session.verify_note_password();
	Result result;
	SecureBuffer data(wanted + 1);
	int got = static_cast<int>(wanted);
	if (wanted > 0)
		check(ReadNote(data.data(), &got, options.offset), "reading the note");
	else
		got = 0;
	size_t len = static_cast<size_t>(got);
	// the unused rest of a note is zeros
	while (options.length == 0 && len > 0 && data.data()[len - 1] == 0)
		--len;

	if (!options.output.empty() && options.output != "-") {
		// the note may be as private as any plaintext
		TempOutput out(options.output, options.force, std::nullopt, 0600);
		out.write(data.data(), len);
		out.commit();
		json summary = {{"offset", options.offset}, {"length", len}};
		put_name(summary, "output", options.output);
		return written(std::to_string(len) + " bytes written to " + escaped(options.output),
		               std::move(summary), out);
	}
	result.data = {{"offset", options.offset},
	               {"length", len},
	               {"data_hex", to_hex(data.data(), len)}};
	result.text.assign(reinterpret_cast<const char *>(data.data()), len);
	return result;
}

// The largest note the two offset bytes can address: a longer input is
// refused before anything else.
constexpr size_t kLargestNoteInput = 0x10000;

bool from_stdin(const std::string &input)
{
	return input.empty() || input == "-";
}

// The bytes to write: one more than the note holds is enough to refuse them.
std::string note_input(NoteOptions &options, size_t limit)
{
	if (from_stdin(options.input)) {
		std::string data = std::move(options.piped);
		if (data.size() > limit) {
			wipe(data);
			throw ToolError(Exit::kUsage, "the input is longer than the note");
		}
		return data;
	}
	return InputFile(options.input)
	        .read_at_most(limit, options.input + " is longer than the note");
}

Result write_note(Session &session, NoteOptions &options)
{
	NoteInfo info = note_info(session);
	std::string data = note_input(options, static_cast<size_t>(info.size));
	WipeOnExit wipe(data);
	if (data.empty())
		throw ToolError(Exit::kUsage, "nothing to write");
	check_range(info, options.offset, data.size());
	session.verify_note_password();
	check(WriteNote(reinterpret_cast<const unsigned char *>(data.data()),
	                static_cast<int>(data.size()), options.offset, false),
	      "writing the note");
	return done(std::to_string(data.size()) + " bytes written at offset " +
	                    std::to_string(options.offset),
	            {{"offset", options.offset}, {"length", data.size()}});
}

Result clear_note(Session &session, NoteOptions &)
{
	session.verify_note_password();
	check(ClearNote(session.version()), "clearing the note");
	return done("note cleared", {{"cleared", true}});
}

Result show_note_info(Session &session, NoteOptions &)
{
	NoteInfo info = note_info(session);
	return done(std::to_string(info.size) + " bytes, guarded by the " +
	                    (info.policy == kPolicyPin ? "PIN" : "note password"),
	            {{"size", info.size}, {"policy", policy_name(info.policy)}});
}

Result note_policy(Session &session, NoteOptions &options)
{
	NoteInfo info = note_info(session);
	if (!options.policy.empty() && options.policy != policy_name(info.policy)) {
		session.verify(SecretKind::kPin);
		check(ChangeNotePolicy(session.version()), "changing the note's policy");
		info = note_info(session);
	}
	return done(std::string("the note is guarded by the ") +
	                    (info.policy == kPolicyPin ? "PIN" : "note password"),
	            {{"policy", policy_name(info.policy)}});
}

Result repair_trace(Session &, NoteOptions &)
{
	check(RepareTracBuf(), "repairing the trace buffer");
	return done("trace buffer repaired", {{"repaired", true}});
}

using NoteAction = Result (*)(Session &, NoteOptions &);

CLI::App *add(CLI::App *note, Context &ctx, const char *name, const char *help, NoteAction action,
              std::shared_ptr<NoteOptions> options)
{
	auto *command = note->add_subcommand(name, help);
	command->callback([&ctx, action, options] {
		ctx.action = [action, options](Session &s) { return action(s, *options); };
	});
	return command;
}

// A note written from standard input is read before the token is taken.
void read_piped_input_first(CLI::App *write, Context &ctx, std::shared_ptr<NoteOptions> options)
{
	write->parse_complete_callback([&ctx, options] {
		if (from_stdin(options->input))
			ctx.prepare = [options] {
				options->piped = argument_or_stdin("", kLargestNoteInput, "input");
			};
	});
}

void add_note_password_options(Context &ctx, CLI::App *command)
{
	ctx.secrets.add_option(command, SecretKind::kPin, Need::kMaybe);
	ctx.secrets.add_option(command, SecretKind::kNotePas, Need::kMaybe);
}

} // namespace

void add_note_commands(CLI::App &app, Context &ctx)
{
	auto *note = app.add_subcommand(
	        "note", "the secure note, guarded by the PIN or the note password (its policy)");
	note->require_subcommand(1);
	auto options = std::make_shared<NoteOptions>();

	add(note, ctx, "create", "create the note on a token that lacks it", create_note, options);

	auto *read = add(note, ctx, "read", "read the note (to stdout unless -o is given)",
	                 read_note, options);
	read->add_option("--offset", options->offset, "where to start")
	        ->check(CLI::Range(size_t{0}, kLargestNoteInput).description(""));
	read->add_option("--length", options->length,
	                 "how many bytes; by default up to the last non-zero byte")
	        ->check(CLI::Range(size_t{1}, kLargestNoteInput).description(""));
	read->add_option("-o,--output", options->output, "write the note to this file")
	        ->check(not_empty());
	read->add_flag("-f,--force", options->force, "replace an existing output file");
	add_note_password_options(ctx, read);

	auto *write = add(note, ctx, "write", "write into the note", write_note, options);
	write->add_option("input", options->input,
	                  "the file to write; standard input when absent or -");
	write->add_option("--offset", options->offset, "where to write")
	        ->check(CLI::Range(size_t{0}, kLargestNoteInput).description(""));
	add_note_password_options(ctx, write);
	read_piped_input_first(write, ctx, options);

	auto *clear = add(note, ctx, "clear", "empty the note", clear_note, options);
	add_note_password_options(ctx, clear);

	add(note, ctx, "info", "the note's size and policy", show_note_info, options);

	auto *policy = add(note, ctx, "policy",
	                   "show the note's policy, or set it to pin or note-pas (needs the PIN)",
	                   note_policy, options);
	policy->add_option("policy", options->policy, "pin or note-pas")
	        ->check(CLI::IsMember({"pin", "note-pas"}));
	ctx.secrets.add_option(policy, SecretKind::kPin);

	add(note, ctx, "repair-trace", "recreate and refill the token's trace buffer file",
	    repair_trace, options);
}

} // namespace draxel::tool
