// draxel-tool: the token's capabilities from the command line, written over
// the library's public C interface as any host would use it.
#include <cstdio>
#include <exception>

#include "cleanup.h"
#include "session.h"
#include "tool.h"

using namespace draxel::tool;

namespace {

void add_global_options(CLI::App& app, Globals& globals)
{
	app.add_option("--reader", globals.reader,
	               "the token's reader: an index from `readers`, an exact name, a unique part "
	               "of a name, or the token's serial number");
	app.add_option("--second-reader", globals.second_reader,
	               "the second token's reader, for `dup copy` (with --sim: the second software "
	               "token's state file)");
	app.add_option("--sim", globals.sim,
	               "use the built-in software token kept in this state file (issued when missing)")
	    ->envname("DRAXEL_SIM");
	app.add_flag("--json", globals.json, "machine-readable output on stdout");
}

int run(Context& ctx)
{
	Session session(ctx);
	if (ctx.needs_token)
		session.connect();
	Result result = ctx.action(session);
	session.finish();
	emit(result, ctx.globals.json);
	return 0;
}

} // namespace

int main(int argc, char** argv)
{
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

	// the subcommands' callbacks check their arguments as they are parsed
	try {
		app.parse(argc, argv);
		if (!ctx.action)
			throw ToolError(Exit::kUsage, "no subcommand; see --help");
		return run(ctx);
	} catch (const CLI::ParseError& error) {
		int status = app.exit(error);
		return status == 0 ? 0 : static_cast<int>(Exit::kUsage);
	} catch (const std::exception& error) {
		return report(error, ctx.globals.json);
	}
}
