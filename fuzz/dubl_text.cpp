// Duplicate texts restored into the software token, and the token's own
// duplicate written into buffers of any size.
//
// Input: what (0: restore the text, 1: export), PUK selector, buffer size
// / 8, then the text.
#include <cstring>

#include "fuzz_token.h"

using namespace draxel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Reader in(data, size);
	uint8_t what = in.byte() % 2;
	uint8_t puk_selector = in.byte();
	int room = in.byte() * 8;
	std::string text = in.rest_text();
	Session session;
	const char *puk = puk_selector % 4 == 1   ? nullptr
	                  : puk_selector % 4 == 2 ? "87654321"
	                                          : kPuk;
	if (what == 0) {
		if (SetDublData(puk, text.c_str(), static_cast<int>(text.size()) + 1) == 0)
			FUZZ_CHECK(session.token().state().keys == prototype().keys,
			           "only the token's own duplicate restores, and to the same keys");
		return 0;
	}
	std::vector<char> out(static_cast<size_t>(room) + 1, '#');
	int out_size = room;
	if (GetDublData(puk, out.data(), &out_size) == 0) {
		FUZZ_CHECK(std::strlen(out.data()) + 1 == static_cast<size_t>(out_size),
		           "the text and its size agree");
		FUZZ_CHECK(SetDublData(kPuk, out.data(), out_size) == 0, "the duplicate restores");
	}
	FUZZ_CHECK(out[static_cast<size_t>(room)] == '#', "nothing is written past the buffer");
	return 0;
}
