// The texts of the group join exchange against the software token: a
// request text turned into an invitation, an invitation accepted, and a
// request made from any pass phrase.
//
// Input: what (0: invite from a request, 1: accept an invitation, 2: make a
// request), name selector, phrase selector, buffer size / 4, then the text.
#include <cstring>

#include "fuzz_token.h"

using namespace draxel::fuzz;

namespace {

bool listed(const std::string &name)
{
	unsigned long len = 0;
	if (GetGroupList(nullptr, &len) != 0)
		return false;
	std::vector<char> list(len + 1);
	if (GetGroupList(list.data(), &len) != 0)
		return false;
	for (size_t at = 0; at + 1 < len; at += std::strlen(list.data() + at + 1) + 2)
		if (name == list.data() + at + 1)
			return true;
	return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Reader in(data, size);
	uint8_t what = in.byte() % 3;
	uint8_t name_selector = in.byte();
	uint8_t phrase_selector = in.byte();
	int room = in.byte() * 4;
	std::string text = in.rest_text();
	Session session;
	std::vector<char> out(static_cast<size_t>(room) + 1, '#');
	int out_size = room;
	std::string name_storage, phrase_storage;
	const char *name = group_for(name_selector, name_storage);
	if (what == 0) {
		unsigned long rc = CreateInviteForGroup(name, text.c_str(), out.data(), &out_size);
		if (rc == 0)
			FUZZ_CHECK(is_hex_text(out.data(), out_size), "an invitation is hex text");
		else
			FUZZ_CHECK(out_size == room, "a failure leaves the size alone");
	} else if (what == 1) {
		if (name_selector % 8 == 0)
			name = "newcomer";
		const char *phrase = phrase_selector % 8 == 0
		                             ? kJoinPhrase
		                             : phrase_for(phrase_selector, 3, phrase_storage);
		if (AcceptInviteForGroup(text.c_str(), name, phrase) == 0)
			FUZZ_CHECK(listed(name), "an accepted invitation lists its group");
	} else {
		if (CreateRequestForGroup(text.c_str(), out.data(), &out_size) == 0)
			FUZZ_CHECK(is_hex_text(out.data(), out_size), "a request is hex text");
	}
	FUZZ_CHECK(out[static_cast<size_t>(room)] == '#', "nothing is written past the buffer");
	return 0;
}
