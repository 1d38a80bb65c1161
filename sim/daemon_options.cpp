#include "daemon_options.h"

#include <netdb.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace draxel::sim {

namespace {

enum { kPort = 1, kHost, kT0, kOnce };

std::optional<uint16_t> parse_port(const std::string &text)
{
	if (text.empty() || text.size() > 5 ||
	    text.find_first_not_of("0123456789") != std::string::npos)
		return std::nullopt;
	const unsigned long value = std::stoul(text);
	if (value == 0 || value > 65535)
		return std::nullopt;
	return static_cast<uint16_t>(value);
}

bool resolves(const std::string &host)
{
	addrinfo hints{};
	hints.ai_socktype = SOCK_STREAM;
	addrinfo *found = nullptr;
	if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
		return false;
	::freeaddrinfo(found);
	return true;
}

[[noreturn]] void refuse(DaemonUsage usage, const char *problem)
{
	usage(problem);
	std::exit(2); // a usage that came back all the same: still a usage error
}

} // namespace

ReaderOptions parse_daemon_options(int argc, char **argv, const std::vector<option> &own_options,
                                   const std::function<void(int, const char *)> &take,
                                   DaemonUsage usage)
{
	std::vector<option> options = {{"port", required_argument, nullptr, kPort},
	                               {"host", required_argument, nullptr, kHost},
	                               {"t0", no_argument, nullptr, kT0},
	                               {"once", no_argument, nullptr, kOnce}};
	options.insert(options.end(), own_options.begin(), own_options.end());
	options.push_back({nullptr, 0, nullptr, 0});
	ReaderOptions reader;
	opterr = 0;
	for (int opt; (opt = getopt_long(argc, argv, "", options.data(), nullptr)) != -1;) {
		switch (opt) {
		case kPort: {
			const auto port = parse_port(optarg);
			if (!port)
				refuse(usage, "--port wants a number from 1 to 65535");
			reader.port = *port;
			break;
		}
		case kHost:
			reader.host = optarg;
			break;
		case kT0:
			reader.t0 = true;
			break;
		case kOnce:
			reader.once = true;
			break;
		default:
			if (opt < kFirstOwnOption)
				refuse(usage, "unknown option or missing value");
			take(opt, optarg);
		}
	}
	if (optind != argc)
		refuse(usage, "unexpected argument");
	if (reader.port == 0)
		refuse(usage, "--port is required");
	if (!resolves(reader.host))
		refuse(usage, "--host does not resolve");
	return reader;
}

} // namespace draxel::sim
