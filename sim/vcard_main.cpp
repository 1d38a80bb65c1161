// draxel-vcard: a scripted test card in a vpcd virtual reader.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "daemon_options.h"
#include "test_card.h"

namespace {

using draxel::sim::TestCard;

constexpr int kUsageError = 2;

struct Config {
	draxel::sim::ReaderOptions reader;
	TestCard::Options card;
};

[[noreturn]] void usage(const char *problem)
{
	if (problem != nullptr)
		std::fprintf(stderr, "draxel-vcard: %s\n", problem);
	std::fprintf(stderr, "usage: draxel-vcard --port N [--host ADDR] [--t0] [--aid HEX]\n"
	                     "                    [--refuse-select] [--once]\n");
	std::exit(kUsageError);
}

std::optional<std::vector<uint8_t>> parse_aid(const std::string &hex)
{
	constexpr size_t kMaxAid = 16;
	if (hex.empty() || hex.size() % 2 != 0 || hex.size() > 2 * kMaxAid ||
	    hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
		return std::nullopt;
	}
	std::vector<uint8_t> aid;
	for (size_t i = 0; i < hex.size(); i += 2) {
		aid.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
	}
	return aid;
}

Config parse_args(int argc, char **argv)
{
	enum { kAid = draxel::sim::kFirstOwnOption, kRefuse };
	static const std::vector<option> kOwnOptions = {
	        {"aid", required_argument, nullptr, kAid},
	        {"refuse-select", no_argument, nullptr, kRefuse}};
	Config config;
	const auto take = [&config](int opt, const char *arg) {
		switch (opt) {
		case kAid: {
			auto aid = parse_aid(arg);
			if (!aid)
				usage("--aid wants 1 to 16 bytes in hex");
			config.card.aid = std::move(*aid);
			break;
		}
		case kRefuse:
			config.card.refuse_select = true;
			break;
		}
	};
	config.reader = draxel::sim::parse_daemon_options(argc, argv, kOwnOptions, take, usage);
	return config;
}

} // namespace

int main(int argc, char **argv)
{
	const Config config = parse_args(argc, argv);
	TestCard test_card(config.card);
	const draxel::sim::ReaderOptions &reader = config.reader;
	std::fprintf(stderr, "draxel-vcard: T=%d test card for vpcd at %s:%u%s\n",
	             reader.t0 ? 0 : 1, reader.host.c_str(), reader.port,
	             reader.once ? " (once)" : "");
	return draxel::sim::serve_in_reader(test_card, reader);
}
