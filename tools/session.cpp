#include "session.h"

#include <PCSC/winscard.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "busy_watch.h"
#include "cleanup.h"
#include "safe_output.h"
#include "token_state.h"

namespace draxel::tool {
namespace {

constexpr size_t kSerialLength = 7;
constexpr int kNotePolicyPin = 1;

bool all_of(const std::string &text, int (*predicate)(int))
{
	return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
		return predicate(static_cast<unsigned char>(c)) != 0;
	});
}

std::string upper(std::string text)
{
	for (char &c : text)
		c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
	return text;
}

std::string same_file_key(const std::string &path)
{
	std::error_code ignored;
	return std::filesystem::weakly_canonical(path, ignored).string();
}

// Saves with the handled signals held back: a kill in the middle would
// leave a full copy of the state (its keys) under a temporary name.
bool save_whole(const std::string &path, const sim::TokenState &state)
{
	cleanup::SignalsHeld held;
	return sim::save_state(path, state);
}

bool issue_allowed = false;
bool issue_quietly = false;

std::string existing_state(const std::string &path)
{
	SimToken::check_state(path);
	return path;
}

sim::TokenState load_or_issue(const std::string &path)
{
	sim::remove_save_leftovers(path);
	struct stat info {};
	if (stat(path.c_str(), &info) == 0) {
		auto state = sim::load_state(path);
		// never issue over a state that does not load: it may be the only
		// copy of a token's keys
		if (!state)
			throw ToolError(Exit::kNoToken,
			                path + " is not a readable software token state");
		return std::move(*state);
	}
	if (errno != ENOENT)
		throw ToolError(Exit::kNoToken, path + ": " + strerror(errno));
	sim::TokenState state = sim::issue_token();
	if (!save_whole(path, state))
		throw ToolError(Exit::kFailure, "cannot write the software token's state to " +
		                                        path + ": " + strerror(errno));
	if (!issue_quietly)
		std::fprintf(stderr,
		             "draxel-tool: issued a new software token into %s (PIN 1234, PUK "
		             "12345678)\n",
		             escaped(path).c_str());
	return state;
}

} // namespace

StateLock::StateLock(const std::string &state_path, const Globals &globals)
{
	std::string path = state_path + ".lock";
	// the lock is created beside the state, often in /tmp: a link planted
	// there must not make the tool create or take a file elsewhere
	try {
		fd_ = sim::OutputPlace(path).open_regular(O_RDWR);
	} catch (const sim::OutputRefused &refused) {
		throw ToolError(Exit::kNoToken,
		                "cannot open " + escaped(path) + ": " + refused.reason());
	}
	if (flock(fd_, LOCK_EX | LOCK_NB) == 0)
		return;
	BusyWatch watch(globals.wait_seconds, globals.json,
	                "another program to release the software token " + state_path);
	while (flock(fd_, LOCK_EX) != 0) {
		if (errno != EINTR) {
			close(fd_);
			throw ToolError(Exit::kNoToken,
			                "cannot lock " + path + ": " + strerror(errno));
		}
	}
}

StateLock::~StateLock()
{
	if (fd_ >= 0)
		close(fd_);
}

SimToken::SimToken(const std::string &path, const Globals &globals)
    : path_(existing_state(path)), lock_(path_, globals), token_(load_or_issue(path_))
{
	// the token refuses a change it cannot keep, a wrong PIN's count above all
	token_.persist_with([this](const sim::TokenState &state) {
		if (save_whole(path_, state))
			return true;
		save_failed_ = true;
		std::fprintf(
		        stderr,
		        "draxel-tool: cannot save the software token's state to %s: %s; the token "
		        "refuses the command\n",
		        path_.c_str(), strerror(errno));
		return false;
	});
}

void SimToken::allow_issue(bool allowed, bool quietly)
{
	issue_allowed = allowed;
	issue_quietly = quietly;
}

// A mistyped path must not become a new token that enciphers what the real
// one can never decipher: only an explicit request issues one.
void SimToken::check_state(const std::string &path)
{
	struct stat info {};
	if (stat(path.c_str(), &info) == 0 || errno != ENOENT || issue_allowed)
		return;
	throw ToolError(Exit::kNoToken, "no such token state: " + path +
	                                        " (issue one with `draxel-tool --sim " + path +
	                                        " init`, or add --issue)");
}

void SimToken::check_saved() const
{
	if (save_failed_)
		throw ToolError(Exit::kFailure, "cannot save the software token's state to " +
		                                        path_ + "; the token refused the command");
}

Session::Session(Context &ctx) : ctx_(ctx) {}

Session::~Session()
{
	release_readers();
	if (context_open_)
		CloseReaderContext();
	InitLib(nullptr);
}

