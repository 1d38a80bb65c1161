#include "token.h"

#include <algorithm>
#include <cstring>

namespace draxel::sim {
namespace {

namespace status = sw;

constexpr uint8_t kChaining = 0x10;
constexpr uint8_t kFastMode = 0x10;
constexpr size_t kCryptogramLen = 36;
constexpr size_t kListEntriesPerAnswer = 3;
constexpr size_t kReadChunk = 240;
constexpr size_t kPieceLen = 200;
constexpr size_t kMaxImport = 16384;
constexpr size_t kMinPassword = 4;
constexpr size_t kMaxPassword = 64;
constexpr uint8_t kLabelSession = 0x53;
constexpr uint8_t kLabelRequest = 0x52;
constexpr uint8_t kLabelInvite = 0x49;
constexpr uint8_t kLabelDuplicate = 0x44;
constexpr uint8_t kAttributeAdmin = 0x01;

const uint8_t kAid[] = {'M', 'E', 'K', 'T', 'A', '_', 'P', 'S', 'C', 'H'};

bool is_password(uint8_t reference)
{
	switch (reference) {
	case ref::kKeyLoad:
	case ref::kPin:
	case ref::kPuk:
	case ref::kErase:
	case ref::kNote:
	case ref::kFileCreation:
		return true;
	default:
		return false;
	}
}

bool is_key(uint8_t reference)
{
	switch (reference) {
	case ref::kKeyMode1:
	case ref::kKeyMode2:
	case ref::kKeyGroup:
	case ref::kKey15:
	case ref::kKey1D:
		return true;
	default:
		return false;
	}
}

uint8_t key_of_mode(uint8_t mode)
{
	static const uint8_t keys[] = {0, ref::kKeyMode1, ref::kKeyMode2, ref::kKeyGroup};
	return mode < 4 ? keys[mode] : 0;
}

bool equal_in_constant_time(std::span<const uint8_t> a, std::span<const uint8_t> b)
{
	if (a.size() != b.size())
		return false;
	uint8_t diff = 0;
	for (size_t i = 0; i < a.size(); ++i)
		diff |= static_cast<uint8_t>(a[i] ^ b[i]);
	return diff == 0;
}

Field to_field(std::span<const uint8_t> text)
{
	Field field{};
	std::copy_n(text.begin(), std::min(text.size(), field.size()), field.begin());
	return field;
}

uint16_t be16(std::span<const uint8_t> bytes)
{
	return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

void put_be16(Bytes &out, size_t value)
{
	out.push_back(static_cast<uint8_t>(value >> 8));
	out.push_back(static_cast<uint8_t>(value));
}

// The duplicate payload: tag, two length bytes, value; one item per secret.
enum DuplicateTag : uint8_t { kTagKey = 1, kTagPassword, kTagGroup, kTagPolicy, kTagDsKey };

void put_item(Bytes &out, uint8_t tag, std::span<const uint8_t> value)
{
	out.push_back(tag);
	put_be16(out, value.size());
	out.insert(out.end(), value.begin(), value.end());
}

} // namespace

Token::Token(TokenState state) : state_(std::move(state)) {}

Token::~Token()
{
	end_session();
	wipe_state(state_);
}

const Token::Route Token::kRoutes[] = {
        {0x00, 0xA4, &Token::select, false},
        {0x00, 0xB0, &Token::read_binary, false},
        {0x00, 0xB1, &Token::read_binary, false},
        {0x00, 0xD6, &Token::update_binary, true},
        {0x00, 0xD7, &Token::update_binary, true},
        {0x00, 0xE0, &Token::create_file, true},
        {0x00, 0x84, &Token::get_challenge, false},
        {0x80, 0xFE, &Token::identity, false},
        {0x00, 0x20, &Token::verify, true},
        {0x00, 0x24, &Token::change_reference_data, true},
        {0x00, 0x2C, &Token::reset_retry_counter, true},
        {0x00, 0x22, &Token::manage_security_environment, false},
        {0x80, 0x36, &Token::session_key, false},
        {0x00, 0x2A, &Token::perform_security_operation, false},
        {0x80, 0x3A, &Token::group_command, true},
        {0x80, 0x3C, &Token::join_command, true},
        {0x80, 0x34, &Token::duplicate, true},
        {0x80, 0x38, &Token::erase_command, true},
        {0x80, 0x32, &Token::note_policy, true},
};

std::vector<uint8_t> Token::process(std::span<const uint8_t> apdu)
{
	auto cmd = parse_command(apdu);
	if (!cmd)
		return status_only(status::kWrongLength);
	bool changed = false;
	Reply reply = dispatch(*cmd, changed);
	std::vector<uint8_t> response = std::move(reply.data);
	append_status(response, reply.sw);
	if (changed && on_change_)
		on_change_(state_);
	return response;
}

Token::Reply Token::dispatch(const CommandApdu &cmd, bool &changed)
{
	const uint8_t cla = cmd.cla & static_cast<uint8_t>(~kChaining);
	if (cla != 0x00 && cla != 0x80)
		return {status::kClaNotSupported, {}};
	bool listing = cmd.ins == 0x3A && (cmd.cla & kChaining) != 0;
	if (!listing)
		session_.group_list_position = 0;
	if (!(cmd.ins == 0x34 && cmd.p1 == 0x01)) { // an export is read in one run
		session_.duplicate_out.clear();
		session_.duplicate_out_started = false;
	}
	for (const Route &route : kRoutes) {
		if (route.cla != cla || route.ins != cmd.ins)
			continue;
		// VERIFY makes its counter durable itself, before it compares
		if (!route.changes_state || cmd.ins == 0x20) {
			Reply reply = (this->*route.handler)(cmd);
			changed = cmd.ins == 0x20 && reply.sw != status::kMemoryFailure &&
			          (reply.sw == status::kOk ||
			           (reply.sw & 0xFFF0) == status::kWrongCryptogram);
			return reply;
		}
		return run_durably(route.handler, cmd, changed);
	}
	return {status::kInsNotSupported, {}};
}

// A change the state file cannot keep is undone: the token after a failed
// save is the token on disk.
Token::Reply Token::run_durably(Handler handler, const CommandApdu &cmd, bool &changed)
{
	std::optional<TokenState> before;
	if (persist_)
		before = state_;
	Reply reply = (this->*handler)(cmd);
	// a command that only read (a policy, a group list) writes nothing: on
	// a full disk it must still work
	changed = reply.sw == status::kOk && !(before && *before == state_);
	if (changed && !made_durable()) {
		wipe_state(state_);
		state_ = std::move(*before);
		wipe(reply.data);
		changed = false;
		return {status::kMemoryFailure, {}};
	}
	if (before)
		wipe_state(*before);
	return reply;
}

bool Token::made_durable()
{
	return !persist_ || persist_(state_);
}

void Token::power_off()
{
	end_session();
}

void Token::reset()
{
	end_session();
}

void Token::end_session()
{
	if (session_.session_key)
		wipe(*session_.session_key);
	// the export in progress and the import so far are sealed, but a session
	// leaves nothing behind
	for (Bytes &piece : session_.duplicate_out)
		wipe(piece);
	wipe(session_.duplicate_in);
	session_ = Session{};
}

int Token::version() const
{
	auto it = state_.application_files.find(fid::kVersion);
	if (it == state_.application_files.end() || it->second.size() < 2)
		return 0;
	return be16(it->second);
}

bool Token::verified(uint8_t reference) const
{
	return std::find(session_.verified.begin(), session_.verified.end(), reference) !=
	       session_.verified.end();
}

// ---- file system ---------------------------------------------------------

std::map<uint16_t, Bytes> &Token::current_directory()
{
	return session_.dir == Dir::kMaster ? state_.master_files : state_.application_files;
}

Bytes *Token::selected_file()
{
	if (!session_.file)
		return nullptr;
	auto &dir = current_directory();
	auto it = dir.find(*session_.file);
	return it == dir.end() ? nullptr : &it->second;
}

Token::Reply Token::select(const CommandApdu &cmd)
{
	if (cmd.p1 == 0x04) {
		if (!std::equal(cmd.data.begin(), cmd.data.end(), std::begin(kAid), std::end(kAid)))
			return {status::kFileNotFound, {}};
		session_.dir = Dir::kApplication;
		session_.file.reset();
		return {};
	}
	if (cmd.p1 != 0x00)
		return {status::kIncorrectP1P2, {}};
	if (cmd.data.size() != 2)
		return {status::kWrongLength, {}};
	uint16_t id = be16(cmd.data);
	if (id == fid::kMaster) {
		session_.dir = Dir::kMaster;
		session_.file.reset();
		return {};
	}
	auto &dir = current_directory();
	auto it = dir.find(id);
	if (it == dir.end())
		return {status::kFileNotFound, {}};
	session_.file = id;
	if (cmd.p2 == 0x0C)
		return {};
	Bytes fcp = {0x62, 0x0C, 0x80, 0x02};
	put_be16(fcp, it->second.size());
	fcp.insert(fcp.end(), {0x82, 0x01, 0x01, 0x83, 0x02});
	put_be16(fcp, id);
	return {status::kOk, fcp};
}

bool Token::may_read(uint16_t file) const
{
	if (session_.dir == Dir::kApplication && file == fid::kNote)
		return verified(state_.note_policy);
	return true;
}

bool Token::may_write(uint16_t file) const
{
	if (session_.dir == Dir::kMaster)
		return true; // the trace buffer
	switch (file) {
	case fid::kNote:
		return verified(state_.note_policy);
	case fid::kVersion:
		return verified(ref::kFileCreation);
	case fid::kPukFlag:
		return verified(ref::kPuk);
	default:
		return false;
	}
}

// The offset of the odd-INS forms: the data object 54 02 HI LO.
static std::optional<size_t> offset_object(std::span<const uint8_t> data)
{
	if (data.size() < 4 || data[0] != 0x54 || data[1] != 0x02)
		return std::nullopt;
	return be16(data.subspan(2, 2));
}

Token::Reply Token::read_binary(const CommandApdu &cmd)
{
	Bytes *file = selected_file();
	if (file == nullptr)
		return {status::kNoCurrentFile, {}};
	if (!may_read(*session_.file))
		return {status::kSecurityNotSatisfied, {}};
	bool odd = (cmd.ins & 1) != 0;
	std::optional<size_t> offset =
	        odd ? offset_object(cmd.data) : std::optional<size_t>(be16(std::span(&cmd.p1, 2)));
	if (!offset || (odd && cmd.data.size() != 4))
		return {status::kWrongData, {}};
	if (*offset >= file->size())
		return {status::kOutsideFile, {}};
	size_t left = file->size() - *offset;
	if (!odd) {
		size_t wanted = cmd.ne == 0 ? 256 : cmd.ne;
		auto begin = file->begin() + static_cast<std::ptrdiff_t>(*offset);
		return {status::kOk,
		        Bytes(begin, begin + static_cast<std::ptrdiff_t>(std::min(wanted, left)))};
	}
	size_t n = std::min(left, kReadChunk);
	Bytes reply = {0x53};
	if (n >= 0x80)
		reply.push_back(0x81);
	reply.push_back(static_cast<uint8_t>(n));
	auto begin = file->begin() + static_cast<std::ptrdiff_t>(*offset);
	reply.insert(reply.end(), begin, begin + static_cast<std::ptrdiff_t>(n));
	return {status::kOk, reply};
}

Token::Reply Token::update_binary(const CommandApdu &cmd)
{
	Bytes *file = selected_file();
	if (file == nullptr)
		return {status::kNoCurrentFile, {}};
	if (!may_write(*session_.file))
		return {status::kSecurityNotSatisfied, {}};
	size_t offset;
	std::span<const uint8_t> bytes;
	if ((cmd.ins & 1) != 0) {
		auto at = offset_object(cmd.data);
		auto rest = cmd.data.size() >= 6 ? cmd.data.subspan(4) : std::span<const uint8_t>();
		if (!at || rest.size() < 2 || rest[0] != 0x53)
			return {status::kWrongData, {}};
		size_t head = rest[1] == 0x81 ? 3 : 2;
		if (rest.size() < head)
			return {status::kWrongData, {}};
		size_t len = rest[head - 1];
		if ((head == 2 && len >= 0x80) || rest.size() != head + len)
			return {status::kWrongData, {}};
		offset = *at;
		bytes = rest.subspan(head);
	} else {
		offset = be16(std::span(&cmd.p1, 2));
		bytes = cmd.data;
	}
	if (offset >= file->size())
		return {status::kOutsideFile, {}};
	if (bytes.size() > file->size() - offset)
		return {status::kWrongLength, {}};
	std::copy(bytes.begin(), bytes.end(), file->begin() + static_cast<std::ptrdiff_t>(offset));
	return {};
}

Token::Reply Token::create_file(const CommandApdu &cmd)
{
	if (!verified(ref::kFileCreation))
		return {status::kSecurityNotSatisfied, {}};
	auto d = cmd.data;
	if (d.size() != 21 || d[0] != 0x62 || d[1] != 0x13 || d[2] != 0x80 || d[3] != 0x02 ||
	    d[6] != 0x82 || d[9] != 0x83 || d[10] != 0x02 || d[13] != 0x86 || d[14] != 0x06)
		return {status::kWrongData, {}};
	uint16_t size = be16(d.subspan(4, 2));
	uint16_t id = be16(d.subspan(11, 2));
	auto &dir = current_directory();
	if (dir.count(id) != 0)
		return {status::kFileExists, {}};
	dir[id] = Bytes(size, 0);
	session_.file = id;
	return {};
}

Token::Reply Token::get_challenge(const CommandApdu &cmd)
{
	if (cmd.p1 != 0 || cmd.p2 != 0)
		return {status::kIncorrectP1P2, {}};
	Bytes random(cmd.ne == 0 ? 256 : cmd.ne);
	random_bytes(random);
	return {status::kOk, random};
}

Token::Reply Token::identity(const CommandApdu &cmd)
{
	if (cmd.p1 == 0x06)
		return {status::kOk, Bytes(state_.serial.begin(), state_.serial.end())};
	if (cmd.p1 != 0x00)
		return {status::kIncorrectP1P2, {}};
	const char *chip = state_.st23l80_chip ? "ST23L80" : "SIMTOKN";
	Bytes model = {0x80, 0x07};
	model.insert(model.end(), chip, chip + 7);
	model.insert(model.end(), {0x81, 0x01, 0x01});
	return {status::kOk, model};
}

// ---- credentials -----------------------------------------------------------

Token::Reply Token::verify(const CommandApdu &cmd)
{
	auto it = state_.passwords.find(cmd.p2);
	if (cmd.p1 != 0x00)
		return {status::kIncorrectP1P2, {}};
	if (it == state_.passwords.end())
		return {status::kNotFound, {}};
	Password &password = it->second;
	if (password.tries_left == 0)
		return {status::kBlocked, {}};
	if (cmd.data.empty()) {
		if (verified(cmd.p2))
			return {};
		return {static_cast<uint16_t>(status::kWrongCryptogram | password.tries_left), {}};
	}
	if (cmd.data.size() < kMinPassword || cmd.data.size() > kMaxPassword)
		return {status::kWrongLength, {}};
	std::erase(session_.verified, cmd.p2);
	// The attempt is counted, durably, before the comparison: an answer never
	// leaves the token for an attempt that a failed save or a kill could undo.
	const uint8_t tries_before = password.tries_left;
	--password.tries_left;
	if (!made_durable()) {
		password.tries_left = tries_before;
		return {status::kMemoryFailure, {}};
	}
	if (!equal_in_constant_time(cmd.data, password.value))
		return {static_cast<uint16_t>(status::kWrongCryptogram | password.tries_left), {}};
	const uint8_t tries_counted = password.tries_left;
	password.tries_left = password.max_tries;
	if (!made_durable()) {
		password.tries_left = tries_counted;
		return {status::kMemoryFailure, {}};
	}
	session_.verified.push_back(cmd.p2);
	return {};
}

Token::Reply Token::change_reference_data(const CommandApdu &cmd)
{
	if (cmd.p1 != 0x01)
		return {status::kIncorrectP1P2, {}};
	if (is_key(cmd.p2)) {
		if (!verified(ref::kKeyLoad))
			return {status::kSecurityNotSatisfied, {}};
		if (cmd.data.size() != 32)
			return {status::kWrongLength, {}};
		std::copy(cmd.data.begin(), cmd.data.end(), state_.keys[cmd.p2].begin());
		return {};
	}
	auto it = state_.passwords.find(cmd.p2);
	if (it == state_.passwords.end())
		return {status::kNotFound, {}};
	if (!verified(cmd.p2) && !verified(ref::kPuk))
		return {status::kSecurityNotSatisfied, {}};
	if (cmd.data.size() < kMinPassword || cmd.data.size() > kMaxPassword)
		return {status::kWrongLength, {}};
	wipe(it->second.value);
	it->second.value.assign(cmd.data.begin(), cmd.data.end());
	it->second.tries_left = it->second.max_tries;
	return {};
}

Token::Reply Token::reset_retry_counter(const CommandApdu &cmd)
{
	if (cmd.p1 != 0x03)
		return {status::kIncorrectP1P2, {}};
	auto it = state_.passwords.find(cmd.p2);
	if (it == state_.passwords.end())
		return {status::kNotFound, {}};
	if (!verified(ref::kPuk))
		return {status::kSecurityNotSatisfied, {}};
	it->second.tries_left = it->second.max_tries;
	return {};
}

// ---- ciphers ---------------------------------------------------------------

void Token::drop_session_key()
{
	if (session_.session_key)
		wipe(*session_.session_key);
	session_.session_key.reset();
	session_.stream.stop();
}

Token::Reply Token::manage_security_environment(const CommandApdu &cmd)
{
	if (cmd.p1 == 0xF3) {
		session_.key_ref.reset();
		session_.group.reset();
		drop_session_key();
		return {};
	}
	if (cmd.p1 != 0xC1 || cmd.p2 != 0xB8)
		return {status::kIncorrectP1P2, {}};
	auto d = cmd.data;
	if (d.size() != 6 || d[0] != 0x83 || d[1] != 0x01 || d[3] != 0x8C || d[4] != 0x01)
		return {status::kWrongData, {}};
	if (d[2] != ref::kKeyMode1 && d[2] != ref::kKeyMode2 && d[2] != ref::kKeyGroup)
		return {status::kNotFound, {}};
	session_.key_ref = d[2];
	drop_session_key();
	return {};
}

// The key that wraps session keys of this mode: the token's key bound to the
// pass phrase, or in group mode the group's key once the phrase matched.
std::optional<Key> Token::mode_key(uint8_t mode, std::span<const uint8_t> phrase, uint16_t &refusal)
{
	Bytes context = {*session_.key_ref, mode};
	if (mode != 3) {
		context.insert(context.end(), phrase.begin(), phrase.end());
		Key kek = derive_key(state_.keys[*session_.key_ref], kLabelSession, context);
		wipe(context);
		return kek;
	}
	if (!session_.group) {
		refusal = status::kConditionsNotSatisfied;
		return std::nullopt;
	}
	const Group &group = state_.groups[*session_.group];
	Field given = to_field(phrase);
	const bool same = phrase.size() <= group.pass_phrase.size() &&
	                  equal_in_constant_time(given, group.pass_phrase);
	wipe(given);
	if (!same) {
		refusal = status::kWrongCryptogram;
		return std::nullopt;
	}
	return derive_key(group.key, kLabelSession, context);
}

Token::Reply Token::session_key(const CommandApdu &cmd)
{
	if (!verified(ref::kPin))
		return {status::kSecurityNotSatisfied, {}};
	if (!session_.key_ref)
		return {status::kConditionsNotSatisfied, {}};
	const uint8_t mode = cmd.p2 & 0x0F;
	const bool fast = (cmd.p2 & kFastMode) != 0;
	if ((cmd.p2 & 0xE0) != 0 || mode < 1 || mode > 3 || (fast && mode == 3) ||
	    (cmd.p1 != 0x01 && cmd.p1 != 0x02))
		return {status::kIncorrectP1P2, {}};
	if (key_of_mode(mode) != *session_.key_ref)
		return {status::kConditionsNotSatisfied, {}};
	const bool generate = cmd.p1 == 0x01;
	if (!generate && cmd.data.size() < kCryptogramLen)
		return {status::kWrongLength, {}};
	auto phrase = generate ? cmd.data : cmd.data.first(cmd.data.size() - kCryptogramLen);

	uint16_t refusal = status::kOk;
	std::optional<Key> kek = mode_key(mode, phrase, refusal);
	if (!kek)
		return {refusal, {}};
	drop_session_key();
	Reply reply;
	if (generate) {
		Key fresh{};
		random_bytes(fresh);
		session_.session_key = fresh;
		reply.data = seal_session_key(*kek, fresh);
		wipe(fresh);
	} else {
		session_.session_key = open_session_key(*kek, cmd.data.last(kCryptogramLen));
	}
	wipe(*kek);
	if (!session_.session_key)
		return {status::kWrongCryptogram, {}};
	if (fast)
		reply.data.insert(reply.data.end(), session_.session_key->begin(),
		                  session_.session_key->end());
	session_.stream.start(*session_.session_key);
	return reply;
}

Token::Reply Token::perform_security_operation(const CommandApdu &cmd)
{
	if (!verified(ref::kPin))
		return {status::kSecurityNotSatisfied, {}};
	if (!session_.stream.active())
		return {status::kConditionsNotSatisfied, {}};
	const bool last = (cmd.cla & kChaining) == 0;
	Reply reply;
	if (cmd.p1 == 0x86 && cmd.p2 == 0x80) {
		reply.data = {0x02};
		reply.data.insert(reply.data.end(), cmd.data.begin(), cmd.data.end());
		session_.stream.encrypt(std::span(reply.data).subspan(1));
	} else if (cmd.p1 == 0x80 && cmd.p2 == 0x86) {
		if (cmd.data.empty() || cmd.data[0] != 0x02)
			return {status::kWrongData, {}};
		reply.data.assign(cmd.data.begin() + 1, cmd.data.end());
		session_.stream.decrypt(reply.data);
	} else {
		return {status::kIncorrectP1P2, {}};
	}
	if (last)
		drop_session_key(); // a chain never reuses its key stream
	return reply;
}

// ---- groups ----------------------------------------------------------------

Group *Token::find_group(std::span<const uint8_t> name)
{
	Field wanted = to_field(name);
	for (Group &group : state_.groups)
		if (group.name == wanted)
			return &group;
	return nullptr;
}

Token::Reply Token::list_groups(const CommandApdu &cmd)
{
	if (cmd.p1 == 0x06 && version() <= 2)
		return {status::kIncorrectP1P2, {}};
	if (cmd.p1 != 0x05 && cmd.p1 != 0x06)
		return {status::kIncorrectP1P2, {}};
	Reply reply;
	size_t &position = session_.group_list_position;
	for (size_t n = 0; n < kListEntriesPerAnswer && position < state_.groups.size();
	     ++n, ++position) {
		const Group &group = state_.groups[position];
		reply.data.insert(reply.data.end(), group.name.begin(), group.name.end());
		reply.data.push_back(group.admin ? kAttributeAdmin : 0x00);
	}
	if (reply.data.empty())
		position = 0; // the list ended; the next one starts over
	return reply;
}

Token::Reply Token::group_command(const CommandApdu &cmd)
{
	if ((cmd.cla & kChaining) != 0)
		return list_groups(cmd);
	const bool two_fields = cmd.p1 == 0x01 || cmd.p1 == 0x03 || cmd.p1 == 0x05;
	if (cmd.p1 < 0x01 || cmd.p1 > 0x05)
		return {status::kIncorrectP1P2, {}};
	if (cmd.data.size() != (two_fields ? 128u : 64u))
		return {status::kWrongLength, {}};
	auto first = cmd.data.first(64);
	auto second = two_fields ? cmd.data.subspan(64) : std::span<const uint8_t>();
	if (cmd.p1 == 0x04) { // select: part of every group encryption
		Group *group = find_group(first);
		if (group == nullptr)
			return {status::kNotFound, {}};
		session_.group = static_cast<size_t>(group - state_.groups.data());
		return {};
	}
	if (!verified(ref::kPin))
		return {status::kSecurityNotSatisfied, {}};
	Group *group = find_group(first);
	switch (cmd.p1) {
	case 0x01: {
		if (group != nullptr)
			return {status::kExists, {}};
		if (state_.groups.size() >= state_.max_groups)
			return {status::kNoRoom, {}};
		Group fresh;
		fresh.name = to_field(first);
		fresh.pass_phrase = to_field(second);
		random_bytes(fresh.key);
		fresh.admin = true;
		state_.groups.push_back(fresh);
		wipe(fresh.key);
		wipe(fresh.pass_phrase);
		return {};
	}
	case 0x02:
		if (group == nullptr)
			return {status::kNotFound, {}};
		wipe(group->key);
		wipe(group->pass_phrase);
		state_.groups.erase(state_.groups.begin() + (group - state_.groups.data()));
		session_.group.reset();
		return {};
	case 0x03:
		if (group == nullptr)
			return {status::kNotFound, {}};
		if (find_group(second) != nullptr)
			return {status::kExists, {}};
		group->name = to_field(second);
		return {};
	default: // 0x05, a new pass phrase
		if (group == nullptr)
			return {status::kNotFound, {}};
		if (!group->admin)
			return {status::kConditionsNotSatisfied, {}};
		group->pass_phrase = to_field(second);
		return {};
	}
}

Token::Reply Token::join_command(const CommandApdu &cmd)
{
	if (!verified(ref::kPin))
		return {status::kSecurityNotSatisfied, {}};
	Key request_key = derive_key(issuer_key(), kLabelRequest, {});
	Key invite_key = derive_key(issuer_key(), kLabelInvite, {});
	Reply reply = join_step(cmd, request_key, invite_key);
	wipe(request_key);
	wipe(invite_key);
	return reply;
}

Token::Reply Token::join_step(const CommandApdu &cmd, const Key &request_key, const Key &invite_key)
{
	switch (cmd.p1) {
	case 0x01: { // request, on the joining token
		if (cmd.data.size() != 64)
			return {status::kWrongLength, {}};
		PendingRequest pending;
		random_bytes(pending.nonce);
		pending.pass_phrase = to_field(cmd.data);
		Bytes inner = {0x01};
		inner.insert(inner.end(), state_.serial.begin(), state_.serial.end());
		inner.insert(inner.end(), pending.nonce.begin(), pending.nonce.end());
		state_.pending_request = pending;
		wipe(pending.pass_phrase);
		Reply reply{status::kOk, seal_box(request_key, inner)};
		wipe(inner);
		return reply;
	}
	case 0x02: { // invite, on the group's administrator
		if (!session_.group)
			return {status::kNotFound, {}};
		Group &group = state_.groups[*session_.group];
		if (!group.admin)
			return {status::kConditionsNotSatisfied, {}};
		auto request = open_box(request_key, cmd.data);
		if (!request || request->size() != 24 || (*request)[0] != 0x01) {
			if (request)
				wipe(*request);
			return {status::kWrongData, {}};
		}
		Bytes inner = {0x02};
		inner.insert(inner.end(), request->begin() + 8, request->end());
		wipe(*request);
		inner.insert(inner.end(), group.key.begin(), group.key.end());
		Reply reply{status::kOk, seal_box(invite_key, inner)};
		wipe(inner);
		return reply;
	}
	case 0x03:
		return accept_invite(cmd, invite_key);
	default:
		return {status::kIncorrectP1P2, {}};
	}
}

Token::Reply Token::accept_invite(const CommandApdu &cmd, const Key &invite_key)
{
	if (cmd.data.size() <= 128)
		return {status::kWrongLength, {}};
	if (!state_.pending_request)
		return {status::kConditionsNotSatisfied, {}};
	auto invite = open_box(invite_key, cmd.data.first(cmd.data.size() - 128));
	auto name = cmd.data.last(128).first(64);
	auto phrase = cmd.data.last(64);
	const PendingRequest &pending = *state_.pending_request;
	// the invitation carries the group's key: it goes, whatever the answer
	WipeOnExit wipe_invite(invite);
	if (!invite || invite->size() != 49 || (*invite)[0] != 0x02 ||
	    !std::equal(pending.nonce.begin(), pending.nonce.end(), invite->begin() + 1))
		return {status::kWrongData, {}};
	if (!equal_in_constant_time(phrase, pending.pass_phrase))
		return {status::kWrongCryptogram, {}};
	if (find_group(name) != nullptr)
		return {status::kExists, {}};
	if (state_.groups.size() >= state_.max_groups)
		return {status::kNoRoom, {}};
	Group joined;
	joined.name = to_field(name);
	joined.pass_phrase = pending.pass_phrase;
	std::copy_n(invite->begin() + 17, 32, joined.key.begin());
	state_.groups.push_back(joined);
	wipe(joined.key);
	wipe(joined.pass_phrase);
	wipe(state_.pending_request->pass_phrase);
	wipe(state_.pending_request->nonce);
	state_.pending_request.reset();
	return {};
}

// ---- maintenance -----------------------------------------------------------

Bytes Token::duplicate_payload() const
{
	Bytes payload;
	for (const auto &[reference, key] : state_.keys) {
		Bytes item = {reference};
		item.insert(item.end(), key.begin(), key.end());
		put_item(payload, kTagKey, item);
		wipe(item);
	}
	for (const auto &[reference, password] : state_.passwords) {
		Bytes item = {reference, password.max_tries};
		item.insert(item.end(), password.value.begin(), password.value.end());
		put_item(payload, kTagPassword, item);
		wipe(item);
	}
	for (const Group &group : state_.groups) {
		Bytes item = {static_cast<uint8_t>(group.admin)};
		item.insert(item.end(), group.name.begin(), group.name.end());
		item.insert(item.end(), group.pass_phrase.begin(), group.pass_phrase.end());
		item.insert(item.end(), group.key.begin(), group.key.end());
		put_item(payload, kTagGroup, item);
		wipe(item);
	}
	if (state_.ds_key)
		put_item(payload, kTagDsKey, *state_.ds_key);
	put_item(payload, kTagPolicy, std::span(&state_.note_policy, 1));
	return payload;
}

bool Token::apply_duplicate(std::span<const uint8_t> payload)
{
	TokenState copy = state_;
	// the copy holds every key: whichever state is dropped is wiped first
	struct Wiper {
		TokenState &state;
		~Wiper() { wipe_state(state); }
	} wiper{copy};
	for (Group &group : copy.groups) {
		wipe(group.key);
		wipe(group.pass_phrase);
	}
	copy.groups.clear();
	if (copy.ds_key)
		wipe(*copy.ds_key);
	copy.ds_key.reset();
	while (!payload.empty()) {
		if (payload.size() < 3)
			return false;
		uint8_t tag = payload[0];
		size_t len = be16(payload.subspan(1, 2));
		if (payload.size() < 3 + len)
			return false;
		auto value = payload.subspan(3, len);
		payload = payload.subspan(3 + len);
		if (tag == kTagKey && len == 33 && is_key(value[0])) {
			std::copy_n(value.begin() + 1, 32, copy.keys[value[0]].begin());
		} else if (tag == kTagPassword && len >= 2 + kMinPassword &&
		           len <= 2 + kMaxPassword && is_password(value[0])) {
			Password &password = copy.passwords[value[0]];
			password.max_tries = value[1];
			password.tries_left = value[1];
			wipe(password.value);
			password.value.assign(value.begin() + 2, value.end());
		} else if (tag == kTagGroup && len == 1 + 64 + 64 + 32 &&
		           copy.groups.size() < copy.max_groups) {
			Group group;
			group.admin = value[0] != 0;
			std::copy_n(value.begin() + 1, 64, group.name.begin());
			std::copy_n(value.begin() + 65, 64, group.pass_phrase.begin());
			std::copy_n(value.begin() + 129, 32, group.key.begin());
			copy.groups.push_back(group);
			wipe(group.key);
			wipe(group.pass_phrase);
		} else if (tag == kTagDsKey && len == 32) {
			copy.ds_key.emplace();
			std::copy_n(value.begin(), 32, copy.ds_key->begin());
		} else if (tag == kTagPolicy && len == 1 &&
		           (value[0] == ref::kPin || value[0] == ref::kNote)) {
			copy.note_policy = value[0];
		} else {
			return false;
		}
	}
	std::swap(state_, copy); // the old state is wiped with the copy
	return true;
}

Token::Reply Token::duplicate(const CommandApdu &cmd)
{
	if (!verified(ref::kPuk))
		return {status::kSecurityNotSatisfied, {}};
	Key duplicate_key = derive_key(issuer_key(), kLabelDuplicate, {});
	Reply reply = duplicate_step(cmd, duplicate_key);
	wipe(duplicate_key);
	return reply;
}

Token::Reply Token::duplicate_step(const CommandApdu &cmd, const Key &duplicate_key)
{
	if (cmd.p1 == 0x01) {
		if (!session_.duplicate_out_started) {
			Bytes payload = duplicate_payload();
			Bytes sealed = seal_box(duplicate_key, payload);
			wipe(payload);
			for (size_t at = 0; at < sealed.size(); at += kPieceLen)
				session_.duplicate_out.emplace_back(
				        sealed.begin() + static_cast<std::ptrdiff_t>(at),
				        sealed.begin() + static_cast<std::ptrdiff_t>(std::min(
				                                 sealed.size(), at + kPieceLen)));
			session_.duplicate_out_started = true;
		}
		if (session_.duplicate_out.empty()) {
			session_.duplicate_out_started = false; // the next export starts over
			return {};
		}
		Reply reply{status::kOk, std::move(session_.duplicate_out.front())};
		session_.duplicate_out.erase(session_.duplicate_out.begin());
		return reply;
	}
	if (cmd.p1 != 0x02)
		return {status::kIncorrectP1P2, {}};
	if (!cmd.data.empty()) {
		if (session_.duplicate_in.size() + cmd.data.size() > kMaxImport)
			return {status::kNoRoom, {}};
		session_.duplicate_in.insert(session_.duplicate_in.end(), cmd.data.begin(),
		                             cmd.data.end());
		return {};
	}
	auto payload = open_box(duplicate_key, session_.duplicate_in);
	wipe(session_.duplicate_in);
	session_.duplicate_in.clear();
	bool applied = payload && apply_duplicate(*payload);
	if (payload)
		wipe(*payload);
	return applied ? Reply{} : Reply{status::kWrongData, {}};
}

void Token::clear_token()
{
	for (auto &[reference, key] : state_.keys)
		random_bytes(key);
	for (Group &group : state_.groups) {
		wipe(group.key);
		wipe(group.pass_phrase);
	}
	state_.groups.clear();
	if (state_.ds_key)
		wipe(*state_.ds_key);
	state_.ds_key.reset();
	if (state_.pending_request) {
		wipe(state_.pending_request->pass_phrase);
		wipe(state_.pending_request->nonce);
	}
	state_.pending_request.reset();
	state_.note_policy = ref::kPin;
	auto note = state_.application_files.find(fid::kNote);
	if (note != state_.application_files.end())
		std::fill(note->second.begin(), note->second.end(), 0);
	session_.group.reset();
	drop_session_key();
}

Token::Reply Token::erase_command(const CommandApdu &cmd)
{
	switch (cmd.p1) {
	case 0xFF: // the DS key
		if (version() <= 17)
			return {status::kInsNotSupported, {}};
		if (!verified(ref::kPin))
			return {status::kSecurityNotSatisfied, {}};
		state_.ds_key.emplace();
		random_bytes(*state_.ds_key);
		return {};
	case 0x00:
		if (!verified(ref::kErase) && !verified(ref::kPuk))
			return {status::kSecurityNotSatisfied, {}};
		clear_token();
		return {};
	case 0x02: {
		if (version() < 5)
			return {status::kInsNotSupported, {}};
		if (!verified(state_.note_policy))
			return {status::kSecurityNotSatisfied, {}};
		auto note = state_.application_files.find(fid::kNote);
		if (note == state_.application_files.end())
			return {status::kFileNotFound, {}};
		std::fill(note->second.begin(), note->second.end(), 0);
		return {};
	}
	default:
		return {status::kIncorrectP1P2, {}};
	}
}

Token::Reply Token::note_policy(const CommandApdu &cmd)
{
	if (version() <= 5)
		return {status::kInsNotSupported, {}};
	if (cmd.p1 == 0x01)
		return {status::kOk, Bytes{state_.note_policy}};
	if (cmd.p1 != 0x02)
		return {status::kIncorrectP1P2, {}};
	if (!verified(ref::kPin))
		return {status::kSecurityNotSatisfied, {}};
	state_.note_policy = state_.note_policy == ref::kPin ? ref::kNote : ref::kPin;
	return {};
}

} // namespace draxel::sim
