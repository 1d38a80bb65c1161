// help, completion: the command tree described to people and to shells.
#include <CLI/CLI.hpp>
#include <algorithm>

#include "command_line.h"
#include "session.h"
#include "tool.h"

namespace draxel::tool {
namespace {

Result help_text(const CLI::App &command, const std::vector<std::string> &names)
{
	std::string prefix = "draxel-tool";
	for (size_t i = 0; i + 1 < names.size(); ++i)
		prefix += " " + names[i];
	Result result;
	result.text = command.help(names.empty() ? "" : prefix);
	result.data = {{"command", names}, {"help", result.text}};
	return result;
}

} // namespace

void add_help_commands(CLI::App &app, Context &ctx)
{
	app.add_subcommand("help",
	                   "show the help of the tool or of a subcommand: help [SUBCOMMAND...]")
	        ->allow_extras();

	auto shell = std::make_shared<std::string>();
	auto *completion = app.add_subcommand("completion", "print a shell completion script");
	completion->add_option("shell", *shell, "bash or zsh")
	        ->required()
	        ->check(CLI::IsMember({"bash", "zsh"}));
	completion->callback([&app, &ctx, shell] {
		ctx.needs_token = false;
		ctx.action = [&app, shell](Session &) {
			Result result;
			result.text = completion_script(app, *shell);
			result.data = {{"shell", *shell}, {"script", result.text}};
			return result;
		};
	});
}

bool help_requested(const CLI::App &app, Context &ctx, const std::vector<std::string> &words)
{
	CommandPath path = follow(app, words);
	if (path.names.empty() || path.names.front() != "help")
		return false;
	auto help = std::find(words.begin(), words.end(), "help");
	CommandPath topic = follow(app, std::vector<std::string>(help + 1, words.end()));
	if (!topic.unknown.empty())
		throw ToolError(Exit::kUsage, unknown_subcommand_message(topic));
	ctx.globals.json = std::find(words.begin(), help, "--json") != help;
	ctx.needs_token = false;
	ctx.action = [topic](Session &) { return help_text(*topic.command, topic.names); };
	return true;
}

} // namespace draxel::tool
