// pin|puk|erase-pas|note-pas verify|change|unblock.
#include <CLI/CLI.hpp>

#include "session.h"
#include "tool.h"

namespace draxel::tool {
namespace {

struct PasswordKind {
	const char *command;
	const char *label;
	SecretKind current;
	SecretKind fresh;
	unsigned long (*verify)(const char *);
	unsigned long (*change)(const char *, const char *);
	unsigned long (*unblock)(const char *, const char *); // null: the PUK cannot unblock it
};

const PasswordKind kPasswords[] = {
        {"pin", "PIN", SecretKind::kPin, SecretKind::kNewPin,
         [](const char *p) { return VerifyPIN(p, false); }, ChangePIN, UnblockPIN},
        {"puk", "PUK", SecretKind::kPuk, SecretKind::kNewPuk, VerifyPUK, ChangePUK, nullptr},
        {"erase-pas", "erase password", SecretKind::kErasePas, SecretKind::kNewErasePas,
         VerifyErasePas, ChangeErasePas, nullptr},
        {"note-pas", "note password", SecretKind::kNotePas, SecretKind::kNewNotePas,
         [](const char *p) { return VerifyNotePas(p, false); }, ChangeNotePas, UnblockNotePas},
};

Result done(const PasswordKind &kind, const char *what, const char *key)
{
	Result result;
	result.data = {{"password", kind.command}, {key, true}};
	result.text = std::string(kind.label) + " " + what + "\n";
	return result;
}

Result verify(Session &session, const PasswordKind &kind)
{
	auto secret = session.secrets().get(kind.current);
	check(kind.verify(secret->c_str()), std::string("verifying the ") + kind.label);
	return done(kind, "verified", "verified");
}

// The token takes passwords of 4 to 64 bytes; a new value outside that
// would be refused half-way through a change or an unblock.
constexpr size_t kMinPassword = 4;
constexpr size_t kMaxPassword = 64;

std::unique_ptr<Secret> new_password(Session &session, const PasswordKind &kind)
{
	auto fresh = session.secrets().get(kind.fresh);
	if (fresh->size() < kMinPassword || fresh->size() > kMaxPassword)
		throw ToolError(Exit::kUsage, std::string("the new ") + kind.label + " must be " +
		                                      std::to_string(kMinPassword) + " to " +
		                                      std::to_string(kMaxPassword) +
		                                      " bytes long; nothing changed");
	return fresh;
}

Result change(Session &session, const PasswordKind &kind)
{
	auto current = session.secrets().get(kind.current);
	auto fresh = new_password(session, kind);
	check(kind.change(current->c_str(), fresh->c_str()),
	      std::string("changing the ") + kind.label);
	return done(kind, "changed", "changed");
}

// Whether the password can be presented now: the token tells its attempts
// without being given anything.
bool usable(const PasswordKind &kind)
{
	unsigned long rc = kind.verify(nullptr);
	return rc == 0 || (rc > DRAXEL_E_WRONG_PASSWORD && rc <= DRAXEL_E_WRONG_PASSWORD_MAX);
}

bool refused_the_puk(unsigned long rc)
{
	return rc == DRAXEL_E_PASSWORD_BLOCKED ||
	       (rc >= DRAXEL_E_WRONG_PASSWORD && rc <= DRAXEL_E_WRONG_PASSWORD_MAX);
}

// The unblock is two steps, the reset of the attempts and the new value:
// a failure between them must say that the first one happened.
Result unblock(Session &session, const PasswordKind &kind, bool reset_only)
{
	auto puk = session.secrets().get(SecretKind::kPuk);
	std::unique_ptr<Secret> fresh;
	if (!reset_only)
		fresh = new_password(session, kind);
	const std::string doing = std::string("unblocking the ") + kind.label;
	unsigned long rc = kind.unblock(puk->c_str(), fresh ? fresh->c_str() : nullptr);
	if (rc != 0 && fresh && !refused_the_puk(rc)) {
		LibraryError failure(rc, doing);
		if (usable(kind))
			throw ToolError(classify(rc),
			                std::string("the ") + kind.label +
			                        "'s attempts were reset, but setting the new " +
			                        kind.label + " failed (code " + std::to_string(rc) +
			                        ": " + describe(rc) + "); the old " + kind.label +
			                        " still holds");
		throw failure;
	}
	check(rc, doing);
	return done(kind, reset_only ? "unblocked" : "unblocked and set", "unblocked");
}

void add_password(CLI::App &app, Context &ctx, const PasswordKind &kind)
{
	auto *command =
	        app.add_subcommand(kind.command, std::string("verify or change the ") + kind.label +
	                                                 (kind.unblock ? ", or unblock it" : ""));
	command->require_subcommand(1);

	auto *check_it =
	        command->add_subcommand("verify", std::string("present the ") + kind.label);
	ctx.secrets.add_option(check_it, kind.current);
	check_it->callback(
	        [&ctx, &kind] { ctx.action = [&kind](Session &s) { return verify(s, kind); }; });

	auto *change_it =
	        command->add_subcommand("change", std::string("replace the ") + kind.label);
	ctx.secrets.add_option(change_it, kind.current);
	ctx.secrets.add_option(change_it, kind.fresh);
	change_it->callback(
	        [&ctx, &kind] { ctx.action = [&kind](Session &s) { return change(s, kind); }; });

	if (kind.unblock == nullptr)
		return;
	auto reset_only = std::make_shared<bool>(false);
	auto *unblock_it = command->add_subcommand(
	        "unblock", std::string("reset the ") + kind.label +
	                           "'s attempts with the PUK and set a new one");
	unblock_it->add_flag("--reset-only", *reset_only,
	                     std::string("only reset the attempts, keeping the ") + kind.label);
	ctx.secrets.add_option(unblock_it, SecretKind::kPuk);
	ctx.secrets.add_option(unblock_it, kind.fresh, Need::kMaybe);
	unblock_it->callback([&ctx, &kind, reset_only] {
		ctx.action = [&kind, reset_only](Session &s) {
			return unblock(s, kind, *reset_only);
		};
	});
}

} // namespace

void add_password_commands(CLI::App &app, Context &ctx)
{
	for (const PasswordKind &kind : kPasswords)
		add_password(app, ctx, kind);
}

} // namespace draxel::tool
