// draxel-tool: the token's capabilities from the command line, written over
// the library's public C interface as any host would use it.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "cleanup.h"
#include "command_line.h"
#include "file_stream.h"
#include "no_core_dump.h"
#include "session.h"
#include "tool.h"

using namespace draxel::tool;

namespace {

void add_global_options(CLI::App &app, Globals &globals)
{
	app.add_option("--reader", globals.reader,
	               "the token's reader: an index from `readers`, an exact name, a unique part "
	               "of a name, or the token's serial number");
	app.add_option("--second-reader", globals.second_reader,
	               "the second token's reader, for `dup copy` (with --sim: the second software "
	               "token's state file)");
	app.add_option("--sim", globals.sim,
	               "use the built-in software token kept in this state file (see `init`)")
	        ->envname("DRAXEL_SIM");
	app.add_flag("--issue", globals.issue,
	             "with --sim: issue a new software token when the state file does not exist");
	app.add_flag("--json", globals.json, "machine-readable output on stdout");
	app.add_option_function<std::string>(
	           "--debug",
	           [](const std::string &setting) { setenv("DRAXEL_DEBUG", setting.c_str(), 1); },
	           "trace the exchanges with the token: LEVEL[:FILE], level 1 (commands) or 2 "
	           "(data "
	           "lengths too); no password, key or plaintext is ever written")
	        ->envname("DRAXEL_DEBUG");
	app.add_option("--wait", globals.wait_seconds,
	               "wait at most this many seconds for a token that another program is using "
	               "(default 30)")
	        ->check(CLI::Range(1, 86400));
	app.set_version_flag("--version", "draxel-tool " DRAXEL_VERSION
	                                  " (libdraxel_lib " DRAXEL_VERSION ", soname 1)");
}

// A file opened while 0, 1 or 2 is closed takes that number, and the result
// meant for stdout lands in it (the state lock, say). The closed ones are
// taken by /dev/null, opened so that using them fails as a closed one would.
void reserve_standard_descriptors()
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		int null = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
		if (null != fd)
			_exit(static_cast<int>(Exit::kFailure));
	}
}

// A script with an unset variable must not fall through to a real card.
// `init` never issues over an existing state: it may be a token's only copy.
void check_token_choice(const CLI::App &app, const Context &ctx)
{
	const Globals &globals = ctx.globals;
	if (app.get_option("--sim")->count() > 0 && globals.sim.empty())
		throw ToolError(Exit::kUsage, "--sim names no state file (an unset variable?)");
	bool issuing = globals.issue || ctx.issues_token;
	if (issuing && globals.sim.empty())
		throw ToolError(Exit::kUsage,
		                "issuing makes a software token: name its state file with --sim");
	struct stat info {};
	if (ctx.issues_token && lstat(globals.sim.c_str(), &info) == 0)
		throw ToolError(Exit::kUsage,
		                globals.sim + " exists already; init issues only into a new file");
	SimToken::allow_issue(issuing, ctx.issues_token);
	// before any password is asked for a token that is not there
	if (!globals.sim.empty())
		SimToken::check_state(globals.sim);
}

int run(Context &ctx)
{
	TempOutput::reserve_stdout(ctx.globals.json);
	if (ctx.prepare)
		ctx.prepare();
	ctx.secrets.prefetch();
	Session session(ctx);
	if (ctx.needs_token)
		session.connect();
	Result result = ctx.action(session);
	session.finish();
	emit(result, ctx.globals.json);
	return 0;
}

bool wants_json(const std::vector<std::string> &words)
{
	for (const std::string &word : words) {
		if (word == "--")
			break;
		if (word == "--json")
			return true;
	}
	return false;
}

// CLI11's own words for a command line it refuses, but the name of an
// unknown subcommand where it only says that one is required.
std::string usage_message(const CLI::App &app, const CLI::ParseError &error,
                          const std::vector<std::string> &words)
{
	CommandPath path = follow(app, words);
	if (!path.unknown.empty())
		return unknown_subcommand_message(path);
	return error.what();
}

} // namespace

int main(int argc, char **argv)
{
	draxel::sim::forbid_core_dumps();
	reserve_standard_descriptors();
	cleanup::install();
	CLI::App app{"draxel-tool - the Mekta token from the command line", "draxel-tool"};
	app.fallthrough();
	app.require_subcommand(1);
	Context ctx;
	add_global_options(app, ctx.globals);
	add_reader_commands(app, ctx);
	add_message_commands(app, ctx);
	add_file_commands(app, ctx);
	add_password_commands(app, ctx);
	add_group_commands(app, ctx);
	add_note_commands(app, ctx);
	add_maintenance_commands(app, ctx);
	add_help_commands(app, ctx);

	std::vector<std::string> words(argv + 1, argv + argc);
	// the subcommands' callbacks check their arguments as they are parsed
	try {
		if (help_requested(app, ctx, words))
			return run(ctx);
		app.parse(argc, argv);
		if (!ctx.action)
			throw ToolError(Exit::kUsage, "no subcommand; see --help");
		check_token_choice(app, ctx);
		return run(ctx);
	} catch (const CLI::Success &done) {
		return app.exit(done);
	} catch (const CLI::ParseError &error) {
		return report(ToolError(Exit::kUsage, usage_message(app, error, words)),
		              wants_json(words));
	} catch (const std::exception &error) {
		// `--json help nosuch` fails before --json is parsed
		return report(error, ctx.globals.json || wants_json(words));
	}
}
