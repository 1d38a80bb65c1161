// DecryptFileData chunks against the software token: the header, the
// enciphered file key and the CRC paths, split anywhere; and files
// enciphered and deciphered again, which must come back unchanged.
//
// Input: mode, phrase selector, group selector, flags (bit 0: T=1 token,
// bit 1: round trip, bit 2: fast mode for the round trip, bit 3: no last
// flag on the last chunk, bit 4: no first flag on the first chunk), the
// number of chunks (1 to 6), the length of each chunk but the last (16 bits
// each), then the file (or the data).
#include <cstring>

#include "fuzz_token.h"

using namespace draxel::fuzz;

namespace {

constexpr int kFirst = 0x100, kLast = 0x200, kFast = 0x001;

struct Plan {
	int mode;
	const char *phrase;
	const char *group;
	uint8_t flags;
	std::vector<size_t> pieces;
};

std::vector<size_t> split(size_t total, const std::vector<uint16_t> &lengths)
{
	std::vector<size_t> pieces;
	size_t at = 0;
	for (uint16_t len : lengths) {
		size_t n = std::min<size_t>(len, total - at);
		pieces.push_back(n);
		at += n;
	}
	pieces.push_back(total - at);
	return pieces;
}

int chunk_flags(const Plan &plan, size_t i)
{
	int flags = 0;
	if (i == 0 && (plan.flags & 16) == 0)
		flags |= kFirst;
	if (i + 1 == plan.pieces.size() && (plan.flags & 8) == 0)
		flags |= kLast;
	return flags;
}

// Deciphers file chunk by chunk; true with the plaintext when every chunk
// went through.
bool decrypt(const Plan &plan, const std::vector<uint8_t> &file, std::vector<uint8_t> &plain)
{
	size_t at = 0;
	bool fast = false;
	int ver = 1;
	for (size_t i = 0; i < plan.pieces.size(); at += plan.pieces[i++]) {
		const uint8_t *chunk = file.data() + at;
		int len = static_cast<int>(plan.pieces[i]);
		int flags = chunk_flags(plan, i);
		int query = 0;
		unsigned long rc = DecryptFileData(chunk, len, nullptr, &query, plan.mode,
		                                   plan.phrase, plan.group, flags);
		if (rc != 0)
			query = len + 64; /* the chunk fails on its own: give it room */
		std::vector<uint8_t> out(static_cast<size_t>(query) + 1);
		int room = query;
		rc = DecryptFileData(chunk, len, out.data(), &room, plan.mode, plan.phrase,
		                     plan.group, flags);
		if ((flags & kFirst) != 0 && len >= 48) {
			fast = (chunk[4] & 1) != 0;
			ver = chunk[5];
		}
		if (rc != 0 || (flags & kLast) != 0)
			FUZZ_CHECK(file_state_wiped(),
			           "a file's end leaves no key and no register");
		if (rc != 0)
			return false;
		int expected = len - ((flags & kFirst) != 0 ? 48 : 0) -
		               ((flags & kFirst) != 0 && fast && plan.mode == 3 ? 32 : 0) -
		               ((flags & kLast) != 0 && ver != 0 ? 4 : 0);
		FUZZ_CHECK(room == expected, "a chunk yields its data and nothing else");
		plain.insert(plain.end(), out.begin(), out.begin() + room);
	}
	return true;
}

void round_trip(Plan plan, const std::vector<uint8_t> &data)
{
	bool fast = (plan.flags & 4) != 0;
	plan.flags &= static_cast<uint8_t>(~(8 | 16));
	std::vector<uint8_t> file;
	size_t at = 0;
	for (size_t i = 0; i < plan.pieces.size(); at += plan.pieces[i++]) {
		int flags = chunk_flags(plan, i) | (fast ? kFast : 0);
		int len = static_cast<int>(plan.pieces[i]);
		int size = 0;
		if (EncryptFileData(data.data() + at, len, nullptr, &size, plan.mode, plan.phrase,
		                    plan.group, flags) != 0)
			return;
		std::vector<uint8_t> out(static_cast<size_t>(size) + 1);
		int room = size;
		if (EncryptFileData(data.data() + at, len, out.data(), &room, plan.mode,
		                    plan.phrase, plan.group, flags) != 0) {
			FUZZ_CHECK(file_state_wiped(), "a failing chunk ends the file");
			return;
		}
		FUZZ_CHECK(room == size, "a chunk's output is as long as its size query said");
		file.insert(file.end(), out.begin(), out.begin() + room);
	}
	FUZZ_CHECK(file_state_wiped(), "the last chunk wipes the file key and the register");
	plan.pieces.front() += fast && plan.mode == 3 ? 80 : 48;
	plan.pieces.back() += 4;
	std::vector<uint8_t> plain;
	FUZZ_CHECK(decrypt(plan, file, plain), "what was enciphered deciphers");
	FUZZ_CHECK(plain == data, "the file comes back unchanged");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Reader in(data, size);
	Plan plan;
	plan.mode = in.byte() % 5;
	uint8_t phrase_selector = in.byte();
	uint8_t group_selector = in.byte();
	plan.flags = in.byte();
	size_t chunks = 1 + in.byte() % 6;
	std::vector<uint16_t> lengths;
	for (size_t i = 1; i < chunks; ++i)
		lengths.push_back(in.u16());
	std::vector<uint8_t> body = in.rest();
	plan.pieces = split(body.size(), lengths);
	Session session((plan.flags & 1) != 0);
	std::string phrase_storage, group_storage;
	plan.phrase = phrase_for(phrase_selector, plan.mode, phrase_storage);
	plan.group = group_for(group_selector, group_storage);
	if ((plan.flags & 2) != 0) {
		round_trip(plan, body);
	} else {
		std::vector<uint8_t> plain;
		decrypt(plan, body, plain);
	}
	end_file_in_progress();
	return 0;
}
