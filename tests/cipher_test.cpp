// The cipher engine against independent implementations: GOST 28147-89
// against libgcrypt's GOST28147 with the TC26 boxes (param Z), once libgcrypt
// itself is pinned to the RFC 8891 test vector; a changed substitution table
// against a round function written from the definition; every way of
// computing the cipher that this processor has, switched in turn; CRC-32
// against zlib's crc32, with and without the carry-less path. Linked with
// the units themselves, to switch paths and to see the wipe of the register
// copy that a partial CFB segment leaves.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "crc32.h"
#include "draxel_lib.h"
#include "gost_a.h"
#include "support/oracles.h"

namespace {
int tail_wipes = 0;
bool tail_wiped_clear = true;
} // namespace

extern "C" void gost_cfb_tail_wiped(const u8_gost_type *reg, size_t len)
{
	++tail_wipes;
	tail_wiped_clear = tail_wiped_clear && len == 8 &&
	                   std::all_of(reg, reg + len, [](uint8_t b) { return b == 0; });
}

using namespace draxel::test;

namespace {

std::mt19937 &rng = draxel::test::rng();

// RFC 8891 writes keys and blocks as big-endian numbers, the library as
// little-endian words: a key is reversed in groups of 4, a block in one of 8.
Bytes from_rfc(Bytes b, size_t group)
{
	for (size_t i = 0; i < b.size(); i += group)
		std::reverse(b.begin() + i, b.begin() + i + group);
	return b;
}

Bytes ecb(const Bytes &key, Bytes d)
{
	return gcrypt_gost(GCRY_CIPHER_MODE_ECB, key, std::move(d));
}

struct Key {
	explicit Key(const Bytes &bytes) { EXPECT_EQ(g2814789_set_key(ks, bytes.data(), 32), 0); }
	u32_gost_type ks[8];
};

using CfbOp = void (*)(const u32_gost_type *, u8_gost_type *, u8_gost_type *, int);

Bytes cfb(CfbOp op, const Bytes &key, Bytes &reg, Bytes d)
{
	op(Key(key).ks, reg.data(), d.data(), static_cast<int>(d.size()));
	return d;
}

// The register after enciphering into c from reg: the last full segment,
// or after a partial one its n ciphertext bytes and 8 - n unused keystream.
Bytes register_after(const Bytes &key, const Bytes &reg, const Bytes &c)
{
	size_t n = c.size() % 8, full = c.size() - n;
	Bytes prev = full == 0 ? reg : Bytes(c.begin() + full - 8, c.begin() + full);
	if (n == 0)
		return prev;
	Bytes next = ecb(key, prev);
	std::copy(c.begin() + full, c.end(), next.begin());
	return next;
}

// The block cipher as defined, the round reading the byte tables (on this
// little-endian host a word is a memcpy).
Bytes ref_encrypt(const g2814789_subst &s, const Bytes &key, Bytes b)
{
	auto f = [&s](u32_gost_type x) {
		u32_gost_type y = u32_gost_type(s.gost_k87[x >> 24]) << 24 |
		                  u32_gost_type(s.gost_k65[x >> 16 & 255]) << 16 |
		                  u32_gost_type(s.gost_k43[x >> 8 & 255]) << 8 |
		                  s.gost_k21[x & 255];
		return y << 11 | y >> 21;
	};
	u32_gost_type k[8], n[2];
	std::memcpy(k, key.data(), 32);
	std::memcpy(n, b.data(), 8);
	for (int r = 0; r < 32; r++)
		n[(r + 1) % 2] ^= f(n[r % 2] + k[r < 24 ? r % 8 : 7 - r % 8]);
	std::swap(n[0], n[1]);
	std::memcpy(b.data(), n, 8);
	return b;
}

const Bytes kRfcKey = from_hex("ffeeddccbbaa99887766554433221100f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
const Bytes kRfcPlain = from_hex("fedcba9876543210"), kRfcCipher = from_hex("4ee901e5c2d8ca3d");

// libgcrypt is first pinned to RFC 8891's vector in the library's byte
// order, then the library is held to both.
TEST(Gost, BlocksAndEcbMatchTheRfcAndLibgcrypt)
{
	EXPECT_EQ(to_hex(ecb(from_rfc(kRfcKey, 4), from_rfc(kRfcPlain, 8))),
	          to_hex(from_rfc(kRfcCipher, 8)));
	EXPECT_NE(ecb(kRfcKey, kRfcPlain), kRfcCipher)
	        << "the RFC's own byte order is not libgcrypt's";
	Bytes block = from_rfc(kRfcPlain, 8);
	Key rfc(from_rfc(kRfcKey, 4));
	g2814789_encrypt(rfc.ks, block.data());
	EXPECT_EQ(to_hex(block), to_hex(from_rfc(kRfcCipher, 8)));
	g2814789_decrypt(rfc.ks, block.data());
	EXPECT_EQ(block, from_rfc(kRfcPlain, 8));

	for (int i = 0; i < 20; i++) { // every path: GostPaths below
		Bytes key = random_bytes(32), plain = random_bytes(8 * (rng() % 17)), d = plain;
		g2814789_encrypt_ecb(Key(key).ks, d.data(), static_cast<int>(d.size() / 8));
		ASSERT_EQ(d, ecb(key, plain));
		g2814789_decrypt_ecb(Key(key).ks, d.data(), static_cast<int>(d.size() / 8));
		ASSERT_EQ(d, plain);
	}
}

// One call from a fresh register is libgcrypt's CFB; after a partial final
// segment the next call starts from the register, not from the keystream
// that libgcrypt would carry on with.
TEST(Gost, CfbMatchesLibgcryptAndCarriesTheDefinedRegister)
{
	for (int round = 0; round < 30; round++) {
		Bytes key = random_bytes(32), enc_reg = random_bytes(8), dec_reg = enc_reg;
		Bytes model_reg = enc_reg;
		for (int call = 0; call < 4; call++) {
			Bytes chunk = random_bytes((round * 4 + 37 * call) % 101);
			Bytes c = cfb(gost_encrypt_cfb, key, enc_reg, chunk);
			ASSERT_EQ(c, gcrypt_gost(GCRY_CIPHER_MODE_CFB, key, chunk, model_reg))
			        << chunk.size();
			model_reg = register_after(key, model_reg, c);
			ASSERT_EQ(enc_reg, model_reg) << chunk.size();
			ASSERT_EQ(cfb(gost_decrypt_cfb, key, dec_reg, c), chunk) << chunk.size();
			ASSERT_EQ(dec_reg, enc_reg);
		}
	}
	// lengths of 0 and below touch nothing
	Bytes key = random_bytes(32), plain = random_bytes(16), reg = random_bytes(8);
	Bytes d = plain, kept = reg;
	gost_encrypt_cfb(Key(key).ks, reg.data(), d.data(), 0);
	gost_encrypt_cfb(Key(key).ks, reg.data(), d.data(), -8);
	gost_decrypt_cfb(Key(key).ks, reg.data(), d.data(), -1);
	EXPECT_EQ(d, plain);
	EXPECT_EQ(reg, kept);
}

TEST(Gost, SetKeyMemXorAndArithmeticModulo2To32Minus1)
{
	Bytes key = random_bytes(33);
	u32_gost_type ks[8] = {1, 2, 3, 4, 5, 6, 7, 8};
	EXPECT_EQ(g2814789_set_key(ks, key.data(), 31), -1);
	EXPECT_EQ(g2814789_set_key(ks, key.data(), 33), -1);
	EXPECT_EQ(g2814789_set_key(ks, nullptr, 32), -1);
	EXPECT_EQ(std::vector<u32_gost_type>(ks, ks + 8),
	          std::vector<u32_gost_type>({1, 2, 3, 4, 5, 6, 7, 8}));

	Bytes a = random_bytes(37), b = random_bytes(37), x = a;
	MemXor(x.data(), b.data(), 37);
	MemXor(x.data(), b.data(), -5);
	for (size_t i = 0; i < 37; i++)
		ASSERT_EQ(x[i], a[i] ^ b[i]);

	EXPECT_EQ(sum_mod32_1(0xFFFFFFFF, 1), 1u);
	EXPECT_EQ(sum_mod32_1(0, 0), 0u);
	EXPECT_EQ(sum_mod32_1(0xFFFFFFFF, 0), 0xFFFFFFFFu);
	EXPECT_EQ(mul_mod32_1(0x10000, 0x10000), 1u);
	EXPECT_EQ(mul_mod32_1(0xFFFFFFFF, 5), 0xFFFFFFFFu);
	EXPECT_EQ(mul_mod32_1(0xFFFFFFFF, 1), 0u);
	for (int i = 0; i < 20000; i++) {
		uint64_t p = rng(), q = i % 3 ? rng() : 0xFFFFFFFF - rng() % 4, m = 0xFFFFFFFF;
		u32_gost_type x1 = u32_gost_type(p), x2 = u32_gost_type(q);
		ASSERT_EQ(sum_mod32_1(x1, x2) % m, (p + q) % m) << p << "+" << q;
		ASSERT_EQ(mul_mod32_1(x1, x2) % m, p * q % m) << p << "*" << q;
	}
}

TEST(GostSubst, TheTc26TableIsLoadedAndANewOneTakesEffectAtOnce)
{
	EXPECT_EQ(std::memcmp(&curr_subst, &subst_TC26, sizeof curr_subst), 0);
	for (int i = 0; i < 300; i++) { // the definition's round, held to libgcrypt
		Bytes key = random_bytes(32), block = random_bytes(8);
		ASSERT_EQ(ref_encrypt(subst_TC26, key, block), ecb(key, block));
	}

	struct Restore {
		~Restore() { g2814789_set_subst(&subst_TC26); }
	} restore;
	g2814789_subst other; // any bytes will do: the rounds need not be invertible
	Bytes random = random_bytes(sizeof other);
	std::memcpy(&other, random.data(), sizeof other);
	Bytes key = random_bytes(32), zero(8, 0), reg = zero;
	g2814789_set_subst(&other);
	g2814789_set_subst(nullptr);
	EXPECT_EQ(cfb(gost_encrypt_cfb, key, reg, zero), ref_encrypt(other, key, zero));
	curr_subst.gost_k21[0] ^= 0x11; // a direct write counts once handed over
	other.gost_k21[0] ^= 0x11;
	g2814789_set_subst(&curr_subst);
	for (int i = 0; i < 100; i++) {
		Bytes block = random_bytes(8), d = block;
		g2814789_encrypt(Key(key).ks, d.data());
		ASSERT_EQ(d, ref_encrypt(other, key, block));
	}
	g2814789_set_subst(&subst_TC26);
	Bytes d = zero;
	g2814789_encrypt(Key(key).ks, d.data());
	EXPECT_EQ(d, ecb(key, zero));
}

// CFB as defined, block by block over the reference round.
Bytes ref_cfb(const g2814789_subst &s, const Bytes &key, Bytes reg, Bytes d, bool encipher)
{
	for (size_t at = 0; at < d.size(); at += 8) {
		Bytes stream = ref_encrypt(s, key, reg);
		size_t n = std::min<size_t>(8, d.size() - at);
		for (size_t i = 0; i < n; i++) {
			uint8_t c = encipher ? d[at + i] ^ stream[i] : d[at + i];
			d[at + i] ^= stream[i];
			reg[i] = c;
		}
	}
	return d;
}

// A table made of eight 4-bit boxes, as every real parameter set is.
g2814789_subst product_table()
{
	Bytes boxes = random_bytes(8 * 16);
	g2814789_subst t;
	u8_gost_type *pairs[4] = {t.gost_k21, t.gost_k43, t.gost_k65, t.gost_k87};
	for (int p = 0; p < 4; p++)
		for (int i = 0; i < 256; i++)
			pairs[p][i] = static_cast<u8_gost_type>((boxes[32 * p + 16 + (i >> 4)] & 15)
			                                                << 4 |
			                                        (boxes[32 * p + (i & 15)] & 15));
	return t;
}

std::vector<GostPath> every_path()
{
	std::vector<GostPath> paths;
	for (int p = GOST_PATH_TABLE; p <= GOST_PATH_NEON; p++)
		if (gost_path_supported(static_cast<GostPath>(p)))
			paths.push_back(static_cast<GostPath>(p));
	return paths;
}

// Lengths around every path's multiples (4, 16 and 32 segments), all short
// ones, and one long run.
std::vector<size_t> cfb_lengths()
{
	std::vector<size_t> lengths;
	for (size_t n = 0; n <= 300; n++)
		lengths.push_back(n);
	for (size_t base : {512, 1024})
		for (size_t d : {1, 8, 9, 33, 129})
			lengths.insert(lengths.end(), {base - d, base + d});
	lengths.push_back(4096 + 13);
	return lengths;
}

// Each path, switched in turn, with the TC26 table against libgcrypt and
// with other tables against the definition: ECB both ways, CFB both ways in
// place and apart, at any alignment, split at any point; a table that is not
// made of 4-bit boxes leaves every path for the table round.
TEST(GostPaths, EveryPathGivesTheSameBytes)
{
	struct Restore {
		~Restore()
		{
			g2814789_set_subst(&subst_TC26);
			gost_use_path(best);
		}
		GostPath best = gost_path();
	} restore;
	g2814789_subst not_a_product;
	Bytes random = random_bytes(sizeof not_a_product);
	std::memcpy(&not_a_product, random.data(), sizeof not_a_product);
	const g2814789_subst tables[] = {subst_TC26, product_table(), not_a_product};
	const std::vector<size_t> lengths = cfb_lengths();
	ASSERT_FALSE(every_path().empty());
	std::string names;
	for (GostPath path : every_path())
		names += std::string(" ") + gost_path_name(path);
	std::printf("paths on this processor:%s\n", names.c_str());
	for (GostPath path : every_path()) {
		SCOPED_TRACE(gost_path_name(path));
		ASSERT_TRUE(gost_use_path(path));
		for (const g2814789_subst &table : tables) {
			const bool tc26 = &table == &tables[0], product = &table != &tables[2];
			g2814789_set_subst(&table);
			EXPECT_EQ(gost_path(), product ? path : GOST_PATH_TABLE);
			for (size_t i = 0; i < lengths.size(); i += tc26 ? 1 : 7) {
				const size_t n = lengths[i], offset = i % 8;
				SCOPED_TRACE(n);
				Bytes key = random_bytes(32), reg = random_bytes(8),
				      plain = random_bytes(n);
				Bytes want =
				        tc26 ? gcrypt_gost(GCRY_CIPHER_MODE_CFB, key, plain, reg)
				             : ref_cfb(table, key, reg, plain, true);
				Bytes space(n + 16), enc_reg = reg, dec_reg = reg;
				std::copy(plain.begin(), plain.end(), space.begin() + offset);
				gost_encrypt_cfb(Key(key).ks, enc_reg.data(), space.data() + offset,
				                 static_cast<int>(n));
				ASSERT_TRUE(std::equal(want.begin(), want.end(),
				                       space.begin() + offset));
				// deciphered apart, in two calls cut at a segment boundary
				Bytes out(n + 16);
				size_t cut = n / 8 * (i % 3) / 2 * 8;
				gost_decrypt_cfb_to(Key(key).ks, dec_reg.data(),
				                    space.data() + offset, out.data() + 7 - offset,
				                    static_cast<int>(cut));
				gost_decrypt_cfb_to(
				        Key(key).ks, dec_reg.data(), space.data() + offset + cut,
				        out.data() + 7 - offset + cut, static_cast<int>(n - cut));
				ASSERT_TRUE(std::equal(plain.begin(), plain.end(),
				                       out.begin() + 7 - offset));
				ASSERT_EQ(dec_reg, enc_reg);
				if (n % 8 != 0 || n > 300)
					continue;
				Bytes ecb_want = tc26 ? ecb(key, plain) : Bytes();
				for (size_t b = 0; !tc26 && b < n; b += 8) {
					Bytes block = ref_encrypt(
					        table, key,
					        Bytes(plain.begin() + b, plain.begin() + b + 8));
					ecb_want.insert(ecb_want.end(), block.begin(), block.end());
				}
				std::copy(plain.begin(), plain.end(), space.begin() + offset);
				g2814789_encrypt_ecb(Key(key).ks, space.data() + offset,
				                     static_cast<int>(n / 8));
				ASSERT_TRUE(std::equal(ecb_want.begin(), ecb_want.end(),
				                       space.begin() + offset));
				if (product) { // decipherment inverts only an invertible table
					g2814789_decrypt_ecb(Key(key).ks, space.data() + offset,
					                     static_cast<int>(n / 8));
					ASSERT_TRUE(std::equal(plain.begin(), plain.end(),
					                       space.begin() + offset));
				}
			}
		}
	}
}

// The register copy a partial segment leaves on the stack is wiped, on every
// path, enciphering and deciphering.
TEST(GostPaths, APartialSegmentWipesItsRegisterCopy)
{
	struct Restore {
		~Restore() { gost_use_path(best); }
		GostPath best = gost_path();
	} restore;
	for (GostPath path : every_path()) {
		ASSERT_TRUE(gost_use_path(path));
		Bytes key = random_bytes(32), reg = random_bytes(8), d = random_bytes(13);
		tail_wipes = 0;
		tail_wiped_clear = true;
		gost_encrypt_cfb(Key(key).ks, reg.data(), d.data(), 13);
		gost_decrypt_cfb(Key(key).ks, reg.data(), d.data(), 5);
		gost_decrypt_cfb(Key(key).ks, reg.data(), d.data(), 8);
		EXPECT_EQ(tail_wipes, 2) << gost_path_name(path);
		EXPECT_TRUE(tail_wiped_clear) << gost_path_name(path);
	}
}

// ---- CRC-32 against zlib's crc32, fed whole, in pieces and resumed -------

TEST(Crc32, CheckValueAndNothingToFeed)
{
	const unsigned char digits[] = "123456789";
	EXPECT_EQ(CalcCRC32Compat(digits, 9), 0xCBF43926u);
	EXPECT_EQ(crc32_app, 0xCBF43926u);
	StartCRC32Compat();
	EXPECT_EQ(FinalizeCRC32Compat(), 0u) << "the CRC of no bytes";

	crc32_app = 0x12345678;
	EXPECT_EQ(CalcCRC32Compat(digits, 0), 0u);
	EXPECT_EQ(CalcCRC32Compat(digits, -9), 0u);
	EXPECT_EQ(CalcCRC32Compat(nullptr, 9), 0u);
	AppendCRC32Compat(digits, 0);
	AppendCRC32Compat(digits, -1);
	AppendCRC32Compat(nullptr, 9);
	EXPECT_EQ(crc32_app, 0x12345678u);
}

TEST(Crc32, MatchesZlibHoweverTheDataIsSplitAndResumed)
{
	struct Restore {
		~Restore() { crc32_use_clmul(had_clmul); }
		bool had_clmul = crc32_clmul_available();
	} restore;
	for (int round = 0; round < 300; round++) {
		crc32_use_clmul(round % 2 == 0); // the carry-less path where there is one
		std::vector<uint8_t> data = random_bytes(rng() % 3000);
		size_t resume_at = rng() % (data.size() + 1);
		StartCRC32Compat();
		for (size_t pos = 0, n; pos < data.size(); pos += n) {
			// some pieces long enough for the 256-byte folds, with every tail
			n = std::min<size_t>(rng() % (round % 3 == 0 ? 1000 : 100),
			                     data.size() - pos);
			if (pos <= resume_at &&
			    resume_at < pos + n) { // finish, then go on from the CRC
				AppendCRC32Compat(&data[pos], static_cast<int>(resume_at - pos));
				ContinueCRC32Compat(FinalizeCRC32Compat());
				AppendCRC32Compat(&data[resume_at],
				                  static_cast<int>(pos + n - resume_at));
			} else {
				AppendCRC32Compat(&data[pos], static_cast<int>(n));
			}
		}
		ASSERT_EQ(FinalizeCRC32Compat(), zlib_crc(data.data(), data.size())) << data.size();
	}
}

TEST(Crc32, FileCrcCoversTheHeaderFromFlagOnwardsAndTheData)
{
	FileEncHeader header;
	std::vector<uint8_t> raw = random_bytes(sizeof header), data = random_bytes(500);
	std::memcpy(&header, raw.data(), sizeof header);
	std::vector<uint8_t> covered(raw.begin() + 4, raw.end());
	covered.insert(covered.end(), data.begin(), data.end());

	EXPECT_EQ(CalcFileCRC(&header, data.data(), 500), zlib_crc(covered.data(), covered.size()));
	EXPECT_EQ(CalcFileCRC(&header, data.data(), -1), zlib_crc(&raw[4], 44));
	header.crc32 ^= 0xFFFF;
	EXPECT_EQ(CalcFileCRC(&header, nullptr, 0), zlib_crc(&raw[4], 44));
	header.reserved[5] ^= 1;
	EXPECT_NE(CalcFileCRC(&header, nullptr, 0), zlib_crc(&raw[4], 44));

	crc32_app = 0x12345678;
	EXPECT_EQ(CalcFileCRC(nullptr, data.data(), 500), 0u);
	EXPECT_EQ(crc32_app, 0x12345678u);
}

} // namespace
