/*
 * GOST 28147-89 on the host: the block cipher, ECB and CFB over caller
 * memory, and two helpers for arithmetic modulo 2^32 - 1.
 *
 * Where the processor can look up 16-byte tables in registers, a vector
 * engine (gost_a_ssse3.cpp, gost_a_avx2.cpp, gost_a_wide.cpp,
 * gost_a_neon.cpp) does every block, and no memory address depends on the
 * key or the data. Otherwise the round function below reads four tables of
 * words derived from curr_subst, each holding a substituted byte already in
 * its place in the word and rotated left by 11: a round is then an
 * addition, four look-ups and XORs. g2814789_set_subst rebuilds every
 * engine's tables, so they always follow curr_subst.
 */
#include "gost_a.h"

#include <stdlib.h>
#include <string.h>

#include "wipe.h"

extern "C" {
g2814789_subst curr_subst;
}

namespace {

/* round_tab[j][b]: byte b in byte position j of the word, substituted by
 * its pair of boxes and rotated left by 11. */
u32_gost_type round_tab[4][256];

constexpr u32_gost_type rotl11(u32_gost_type x)
{
	return x << 11 | x >> 21;
}

void build_round_tables()
{
	for (u32_gost_type i = 0; i < 256; i++) {
		round_tab[0][i] = rotl11(curr_subst.gost_k21[i]);
		round_tab[1][i] = rotl11(static_cast<u32_gost_type>(curr_subst.gost_k43[i]) << 8);
		round_tab[2][i] = rotl11(static_cast<u32_gost_type>(curr_subst.gost_k65[i]) << 16);
		round_tab[3][i] = rotl11(static_cast<u32_gost_type>(curr_subst.gost_k87[i]) << 24);
	}
}

/* ---- choosing the engine ---------------------------------------------- */

const GostEngine *const engines[] = {nullptr, &gost_engine_ssse3, &gost_engine_avx2,
                                     &gost_engine_avx512, &gost_engine_neon};

bool has_path(GostPath path)
{
	const GostEngine *e = engines[path];
	return path == GOST_PATH_TABLE || (e->supported != nullptr && e->supported());
}

GostPath path_from_environment()
{
	if (getenv("DRAXEL_NO_SIMD") != NULL)
		return GOST_PATH_TABLE;
	const char *want = getenv("DRAXEL_CIPHER_PATH");
	GostPath best = GOST_PATH_TABLE;
	for (int p = GOST_PATH_NEON; p > GOST_PATH_TABLE && best == GOST_PATH_TABLE; p--)
		if (has_path(static_cast<GostPath>(p)))
			best = static_cast<GostPath>(p);
	for (int p = GOST_PATH_TABLE; want != NULL && p <= GOST_PATH_NEON; p++)
		if (strcmp(want, gost_path_name(static_cast<GostPath>(p))) == 0 &&
		    has_path(static_cast<GostPath>(p)))
			best = static_cast<GostPath>(p);
	return best;
}

/* The chosen path, and its engine while curr_subst is one it can serve. */
GostPath chosen = GOST_PATH_TABLE;
const GostEngine *engine = nullptr;

void prepare_engine()
{
	static const bool once = [] {
		chosen = path_from_environment();
		return true;
	}();
	(void)once;
	engine = engines[chosen];
	if (engine != nullptr && !engine->prepare(&curr_subst))
		engine = nullptr;
}

/* The library starts with the TC26 table. */
struct DefaultSubst {
	DefaultSubst() { g2814789_set_subst(&subst_TC26); }
} default_subst;

[[gnu::always_inline]] inline u32_gost_type f(u32_gost_type x)
{
	return round_tab[3][x >> 24] ^ round_tab[2][x >> 16 & 255] ^ round_tab[1][x >> 8 & 255] ^
	       round_tab[0][x & 255];
}

/* The 32 rounds on the halves of a block, n1 from bytes 0-3 and n2 from
 * bytes 4-7. The final swap is left to the caller: n2 is written back to
 * bytes 0-3 and n1 to bytes 4-7. Each pair of rounds takes two key words.
 * Forced inline: as a call it would take the halves by address and move
 * them through memory on every block of the mode loops. */
[[gnu::always_inline]] inline void encrypt_halves(const u32_gost_type *k, u32_gost_type &n1,
                                                  u32_gost_type &n2)
{
	for (int pass = 0; pass < 3; pass++)
		for (int i = 0; i < 8; i += 2) {
			n2 ^= f(n1 + k[i]);
			n1 ^= f(n2 + k[i + 1]);
		}
	for (int i = 7; i > 0; i -= 2) {
		n2 ^= f(n1 + k[i]);
		n1 ^= f(n2 + k[i - 1]);
	}
}

[[gnu::always_inline]] inline void decrypt_halves(const u32_gost_type *k, u32_gost_type &n1,
                                                  u32_gost_type &n2)
{
	for (int i = 0; i < 8; i += 2) {
		n2 ^= f(n1 + k[i]);
		n1 ^= f(n2 + k[i + 1]);
	}
	for (int pass = 0; pass < 3; pass++)
		for (int i = 7; i > 0; i -= 2) {
			n2 ^= f(n1 + k[i]);
			n1 ^= f(n2 + k[i - 1]);
		}
}

/* encrypt_halves on several independent blocks at once. One block's rounds
 * are a chain of dependent look-ups; interleaving the blocks' rounds keeps
 * the processor busy while each look-up waits. */
template <int Lanes>
[[gnu::always_inline]] inline void round_pair(const u32_gost_type k1, const u32_gost_type k2,
                                              u32_gost_type (&n1)[Lanes],
                                              u32_gost_type (&n2)[Lanes])
{
#pragma GCC unroll 16
	for (int j = 0; j < Lanes; j++)
		n2[j] ^= f(n1[j] + k1);
#pragma GCC unroll 16
	for (int j = 0; j < Lanes; j++)
		n1[j] ^= f(n2[j] + k2);
}

template <int Lanes>
[[gnu::always_inline]] inline void encrypt_lanes(const u32_gost_type *k, u32_gost_type (&n1)[Lanes],
                                                 u32_gost_type (&n2)[Lanes])
{
#pragma GCC unroll 3
	for (int pass = 0; pass < 3; pass++) {
		round_pair(k[0], k[1], n1, n2);
		round_pair(k[2], k[3], n1, n2);
		round_pair(k[4], k[5], n1, n2);
		round_pair(k[6], k[7], n1, n2);
	}
	round_pair(k[7], k[6], n1, n2);
	round_pair(k[5], k[4], n1, n2);
	round_pair(k[3], k[2], n1, n2);
	round_pair(k[1], k[0], n1, n2);
}

/* Deciphers kLanes full segments: their keystream comes from the register
 * and the ciphertext before each, all known in advance. */
constexpr int kLanes = GOST_LANES_MAX;

void decrypt_cfb_lanes(const u32_gost_type *key, u32_gost_type &r1, u32_gost_type &r2,
                       const u8_gost_type *src, u8_gost_type *dst)
{
	u32_gost_type n1[kLanes], n2[kLanes], c[2 * kLanes];
	for (int j = 0; j < 2 * kLanes; j++)
		c[j] = gost_load_le32(src + 4 * j);
	n1[0] = r1;
	n2[0] = r2;
	for (int j = 1; j < kLanes; j++) {
		n1[j] = c[2 * (j - 1)];
		n2[j] = c[2 * (j - 1) + 1];
	}
	r1 = c[2 * (kLanes - 1)];
	r2 = c[2 * (kLanes - 1) + 1];
	if (engine != nullptr)
		engine->blocks(key, n1, n2, kLanes, false);
	else
		encrypt_lanes<kLanes>(key, n1, n2);
	for (int j = 0; j < kLanes; j++) {
		gost_store_le32(dst + 8 * j, c[2 * j] ^ n2[j]);
		gost_store_le32(dst + 8 * j + 4, c[2 * j + 1] ^ n1[j]);
	}
	wipe(n1, sizeof n1); /* keystream */
	wipe(n2, sizeof n2);
}

/* One block's halves through the engine or the tables. */
inline void crypt_halves(const u32_gost_type *key, u32_gost_type &n1, u32_gost_type &n2,
                         bool decipher)
{
	if (engine != nullptr)
		engine->blocks(key, &n1, &n2, 1, decipher);
	else if (decipher)
		decrypt_halves(key, n1, n2);
	else
		encrypt_halves(key, n1, n2);
}

void crypt_block(const u32_gost_type *key, u8_gost_type *b, bool decipher)
{
	u32_gost_type n1 = gost_load_le32(b), n2 = gost_load_le32(b + 4);
	crypt_halves(key, n1, n2, decipher);
	gost_store_le32(b, n2);
	gost_store_le32(b + 4, n1);
}

/* ECB: independent blocks, as many at once as the engine takes. */
void crypt_ecb(const u32_gost_type *key, u8_gost_type *d, int blocks, bool decipher)
{
	for (; engine != nullptr && blocks >= GOST_LANES_MAX;
	     blocks -= GOST_LANES_MAX, d += GOST_LANES_MAX * static_cast<int>(GOST_BLOCK_SIZE)) {
		u32_gost_type n1[GOST_LANES_MAX], n2[GOST_LANES_MAX];
		for (int j = 0; j < GOST_LANES_MAX; j++) {
			n1[j] = gost_load_le32(d + 8 * j);
			n2[j] = gost_load_le32(d + 8 * j + 4);
		}
		engine->blocks(key, n1, n2, GOST_LANES_MAX, decipher);
		for (int j = 0; j < GOST_LANES_MAX; j++) {
			gost_store_le32(d + 8 * j, n2[j]);
			gost_store_le32(d + 8 * j + 4, n1[j]);
		}
		wipe(n1, sizeof n1);
		wipe(n2, sizeof n2);
	}
	for (; blocks > 0; blocks--, d += GOST_BLOCK_SIZE)
		crypt_block(key, d, decipher);
}

/*
 * Ends a CFB call after its full segments: the register goes back to bytes,
 * through a final partial segment when there is one. There the register
 * ends up as the segment's ciphertext bytes followed by the keystream bytes
 * it left unused.
 */
void cfb_tail(const u32_gost_type *key, u32_gost_type r1, u32_gost_type r2, u8_gost_type *reg_bytes,
              const u8_gost_type *src, u8_gost_type *dst, int length, bool encipher)
{
	if (length == 0) {
		gost_store_le32(reg_bytes, r1);
		gost_store_le32(reg_bytes + 4, r2);
		return;
	}
	u8_gost_type reg[GOST_BLOCK_SIZE];
	crypt_halves(key, r1, r2, false);
	gost_store_le32(reg, r2);
	gost_store_le32(reg + 4, r1);
	for (int i = 0; i < length; i++) {
		u8_gost_type in = src[i], out = in ^ reg[i];
		dst[i] = out;
		reg[i] = encipher ? out : in;
	}
	memcpy(reg_bytes, reg, sizeof reg);
	wipe(reg, sizeof reg);
	gost_cfb_tail_wiped(reg, sizeof reg);
}

} // namespace

