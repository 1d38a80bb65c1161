/*
 * The cipher on arm64 with NEON table look-ups: tbl over four registers
 * looks up a 64-byte table in registers, so one tbl finds the low box of
 * all four bytes of a word (the index is the nibble plus 16 times the
 * byte's position) and one the high box, for four words at once. Serial
 * work takes one word of each half; CFB decipherment takes sixteen segments
 * at once, in four registers per half, so that the rounds of different
 * registers overlap.
 */
#include "gost_a.h"

#if defined(__aarch64__)

#include <arm_neon.h>

#include "wipe.h"

namespace {

constexpr int kWideBlocks = 16;

/* entry 16 p + n: box n of the pair serving byte p; high results shifted */
alignas(16) u8_gost_type low_boxes[64];
alignas(16) u8_gost_type high_boxes[64];

bool supported()
{
	return true; /* NEON is part of every arm64 processor */
}

bool prepare(const g2814789_subst *subst)
{
	return gost_split_boxes(subst, low_boxes, high_boxes);
}

struct Neon {
	uint8x16x4_t low, high;
	uint8x16_t nibble, position;
	uint32x4_t key[8];
};

void load(Neon &w, const u32_gost_type *key)
{
	w.low = vld1q_u8_x4(low_boxes);
	w.high = vld1q_u8_x4(high_boxes);
	w.nibble = vdupq_n_u8(0x0F);
	w.position = vreinterpretq_u8_u32(vdupq_n_u32(0x30201000));
	for (int i = 0; i < 8; i++)
		w.key[i] = vdupq_n_u32(key[i]);
}

/* n ^ rotl11(S(x)) */
[[gnu::always_inline]] inline uint32x4_t round(const Neon &w, uint32x4_t x, uint32x4_t n)
{
	uint8x16_t b = vreinterpretq_u8_u32(x);
	uint8x16_t lo = vorrq_u8(vandq_u8(b, w.nibble), w.position);
	uint8x16_t hi = vorrq_u8(vshrq_n_u8(b, 4), w.position);
	uint32x4_t s =
	        vreinterpretq_u32_u8(vorrq_u8(vqtbl4q_u8(w.low, lo), vqtbl4q_u8(w.high, hi)));
	return veorq_u32(n, vsriq_n_u32(vshlq_n_u32(s, 11), s, 21));
}

template <int V>
[[gnu::always_inline]] inline void crypt(const Neon &w, uint32x4_t (&n1)[V], uint32x4_t (&n2)[V],
                                         const u8_gost_type *order)
{
#pragma GCC unroll 16
	for (int i = 0; i < 32; i += 2) {
		for (int v = 0; v < V; v++)
			n2[v] = round(w, vaddq_u32(n1[v], w.key[order[i]]), n2[v]);
		for (int v = 0; v < V; v++)
			n1[v] = round(w, vaddq_u32(n2[v], w.key[order[i + 1]]), n1[v]);
	}
}

void blocks(const u32_gost_type *key, u32_gost_type *n1, u32_gost_type *n2, int count,
            bool decipher)
{
	Neon w;
	load(w, key);
	u32_gost_type h1[GOST_LANES_MAX] = {0}, h2[GOST_LANES_MAX] = {0};
	memcpy(h1, n1, sizeof *n1 * static_cast<size_t>(count));
	memcpy(h2, n2, sizeof *n2 * static_cast<size_t>(count));
	uint32x4_t x1[1] = {vld1q_u32(h1)}, x2[1] = {vld1q_u32(h2)};
	crypt<1>(w, x1, x2, gost_key_order[decipher ? 1 : 0]);
	vst1q_u32(h1, x1[0]);
	vst1q_u32(h2, x2[0]);
	memcpy(n1, h1, sizeof *n1 * static_cast<size_t>(count));
	memcpy(n2, h2, sizeof *n2 * static_cast<size_t>(count));
	wipe(h1, sizeof h1);
	wipe(h2, sizeof h2);
	wipe(w.key, sizeof w.key);
}

void cfb_encrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2, u8_gost_type *d,
                 size_t count)
{
	Neon w;
	load(w, key);
	uint32x4_t x1[1] = {vdupq_n_u32(*r1)}, x2[1] = {vdupq_n_u32(*r2)};
	for (; count > 0; count--, d += GOST_BLOCK_SIZE) {
		crypt<1>(w, x1, x2, gost_key_order[0]);
		/* the keystream block is n2 then n1 */
		uint32x2_t c = veor_u32(vzip1_u32(vget_low_u32(x2[0]), vget_low_u32(x1[0])),
		                        vreinterpret_u32_u8(vld1_u8(d)));
		vst1_u8(d, vreinterpret_u8_u32(c));
		x1[0] = vdupq_lane_u32(c, 0);
		x2[0] = vdupq_lane_u32(c, 1);
	}
	*r1 = vgetq_lane_u32(x1[0], 0);
	*r2 = vgetq_lane_u32(x2[0], 0);
	wipe(w.key, sizeof w.key);
}

void cfb_decrypt(const u32_gost_type *key, u32_gost_type *r1, u32_gost_type *r2,
                 const u8_gost_type *src, u8_gost_type *dst, size_t chunks)
{
	Neon w;
	load(w, key);
	for (; chunks > 0; chunks--, src += kWideBlocks * 8, dst += kWideBlocks * 8) {
		/* each block's keystream enciphers the ciphertext segment before it */
		u8_gost_type in[kWideBlocks * 8];
		gost_store_le32(in, *r1);
		gost_store_le32(in + 4, *r2);
		memcpy(in + 8, src, sizeof in - 8);
		*r1 = gost_load_le32(src + sizeof in - 8);
		*r2 = gost_load_le32(src + sizeof in - 4);
		uint32x4_t n1[4], n2[4];
		for (int v = 0; v < 4; v++) {
			uint32x4x2_t h = vld2q_u32(reinterpret_cast<const uint32_t *>(in + 32 * v));
			n1[v] = h.val[0];
			n2[v] = h.val[1];
		}
		crypt<4>(w, n1, n2, gost_key_order[0]);
		for (int v = 0; v < 4; v++) {
			uint32x4x2_t c =
			        vld2q_u32(reinterpret_cast<const uint32_t *>(src + 32 * v));
			c.val[0] = veorq_u32(c.val[0], n2[v]);
			c.val[1] = veorq_u32(c.val[1], n1[v]);
			vst2q_u32(reinterpret_cast<uint32_t *>(dst + 32 * v), c);
		}
	}
	wipe(w.key, sizeof w.key);
}

} // namespace

extern "C" const GostEngine gost_engine_neon = {
        GOST_PATH_NEON, "neon", supported, prepare, blocks, cfb_encrypt, kWideBlocks, cfb_decrypt};

#else

extern "C" const GostEngine gost_engine_neon = {GOST_PATH_NEON, "neon",  nullptr, nullptr,
                                                nullptr,        nullptr, 0,       nullptr};

#endif
