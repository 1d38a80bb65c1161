// The software token's persistent state: its text form and the refusal of
// every kind of damage, the state file on disk, and the in-process transmit
// handler's guards.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "token_crypto.h"
#include "token_handler.h"
#include "token_state.h"

namespace draxel::sim {
namespace {

Field field_of(const std::string& text) {
  Field out{};
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

Key key_of(uint8_t seed) {
  Key out{};
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(seed + i);
  return out;
}

Bytes pattern(size_t n, uint8_t seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
  return out;
}

void expect_same(const TokenState& a, const TokenState& b) {
  EXPECT_EQ(a.serial, b.serial);
  EXPECT_EQ(a.st23l80_chip, b.st23l80_chip);
  ASSERT_EQ(a.passwords.size(), b.passwords.size());
  for (const auto& [ref, password] : a.passwords) {
    ASSERT_TRUE(b.passwords.contains(ref)) << int{ref};
    const Password& other = b.passwords.at(ref);
    EXPECT_EQ(password.value, other.value) << int{ref};
    EXPECT_EQ(password.tries_left, other.tries_left) << int{ref};
    EXPECT_EQ(password.max_tries, other.max_tries) << int{ref};
  }
  EXPECT_EQ(a.keys, b.keys);
  EXPECT_EQ(a.ds_key, b.ds_key);
  ASSERT_EQ(a.groups.size(), b.groups.size());
  for (size_t i = 0; i < a.groups.size(); ++i) {
    EXPECT_EQ(a.groups[i].name, b.groups[i].name) << i;
    EXPECT_EQ(a.groups[i].pass_phrase, b.groups[i].pass_phrase) << i;
    EXPECT_EQ(a.groups[i].key, b.groups[i].key) << i;
    EXPECT_EQ(a.groups[i].admin, b.groups[i].admin) << i;
  }
  EXPECT_EQ(a.max_groups, b.max_groups);
  EXPECT_EQ(a.note_policy, b.note_policy);
  EXPECT_EQ(a.master_files, b.master_files);
  EXPECT_EQ(a.application_files, b.application_files);
  ASSERT_EQ(a.pending_request.has_value(), b.pending_request.has_value());
  if (a.pending_request) {
    EXPECT_EQ(a.pending_request->nonce, b.pending_request->nonce);
    EXPECT_EQ(a.pending_request->pass_phrase, b.pending_request->pass_phrase);
  }
}

// A token as it looks after some use: groups of both kinds, a pending join
// request, a generated key, spent tries, a written note and odd files.
TokenState used_token() {
  IssueOptions options;
  options.serial = std::array<uint8_t, 7>{1, 2, 3, 4, 5, 6, 7};
  options.pin = "9876";
  TokenState state = issue_token(options);
  state.passwords[ref::kPin].tries_left = 1;
  state.passwords[ref::kNote].tries_left = 0;
  state.ds_key = key_of(0x40);
  state.groups.push_back({field_of("accounts"), field_of("phrase one"), key_of(1), true});
  state.groups.push_back({field_of("field office"), field_of(std::string(64, 'p')), key_of(2),
                          false});
  state.max_groups = 20;
  state.note_policy = ref::kNote;
  state.pending_request = PendingRequest{{}, field_of("join me")};
  state.pending_request->nonce.fill(0xA5);
  state.application_files[fid::kNote] = pattern(65280, 3);
  state.application_files[0x1234] = Bytes();       // created, never written
  state.master_files[0xF1F1] = pattern(0xFFFF, 9);  // the largest file there is
  return state;
}

// A small token for mutation tests: every kind of line, short files.
TokenState small_token() {
  TokenState state = used_token();
  state.application_files[fid::kNote] = pattern(8, 1);
  state.master_files.erase(0xF1F1);
  return state;
}

TEST(TokenIssue, IssuedTokensCarryTheirOptions) {
  const TokenState a = issue_token();
  const TokenState b = issue_token();
  // Fresh secrets every time: two tokens never share a key or serial.
  EXPECT_NE(a.serial, b.serial);
  for (uint8_t ref : {ref::kKeyMode1, ref::kKeyMode2, ref::kKeyGroup, ref::kKey15, ref::kKey1D}) {
    ASSERT_TRUE(a.keys.contains(ref));
    EXPECT_NE(a.keys.at(ref), b.keys.at(ref));
  }
  EXPECT_EQ(a.passwords.at(ref::kFileCreation).value, file_creation_password());
  EXPECT_EQ(file_creation_password().size(), 8u);
  EXPECT_EQ(a.application_files.at(fid::kVersion), (Bytes{0x00, 18}));
  EXPECT_EQ(a.master_files.at(fid::kTraceBuffer).size(), 256u);
  EXPECT_EQ(a.application_files.at(fid::kNote).size(), 65280u);

  IssueOptions options;
  options.version = std::nullopt;
  options.st23l80_chip = true;
  options.trace_buffer = false;
  TokenState small = issue_token(options);
  EXPECT_FALSE(small.application_files.contains(fid::kVersion));
  EXPECT_FALSE(small.master_files.contains(fid::kTraceBuffer));
  EXPECT_EQ(small.application_files.at(fid::kNote).size(), 12448u);
  options.note_file = false;
  options.version = 0x1234;
  small = issue_token(options);
  EXPECT_FALSE(small.application_files.contains(fid::kNote));
  EXPECT_EQ(small.application_files.at(fid::kVersion), (Bytes{0x12, 0x34}));

  // Values the token could never hold are refused, not truncated.
  options.version = 0x10000;
  EXPECT_THROW(issue_token(options), std::invalid_argument);
  options.version = 18;
  options.pin = "";
  EXPECT_THROW(issue_token(options), std::invalid_argument);
  options.pin = std::string(256, '1');
  EXPECT_THROW(issue_token(options), std::invalid_argument);
}

TEST(TokenStateText, RoundTripKeepsEverything) {
  const TokenState state = used_token();
  const std::string text = serialize(state);
  const auto back = deserialize(text);
  ASSERT_TRUE(back.has_value());
  expect_same(state, *back);
  EXPECT_EQ(serialize(*back), text);

  // Hex is read in either case.
  std::string lower = text;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  const auto from_lower = deserialize(lower);
  ASSERT_TRUE(from_lower.has_value());
  expect_same(state, *from_lower);

  // A fresh token without optional parts round-trips too.
  IssueOptions bare;
  bare.version = std::nullopt;
  bare.note_file = false;
  bare.trace_buffer = false;
  const TokenState issued = issue_token(bare);
  const auto issued_back = deserialize(serialize(issued));
  ASSERT_TRUE(issued_back.has_value());
  expect_same(issued, *issued_back);
}

// Replaces the first occurrence of `from`; the test fails if there is none,
// so that no mutation silently leaves the text intact.
std::string replaced(const std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("mutation target missing: " + from);
  std::string out = text;
  out.replace(at, from.size(), to);
  return out;
}

std::string line_starting(const std::string& text, const std::string& prefix) {
  const size_t at = text.find("\n" + prefix);
  if (at == std::string::npos) throw std::logic_error("no line " + prefix);
  const size_t end = text.find('\n', at + 1);
  return text.substr(at + 1, end - at - 1);
}

std::string with_line(const std::string& text, const std::string& line) {
  return replaced(text, "\nend\n", "\n" + line + "\nend\n");
}

std::string hex_bytes(size_t n, char digit = 'A') { return std::string(2 * n, digit); }

std::string group_line(int index) {
  char name[8];
  std::snprintf(name, sizeof name, "%02X", index);
  return "group 0 " + std::string(name) + hex_bytes(63) + " " + hex_bytes(64) + " " +
         hex_bytes(32);
}

TEST(TokenStateText, EveryKindOfDamageIsRefused) {
  const std::string good = serialize(small_token());
  ASSERT_TRUE(deserialize(good).has_value());
  const std::string key_line = line_starting(good, "key 0B");
  const std::string key_hex = key_line.substr(7);
  const std::string group = line_starting(good, "group 1");
  const std::string request = line_starting(good, "request");

  std::string many_groups = replaced(good, "maxgroups 20", "maxgroups 64");
  for (int i = 0; i < 63; ++i) many_groups = with_line(many_groups, group_line(i));
  // 2 groups of its own and 62 more is the most there can be...
  ASSERT_TRUE(deserialize(replaced(many_groups, group_line(62) + "\n", "")).has_value());

  std::string over_max = good;
  for (int i = 0; i < 19; ++i) over_max = with_line(over_max, group_line(i));

  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty text", ""},
      {"tag only", "draxel-token 1\nend\n"},
      {"other format version", replaced(good, "draxel-token 1", "draxel-token 2")},
      {"no tag", good.substr(good.find('\n') + 1)},
      {"no end line", replaced(good, "\nend\n", "\n")},
      {"end without newline", good.substr(0, good.size() - 1)},
      {"text after the end", good + "serial 01020304050607\n"},
      {"blank line after the end", good + "\n"},
      {"blank line inside", replaced(good, "\nchip", "\n\nchip")},
      {"carriage returns", replaced(good, "chip other\n", "chip other\r\n")},
      {"doubled blank", replaced(good, "key 0B ", "key 0B  ")},
      {"trailing blank", replaced(good, "policy 11\n", "policy 11 \n")},
      {"unknown keyword", with_line(good, "colour blue")},
      {"keyword in capitals", replaced(good, "serial ", "SERIAL ")},
      {"serial missing", replaced(good, "serial 01020304050607\n", "")},
      {"serial twice", with_line(good, "serial 01020304050607")},
      {"serial 6 bytes", replaced(good, "serial 01020304050607", "serial 010203040506")},
      {"serial 8 bytes", replaced(good, "serial 01020304050607", "serial 0102030405060708")},
      {"chip missing", replaced(good, "chip other\n", "")},
      {"chip unknown", replaced(good, "chip other", "chip st23l81")},
      {"bad hex digit", replaced(good, key_line, "key 0B G" + key_hex.substr(1))},
      {"odd hex length", replaced(good, key_line, key_line + "0")},
      {"key 31 bytes", replaced(good, key_line, "key 0B " + key_hex.substr(2))},
      {"key 33 bytes", replaced(good, key_line, key_line + "00")},
      {"key twice", with_line(good, key_line)},
      {"key reference 3 digits", replaced(good, "key 0B", "key 00B")},
      {"key under a password reference", with_line(good, "key 05 " + key_hex)},
      {"key value missing", with_line(good, "key 21")},
      {"dskey short", replaced(good, "dskey 4041", "dskey 41")},
      {"dskey twice", with_line(good, line_starting(good, "dskey"))},
      {"password twice", with_line(good, line_starting(good, "password 05"))},
      {"tries above max", replaced(good, "password 05 1 3 ", "password 05 4 3 ")},
      {"max above 15", replaced(good, "password 05 1 3 ", "password 05 1 16 ")},
      {"negative tries", replaced(good, "password 05 1 3 ", "password 05 -1 3 ")},
      {"signed tries", replaced(good, "password 05 1 3 ", "password 05 +1 3 ")},
      {"tries in hex", replaced(good, "password 05 1 3 ", "password 05 0x1 3 ")},
      {"tries with leading zero", replaced(good, "password 05 1 3 ", "password 05 01 3 ")},
      {"empty password", with_line(good, "password 21 3 3 -")},
      {"password 256 bytes", with_line(good, "password 21 3 3 " + hex_bytes(256))},
      {"password without value", with_line(good, "password 21 3 3")},
      {"maxgroups missing", replaced(good, "maxgroups 20\n", "")},
      {"maxgroups 0", replaced(good, "maxgroups 20", "maxgroups 0")},
      {"maxgroups 65", replaced(good, "maxgroups 20", "maxgroups 65")},
      {"more groups than maxgroups", over_max},
      {"more than 64 groups", many_groups},
      {"group name 63 bytes", replaced(good, group, "group 1 " + group.substr(10))},
      {"pass phrase 65 bytes", replaced(good, group, group.substr(0, 137) + "00" + group.substr(137))},
      {"group key short", replaced(good, group, group.substr(0, group.size() - 2))},
      {"group admin flag 2", replaced(good, "group 1 ", "group 2 ")},
      {"group without key", replaced(good, group, group.substr(0, group.rfind(' ')))},
      {"group name twice", with_line(good, group)},
      {"policy missing", replaced(good, "policy 11\n", "")},
      {"policy not a note password", replaced(good, "policy 11", "policy 07")},
      {"policy twice", with_line(good, "policy 05")},
      {"file over 65535 bytes", with_line(good, "file app F300 " + hex_bytes(65536))},
      {"file in unknown directory", with_line(good, "file df F300 00")},
      {"file named 3F00", with_line(good, "file mf 3F00 00")},
      {"file id 3 digits", with_line(good, "file app F30 00")},
      {"file twice", with_line(good, line_starting(good, "file app F210"))},
      {"empty file written as nothing", replaced(good, "file app 1234 -", "file app 1234 ")},
      {"empty file written as empty hex", replaced(good, "file app 1234 -", "file app 1234")},
      {"request nonce 15 bytes", replaced(good, request, "request " + request.substr(10))},
      {"request phrase missing", replaced(good, request, request.substr(0, 40))},
      {"request twice", with_line(good, request)},
  };
  std::set<std::string> seen;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_NE(c.text, good);
    EXPECT_TRUE(seen.insert(c.text).second) << "two cases make the same text";
    EXPECT_FALSE(deserialize(c.text).has_value());
  }
}

TEST(TokenStateText, EveryCutShortTextIsRefused) {
  const std::string good = serialize(small_token());
  for (size_t length = 0; length < good.size(); ++length) {
    ASSERT_FALSE(deserialize(std::string_view(good).substr(0, length)).has_value())
        << "accepted the first " << length << " bytes";
  }
}

class TokenStateFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/token_state_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    path_ = dir_ + "/token.state";
  }
  void TearDown() override {
    for (const std::string& name : entries()) {
      const std::string full = dir_ + "/" + name;
      if (rmdir(full.c_str()) != 0) unlink(full.c_str());
    }
    rmdir(dir_.c_str());
  }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    DIR* dir = opendir(dir_.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
  }

  mode_t mode_of(const std::string& path) const {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
  }

  void write_file(const std::string& path, const std::string& text, mode_t mode) const {
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    chmod(path.c_str(), mode);
  }

  std::string dir_;
  std::string path_;
};