// A PIN verified here must not stay usable in the card after the tool ends:
// closing a reader that presented a password clears the card's security
// state, and ends the tool's hold on the token.
void Session::release_readers()
{
	for (ReaderStructPtr *slot : {&cur_context.pCurReader, &cur_context.pSecondReader}) {
		if (*slot == nullptr)
			continue;
		if (!simulated())
			CloseReader(*slot);
		FreeReaderStruct(*slot);
		*slot = nullptr;
	}
}

void Session::open_context()
{
	if (context_open_)
		return;
	unsigned long rc = OpenReaderContext(0);
	check(rc, "connecting to pcscd");
	context_open_ = true;
}

std::vector<std::string> Session::reader_names()
{
	open_context();
	unsigned long size = 0;
	unsigned long rc = ListReaders(nullptr, &size);
	if (rc == static_cast<unsigned long>(static_cast<uint32_t>(SCARD_E_NO_READERS_AVAILABLE)))
		return {};
	check(rc, "listing the readers");
	std::vector<char> list(size + 1, '\0');
	check(ListReaders(list.data(), &size), "listing the readers");
	std::vector<std::string> names;
	for (size_t at = 0; at < size && list[at] != '\0'; at += strlen(list.data() + at) + 1)
		names.emplace_back(list.data() + at);
	return names;
}

ReaderInfo Session::probe(const std::string &name)
{
	ReaderInfo info;
	info.name = name;
	ReaderStructPtr record = AllocReaderStruct(name.c_str());
	if (record == nullptr)
		throw ToolError(Exit::kFailure, "out of memory");
	info.card = OpenReader(nullptr, record, false) == 0;
	info.token = info.card && APDU_SelectApplication(record) == 0;
	BYTE serial[kSerialLength];
	if (info.token && APDU_GetSN(record, serial, sizeof serial) == 0)
		info.serial = to_hex(serial, sizeof serial);
	if (info.card)
		CloseReader(record);
	FreeReaderStruct(record);
	return info;
}

std::vector<ReaderInfo> Session::readers()
{
	if (simulated()) {
		connect();
		char serial[2 * kSerialLength + 1] = {};
		check(GetSN(serial), "reading the serial number");
		ReaderInfo token;
		token.name = "software token " + ctx_.globals.sim;
		token.card = token.token = true;
		token.serial = serial;
		return {token};
	}
	std::vector<ReaderInfo> all;
	for (const std::string &name : reader_names())
		all.push_back(probe(name));
	return all;
}

// Names and indexes change as readers come and go; a serial number does not.
std::string Session::resolve_reader(const std::string &spec)
{
	std::vector<std::string> names = reader_names();
	if (std::find(names.begin(), names.end(), spec) != names.end())
		return spec;
	if (all_of(spec, isdigit) && spec.size() < 6) {
		size_t index = std::stoul(spec);
		if (index < names.size())
			return names[index];
		throw ToolError(Exit::kNoToken, "no reader with index " + spec);
	}
	if (spec.size() == 2 * kSerialLength && all_of(spec, isxdigit)) {
		for (const std::string &name : names)
			if (probe(name).serial == upper(spec))
				return name;
		throw ToolError(Exit::kNoToken, "no token with serial number " + upper(spec));
	}
	std::vector<std::string> matches;
	for (const std::string &name : names)
		if (name.find(spec) != std::string::npos)
			matches.push_back(name);
	if (matches.size() == 1)
		return matches.front();
	if (matches.empty())
		throw ToolError(Exit::kNoToken, "no reader matches \"" + spec + "\"");
	std::string list;
	for (const std::string &name : matches)
		list += "\n  " + name;
	throw ToolError(Exit::kUsage, "\"" + spec + "\" matches several readers:" + list);
}

void Session::attach(SimToken &token)
{
	attached_.reset();
	attached_.emplace(token.card());
	InitLib(attached_->table());
}

void Session::connect()
{
	if (cur_context.pCurReader != nullptr)
		return;
	if (simulated()) {
		if (!ctx_.globals.reader.empty())
			throw ToolError(Exit::kUsage, "--reader and --sim exclude each other");
		sim_ = std::make_unique<SimToken>(ctx_.globals.sim, ctx_.globals);
		attach(*sim_);
		check(ConnectToMekta(false), "connecting to the software token");
		return;
	}
	InitLib(nullptr);
	BusyWatch watch(ctx_.globals.wait_seconds, ctx_.globals.json,
	                "another program to release the token");
	connect_card();
	take({cur_context.pCurReader});
}

