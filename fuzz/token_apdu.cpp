// The software token's dispatcher fed arbitrary commands, directly or
// behind the T=0 adapter that the daemon puts in front of it. Every command
// gets a reply of at least a status word, no exception escapes, and every
// state the token keeps survives its state file.
//
// Input: flags (bit 0: through T0Card; bits 1 to 4: PIN, PUK, erase and
// file-creation password verified first; bit 5: the state file checked at
// the end), then commands, each a length byte
// and that many bytes (FE: a 16-bit length follows; FF: a power cycle).
#include "fuzz_token.h"

#include "apdu.h"
#include "token_crypto.h"

using namespace draxel::fuzz;
namespace sim = draxel::sim;

namespace {

void verify(sim::Card &card, uint8_t ref, const std::string &password)
{
	std::vector<uint8_t> apdu = {0x00, 0x20, 0x00, ref, static_cast<uint8_t>(password.size())};
	apdu.insert(apdu.end(), password.begin(), password.end());
	card.process(apdu);
}

void check_state_file(const sim::TokenState &state)
{
	std::string text = sim::serialize(state);
	auto back = sim::deserialize(text);
	FUZZ_CHECK(back.has_value(), "a state the token keeps can be read back");
	FUZZ_CHECK(sim::serialize(*back) == text, "the state file reads back to the same state");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Reader in(data, size);
	uint8_t flags = in.byte();
	sim::Token token(prototype());
	bool changed = false;
	token.on_change([&changed](const sim::TokenState &) { changed = true; });
	sim::T0Card t0(token);
	bool through_t0 = (flags & 1) != 0;
	sim::Card &card = through_t0 ? static_cast<sim::Card &>(t0) : token;
	if (flags & 2)
		verify(card, 0x05, kPin);
	if (flags & 4)
		verify(card, 0x07, kPuk);
	if (flags & 8)
		verify(card, 0x09, "00000000");
	if (flags & 16) {
		std::vector<uint8_t> fcp = sim::file_creation_password();
		verify(card, 0x73, std::string(fcp.begin(), fcp.end()));
	}
	for (int commands = 0; in.left() > 0 && commands < 64; ++commands) {
		size_t len = in.byte();
		if (len == 0xFF) {
			card.power_off();
			card.reset();
			continue;
		}
		if (len == 0xFE)
			len = in.u16();
		std::vector<uint8_t> apdu = in.bytes(len);
		std::vector<uint8_t> reply = card.process(apdu);
		FUZZ_CHECK(reply.size() >= 2, "every command gets a status word");
		if (through_t0)
			FUZZ_CHECK(reply.size() <= 258, "a T=0 reply carries 256 bytes at most");
		FUZZ_CHECK(!card.pull_requested(), "the token stays in the reader");
	}
	if (changed && (flags & 32) != 0) /* a costly check: when the input asks */
		check_state_file(token.state());
	return 0;
}
