#include "token_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <set>
#include <span>
#include <stdexcept>
#include <utility>

#include "safe_output.h"
#include "token_crypto.h"

#ifndef DRAXEL_FILE_CREATION_PASSWORD
#error "DRAXEL_FILE_CREATION_PASSWORD must be defined (16 hex digits); the root CMakeLists sets it"
#endif

namespace draxel::sim {
namespace {

constexpr std::string_view kFormatTag = "draxel-token 1";
constexpr std::string_view kEndLine = "end";
constexpr size_t kMaxFile = 0xFFFF;  // the size field of a file is two bytes
constexpr size_t kMaxPassword = 255; // VERIFY carries a one-byte length
constexpr unsigned kMaxTries = 15;   // 63Cx has four bits for the count
constexpr size_t kGroupLimit = 64;
// A state is a few hundred kilobytes at most; anything far larger is not one
// of ours, and reading it whole would only waste memory.
constexpr size_t kMaxStateBytes = 16u << 20;

constexpr size_t kNoteSize = 65280;
constexpr size_t kNoteSizeSt23l80 = 12448;
constexpr size_t kTraceBufferSize = 256;

constexpr std::string_view kFileCreationHex = DRAXEL_FILE_CREATION_PASSWORD;

constexpr int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

consteval bool valid_file_creation_hex()
{
	if (kFileCreationHex.size() != 16)
		return false;
	for (char c : kFileCreationHex) {
		if (hex_value(c) < 0)
			return false;
	}
	return true;
}
static_assert(valid_file_creation_hex(),
              "DRAXEL_FILE_CREATION_PASSWORD must be exactly 16 hex digits");

// --- writing ---------------------------------------------------------------

void append_hex(std::string &out, std::span<const uint8_t> bytes)
{
	static constexpr char kDigits[] = "0123456789ABCDEF";
	for (uint8_t b : bytes) {
		out.push_back(kDigits[b >> 4]);
		out.push_back(kDigits[b & 0x0F]);
	}
}

void append_byte(std::string &out, uint8_t byte)
{
	append_hex(out, {&byte, 1});
}

void append_file_id(std::string &out, uint16_t id)
{
	append_byte(out, static_cast<uint8_t>(id >> 8));
	append_byte(out, static_cast<uint8_t>(id & 0xFF));
}

// --- reading ---------------------------------------------------------------

// Fills out exactly from hex text; false unless the text is exactly
// 2 * out.size() hex digits.
bool parse_hex_exact(std::string_view text, std::span<uint8_t> out)
{
	if (text.size() != 2 * out.size())
		return false;
	for (size_t i = 0; i < out.size(); ++i) {
		const int hi = hex_value(text[2 * i]);
		const int lo = hex_value(text[2 * i + 1]);
		if (hi < 0 || lo < 0)
			return false;
		out[i] = static_cast<uint8_t>((hi << 4) | lo);
	}
	return true;
}

std::optional<Bytes> parse_hex(std::string_view text, size_t max_bytes)
{
	if (text.size() % 2 != 0 || text.size() / 2 > max_bytes)
		return std::nullopt;
	Bytes out(text.size() / 2);
	if (!parse_hex_exact(text, out)) {
		wipe(out);
		return std::nullopt;
	}
	return out;
}

std::optional<uint8_t> parse_ref(std::string_view text)
{
	uint8_t value = 0;
	if (!parse_hex_exact(text, {&value, 1}))
		return std::nullopt;
	return value;
}

std::optional<uint16_t> parse_file_id(std::string_view text)
{
	std::array<uint8_t, 2> id{};
	if (!parse_hex_exact(text, id))
		return std::nullopt;
	return static_cast<uint16_t>((id[0] << 8) | id[1]);
}

// Plain decimal: digits only, no sign, no leading zeros beyond "0".
std::optional<unsigned> parse_decimal(std::string_view text, unsigned max)
{
	if (text.empty() || text.size() > 5)
		return std::nullopt;
	if (text.size() > 1 && text[0] == '0')
		return std::nullopt;
	unsigned value = 0;
	const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
	if (ec != std::errc() || end != text.data() + text.size() || value > max)
		return std::nullopt;
	return value;
}

// Words separated by single blanks; an empty word (doubled or trailing
// blank) makes the line malformed.
std::optional<std::vector<std::string_view>> split_words(std::string_view line)
{
	std::vector<std::string_view> words;
	size_t start = 0;
	for (;;) {
		const size_t blank = line.find(' ', start);
		const std::string_view word = line.substr(start, blank - start);
		if (word.empty())
			return std::nullopt;
		words.push_back(word);
		if (blank == std::string_view::npos)
			break;
		start = blank + 1;
	}
	return words;
}

class Parser {
public:
	bool line(std::string_view text);
	bool complete();
	TokenState &state() { return state_; }

private:
	using Words = std::vector<std::string_view>;
	bool serial(const Words &w);
	bool chip(const Words &w);
	bool password(const Words &w);
	bool key(const Words &w);
	bool ds_key(const Words &w);
	bool max_groups(const Words &w);
	bool group(const Words &w);
	bool policy(const Words &w);
	bool file(const Words &w);
	bool request(const Words &w);

