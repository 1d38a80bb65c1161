// draxel-vcard: a scripted test card in a vpcd virtual reader.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "daemon.h"
#include "test_card.h"

namespace {

using draxel::sim::parse_port;
using draxel::sim::resolves;
using draxel::sim::TestCard;

constexpr int kUsageError = 2;

struct Config {
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  bool t0 = false;
  bool once = false;
  TestCard::Options card;
};

[[noreturn]] void usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "draxel-vcard: %s\n", problem);
  std::fprintf(stderr,
               "usage: draxel-vcard --port N [--host ADDR] [--t0] [--aid HEX]\n"
               "                    [--refuse-select] [--once]\n");
  std::exit(kUsageError);
}

std::optional<std::vector<uint8_t>> parse_aid(const std::string& hex) {
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

Config parse_args(int argc, char** argv) {
  enum { kPort = 1, kHost, kT0, kAid, kRefuse, kOnce };
  static const option kOptions[] = {
      {"port", required_argument, nullptr, kPort}, {"host", required_argument, nullptr, kHost},
      {"t0", no_argument, nullptr, kT0},           {"aid", required_argument, nullptr, kAid},
      {"refuse-select", no_argument, nullptr, kRefuse},
      {"once", no_argument, nullptr, kOnce},       {nullptr, 0, nullptr, 0}};
  Config config;
  opterr = 0;
  for (int opt; (opt = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    switch (opt) {
      case kPort: {
        const auto port = parse_port(optarg);
        if (!port) usage("--port wants a number from 1 to 65535");
        config.port = *port;
        break;
      }
      case kHost: config.host = optarg; break;
      case kT0: config.t0 = true; break;
      case kAid: {
        auto aid = parse_aid(optarg);
        if (!aid) usage("--aid wants 1 to 16 bytes in hex");
        config.card.aid = std::move(*aid);
        break;
      }
      case kRefuse: config.card.refuse_select = true; break;
      case kOnce: config.once = true; break;
      default: usage("unknown option or missing value");
    }
  }
  if (optind != argc) usage("unexpected argument");
  if (config.port == 0) usage("--port is required");
  if (!resolves(config.host)) usage("--host does not resolve");
  return config;
}

}  // namespace

int main(int argc, char** argv) {
  const Config config = parse_args(argc, argv);
  TestCard test_card(config.card);
  std::fprintf(stderr, "draxel-vcard: T=%d test card for vpcd at %s:%u%s\n", config.t0 ? 0 : 1,
               config.host.c_str(), config.port, config.once ? " (once)" : "");
  return draxel::sim::serve_in_reader(test_card, {config.host, config.port, config.t0, config.once});
}
