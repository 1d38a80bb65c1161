#include "token_crypto.h"

#include <string.h>
#include <sys/random.h>

#include <stdexcept>

#include "gost_a.h"

namespace draxel::sim {
namespace {

constexpr size_t kBlock = 8;
constexpr size_t kMacLen = 4;
constexpr size_t kNonceLen = 8;
constexpr uint8_t kLabelMac = 0x4D;
constexpr uint8_t kLabelBoxCipher = 0x42;
constexpr uint8_t kLabelBoxMac = 0x43;

struct Schedule {
	u32_gost_type words[8];
	explicit Schedule(const Key &key) { g2814789_set_key(words, key.data(), 32); }
	~Schedule() { wipe({reinterpret_cast<uint8_t *>(words), sizeof words}); }
};

// CBC-MAC with GOST over a counter byte, the context and its length.
std::array<uint8_t, kBlock> cbc_mac(const Key &key, uint8_t counter, std::span<const uint8_t> data)
{
	Schedule schedule(key);
	std::array<uint8_t, kBlock> state{};
	state[0] = counter;
	state[1] = static_cast<uint8_t>(data.size());
	state[2] = static_cast<uint8_t>(data.size() >> 8);
	g2814789_encrypt(schedule.words, state.data());
	for (size_t i = 0; i < data.size(); i += kBlock) {
		for (size_t j = 0; j < kBlock && i + j < data.size(); ++j)
			state[j] ^= data[i + j];
		g2814789_encrypt(schedule.words, state.data());
	}
	return state;
}

std::array<uint8_t, kMacLen> mac_of(const Key &key, std::span<const uint8_t> data)
{
	auto full = cbc_mac(key, 0xFF, data);
	std::array<uint8_t, kMacLen> mac{};
	memcpy(mac.data(), full.data(), kMacLen);
	wipe(full);
	return mac;
}

bool same_mac(std::span<const uint8_t> a, std::span<const uint8_t> b)
{
	uint8_t diff = 0;
	for (size_t i = 0; i < kMacLen; ++i)
		diff |= static_cast<uint8_t>(a[i] ^ b[i]);
	return diff == 0;
}

} // namespace

void random_bytes(std::span<uint8_t> out)
{
	size_t done = 0;
	while (done < out.size()) {
		ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
		if (n < 0)
			throw std::runtime_error("no random source");
		done += static_cast<size_t>(n);
	}
}

Key derive_key(const Key &base, uint8_t label, std::span<const uint8_t> context)
{
	Bytes labelled;
	labelled.reserve(context.size() + 1);
	labelled.push_back(label);
	labelled.insert(labelled.end(), context.begin(), context.end());
	Key out{};
	for (uint8_t i = 0; i < 4; ++i) {
		auto part = cbc_mac(base, i, labelled);
		memcpy(out.data() + i * kBlock, part.data(), kBlock);
		wipe(part);
	}
	wipe(labelled);
	return out;
}

Bytes seal_session_key(const Key &kek, const Key &session_key)
{
	Bytes cryptogram(session_key.begin(), session_key.end());
	Schedule schedule(kek);
	g2814789_encrypt_ecb(schedule.words, cryptogram.data(), 4);
	Key mac_key = derive_key(kek, kLabelMac, {});
	auto mac = mac_of(mac_key, cryptogram);
	wipe(mac_key);
	cryptogram.insert(cryptogram.end(), mac.begin(), mac.end());
	return cryptogram;
}

std::optional<Key> open_session_key(const Key &kek, std::span<const uint8_t> cryptogram)
{
	if (cryptogram.size() != 32 + kMacLen)
		return std::nullopt;
	Key mac_key = derive_key(kek, kLabelMac, {});
	auto mac = mac_of(mac_key, cryptogram.first(32));
	wipe(mac_key);
	if (!same_mac(mac, cryptogram.subspan(32)))
		return std::nullopt;
	Key session_key{};
	memcpy(session_key.data(), cryptogram.data(), 32);
	Schedule schedule(kek);
	g2814789_decrypt_ecb(schedule.words, session_key.data(), 4);
	return session_key;
}

Bytes seal_box(const Key &key, std::span<const uint8_t> plain)
{
	Bytes box(kNonceLen);
	random_bytes(box);
	Key cipher_key = derive_key(key, kLabelBoxCipher, box);
	CipherStream stream;
	stream.start(cipher_key);
	size_t start = box.size();
	box.insert(box.end(), plain.begin(), plain.end());
	stream.encrypt(std::span(box).subspan(start));
	Key mac_key = derive_key(key, kLabelBoxMac, {});
	auto mac = mac_of(mac_key, box);
	box.insert(box.end(), mac.begin(), mac.end());
	wipe(cipher_key);
	wipe(mac_key);
	return box;
}

std::optional<Bytes> open_box(const Key &key, std::span<const uint8_t> box)
{
	if (box.size() < kNonceLen + kMacLen)
		return std::nullopt;
	auto sealed = box.first(box.size() - kMacLen);
	Key mac_key = derive_key(key, kLabelBoxMac, {});
	auto mac = mac_of(mac_key, sealed);
	wipe(mac_key);
	if (!same_mac(mac, box.last(kMacLen)))
		return std::nullopt;
	Key cipher_key = derive_key(key, kLabelBoxCipher, sealed.first(kNonceLen));
	Bytes plain(sealed.begin() + kNonceLen, sealed.end());
	CipherStream stream;
	stream.start(cipher_key);
	stream.decrypt(plain);
	wipe(cipher_key);
	return plain;
}

const Key &issuer_key()
{
	static const Key key = {0x6D, 0x65, 0x6B, 0x74, 0x61, 0x2D, 0x73, 0x69, 0x6D, 0x2D, 0x69,
	                        0x73, 0x73, 0x75, 0x65, 0x72, 0x2D, 0x74, 0x72, 0x61, 0x6E, 0x73,
	                        0x70, 0x6F, 0x72, 0x74, 0x2D, 0x6B, 0x65, 0x79, 0x2D, 0x31};
	return key;
}

CipherStream::~CipherStream()
{
	stop();
}

void CipherStream::start(const Key &key)
{
	g2814789_set_key(schedule_.data(), key.data(), 32);
	register_.fill(0);
	position_ = 0;
	active_ = true;
}

void CipherStream::stop()
{
	wipe({reinterpret_cast<uint8_t *>(schedule_.data()), sizeof schedule_});
	wipe(register_);
	wipe(keystream_);
	position_ = 0;
	active_ = false;
}

uint8_t CipherStream::next_keystream_byte()
{
	if (position_ == 0) {
		keystream_ = register_;
		g2814789_encrypt(schedule_.data(), keystream_.data());
	}
	return keystream_[position_];
}

void CipherStream::encrypt(std::span<uint8_t> data)
{
	for (uint8_t &byte : data) {
		byte ^= next_keystream_byte();
		register_[position_] = byte;
		position_ = (position_ + 1) % kBlock;
	}
}

void CipherStream::decrypt(std::span<uint8_t> data)
{
	for (uint8_t &byte : data) {
		uint8_t cipher = byte;
		byte ^= next_keystream_byte();
		register_[position_] = cipher;
		position_ = (position_ + 1) % kBlock;
	}
}

} // namespace draxel::sim
