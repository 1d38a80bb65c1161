// group list|create|rename|delete|passphrase|request|invite|accept.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstring>

#include "option_checks.h"
#include "session.h"
#include "tool.h"

namespace draxel::tool {
namespace {

// Requests and invites are under 256 bytes: 2 hex digits a byte and a zero.
constexpr int kBlobText = 2 * 256 + 1;
constexpr size_t kMaxBlobInput = 4096;
constexpr unsigned char kAdministrator = 0x01;

struct GroupOptions {
	std::string name;
	std::string new_name;
	std::string blob; // a request or an invite
};

std::string blob_text(const std::string &argument, const char *what)
{
	std::string text = argument_or_stdin(argument, kMaxBlobInput, what);
	text.erase(std::remove_if(
	                   text.begin(), text.end(),
	                   [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }),
	           text.end());
	return text;
}

Result done(const std::string &text, json data)
{
	Result result;
	result.data = std::move(data);
	result.text = text + "\n";
	return result;
}

Result list_groups(Session &)
{
	unsigned long len = 0;
	check(GetGroupList(nullptr, &len), "listing the groups");
	std::string list(len + 1, '\0');
	check(GetGroupList(list.data(), &len), "listing the groups");

	Result result;
	result.data = {{"groups", json::array()}};
	// records: the attribute byte, the name, a zero byte
	for (size_t at = 0; at + 1 < len;) {
		bool admin = static_cast<unsigned char>(list[at]) == kAdministrator;
		std::string name(list.c_str() + at + 1);
		at += name.size() + 2;
		json entry = {{"admin", admin}};
		put_name(entry, "name", name);
		result.data["groups"].push_back(entry);
		result.text += escaped(name) + (admin ? "  (administrator)" : "") + "\n";
	}
	return result;
}

Result create_group(Session &session, const GroupOptions &options)
{
	session.verify(SecretKind::kPin);
	auto phrase = session.secrets().get(SecretKind::kPassPhrase);
	check(CreateGroup(options.name.c_str(), phrase->c_str()), "creating the group");
	return done("group " + escaped(options.name) + " created", {{"created", options.name}});
}

Result rename_group(Session &session, const GroupOptions &options)
{
	session.verify(SecretKind::kPin);
	check(RenameGroup(options.name.c_str(), options.new_name.c_str()), "renaming the group");
	return done("group " + escaped(options.name) + " renamed to " + escaped(options.new_name),
	            {{"renamed", options.name}, {"name", options.new_name}});
}

Result delete_group(Session &session, const GroupOptions &options)
{
	session.verify(SecretKind::kPin);
	check(DeleteGroup(options.name.c_str()), "deleting the group");
	return done("group " + escaped(options.name) + " deleted", {{"deleted", options.name}});
}

Result change_phrase(Session &session, const GroupOptions &options)
{
	session.verify(SecretKind::kPin);
	auto phrase = session.secrets().get(SecretKind::kNewPassPhrase);
	check(ChangePasPhrGroup(options.name.c_str(), phrase->c_str()),
	      "changing the group's pass phrase");
	return done("pass phrase of group " + escaped(options.name) + " changed",
	            {{"changed", options.name}});
}

Result request_group(Session &session, const GroupOptions &)
{
	session.verify(SecretKind::kPin);
	auto phrase = session.secrets().get(SecretKind::kPassPhrase);
	char request[kBlobText] = {};
	int len = sizeof request;
	check(CreateRequestForGroup(phrase->c_str(), request, &len), "making the join request");
	return done(request, {{"request", request}});
}

Result invite_group(Session &session, const GroupOptions &options)
{
	std::string request = blob_text(options.blob, "request");
	session.verify(SecretKind::kPin);
	char invite[kBlobText] = {};
	int len = sizeof invite;
	check(CreateInviteForGroup(options.name.c_str(), request.c_str(), invite, &len),
	      "making the invite");
	return done(invite, {{"group", options.name}, {"invite", invite}});
}

Result accept_group(Session &session, const GroupOptions &options)
{
	std::string invite = blob_text(options.blob, "invite");
	session.verify(SecretKind::kPin);
	auto phrase = session.secrets().get(SecretKind::kPassPhrase);
	unsigned long rc =
	        AcceptInviteForGroup(invite.c_str(), options.name.c_str(), phrase->c_str());
	// the token tells no more than 120 for an invite that answers no request
	// of its own: the wrong token, as the exit statuses have it
	if (rc == DRAXEL_E_BAD_STATUS)
		throw ToolError(
		        Exit::kWrongPassword,
		        "accepting the invite: it answers no join request pending on this token "
		        "(code 120): it was made for another token, or for an earlier request that "
		        "a newer `group request` replaced, or it was accepted already; make a new "
		        "request and have it invited");
	check(rc, "accepting the invite");
	return done("group " + escaped(options.name) + " joined", {{"joined", options.name}});
}

using GroupAction = Result (*)(Session &, const GroupOptions &);

// blob_what names the text a command reads (a request, an invite): read
// before the token is taken, from standard input when not given.
CLI::App *add(CLI::App *group, Context &ctx, const char *name, const char *help, GroupAction action,
              std::shared_ptr<GroupOptions> options, const char *blob_what = nullptr)
{
	auto *command = group->add_subcommand(name, help);
	command->callback([&ctx, action, options, blob_what] {
		ctx.action = [action, options](Session &s) { return action(s, *options); };
		if (blob_what != nullptr)
			ctx.prepare = [options, blob_what] {
				options->blob = blob_text(options->blob, blob_what);
			};
	});
	return command;
}

} // namespace

void add_group_commands(CLI::App &app, Context &ctx)
{
	auto *group = app.add_subcommand("group", "the token's groups and the join exchange");
	group->require_subcommand(1);
	auto options = std::make_shared<GroupOptions>();
	Secrets &secrets = ctx.secrets;

	auto *list = group->add_subcommand("list", "list the groups (administered ones marked)");
	list->callback([&ctx] { ctx.action = list_groups; });

	auto *create = add(group, ctx, "create", "create a group administered by this token",
	                   create_group, options);
	create->add_option("name", options->name, "the group's name")
	        ->check(group_name())
	        ->required();
	secrets.add_option(create, SecretKind::kPin);
	secrets.add_option(create, SecretKind::kPassPhrase);

	auto *rename = add(group, ctx, "rename", "rename a group", rename_group, options);
	rename->add_option("name", options->name, "the group's name")
	        ->check(group_name())
	        ->required();
	rename->add_option("new-name", options->new_name, "its new name")
	        ->check(group_name())
	        ->required();
	secrets.add_option(rename, SecretKind::kPin);

	auto *remove = add(group, ctx, "delete", "delete a group", delete_group, options);
	remove->add_option("name", options->name, "the group's name")
	        ->check(group_name())
	        ->required();
	secrets.add_option(remove, SecretKind::kPin);

	auto *phrase = add(group, ctx, "passphrase",
	                   "change a group's pass phrase (its administrator only)", change_phrase,
	                   options);
	phrase->add_option("name", options->name, "the group's name")
	        ->check(group_name())
	        ->required();
	secrets.add_option(phrase, SecretKind::kPin);
	secrets.add_option(phrase, SecretKind::kNewPassPhrase);

	auto *request = add(group, ctx, "request",
	                    "joining token, step 1: make a join request for the administrator",
	                    request_group, options);
	secrets.add_option(request, SecretKind::kPin);
	secrets.add_option(request, SecretKind::kPassPhrase);

	auto *invite = add(group, ctx, "invite",
	                   "administrator, step 2: turn a join request into an invite",
	                   invite_group, options, "request");
	invite->add_option("name", options->name, "the group to invite into")
	        ->check(group_name())
	        ->required();
	invite->add_option("request", options->blob,
	                   "the request text; standard input when absent");
	secrets.add_option(invite, SecretKind::kPin);

	auto *accept =
	        add(group, ctx, "accept",
	            "joining token, step 3: accept the invite with the pass phrase of step 1",
	            accept_group, options, "invite");
	accept->add_option("name", options->name, "the name to keep the group under")
	        ->check(group_name())
	        ->required();
	accept->add_option("invite", options->blob, "the invite text; standard input when absent");
	secrets.add_option(accept, SecretKind::kPin);
	secrets.add_option(accept, SecretKind::kPassPhrase);
}

} // namespace draxel::tool