extern "C" {

__attribute__((weak)) void gost_cfb_tail_wiped(const u8_gost_type *, size_t) {}

enum GostPath gost_path(void)
{
	return engine != nullptr ? engine->path : GOST_PATH_TABLE;
}

const char *gost_path_name(enum GostPath path)
{
	static const char *const names[] = {"table", "ssse3", "avx2", "avx512", "neon"};
	return path >= GOST_PATH_TABLE && path <= GOST_PATH_NEON ? names[path] : "none";
}

bool gost_path_supported(enum GostPath path)
{
	return path >= GOST_PATH_TABLE && path <= GOST_PATH_NEON && has_path(path);
}

bool gost_use_path(enum GostPath path)
{
	if (!gost_path_supported(path))
		return false;
	prepare_engine(); /* the first choice is made, then overruled */
	chosen = path;
	prepare_engine();
	return true;
}

void g2814789_set_subst(const g2814789_subst *p_subst)
{
	if (p_subst == NULL)
		return;
	memmove(&curr_subst, p_subst, sizeof curr_subst);
	build_round_tables();
	prepare_engine();
}

int g2814789_set_key(u32_gost_type *key, const void *src, int size)
{
	if (key == NULL || src == NULL || size != GOST_KEY_SIZE)
		return -1;
	for (int i = 0; i < GOST_KEY_WORDS; i++)
		key[i] = gost_load_le32(static_cast<const u8_gost_type *>(src) + 4 * i);
	return 0;
}

void g2814789_encrypt(const u32_gost_type *key, u8_gost_type *in)
{
	if (key != NULL && in != NULL)
		crypt_block(key, in, false);
}

void g2814789_decrypt(const u32_gost_type *key, u8_gost_type *in)
{
	if (key != NULL && in != NULL)
		crypt_block(key, in, true);
}

void g2814789_encrypt_ecb(const u32_gost_type *key, u8_gost_type *d, int blocks)
{
	if (key == NULL || d == NULL)
		return;
	crypt_ecb(key, d, blocks, false);
}

void g2814789_decrypt_ecb(const u32_gost_type *key, u8_gost_type *d, int blocks)
{
	if (key == NULL || d == NULL)
		return;
	crypt_ecb(key, d, blocks, true);
}

void MemXor(unsigned char *dst, const unsigned char *src, int len)
{
	if (dst == NULL || src == NULL)
		return;
	for (int i = 0; i < len; i++)
		dst[i] ^= src[i];
}

/* The register stays in two words across the full segments. */
void gost_encrypt_cfb(const u32_gost_type *key, u8_gost_type *reg_bytes, u8_gost_type *d,
                      int length)
{
	if (key == NULL || reg_bytes == NULL || d == NULL || length <= 0)
		return;
	u32_gost_type r1 = gost_load_le32(reg_bytes), r2 = gost_load_le32(reg_bytes + 4);
	if (engine != nullptr && length >= GOST_BLOCK_SIZE) {
		const int full = length / GOST_BLOCK_SIZE;
		engine->cfb_encrypt(key, &r1, &r2, d, static_cast<size_t>(full));
		d += full * GOST_BLOCK_SIZE;
		length -= full * GOST_BLOCK_SIZE;
	}
	for (; length >= GOST_BLOCK_SIZE; length -= GOST_BLOCK_SIZE, d += GOST_BLOCK_SIZE) {
		crypt_halves(key, r1, r2, false);
		u32_gost_type c1 = r2 ^ gost_load_le32(d), c2 = r1 ^ gost_load_le32(d + 4);
		gost_store_le32(d, c1);
		gost_store_le32(d + 4, c2);
		r1 = c1;
		r2 = c2;
	}
	cfb_tail(key, r1, r2, reg_bytes, d, d, length, true);
}

void gost_decrypt_cfb(const u32_gost_type *key, u8_gost_type *reg_bytes, u8_gost_type *d,
                      int length)
{
	gost_decrypt_cfb_to(key, reg_bytes, d, d, length);
}

void gost_decrypt_cfb_to(const u32_gost_type *key, u8_gost_type *reg_bytes, const u8_gost_type *src,
                         u8_gost_type *dst, int length)
{
	if (key == NULL || reg_bytes == NULL || src == NULL || dst == NULL || length <= 0)
		return;
	u32_gost_type r1 = gost_load_le32(reg_bytes), r2 = gost_load_le32(reg_bytes + 4);
	if (engine != nullptr && engine->cfb_decrypt != nullptr) {
		const int wide_bytes = engine->wide_blocks * static_cast<int>(GOST_BLOCK_SIZE);
		const int chunks = length / wide_bytes;
		if (chunks > 0) {
			engine->cfb_decrypt(key, &r1, &r2, src, dst, static_cast<size_t>(chunks));
			src += chunks * wide_bytes;
			dst += chunks * wide_bytes;
			length -= chunks * wide_bytes;
		}
	}
	for (const int lane_bytes = kLanes * static_cast<int>(GOST_BLOCK_SIZE);
	     length >= lane_bytes; length -= lane_bytes, src += lane_bytes, dst += lane_bytes)
		decrypt_cfb_lanes(key, r1, r2, src, dst);
	for (; length >= GOST_BLOCK_SIZE;
	     length -= GOST_BLOCK_SIZE, src += GOST_BLOCK_SIZE, dst += GOST_BLOCK_SIZE) {
		crypt_halves(key, r1, r2, false);
		u32_gost_type c1 = gost_load_le32(src), c2 = gost_load_le32(src + 4);
		gost_store_le32(dst, c1 ^ r2);
		gost_store_le32(dst + 4, c2 ^ r1);
		r1 = c1;
		r2 = c2;
	}
	cfb_tail(key, r1, r2, reg_bytes, src, dst, length, false);
}

u32_gost_type sum_mod32_1(u32_gost_type a, u32_gost_type b)
{
	u32_gost_type r = a + b;
	return r < a ? r + 1 : r; /* 2^32 is 1 modulo 2^32 - 1: add the carry back */
}

u32_gost_type mul_mod32_1(u32_gost_type a, u32_gost_type b)
{
	uint64_t p = static_cast<uint64_t>(a) * b;
	u32_gost_type lo = static_cast<u32_gost_type>(p), hi = static_cast<u32_gost_type>(p >> 32);
	/* hi * 2^32 + lo is hi + lo modulo 2^32 - 1 */
	return sum_mod32_1(lo == 0xFFFFFFFF ? 0 : lo, hi == 0xFFFFFFFF ? 0 : hi);
}

} // extern "C"
