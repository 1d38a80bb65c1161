#pragma once

// The token's own cryptography, all of it GOST 28147-89 from the library's
// cipher unit: key derivation, the session-key cryptogram, the PSO stream,
// and the sealed boxes in which keys travel between tokens.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "secret_wipe.h"
#include "token_state.h"

namespace draxel::sim {

// Bytes from the operating system's random source.
void random_bytes(std::span<uint8_t> out);

// A key derived from base for one purpose (label) and context.
Key derive_key(const Key &base, uint8_t label, std::span<const uint8_t> context);

// The 36-byte session-key cryptogram: the key enciphered under kek, then a
// 4-byte MAC; open_session_key refuses a cryptogram made under another kek.
Bytes seal_session_key(const Key &kek, const Key &session_key);
std::optional<Key> open_session_key(const Key &kek, std::span<const uint8_t> cryptogram);

// A box for data travelling between tokens: nonce, CFB ciphertext, MAC.
Bytes seal_box(const Key &key, std::span<const uint8_t> plain);
std::optional<Bytes> open_box(const Key &key, std::span<const uint8_t> box);

// The issuer's key that every token shares: join requests, invitations and
// duplicate blobs travel under keys derived from it.
const Key &issuer_key();

// CFB-64 with a byte position, so that a chain of commands gives the same
// bytes whatever the lengths of its pieces.
class CipherStream {
public:
	~CipherStream();
	void start(const Key &key);
	void stop();
	bool active() const { return active_; }
	void encrypt(std::span<uint8_t> data);
	void decrypt(std::span<uint8_t> data);

private:
	uint8_t next_keystream_byte();

	std::array<uint32_t, 8> schedule_{};
	std::array<uint8_t, 8> register_{};
	std::array<uint8_t, 8> keystream_{};
	size_t position_ = 0;
	bool active_ = false;
};

} // namespace draxel::sim
