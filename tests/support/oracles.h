// The independent implementations the cipher and file tests hold the library
// to: libgcrypt's GOST 28147-89 with the TC26 boxes (param Z; it reads keys
// as the library does) and zlib's CRC-32; and random bytes, the same from
// run to run.
#pragma once

#include <gcrypt.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>

#include "support/hex.h"

namespace draxel::test {

inline std::mt19937 &rng()
{
	static std::mt19937 generator(28147);
	return generator;
}

inline Bytes random_bytes(size_t n)
{
	Bytes b(n);
	std::generate(b.begin(), b.end(), [] { return static_cast<uint8_t>(rng()()); });
	return b;
}

// d enciphered by libgcrypt in mode (GCRY_CIPHER_MODE_...) from register iv.
inline Bytes gcrypt_gost(int mode, const Bytes &key, Bytes d, const Bytes &iv = {})
{
	static const bool ready =
	        gcry_check_version(nullptr) && !gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
	gcry_cipher_hd_t h;
	EXPECT_TRUE(ready);
	EXPECT_EQ(gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, mode, 0), 0u);
	EXPECT_EQ(gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, (void *)"1.2.643.7.1.2.5.1.1", 0), 0u);
	EXPECT_EQ(gcry_cipher_setkey(h, key.data(), key.size()), 0u);
	EXPECT_EQ(iv.empty() ? 0u : gcry_cipher_setiv(h, iv.data(), iv.size()), 0u);
	EXPECT_EQ(gcry_cipher_encrypt(h, d.data(), d.size(), nullptr, 0), 0u);
	gcry_cipher_close(h);
	return d;
}

inline uint32_t zlib_crc(const uint8_t *p, size_t n)
{
	return static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(n)));
}

} // namespace draxel::test
