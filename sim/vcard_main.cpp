// draxel-vcard: a scripted test card in a vpcd virtual reader.
#include <getopt.h>
#include <netdb.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "t0_card.h"
#include "test_card.h"
#include "vpcd_client.h"

namespace {

using draxel::sim::TestCard;

constexpr int kUsageError = 2;
constexpr std::chrono::milliseconds kRetryPause{100};

struct Config {
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  bool t0 = false;
  bool once = false;
  TestCard::Options card;
};

draxel::sim::VpcdClient* g_client = nullptr;

void on_signal(int) {
  if (g_client != nullptr) g_client->stop();
}

[[noreturn]] void usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "draxel-vcard: %s\n", problem);
  std::fprintf(stderr,
               "usage: draxel-vcard --port N [--host ADDR] [--t0] [--aid HEX]\n"
               "                    [--refuse-select] [--once]\n");
  std::exit(kUsageError);
}

std::optional<uint16_t> parse_port(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long value = std::stoul(text);
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
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

bool resolves(const std::string& host) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  ::freeaddrinfo(found);
  return true;
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

std::vector<uint8_t> atr_for(bool t0) {
  using draxel::sim::kAtrT0, draxel::sim::kAtrT1;
  if (t0) return {kAtrT0.begin(), kAtrT0.end()};
  return {kAtrT1.begin(), kAtrT1.end()};
}

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  const Config config = parse_args(argc, argv);
  TestCard test_card(config.card);
  draxel::sim::T0Card t0_card(test_card);
  draxel::sim::Card& card = config.t0 ? static_cast<draxel::sim::Card&>(t0_card) : test_card;
  draxel::sim::VpcdClient client(card, atr_for(config.t0));
  g_client = &client;
  install_signal_handlers();

  std::fprintf(stderr, "draxel-vcard: T=%d test card for vpcd at %s:%u%s\n", config.t0 ? 0 : 1,
               config.host.c_str(), config.port, config.once ? " (once)" : "");
  while (!client.stopped()) {
    if (client.serve(config.host, config.port)) {
      if (config.once) break;
    } else {
      client.wait_for_stop(kRetryPause);  // vpcd not listening yet
    }
  }
  g_client = nullptr;
  return 0;
}