TEST_F(TokenStateFile, SaveAndLoadRoundTripPrivately) {
  const TokenState state = used_token();
  // A permissive umask must not widen a file that holds keys.
  const mode_t old_umask = umask(0);
  const bool saved = save_state(path_, state);
  umask(old_umask);
  ASSERT_TRUE(saved);
  EXPECT_EQ(mode_of(path_), 0600u);
  EXPECT_EQ(entries(), std::vector<std::string>{"token.state"});
  const auto loaded = load_state(path_);
  ASSERT_TRUE(loaded.has_value());
  expect_same(state, *loaded);

  // Saving over an older, world-readable state replaces it whole.
  write_file(path_, "old contents\n", 0644);
  TokenState changed = state;
  changed.groups.pop_back();
  ASSERT_TRUE(save_state(path_, changed));
  EXPECT_EQ(mode_of(path_), 0600u);
  EXPECT_EQ(entries(), std::vector<std::string>{"token.state"});
  const auto reloaded = load_state(path_);
  ASSERT_TRUE(reloaded.has_value());
  expect_same(changed, *reloaded);
}

TEST_F(TokenStateFile, FailuresLeaveNothingBehind) {
  // The target is a directory: the rename fails and the temporary goes.
  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  EXPECT_FALSE(save_state(path_, small_token()));
  EXPECT_EQ(entries(), std::vector<std::string>{"token.state"});
  EXPECT_FALSE(load_state(path_).has_value());
  rmdir(path_.c_str());

  EXPECT_FALSE(save_state(dir_ + "/missing/token.state", small_token()));
  EXPECT_FALSE(load_state(dir_ + "/missing.state").has_value());
  EXPECT_TRUE(entries().empty());

  // A damaged state file is refused, and loading leaves it as it was.
  const std::string text = serialize(small_token());
  write_file(path_, text.substr(0, text.size() / 2), 0600);
  EXPECT_FALSE(load_state(path_).has_value());
  write_file(path_, "draxel-token 1\nend\n", 0600);
  EXPECT_FALSE(load_state(path_).has_value());
  EXPECT_EQ(entries(), std::vector<std::string>{"token.state"});

  // Not a regular file: refused without reading it forever.
  EXPECT_FALSE(load_state("/dev/zero").has_value());
}

