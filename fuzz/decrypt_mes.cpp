// DecryptMes texts against the software token; and messages enciphered and
// deciphered again, which must come back unchanged.
//
// Input: mode, phrase selector, group selector, flags (bit 0: T=1 token,
// bit 1: round trip), then the text or the message.
#include <cstring>

#include "fuzz_token.h"

using namespace draxel::fuzz;

namespace {

// Hex pairs in a text that may carry blanks and tabs between pairs.
size_t pairs_in(const std::string &text)
{
	size_t digits = 0;
	for (char c : text)
		if (c != ' ' && c != '\t')
			++digits;
	return digits / 2;
}

void decrypt(const std::string &text, int mode, const char *phrase, const char *group)
{
	int size = 0;
	if (DecryptMes(text.c_str(), nullptr, &size, mode, phrase, group) != 0)
		return;
	FUZZ_CHECK(size > 0, "a size query reports room for the zero");
	std::vector<char> out(static_cast<size_t>(size));
	int room = size;
	if (DecryptMes(text.c_str(), out.data(), &room, mode, phrase, group) != 0) {
		FUZZ_CHECK(room == size, "a failure leaves the size alone");
		return;
	}
	FUZZ_CHECK(room >= 2 && room <= size, "the message's size fits the room asked for");
	FUZZ_CHECK(static_cast<size_t>(room - 1) + 36 == pairs_in(text),
	           "the message is as long as the ciphertext");
	FUZZ_CHECK(out[static_cast<size_t>(room - 1)] == '\0', "the message ends in a zero");
}

void round_trip(const std::string &message, int mode, const char *phrase, const char *group)
{
	int size = 0;
	if (EncryptMes(message.c_str(), nullptr, &size, mode, phrase, group) != 0)
		return;
	std::vector<char> text(static_cast<size_t>(size));
	if (EncryptMes(message.c_str(), text.data(), &size, mode, phrase, group) != 0)
		return;
	FUZZ_CHECK(std::strlen(text.data()) + 1 == static_cast<size_t>(size),
	           "text and size agree");
	std::vector<char> back(message.size() + 1);
	int room = static_cast<int>(back.size());
	FUZZ_CHECK(DecryptMes(text.data(), back.data(), &room, mode, phrase, group) == 0,
	           "what was enciphered deciphers");
	FUZZ_CHECK(room == static_cast<int>(back.size()) &&
	                   std::memcmp(back.data(), message.c_str(), back.size()) == 0,
	           "the message comes back unchanged");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Reader in(data, size);
	int mode = in.byte() % 5; /* 0 and 4 are not modes */
	uint8_t phrase_selector = in.byte();
	uint8_t group_selector = in.byte();
	uint8_t flags = in.byte();
	std::string text = in.rest_text();
	Session session((flags & 1) != 0);
	std::string phrase_storage, group_storage;
	const char *phrase = phrase_for(phrase_selector, mode, phrase_storage);
	const char *group = group_for(group_selector, group_storage);
	if ((flags & 2) != 0)
		round_trip(text, mode, phrase, group);
	else
		decrypt(text, mode, phrase, group);
	return 0;
}
