// draxel-token-sim: the software token in a vpcd virtual reader.
#include <sys/stat.h>

#include <cerrno>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "daemon.h"
#include "daemon_options.h"
#include "faulty_card.h"
#include "no_core_dump.h"
#include "secret_wipe.h"
#include "token.h"
#include "token_state.h"

namespace {

using draxel::sim::IssueOptions;
using draxel::sim::TokenState;

constexpr int kStateError = 1;
constexpr int kUsageError = 2;
constexpr size_t kMaxPassword = 255;

struct Config {
	draxel::sim::ReaderOptions reader;
	std::optional<std::string> state_path;
	IssueOptions issue;
	bool issue_options_given = false;
	std::vector<draxel::sim::FaultPlan> faults;
};

[[noreturn]] void usage(const char *problem)
{
	if (problem != nullptr)
		std::fprintf(stderr, "draxel-token-sim: %s\n", problem);
	std::fprintf(
	        stderr,
	        "usage: draxel-token-sim --port N [--host ADDR] [--state FILE] [--t0] [--once]\n"
	        "                        [--version N|none] [--st23l80] [--no-note]\n"
	        "                        [--no-trace-buffer] [--pin PIN] [--puk PUK]\n"
	        "                        [--serial HEX14] [--fault KIND[:INS[:COUNT]]]\n"
	        "--fault spoils one reply for fault tests: KIND is drop (the card leaves\n"
	        "the reader and comes back), short, long, cut, extra or status; INS the\n"
	        "command's instruction byte in hex or any; COUNT which such command.\n"
	        "Several --fault options play several faults, each counting on its own.\n");
	std::exit(kUsageError);
}

[[noreturn]] void fail(const std::string &problem)
{
	std::fprintf(stderr, "draxel-token-sim: %s\n", problem.c_str());
	std::exit(kStateError);
}

bool all_of(const std::string &text, const char *allowed)
{
	return text.find_first_not_of(allowed) == std::string::npos;
}

// "none" gives no version file; false for anything that is not a version.
bool parse_version(const std::string &text, std::optional<int> &version)
{
	if (text == "none") {
		version.reset();
		return true;
	}
	if (text.empty() || text.size() > 5 || !all_of(text, "0123456789"))
		return false;
	const unsigned long value = std::stoul(text);
	if (value > 65535)
		return false;
	version = static_cast<int>(value);
	return true;
}

std::optional<std::array<uint8_t, 7>> parse_serial(const std::string &hex)
{
	std::array<uint8_t, 7> serial{};
	if (hex.size() != 2 * serial.size() || !all_of(hex, "0123456789abcdefABCDEF")) {
		return std::nullopt;
	}
	for (size_t i = 0; i < serial.size(); ++i) {
		serial[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
	}
	return serial;
}

bool valid_password(const std::string &text)
{
	return !text.empty() && text.size() <= kMaxPassword;
}

enum {
	kState = draxel::sim::kFirstOwnOption,
	kVersion,
	kSt23l80,
	kNoNote,
	kNoTrace,
	kPin,
	kPuk,
	kSerial,
	kFault
};

// The options that shape a newly issued token.
void take_issue_option(IssueOptions &issue, int opt, const char *arg)
{
	switch (opt) {
	case kVersion:
		if (!parse_version(arg, issue.version))
			usage("--version wants a number from 0 to 65535 or \"none\"");
		break;
	case kSt23l80:
		issue.st23l80_chip = true;
		break;
	case kNoNote:
		issue.note_file = false;
		break;
	case kNoTrace:
		issue.trace_buffer = false;
		break;
	case kPin:
		if (!valid_password(arg))
			usage("--pin wants 1 to 255 characters");
		issue.pin = arg;
		break;
	case kPuk:
		if (!valid_password(arg))
			usage("--puk wants 1 to 255 characters");
		issue.puk = arg;
		break;
	case kSerial: {
		const auto serial = parse_serial(arg);
		if (!serial)
			usage("--serial wants 7 bytes as 14 hex digits");
		issue.serial = *serial;
		break;
	}
	}
}

Config parse_args(int argc, char **argv)
{
	static const std::vector<option> kOwnOptions = {
	        {"state", required_argument, nullptr, kState},
	        {"version", required_argument, nullptr, kVersion},
	        {"st23l80", no_argument, nullptr, kSt23l80},
	        {"no-note", no_argument, nullptr, kNoNote},
	        {"no-trace-buffer", no_argument, nullptr, kNoTrace},
	        {"pin", required_argument, nullptr, kPin},
	        {"puk", required_argument, nullptr, kPuk},
	        {"serial", required_argument, nullptr, kSerial},
	        {"fault", required_argument, nullptr, kFault}};
	Config config;
	const auto take = [&config](int opt, const char *arg) {
		if (opt == kState) {
			if (*arg == '\0')
				usage("--state wants a file name");
			config.state_path = arg;
		} else if (opt == kFault) {
			const auto plan = draxel::sim::parse_fault_plan(arg);
			if (!plan)
				usage("--fault wants KIND[:INS[:COUNT]]");
			config.faults.push_back(*plan);
		} else {
			take_issue_option(config.issue, opt, arg);
			config.issue_options_given = true;
		}
	};
	config.reader = draxel::sim::parse_daemon_options(argc, argv, kOwnOptions, take, usage);
	return config;
}

TokenState issue(const IssueOptions &options)
{
	try {
		return draxel::sim::issue_token(options);
	} catch (const std::exception &error) {
		fail(std::string("cannot issue a token: ") + error.what());
	}
}

// The token the daemon plays: the one in the state file when there is one,
// otherwise a new one, saved there at once when a state file is named.
TokenState initial_state(const Config &config)
{
	if (!config.state_path)
		return issue(config.issue);
	const std::string &path = *config.state_path;
	struct stat info {};
	if (::stat(path.c_str(), &info) == 0) {
		auto state = draxel::sim::load_state(path);
		// Never issue over a state that does not load: it may be the only copy
		// of a token's keys.
		if (!state)
			fail(path + " is not a readable token state; leaving it alone");
		if (config.issue_options_given) {
			std::fprintf(stderr,
			             "draxel-token-sim: %s exists; the issue options are ignored\n",
			             path.c_str());
		}
		return std::move(*state);
	}
	if (errno != ENOENT)
		fail(path + ": " + std::strerror(errno));
	TokenState state = issue(config.issue);
	if (!draxel::sim::save_state(path, state))
		fail("cannot write " + path);
	std::fprintf(stderr, "draxel-token-sim: issued a new token into %s\n", path.c_str());
	return state;
}

} // namespace

int main(int argc, char **argv)
{
	draxel::sim::forbid_core_dumps();
	Config config = parse_args(argc, argv);
	draxel::sim::Token token(initial_state(config));
	draxel::sim::wipe(config.issue.pin);
	draxel::sim::wipe(config.issue.puk);
	if (config.state_path) {
		token.persist_with([path = *config.state_path](const TokenState &state) {
			// The token refuses the change and goes on serving; the next one tries again.
			if (draxel::sim::save_state(path, state))
				return true;
			std::fprintf(stderr, "draxel-token-sim: cannot save the state to %s: %s\n",
			             path.c_str(), std::strerror(errno));
			return false;
		});
	}
	const draxel::sim::ReaderOptions &reader = config.reader;
	std::fprintf(stderr, "draxel-token-sim: T=%d token for vpcd at %s:%u%s%s\n",
	             reader.t0 ? 0 : 1, reader.host.c_str(), reader.port,
	             config.state_path ? "" : " (in memory only)", reader.once ? " (once)" : "");
	draxel::sim::FaultyCard played(token, config.faults);
	return draxel::sim::serve_in_reader(played, reader);
}