void Session::connect_card()
{
	if (ctx_.globals.reader.empty()) {
		// a token found among several would be a guess
		check(ConnectToMekta(true), "connecting to the token");
		return;
	}
	std::string name = resolve_reader(ctx_.globals.reader);
	if (SelectReader(name.c_str()) != 0)
		throw ToolError(Exit::kNoToken, "no card in the reader \"" + name + "\"");
	if (APDU_SelectApplication(cur_context.pCurReader) != 0)
		throw ToolError(Exit::kNoToken, "the card in \"" + name + "\" is not a token");
}

// The tool keeps its tokens to itself from here until it closes them, so
// that no other program's command comes between its own. Two tokens are
// taken in the order of their readers' names, as the library takes them,
// so that two copies in opposite directions cannot wait on each other.
void Session::take(std::vector<ReaderStructPtr> records)
{
	if (records.size() > 1) {
		std::vector<std::string> names = reader_names();
		auto name_of = [&](ReaderStructPtr record) {
			for (const std::string &name : names)
				if (IsCurrentReader(record, name.c_str()))
					return name;
			return std::string();
		};
		std::sort(records.begin(), records.end(),
		          [&](ReaderStructPtr a, ReaderStructPtr b) {
			          return name_of(a) < name_of(b);
		          });
	}
	ReaderStructPtr current = cur_context.pCurReader;
	for (ReaderStructPtr record : records) {
		// the extension works on the current reader
		cur_context.pCurReader = record;
		unsigned long rc = BeginTokenTransaction();
		cur_context.pCurReader = current;
		check(rc, "taking the token");
	}
}

void Session::connect_second()
{
	connect();
	const std::string &second = ctx_.globals.second_reader;
	if (simulated()) {
		if (second.empty())
			throw ToolError(Exit::kUsage, "with --sim, name the second software "
			                              "token's state file with --second-reader");
		if (same_file_key(second) == same_file_key(ctx_.globals.sim))
			throw ToolError(Exit::kUsage, "the second token is the first one");
		second_sim_ = std::make_unique<SimToken>(second, ctx_.globals);
		return;
	}
	// the first token is let go and both are taken again, in order
	EndTokenTransaction();
	BusyWatch watch(ctx_.globals.wait_seconds, ctx_.globals.json,
	                "other programs to release the tokens");
	connect_second_card(second);
	take({cur_context.pCurReader, cur_context.pSecondReader});
}

void Session::connect_second_card(const std::string &second)
{
	if (second.empty()) {
		check(ConnectToSecondMekta(), "connecting to the second token");
		return;
	}
	std::string name = resolve_reader(second);
	if (IsCurrentReader(cur_context.pCurReader, name.c_str()))
		throw ToolError(Exit::kUsage, "the second reader is the first one");
	ReaderStructPtr record = AllocReaderStruct(name.c_str());
	if (record == nullptr)
		throw ToolError(Exit::kFailure, "out of memory");
	cur_context.pSecondReader = record;
	if (OpenReader(nullptr, record, false) != 0)
		throw ToolError(Exit::kNoToken, "no card in the reader \"" + name + "\"");
	if (APDU_SelectApplication(record) != 0)
		throw ToolError(Exit::kNoToken, "the card in \"" + name + "\" is not a token");
}

void Session::use_first()
{
	if (sim_)
		attach(*sim_);
}

void Session::use_second()
{
	if (second_sim_)
		attach(*second_sim_);
}

int Session::version()
{
	if (!version_) {
		int ver = 0;
		check(GetCardVer(&ver), "reading the token's version");
		version_ = ver;
	}
	return *version_;
}

void Session::verify(SecretKind kind)
{
	auto secret = ctx_.secrets.get(kind);
	switch (kind) {
	case SecretKind::kPin:
		check(VerifyPIN(secret->c_str(), false), "verifying the PIN");
		break;
	case SecretKind::kPuk:
		check(VerifyPUK(secret->c_str()), "verifying the PUK");
		break;
	case SecretKind::kErasePas:
		check(VerifyErasePas(secret->c_str()), "verifying the erase password");
		break;
	case SecretKind::kNotePas:
		check(VerifyNotePas(secret->c_str(), false), "verifying the note password");
		break;
	default:
		throw ToolError(Exit::kFailure, "this password cannot be verified on its own");
	}
}

void Session::verify_note_password()
{
	int size = 0;
	int policy = 0;
	check(GetNoteInf(&size, &policy, version(), false), "reading the note's policy");
	verify(policy == kNotePolicyPin ? SecretKind::kPin : SecretKind::kNotePas);
}

void Session::finish()
{
	if (sim_)
		sim_->check_saved();
	if (second_sim_)
		second_sim_->check_saved();
}

} // namespace draxel::tool