// Answers with a fixed reply (or throws) and records what reached it.
class RecordingCard : public Card {
 public:
  Bytes process(std::span<const uint8_t> apdu) override {
    commands.emplace_back(apdu.begin(), apdu.end());
    events.push_back("process");
    if (throws) throw std::runtime_error("card failure");
    return reply;
  }
  void power_off() override { events.push_back("power_off"); }
  void reset() override { events.push_back("reset"); }

  Bytes reply{0x90, 0x00};
  bool throws = false;
  std::vector<Bytes> commands;
  std::vector<std::string> events;
};

struct Exchange {
  int recv_len = 0;
  Bytes recv;
};

Exchange call(Type_ReaderFuncStruct* table, Bytes send, int send_len, int capacity = 258) {
  Exchange out;
  out.recv.assign(300, 0xEE);
  out.recv_len = capacity;
  table->handlerScardTransmit(send.data(), send_len, out.recv.data(), &out.recv_len);
  if (out.recv_len >= 0 && out.recv_len <= static_cast<int>(out.recv.size())) {
    out.recv.resize(static_cast<size_t>(out.recv_len));
  }
  return out;
}

TEST(InProcessHandler, PassesCommandsAndGuardsTheBuffers) {
  RecordingCard card;
  InProcessToken attached(card);
  Type_ReaderFuncStruct* table = attached.table();
  Bytes select = {0x00, 0xA4, 0x04, 0x0C, 0x02, 0x3F, 0x00};
  Bytes buffer(258);

  card.reply = {0x01, 0x02, 0x61, 0x10};
  Exchange ok = call(table, select, static_cast<int>(select.size()));
  EXPECT_EQ(ok.recv, card.reply);
  ASSERT_EQ(card.commands.size(), 1u);
  EXPECT_EQ(card.commands[0], select);

  // The longest reply that fits is passed; one byte more becomes 6F00.
  card.reply = pattern(258, 0);
  EXPECT_EQ(call(table, select, 7).recv, card.reply);
  card.reply = pattern(259, 0);
  EXPECT_EQ(call(table, select, 7).recv, (Bytes{0x6F, 0x00}));
  card.reply = pattern(100, 0);
  EXPECT_EQ(call(table, select, 7, 64).recv, (Bytes{0x6F, 0x00}));
  // A card that answers without a status word, or fails inside, gives 6F00.
  card.reply = {0x90};
  EXPECT_EQ(call(table, select, 7).recv, (Bytes{0x6F, 0x00}));
  card.throws = true;
  EXPECT_EQ(call(table, select, 7).recv, (Bytes{0x6F, 0x00}));
  card.throws = false;
  card.reply = {0x90, 0x00};

  // Broken calls are failed exchanges (a length below 2) and reach no card.
  const size_t before = card.commands.size();
  EXPECT_LT(call(table, select, -1).recv_len, 2);
  EXPECT_LT(call(table, pattern(261, 0), 261).recv_len, 2);
  EXPECT_LT(call(table, select, 7, 1).recv_len, 2);
  EXPECT_LT(call(table, select, 7, -5).recv_len, 2);
  int len = 258;
  table->handlerScardTransmit(nullptr, 7, buffer.data(), &len);
  EXPECT_LT(len, 2);
  len = 258;
  table->handlerScardTransmit(select.data(), 7, nullptr, &len);
  EXPECT_LT(len, 2);
  table->handlerScardTransmit(select.data(), 7, buffer.data(), nullptr);
  EXPECT_EQ(card.commands.size(), before);

  // The longest command the library sends, and an empty one, do reach it.
  EXPECT_EQ(call(table, pattern(260, 0), 260).recv, (Bytes{0x90, 0x00}));
  EXPECT_EQ(call(table, {}, 0).recv, (Bytes{0x90, 0x00}));
  EXPECT_EQ(card.commands.size(), before + 2);
}

TEST(InProcessHandler, OneActiveTokenAndPowerCycles) {
  RecordingCard first;
  first.reply = {0x90, 0x01};
  RecordingCard second;
  second.reply = {0x90, 0x02};
  const Bytes command = {0x00, 0x84, 0x00, 0x00, 0x08};
  {
    InProcessToken a(first);
    Type_ReaderFuncStruct* table = a.table();
    EXPECT_EQ(call(table, command, 5).recv, first.reply);
    {
      // The newest one is the card behind every handler.
      InProcessToken b(second);
      EXPECT_EQ(call(table, command, 5).recv, second.reply);
      EXPECT_EQ(call(b.table(), command, 5).recv, second.reply);
      b.power_cycle();
    }
    // With the active one gone no card is attached: exchanges fail.
    EXPECT_LT(call(table, command, 5).recv_len, 2);
  }
  EXPECT_EQ(first.commands.size(), 1u);
  EXPECT_EQ(second.events,
            (std::vector<std::string>{"process", "process", "power_off", "reset"}));
}

}  // namespace
}  // namespace draxel::sim