	TokenState state_;
	std::set<std::string_view> seen_; // keywords that may appear only once
};

bool Parser::line(std::string_view text)
{
	const auto words = split_words(text);
	if (!words)
		return false;
	const std::string_view keyword = (*words)[0];
	static constexpr std::string_view kSingle[] = {"serial",    "chip",   "dskey",
	                                               "maxgroups", "policy", "request"};
	if (std::find(std::begin(kSingle), std::end(kSingle), keyword) != std::end(kSingle) &&
	    !seen_.insert(keyword).second) {
		return false;
	}
	if (keyword == "serial")
		return serial(*words);
	if (keyword == "chip")
		return chip(*words);
	if (keyword == "password")
		return password(*words);
	if (keyword == "key")
		return key(*words);
	if (keyword == "dskey")
		return ds_key(*words);
	if (keyword == "maxgroups")
		return max_groups(*words);
	if (keyword == "group")
		return group(*words);
	if (keyword == "policy")
		return policy(*words);
	if (keyword == "file")
		return file(*words);
	if (keyword == "request")
		return request(*words);
	return false;
}

bool Parser::complete()
{
	for (std::string_view required : {"serial", "chip", "maxgroups", "policy"}) {
		if (!seen_.contains(required))
			return false;
	}
	// A key and a password under one reference would leave the token unsure
	// which one a command means.
	for (const auto &[ref, unused] : state_.keys) {
		if (state_.passwords.contains(ref))
			return false;
	}
	return state_.groups.size() <= state_.max_groups;
}

bool Parser::serial(const Words &w)
{
	return w.size() == 2 && parse_hex_exact(w[1], state_.serial);
}

bool Parser::chip(const Words &w)
{
	if (w.size() != 2)
		return false;
	if (w[1] == "st23l80") {
		state_.st23l80_chip = true;
	} else if (w[1] == "other") {
		state_.st23l80_chip = false;
	} else {
		return false;
	}
	return true;
}

bool Parser::password(const Words &w)
{
	if (w.size() != 5)
		return false;
	const auto ref = parse_ref(w[1]);
	const auto tries = parse_decimal(w[2], kMaxTries);
	const auto max = parse_decimal(w[3], kMaxTries);
	if (!ref || !tries || !max || *tries > *max || state_.passwords.contains(*ref))
		return false;
	auto value = parse_hex(w[4], kMaxPassword);
	if (!value)
		return false;
	if (value->empty())
		return false;
	state_.passwords[*ref] = Password{std::move(*value), static_cast<uint8_t>(*tries),
	                                  static_cast<uint8_t>(*max)};
	return true;
}

bool Parser::key(const Words &w)
{
	if (w.size() != 3)
		return false;
	const auto ref = parse_ref(w[1]);
	if (!ref || state_.keys.contains(*ref))
		return false;
	Key &key = state_.keys[*ref];
	return parse_hex_exact(w[2], key);
}

bool Parser::ds_key(const Words &w)
{
	if (w.size() != 2)
		return false;
	state_.ds_key.emplace();
	return parse_hex_exact(w[1], *state_.ds_key);
}

bool Parser::max_groups(const Words &w)
{
	if (w.size() != 2)
		return false;
	const auto count = parse_decimal(w[1], kGroupLimit);
	if (!count || *count == 0)
		return false;
	state_.max_groups = *count;
	return true;
}

bool Parser::group(const Words &w)
{
	if (w.size() != 5 || state_.groups.size() >= kGroupLimit)
		return false;
	Group &group = state_.groups.emplace_back();
	if (w[1] == "1") {
		group.admin = true;
	} else if (w[1] != "0") {
		return false;
	}
	if (!parse_hex_exact(w[2], group.name) || !parse_hex_exact(w[3], group.pass_phrase) ||
	    !parse_hex_exact(w[4], group.key)) {
		return false;
	}
	// Groups are found by name; a second one of the same name could never be
	// reached.
	const auto same_name = [&](const Group &other) { return other.name == group.name; };
	return std::count_if(state_.groups.begin(), state_.groups.end(), same_name) == 1;
}

bool Parser::policy(const Words &w)
{
	if (w.size() != 2)
		return false;
	const auto ref = parse_ref(w[1]);
	if (!ref || (*ref != ref::kPin && *ref != ref::kNote))
		return false;
	state_.note_policy = *ref;
	return true;
}

bool Parser::file(const Words &w)
{
	if (w.size() != 4)
		return false;
	std::map<uint16_t, Bytes> *dir = nullptr;
	if (w[1] == "mf") {
		dir = &state_.master_files;
	} else if (w[1] == "app") {
		dir = &state_.application_files;
	} else {
		return false;
	}
	const auto id = parse_file_id(w[2]);
	if (!id || *id == fid::kMaster || dir->contains(*id))
		return false;
	if (w[3] == "-") {
		(*dir)[*id] = Bytes();
		return true;
	}
	auto content = parse_hex(w[3], kMaxFile);
	if (!content || content->empty())
		return false; // empty is written "-"
	(*dir)[*id] = std::move(*content);
	return true;
}

bool Parser::request(const Words &w)
{
	if (w.size() != 3)
		return false;
	PendingRequest &request = state_.pending_request.emplace();
	return parse_hex_exact(w[1], request.nonce) && parse_hex_exact(w[2], request.pass_phrase);
}

Password issue_password(const std::string &value, uint8_t tries)
{
	if (value.empty() || value.size() > kMaxPassword) {
		throw std::invalid_argument("a password must be 1 to 255 bytes");
	}
	return Password{Bytes(value.begin(), value.end()), tries, tries};
}

// --- files -----------------------------------------------------------------

class UniqueFd {
public:
	explicit UniqueFd(int fd = -1) : fd_(fd) {}
	UniqueFd(const UniqueFd &) = delete;
	UniqueFd &operator=(const UniqueFd &) = delete;
	~UniqueFd() { reset(); }
	int get() const { return fd_; }
	// Closes now and reports whether the close succeeded.
	bool reset()
	{
		if (fd_ < 0)
			return true;
		const bool ok = ::close(std::exchange(fd_, -1)) == 0;
		return ok;
	}

private:
	int fd_;
};

bool write_all(int fd, std::string_view data)
{
	while (!data.empty()) {
		const ssize_t n = ::write(fd, data.data(), data.size());
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		data.remove_prefix(static_cast<size_t>(n));
	}
	return true;
}

std::string directory_of(const std::string &path)
{
	const size_t slash = path.rfind('/');
	if (slash == std::string::npos)
		return ".";
	if (slash == 0)
		return "/";
	return path.substr(0, slash);
}

} // namespace

void wipe_state(TokenState &state)
{
	for (auto &[ref, password] : state.passwords)
		wipe(password.value);
	for (auto &[ref, key] : state.keys)
		wipe(key);
	if (state.ds_key)
		wipe(*state.ds_key);
	for (Group &group : state.groups) {
		wipe(group.pass_phrase);
		wipe(group.key);
	}
	if (state.pending_request) {
		wipe(state.pending_request->pass_phrase);
		wipe(state.pending_request->nonce);
	}
	// the note is the holder's plaintext
	for (auto &[id, file] : state.application_files)
		wipe(file);
	for (auto &[id, file] : state.master_files)
		wipe(file);
}

Bytes file_creation_password()
{
	Bytes out(kFileCreationHex.size() / 2);
	parse_hex_exact(kFileCreationHex, out);
	return out;
}

TokenState issue_token(const IssueOptions &options)
{
	TokenState state;
	// Passwords first: a refused one then leaves no fresh keys behind unwiped.
	state.passwords[ref::kPin] = issue_password(options.pin, 3);
	state.passwords[ref::kPuk] = issue_password(options.puk, 10);
	state.passwords[ref::kErase] = issue_password(options.erase_password, 10);
	state.passwords[ref::kNote] = issue_password(options.note_password, 3);
	state.passwords[ref::kKeyLoad] = issue_password(options.key_load_password, 10);
	state.passwords[ref::kFileCreation] = Password{file_creation_password(), 10, 10};
	if (options.version && (*options.version < 0 || *options.version > 0xFFFF)) {
		throw std::invalid_argument("a token version must be 0 to 65535");
	}
	if (options.serial) {
		state.serial = *options.serial;
	} else {
		random_bytes(state.serial);
	}
	state.st23l80_chip = options.st23l80_chip;
	for (uint8_t ref :
	     {ref::kKeyMode1, ref::kKeyMode2, ref::kKeyGroup, ref::kKey15, ref::kKey1D}) {
		random_bytes(state.keys[ref]);
	}
	state.note_policy = ref::kPin;

	if (options.trace_buffer)
		state.master_files[fid::kTraceBuffer] = Bytes(kTraceBufferSize, 0);
	if (options.version) {
		const auto version = static_cast<uint16_t>(*options.version);
		state.application_files[fid::kVersion] = {static_cast<uint8_t>(version >> 8),
		                                          static_cast<uint8_t>(version & 0xFF)};
	}
	state.application_files[fid::kPukFlag] = {0x00};
	if (options.note_file) {
		state.application_files[fid::kNote] =
		        Bytes(options.st23l80_chip ? kNoteSizeSt23l80 : kNoteSize, 0);
	}
	return state;
}

namespace {

// Room for the whole text, so that no reallocation leaves copies of keys
// behind in freed memory.
size_t serialized_size(const TokenState &state)
{
	size_t size = 4096 + state.groups.size() * 340;
	for (const auto &[ref, password] : state.passwords)
		size += 32 + 2 * password.value.size();
	for (const auto *files : {&state.master_files, &state.application_files}) {
		for (const auto &[id, content] : *files)
			size += 32 + 2 * content.size();
	}
	return size;
}

void append_secrets(std::string &out, const TokenState &state)
{
	for (const auto &[ref, password] : state.passwords) {
		out.append("password ");
		append_byte(out, ref);
		out.append(" " + std::to_string(password.tries_left) + " " +
		           std::to_string(password.max_tries) + " ");
		append_hex(out, password.value);
		out.push_back('\n');
	}
	for (const auto &[ref, key] : state.keys) {
		out.append("key ");
		append_byte(out, ref);
		out.push_back(' ');
		append_hex(out, key);
		out.push_back('\n');
	}
	if (state.ds_key) {
		out.append("dskey ");
		append_hex(out, *state.ds_key);
		out.push_back('\n');
	}
}

void append_groups(std::string &out, const TokenState &state)
{
	out.append("maxgroups " + std::to_string(state.max_groups) + "\n");
	for (const Group &group : state.groups) {
		out.append(group.admin ? "group 1 " : "group 0 ");
		append_hex(out, group.name);
		out.push_back(' ');
		append_hex(out, group.pass_phrase);
		out.push_back(' ');
		append_hex(out, group.key);
		out.push_back('\n');
	}
}

void append_files(std::string &out, const TokenState &state)
{
	const std::pair<const char *, const std::map<uint16_t, Bytes> *> dirs[] = {
	        {"mf", &state.master_files}, {"app", &state.application_files}};
	for (const auto &[dir_name, files] : dirs) {
		for (const auto &[id, content] : *files) {
			out.append("file ").append(dir_name).push_back(' ');
			append_file_id(out, id);
			out.push_back(' ');
			if (content.empty())
				out.push_back('-');
			else
				append_hex(out, content);
			out.push_back('\n');
		}
	}
}

} // namespace

// The caller wipes the text itself.
std::string serialize(const TokenState &state)
{
	std::string out;
	out.reserve(serialized_size(state));
	out.append(kFormatTag).push_back('\n');
	out.append("serial ");
	append_hex(out, state.serial);
	out.append(state.st23l80_chip ? "\nchip st23l80\n" : "\nchip other\n");
	append_secrets(out, state);
	append_groups(out, state);
	out.append("policy ");
	append_byte(out, state.note_policy);
	out.push_back('\n');
	append_files(out, state);
	if (state.pending_request) {
		out.append("request ");
		append_hex(out, state.pending_request->nonce);
		out.push_back(' ');
		append_hex(out, state.pending_request->pass_phrase);
		out.push_back('\n');
	}
	out.append(kEndLine).push_back('\n');
	return out;
}

std::optional<TokenState> deserialize(std::string_view text)
{
	Parser parser;
	size_t line_number = 0;
	// The closing line tells a whole state from one cut short at a line end.
	bool ended = false;
	while (!text.empty()) {
		const size_t newline = text.find('\n');
		if (newline == std::string_view::npos)
			break; // last line without '\n'
		const std::string_view line = text.substr(0, newline);
		text.remove_prefix(newline + 1);
		if (line_number++ == 0) {
			if (line != kFormatTag)
				break;
			continue;
		}
		if (line == kEndLine) {
			ended = true;
			break;
		}
		if (!parser.line(line))
			break;
	}
	if (!ended || !text.empty() || !parser.complete()) {
		wipe_state(parser.state());
		return std::nullopt;
	}
	return std::move(parser.state());
}

// The state goes where its name leads, checked as any output in a shared
// directory: a link or file that another user planted there is not written
// through, nor a dangling link (errno EPERM then).
bool save_state(const std::string &named, const TokenState &state)
{
	std::optional<OutputPlace> place;
	try {
		place.emplace(named);
	} catch (const OutputRefused &) {
		errno = EPERM;
		return false;
	}
	if (place->is_stream()) {
		errno = EPERM;
		return false;
	}
	const std::string path = place->dir_path() + "/" + place->name();
	std::string text = serialize(state);
	std::string temp = path + ".XXXXXX";
	// mkostemp creates the file with mode 0600: it holds keys and passwords.
	UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
	bool ok = fd.get() >= 0;
	if (ok) {
		ok = ::fchmod(fd.get(), S_IRUSR | S_IWUSR) == 0 && write_all(fd.get(), text) &&
		     ::fsync(fd.get()) == 0;
		ok = fd.reset() && ok;
		ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
		if (!ok)
			::unlink(temp.c_str());
	}
	wipe(text);
	if (!ok)
		return false;
	// The rename is only durable once the directory entry is on disk.
	UniqueFd dir(::open(place->dir_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (dir.get() >= 0)
		::fsync(dir.get());
	return true;
}

std::optional<TokenState> load_state(const std::string &path)
{
	// O_NONBLOCK: a FIFO in its place must not hold the token up
	UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
	if (fd.get() < 0)
		return std::nullopt;
	struct stat info {};
	// Only a regular file of sane size: a FIFO or device would block or never end.
	if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
	    static_cast<size_t>(info.st_size) > kMaxStateBytes) {
		return std::nullopt;
	}
	std::string text(static_cast<size_t>(info.st_size), '\0');
	size_t got = 0;
	bool ok = true;
	while (got < text.size()) {
		const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			ok = false; // the file shrank under us or could not be read
			break;
		}
		got += static_cast<size_t>(n);
	}
	std::optional<TokenState> state;
	if (ok)
		state = deserialize(text);
	wipe(text);
	return state;
}

namespace {

// save_state's temporaries are the state's name, a dot and mkostemp's six
// letters or digits; a user's file of that shape is kept unless it starts
// as a state does.
bool is_save_leftover(const std::filesystem::path &file, const std::string &prefix)
{
	const std::string name = file.filename().string();
	if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
		return false;
	if (!std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
	                 [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }))
		return false;
	struct stat info {};
	if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
		return false;
	UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
	static constexpr char kTag[] = "draxel-token ";
	char head[sizeof kTag - 1] = {};
	return fd.get() >= 0 &&
	       ::read(fd.get(), head, sizeof head) == static_cast<ssize_t>(sizeof head) &&
	       std::equal(head, head + sizeof head, kTag);
}

} // namespace

size_t remove_save_leftovers(const std::string &path)
{
	const std::string prefix = std::filesystem::path(path).filename().string() + ".";
	std::error_code error;
	size_t removed = 0;
	for (const auto &entry : std::filesystem::directory_iterator(directory_of(path), error)) {
		if (is_save_leftover(entry.path(), prefix) && ::unlink(entry.path().c_str()) == 0)
			++removed;
	}
	return removed;
}

} // namespace draxel::sim
