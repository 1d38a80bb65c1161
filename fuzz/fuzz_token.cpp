#include "fuzz_token.h"

#include <algorithm>
#include <cstring>

namespace draxel::fuzz {
namespace {

sim::Field field(const char *text)
{
	sim::Field f{};
	std::memcpy(f.data(), text, std::strlen(text));
	return f;
}

sim::Key pattern_key(uint8_t seed)
{
	sim::Key key{};
	for (size_t i = 0; i < key.size(); ++i)
		key[i] = static_cast<uint8_t>(seed * 37 + i * 11 + 5);
	return key;
}

sim::TokenState make_prototype()
{
	sim::IssueOptions options;
	options.serial = std::array<uint8_t, 7>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
	// the smaller note: copied afresh for every input
	options.st23l80_chip = true;
	sim::TokenState state = sim::issue_token(options);
	for (auto &[ref, key] : state.keys)
		key = pattern_key(ref);
	sim::Group admin;
	admin.name = field(kGroup);
	admin.pass_phrase = field(kGroupPhrase);
	admin.key = pattern_key(0x40);
	admin.admin = true;
	sim::Group member;
	member.name = field("joined");
	member.pass_phrase = field(kGroupPhrase);
	member.key = pattern_key(0x41);
	state.groups = {admin, member};
	sim::PendingRequest request;
	for (size_t i = 0; i < request.nonce.size(); ++i)
		request.nonce[i] = static_cast<uint8_t>(0xC0 + i);
	request.pass_phrase = field(kJoinPhrase);
	state.pending_request = request;
	return state;
}

} // namespace

const sim::TokenState &prototype()
{
	static const sim::TokenState state = make_prototype();
	return state;
}

bool is_hex_text(const char *text, int size)
{
	if (size < 1 || std::strlen(text) + 1 != static_cast<size_t>(size) || size % 2 != 1)
		return false;
	return std::all_of(text, text + size - 1,
	                   [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

void end_file_in_progress()
{
	int size = 0;
	// a failing chunk ends whatever file is in progress
	PerformFileOp(nullptr, nullptr, -1, nullptr, &size, 1, 1, nullptr, nullptr, 0);
}

bool file_state_wiped()
{
	const auto *header = reinterpret_cast<const uint8_t *>(&_file_header);
	return std::all_of(header, header + sizeof _file_header,
	                   [](uint8_t b) { return b == 0; }) &&
	       std::all_of(iv, iv + 8, [](uint8_t b) { return b == 0; });
}

Session::Session(bool t1, sim::FaultPlan fault)
    : token_(prototype()), faulty_(token_, fault), t0_(faulty_),
      attached_(t1 ? static_cast<sim::Card &>(faulty_) : static_cast<sim::Card &>(t0_))
{
	InitLib(attached_.table());
	record_ = AllocReaderStruct(nullptr);
	cur_context = LogicDLLContext{record_, nullptr, 0};
	end_file_in_progress();
	VerifyPIN(kPin, false);
}

Session::~Session()
{
	cur_context = LogicDLLContext{};
	FreeReaderStruct(record_);
	InitLib(nullptr);
}

std::vector<uint8_t> Reader::bytes(size_t n)
{
	n = std::min(n, size_ - at_);
	std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
	at_ += n;
	return out;
}

std::string Reader::rest_text()
{
	std::vector<uint8_t> b = rest();
	std::string text(b.begin(), b.end());
	// the library takes zero-terminated texts
	return text.substr(0, text.find('\0'));
}

const char *phrase_for(uint8_t selector, int mode, std::string &storage)
{
	switch (selector % 8) {
	case 1:
		return nullptr;
	case 2:
		storage.clear();
		break;
	case 3:
		storage = "wrong phrase";
		break;
	case 4:
		storage.assign(220, 'p');
		break;
	default:
		storage = mode == 3 ? kGroupPhrase : kPhrase;
	}
	return storage.c_str();
}

const char *group_for(uint8_t selector, std::string &storage)
{
	switch (selector % 8) {
	case 1:
		return nullptr;
	case 2:
		storage.clear();
		break;
	case 3:
		storage = "no such group";
		break;
	case 4:
		storage.assign(65, 'g');
		break;
	case 5:
		storage = "joined";
		break;
	default:
		storage = kGroup;
	}
	return storage.c_str();
}

} // namespace draxel::fuzz
