// EncryptFileData and DecryptFileData: the exact dialogue and layout against
// a scripted token, then files through the software token in-process, the
// fast files checked against libgcrypt's CFB under the key the token handed
// out and the CRC against zlib.
#include <gcrypt.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "encrypt_support.h"

using draxel::test::Bytes;
using draxel::test::counting;
using draxel::test::opening;
using draxel::test::ScriptedDialogue;
using draxel::test::select_group;
using draxel::test::SoftToken;
using draxel::test::text_hex;
using draxel::test::to_hex;

namespace {

using Commands = std::vector<std::string>;

constexpr int kFirst = 0x100, kLast = 0x200, kWhole = 0x300, kFast = 0x001;
constexpr unsigned long kNoReader = 101, kBadArgument = 102, kTooSmall = 106, kDamaged = 112,
                        kCannotDecrypt = 113, kNoGroup = 117, kIntegrity = 121;
constexpr uint8_t kGuard = 0xEE;

const Bytes kCryptogram = counting(36, 0xC0);
const Bytes kFileKey = counting(32, 0x70);

std::mt19937 rng(3434);

Bytes random_bytes(size_t n)
{
	Bytes b(n);
	std::generate(b.begin(), b.end(), [] { return static_cast<uint8_t>(rng()); });
	return b;
}

Bytes cat(Bytes a, const Bytes& b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

Bytes slice(const Bytes& b, size_t from, size_t len)
{
	return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + len));
}

std::string ok(const Bytes& data) { return to_hex(data) + "9000"; }

// The independent oracles: libgcrypt's GOST 28147-89 CFB with the TC26
// boxes from a zero register (it reads keys as the library does), zlib's
// CRC-32 stored least significant byte first.
Bytes oracle_cfb(const Bytes& key, Bytes d)
{
	static const bool ready = gcry_check_version(nullptr) &&
	                          !gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
	EXPECT_TRUE(ready);
	gcry_cipher_hd_t h;
	const uint8_t zero[8] = {0};
	EXPECT_EQ(gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_CFB, 0), 0u);
	EXPECT_EQ(gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, (void*)"1.2.643.7.1.2.5.1.1", 0), 0u);
	EXPECT_EQ(gcry_cipher_setkey(h, key.data(), key.size()), 0u);
	EXPECT_EQ(gcry_cipher_setiv(h, zero, sizeof zero), 0u);
	EXPECT_EQ(gcry_cipher_encrypt(h, d.data(), d.size(), nullptr, 0), 0u);
	gcry_cipher_close(h);
	return d;
}

Bytes crc_bytes(const Bytes& b, size_t from, size_t len)
{
	uint32_t crc = static_cast<uint32_t>(crc32(0, b.data() + from, static_cast<uInt>(len)));
	return {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
	        static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
}

// A header as the library writes it.
Bytes header(bool fast, const Bytes& cryptogram)
{
	return cat(draxel::test::from_hex(fast ? "00000000" "01" "01" "000000000000"
	                                       : "00000000" "00" "01" "000000000000"),
	           cryptogram);
}

bool is_zero(const void* p, size_t n)
{
	const uint8_t* b = static_cast<const uint8_t*>(p);
	return std::all_of(b, b + n, [](uint8_t x) { return x == 0; });
}

// ---- against a scripted token -----------------------------------------------

class FileDialogue : public ScriptedDialogue {
protected:
	Bytes out = Bytes(4096, kGuard);
	int size = static_cast<int>(out.size());

	unsigned long encrypt(const Bytes& data, int flags, int mode = 1, const char* phrase = "pw",
	                      const char* group = nullptr)
	{
		size = static_cast<int>(out.size());
		return EncryptFileData(data.data(), static_cast<int>(data.size()), out.data(), &size, mode,
		                       phrase, group, flags);
	}
	unsigned long decrypt(const Bytes& data, int flags, int mode = 1, const char* phrase = "pw",
	                      const char* group = nullptr)
	{
		size = static_cast<int>(out.size());
		return DecryptFileData(data.data(), static_cast<int>(data.size()), out.data(), &size, mode,
		                       phrase, group, flags);
	}
	Bytes written() const { return slice(out, 0, static_cast<size_t>(size)); }
	bool untouched() const
	{
		return std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == kGuard; });
	}
	// The token's side of enciphering n bytes in one chain.
	void script_blocks(size_t n, bool enciphering)
	{
		for (size_t at = 0; at < n; at += 232) {
			Bytes block = counting(std::min<size_t>(232, n - at), static_cast<uint8_t>(at));
			token.reply(enciphering ? "02" + ok(block) : ok(block));
		}
	}
};

TEST_F(FileDialogue, TokenModeFileInOneCall)
{
	Bytes data = random_bytes(300);
	accept_opening(1);
	token.reply(ok(kCryptogram));
	script_blocks(300, true);
	ASSERT_EQ(encrypt(data, kWhole), 0u);

	Commands expected = opening(1);
	expected.insert(expected.end(), {"8036010102" + text_hex("pw"),
	                                 "102A8680E8" + to_hex(slice(data, 0, 232)),
	                                 "002A868044" + to_hex(slice(data, 232, 68))});
	EXPECT_EQ(sent(), expected);

	Bytes cipher = cat(counting(232, 0), counting(68, 232));
	Bytes file = cat(header(false, kCryptogram), cipher);
	file = cat(file, crc_bytes(file, 4, file.size() - 4));
	EXPECT_EQ(to_hex(written()), to_hex(file));
	EXPECT_EQ(out[352], kGuard);

	// and back
	mark();
	accept_opening(1);
	token.reply("9000");
	script_blocks(300, false);
	ASSERT_EQ(decrypt(file, kWhole), 0u);
	expected = opening(1);
	expected.insert(expected.end(), {"8036020126" + text_hex("pw") + to_hex(kCryptogram),
	                                 "102A8086E902" + to_hex(slice(cipher, 0, 232)),
	                                 "002A80864502" + to_hex(slice(cipher, 232, 68))});
	EXPECT_EQ(sent(), expected);
	EXPECT_EQ(to_hex(written()), to_hex(cipher)) << "what the token deciphered";
}

TEST_F(FileDialogue, TokenModeChainRunsAcrossChunks)
{
	Bytes data = random_bytes(450);
	accept_opening(2);
	token.reply(ok(kCryptogram));
	token.reply("02" + ok(counting(100)));
	ASSERT_EQ(encrypt(slice(data, 0, 100), kFirst, 2), 0u);
	EXPECT_EQ(sent().back(), "102A868064" + to_hex(slice(data, 0, 100))) << "chained";
	EXPECT_EQ(to_hex(written()), to_hex(cat(header(false, kCryptogram), counting(100))));

	mark();
	ASSERT_EQ(encrypt(Bytes(), 0, 2), 0u);
	EXPECT_EQ(size, 0);
	EXPECT_TRUE(sent().empty()) << "an empty middle chunk sends nothing";

	token.reply("02" + ok(counting(232, 100)));
	token.reply("02" + ok(counting(68, 76)));
	ASSERT_EQ(encrypt(slice(data, 100, 300), 0, 2), 0u);
	EXPECT_EQ(sent(), (Commands{"102A8680E8" + to_hex(slice(data, 100, 232)),
	                            "102A868044" + to_hex(slice(data, 332, 68))}));

	mark();
	token.reply("02" + ok(counting(50, 144)));
	ASSERT_EQ(encrypt(slice(data, 400, 50), kLast, 2), 0u);
	EXPECT_EQ(sent(), (Commands{"002A868032" + to_hex(slice(data, 400, 50))})) << "the chain ends";
	Bytes file = cat(cat(cat(header(false, kCryptogram), counting(100)), counting(232, 100)),
	                 cat(counting(68, 76), counting(50, 144)));
	EXPECT_EQ(to_hex(written()), to_hex(cat(counting(50, 144), crc_bytes(file, 4, file.size() - 4))));
	EXPECT_TRUE(is_zero(&_file_header, sizeof _file_header) && is_zero(iv, sizeof iv));
}

TEST_F(FileDialogue, SessionKeyAnswersOfTheWrongLengthAre101)
{
	Bytes data = random_bytes(20);
	Bytes fast_file = cat(header(true, kCryptogram), Bytes(24, 0));
	struct Case {
		int flags;
		size_t answer;
		bool enciphering;
	} cases[] = {{kWhole | kFast, 36, true}, {kWhole | kFast, 67, true}, {kWhole, 68, true},
	             {kWhole, 35, true},        {kWhole, 0, false},        {kWhole, 31, false},
	             {kWhole, 36, false}};
	for (const Case& c : cases) {
		mark();
		accept_opening(1);
		token.reply(ok(counting(c.answer)));
		unsigned long rc = c.enciphering ? encrypt(data, c.flags) : decrypt(fast_file, c.flags);
		EXPECT_EQ(rc, kNoReader) << c.answer;
		EXPECT_EQ(sent().size(), 4u) << "nothing after the session key";
		EXPECT_TRUE(untouched());
		EXPECT_EQ(cur_context.error, kNoReader);
	}
	accept_opening(1);
	token.reply(ok(counting(69)));
	EXPECT_EQ(encrypt(data, kWhole | kFast), 8u) << "more than the room of 68";
}

TEST_F(FileDialogue, DamagedFilesAre112)
{
	Bytes file = cat(header(false, kCryptogram), Bytes(3, 0));
	accept_opening(1);
	EXPECT_EQ(decrypt(slice(file, 0, 47), kFirst), kDamaged);
	EXPECT_TRUE(no_cipher_command());
	accept_opening(3);
	EXPECT_EQ(decrypt(cat(header(true, kCryptogram), Bytes(31, 0)), kFirst, 3, "pw", "team"), kDamaged)
	    << "a fast group file without its whole wrapped key";
	EXPECT_TRUE(no_cipher_command());

	mark();
	accept_opening(1);
	token.reply("9000");
	ASSERT_EQ(decrypt(slice(file, 0, 48), kFirst), 0u);
	EXPECT_EQ(size, 0);
	mark();
	EXPECT_EQ(decrypt(Bytes(3, 0), kLast), kDamaged) << "no room for the CRC";
	EXPECT_TRUE(sent().empty());
	EXPECT_EQ(cur_context.error, kDamaged);

	int query = 0;
	EXPECT_EQ(DecryptFileData(file.data(), 51, nullptr, &query, 1, "pw", nullptr, kWhole), kDamaged);
	EXPECT_EQ(DecryptFileData(file.data(), 3, nullptr, &query, 1, "pw", nullptr, kLast), kDamaged);
	EXPECT_EQ(DecryptFileData(file.data(), 52, nullptr, &query, 1, "pw", nullptr, kWhole), 0u);
	EXPECT_EQ(query, 0);
}

TEST_F(FileDialogue, SizesAndArgumentsAreCheckedWithoutTheToken)
{
	int query = -7;
	EXPECT_EQ(EncryptFileData(nullptr, 0, nullptr, &query, 1, "pw", nullptr, kWhole), 0u);
	EXPECT_EQ(query, 52);
	EXPECT_EQ(EncryptFileData(nullptr, 100, nullptr, &query, 1, "pw", nullptr, 0), 0u);
	EXPECT_EQ(query, 100);
	EXPECT_EQ(EncryptFileData(nullptr, 100, nullptr, &query, 3, "pw", "g", kWhole | kFast), 0u);
	EXPECT_EQ(query, 184);
	EXPECT_EQ(DecryptFileData(nullptr, 184, nullptr, &query, 3, "pw", "g", kWhole), 0u);
	EXPECT_EQ(query, 132) << "the query does not read the header";
	EXPECT_EQ(EncryptFileData(nullptr, 100, nullptr, &query, 3, "pw", "g", kLast | kFast), 0u);
	EXPECT_EQ(query, 104);
	EXPECT_EQ(EncryptFileData(nullptr, INT_MAX - 52, nullptr, &query, 1, "pw", nullptr, kWhole), 0u);
	EXPECT_EQ(query, INT_MAX);
	EXPECT_EQ(DecryptFileData(nullptr, 100, nullptr, &query, 1, "pw", nullptr, kFirst), 0u);
	EXPECT_EQ(query, 52);

	query = 5;
	Bytes data(10, 1);
	EXPECT_EQ(EncryptFileData(nullptr, INT_MAX - 51, nullptr, &query, 1, "pw", nullptr, kWhole),
	          kBadArgument);
	EXPECT_EQ(EncryptFileData(nullptr, INT_MAX - 83, nullptr, &query, 3, "pw", "g", kWhole | kFast),
	          kBadArgument);
	EXPECT_EQ(EncryptFileData(nullptr, -1, nullptr, &query, 1, "pw", nullptr, kWhole), kBadArgument);
	EXPECT_EQ(DecryptFileData(nullptr, -1, nullptr, &query, 1, "pw", nullptr, kWhole), kBadArgument);
	EXPECT_EQ(EncryptFileData(data.data(), 10, nullptr, nullptr, 1, "pw", nullptr, kWhole),
	          kBadArgument);
	EXPECT_EQ(EncryptFileData(data.data(), 10, out.data(), nullptr, 1, "pw", nullptr, kWhole),
	          kBadArgument);
	EXPECT_EQ(DecryptFileData(data.data(), 10, out.data(), nullptr, 1, "pw", nullptr, kWhole),
	          kBadArgument);
	EXPECT_EQ(EncryptFileData(data.data(), -1, out.data(), &size, 1, "pw", nullptr, kWhole),
	          kBadArgument);
	EXPECT_EQ(query, 5);
	for (int mode : {0, 4, -1})
		EXPECT_EQ(encrypt(data, kWhole, mode), kBadArgument) << mode;
	std::string group65(65, 'g');
	EXPECT_EQ(encrypt(data, kWhole, 3, "pw", group65.c_str()), kBadArgument);
	EXPECT_EQ(encrypt(data, kWhole, 3, "pw", ""), kBadArgument);
	EXPECT_EQ(decrypt(data, kWhole, 3, "pw", nullptr), kBadArgument);
	EXPECT_EQ(cur_context.error, kBadArgument);

	cur_context.pCurReader = nullptr;
	EXPECT_EQ(encrypt(data, kWhole), kNoReader);
	EXPECT_TRUE(token.commands().empty());
	EXPECT_TRUE(untouched());
}

// A chunk that is not a first one continues the file in progress, in the
// same direction; after the last chunk or a failure there is none.
TEST_F(FileDialogue, StrayChunksAreRefused)
{
	Bytes data(16, 0x33);
	EXPECT_EQ(encrypt(data, 0), kBadArgument);
	EXPECT_EQ(encrypt(data, kLast | kFast), kBadArgument);
	EXPECT_EQ(decrypt(data, kLast), kBadArgument);
	EXPECT_TRUE(token.commands().empty());

	accept_opening(1);
	token.reply(ok(cat(kCryptogram, kFileKey)));
	ASSERT_EQ(encrypt(data, kFirst | kFast), 0u);
	EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t*>(&_file_header) + 12, kFileKey.data(), 32), 0)
	    << "the file key waits in the header";
	EXPECT_EQ(decrypt(data, 0), kBadArgument) << "not a decryption";
	EXPECT_TRUE(is_zero(&_file_header, sizeof _file_header)) << "the failure ended the file";
	EXPECT_EQ(encrypt(data, kLast | kFast), kBadArgument) << "so nothing goes under a zero key";

	mark();
	accept_opening(1);
	token.reply(ok(cat(kCryptogram, kFileKey)));
	ASSERT_EQ(encrypt(data, kWhole | kFast), 0u);
	EXPECT_TRUE(is_zero(&_file_header, sizeof _file_header) && is_zero(iv, sizeof iv))
	    << "the key does not linger after the last chunk";
	std::fill(out.begin(), out.end(), kGuard);
	EXPECT_EQ(encrypt(data, kFast), kBadArgument);
	EXPECT_EQ(sent().size(), 4u);
	EXPECT_TRUE(untouched());
}

TEST_F(FileDialogue, ASizeOneShortWritesNothingAndEndsTheFile)
{
	Bytes data = random_bytes(10);
	accept_opening(1);
	token.reply(ok(cat(kCryptogram, kFileKey)));
	size = 61;
	EXPECT_EQ(EncryptFileData(data.data(), 10, out.data(), &size, 1, "pw", nullptr, kWhole | kFast),
	          kTooSmall);
	EXPECT_EQ(size, 61);
	EXPECT_TRUE(untouched());
	EXPECT_TRUE(is_zero(&_file_header, sizeof _file_header));

	// a first chunk may be tried again
	accept_opening(1);
	token.reply(ok(cat(kCryptogram, kFileKey)));
	size = 62;
	EXPECT_EQ(EncryptFileData(data.data(), 10, out.data(), &size, 1, "pw", nullptr, kWhole | kFast),
	          0u);
	EXPECT_EQ(size, 62);
}

TEST_F(FileDialogue, TokenRefusalsAreMapped)
{
	Bytes data(8, 1);
	accept_opening(1);
	token.reply("63C0");
	EXPECT_EQ(encrypt(data, kWhole), kCannotDecrypt);
	accept_opening(1);
	token.reply("63C0");
	EXPECT_EQ(decrypt(cat(header(false, kCryptogram), Bytes(12, 0)), kWhole), kCannotDecrypt);
	accept_opening(1);
	token.reply("6A88");
	EXPECT_EQ(encrypt(data, kWhole, 3, "pw", "nobody"), kNoGroup);
	EXPECT_EQ(token.commands().back(), select_group("nobody"));
	accept_opening(3);
	token.reply(ok(kCryptogram));
	token.reply("6A86");
	EXPECT_EQ(encrypt(data, kWhole | kFast, 3, "pw", "team"), 120u) << "GET CHALLENGE refused";
	EXPECT_EQ(cur_context.error, 120u);
	accept_opening(3);
	token.reply(ok(kCryptogram));
	token.reply_with_length("9000", 1);
	EXPECT_EQ(encrypt(data, kWhole | kFast, 3, "pw", "team"), 116u) << "GET CHALLENGE failed";
	EXPECT_TRUE(untouched());
}

// ---- through the software token ---------------------------------------------

// Chunk lengths: the whole length in one, or pieces of `chunk`.
std::vector<size_t> split(size_t total, size_t chunk)
{
	std::vector<size_t> chunks;
	for (size_t at = 0; chunk != 0 && at < total; at += chunk)
		chunks.push_back(std::min(chunk, total - at));
	if (chunks.empty())
		chunks.push_back(total);
	return chunks;
}

class FileRoundTrip : public SoftToken {
protected:
	const char* group_of(int mode) { return mode == 3 ? kGroup : nullptr; }
	const char* phrase_of(int mode) { return mode == 3 ? kGroupPhrase : "file phrase"; }

	// Enciphers data chunk by chunk; each output as long as the query said.
	Bytes encrypt(const Bytes& data, int mode, bool fast, const std::vector<size_t>& chunks,
	              unsigned long* rc)
	{
		Bytes file;
		*rc = 0;
		size_t at = 0;
		for (size_t i = 0; i < chunks.size() && *rc == 0; at += chunks[i++]) {
			int flags = (i == 0 ? kFirst : 0) | (i + 1 == chunks.size() ? kLast : 0) | (fast ? kFast : 0);
			int len = static_cast<int>(chunks[i]), size = 0;
			*rc = EncryptFileData(data.data() + at, len, nullptr, &size, mode, phrase_of(mode),
			                      group_of(mode), flags);
			Bytes out(static_cast<size_t>(size) + 1, kGuard);
			int query = size;
			if (*rc == 0)
				*rc = EncryptFileData(data.data() + at, len, out.data(), &size, mode,
				                      phrase_of(mode), group_of(mode), flags);
			EXPECT_TRUE(*rc != 0 || size == query) << "chunk " << i;
			EXPECT_EQ(out.back(), kGuard);
			if (*rc == 0)
				file = cat(file, slice(out, 0, static_cast<size_t>(size)));
		}
		return file;
	}
	// Deciphers the file in pieces of the given lengths. A piece's
	// plaintext is never longer than the piece (the size query may be short
	// for a header whose ver is 0, and is checked against scripted tokens).
	Bytes decrypt(const Bytes& file, int mode, const std::vector<size_t>& pieces, unsigned long* rc,
	              const char* phrase = nullptr)
	{
		Bytes plain;
		*rc = 0;
		size_t at = 0;
		for (size_t i = 0; i < pieces.size() && *rc == 0; at += pieces[i++]) {
			int flags = (i == 0 ? kFirst : 0) | (i + 1 == pieces.size() ? kLast : 0);
			Bytes out(pieces[i] + 1, kGuard);
			int size = static_cast<int>(pieces[i]);
			*rc = DecryptFileData(file.data() + at, static_cast<int>(pieces[i]), out.data(), &size,
			                      mode, phrase != nullptr ? phrase : phrase_of(mode),
			                      group_of(mode), flags);
			EXPECT_EQ(out.back(), kGuard);
			if (*rc == 0)
				plain = cat(plain, slice(out, 0, static_cast<size_t>(size)));
		}
		return plain;
	}
	// The file's pieces for chunks of the plaintext: the header (and the
	// wrapped key) with the first, the CRC with the last.
	static std::vector<size_t> pieces(std::vector<size_t> chunks, size_t head, size_t tail = 4)
	{
		chunks.front() += head;
		chunks.back() += tail;
		return chunks;
	}
	static size_t head(int mode, bool fast) { return fast && mode == 3 ? 80 : 48; }
	// The last commands sent, each cut to the length of its counterpart.
	Commands sent_heads(const Commands& like) const
	{
		Commands heads;
		size_t n = std::min(like.size(), card.exchanges.size());
		for (size_t i = 0; i < n; i++) {
			const Bytes& c = card.exchanges[card.exchanges.size() - n + i].first;
			heads.push_back(to_hex(c).substr(0, like[i].size()));
		}
		return heads;
	}
	size_t exchanges() const { return card.exchanges.size(); }
};

TEST_F(FileRoundTrip, EveryModeTokenAndFastInChunksOfManySizes)
{
	for (int mode = 1; mode <= 3; mode++) {
		for (bool fast : {false, true}) {
			SCOPED_TRACE(testing::Message() << "empty file, mode " << mode << " fast " << fast);
			unsigned long rc;
			Bytes file = encrypt({}, mode, fast, {0}, &rc);
			ASSERT_EQ(rc, 0u);
			EXPECT_EQ(file.size(), head(mode, fast) + 4);
			EXPECT_EQ(decrypt(file, mode, {file.size()}, &rc), Bytes());
			EXPECT_EQ(rc, 0u);
		}
	}
	Bytes data = random_bytes(3000);
	for (int mode = 1; mode <= 3; mode++) {
		for (bool fast : {false, true}) {
			for (size_t chunk : {0, 1, 7, 8, 100, 231, 232, 233, 1000}) {
				SCOPED_TRACE(testing::Message() << "mode " << mode << (fast ? " fast" : " token")
				                                << " chunk " << chunk);
				if (chunk == 1 && !fast && mode != 2)
					continue; // a PSO per byte: once is enough
				std::vector<size_t> chunks = split(data.size(), chunk);
				unsigned long rc;
				Bytes file = encrypt(data, mode, fast, chunks, &rc);
				ASSERT_EQ(rc, 0u);
				ASSERT_EQ(file.size(), head(mode, fast) + data.size() + 4);
				EXPECT_EQ(file[4], fast ? 1 : 0);
				EXPECT_EQ(decrypt(file, mode, pieces(chunks, head(mode, fast)), &rc), data);
				EXPECT_EQ(rc, 0u);
				if (fast && chunk % 8 == 0) {
					// split at other multiples of 8 on the way back
					EXPECT_EQ(decrypt(file, mode, pieces(split(data.size(), 512), head(mode, fast)), &rc),
					          data);
					EXPECT_EQ(rc, 0u);
				}
			}
		}
	}
}

TEST_F(FileRoundTrip, FastFilesDecipherWithTheKeyTheTokenHandedOut)
{
	Bytes data = random_bytes(8292);
	for (int mode = 1; mode <= 3; mode++) {
		SCOPED_TRACE(mode);
		// an empty first chunk, then 4096, 4096 and 100 bytes
		std::memset(iv, 0xA5, sizeof iv);
		unsigned long rc;
		card.exchanges.clear();
		Bytes file = encrypt(data, mode, true, {0, 4096, 4096, 100}, &rc);
		ASSERT_EQ(rc, 0u);
		Bytes answer = card.last_reply(0x36, 0x01);
		size_t head_len = head(mode, true);
		Bytes key = mode == 3 ? card.last_reply(0x84, 0x00) : slice(answer, 36, 32);
		ASSERT_EQ(answer.size(), mode == 3 ? 36u : 68u);
		ASSERT_EQ(key.size(), 32u);
		// the token is used in the first chunk only: in modes 1 and 2 it
		// hands out the key (mode byte 0x1m); in group mode it draws the key
		// and enciphers it as one chain
		Commands tail = mode == 3 ? Commands{"803601030C", "0084000020", "002A868020" + to_hex(key)}
		                          : Commands{"803601" + to_hex(Bytes{uint8_t(0x10 + mode)}) + "0B"};
		EXPECT_EQ(sent_heads(tail), tail);

		EXPECT_EQ(to_hex(slice(file, 0, 48)), to_hex(header(true, slice(answer, 0, 36))));
		if (mode == 3) {
			Bytes wrapped = card.last_reply(0x2A, 0x86);
			EXPECT_EQ(to_hex(slice(file, 48, 32)), to_hex(slice(wrapped, 1, 32)))
			    << "the token's encipherment of the key";
			EXPECT_NE(slice(file, 48, 32), key);
		}
		EXPECT_EQ(to_hex(slice(file, head_len, data.size())), to_hex(oracle_cfb(key, data)))
		    << "plain CFB from a zero register";
		EXPECT_EQ(to_hex(slice(file, file.size() - 4, 4)), to_hex(crc_bytes(file, 4, file.size() - 8)));
		EXPECT_EQ(decrypt(file, mode, pieces({8292}, head_len), &rc), data);
	}
}

TEST_F(FileRoundTrip, ChangedBytesFailTheCheckAtTheLastChunk)
{
	Bytes data = random_bytes(1000);
	struct Case {
		int mode;
		bool fast;
		size_t at;
		unsigned long rc;
	} cases[] = {{3, true, 0, 0},           {3, true, 6, kIntegrity},   {3, true, 11, kIntegrity},
	             {3, true, 50, kIntegrity}, {3, true, 500, kIntegrity}, {3, true, 1083, kIntegrity},
	             {1, false, 2, 0},          {1, false, 7, kIntegrity},  {1, false, 900, kIntegrity},
	             {1, false, 1049, kIntegrity}, {1, true, 30, kCannotDecrypt}};
	for (const Case& c : cases) {
		SCOPED_TRACE(testing::Message() << "mode " << c.mode << " byte " << c.at);
		unsigned long rc;
		Bytes file = encrypt(data, c.mode, c.fast, {1000}, &rc);
		ASSERT_EQ(rc, 0u);
		file[c.at] ^= 0x01;
		size_t head_len = head(c.mode, c.fast);
		std::vector<size_t> parts = {head_len + 600, file.size() - head_len - 600};
		Bytes plain = decrypt(file, c.mode, parts, &rc);
		EXPECT_EQ(rc, c.rc);
		EXPECT_EQ(cur_context.error, c.rc == 0 ? cur_context.error : c.rc);
		if (c.rc == kIntegrity) {
			EXPECT_EQ(plain.size(), 600u) << "the last chunk's plaintext is withheld";
		}
		if (c.rc == 0) {
			EXPECT_EQ(plain, data) << "the crc32 field of a version 1 file is not read";
		}
		EXPECT_TRUE(is_zero(&_file_header, sizeof _file_header) && is_zero(iv, sizeof iv));
	}
}

// A header whose ver is 0 carries the CRC in its crc32 field and nothing
// behind the data.
TEST_F(FileRoundTrip, VersionZeroHeaderCarriesTheCrc)
{
	Bytes data = random_bytes(698);
	for (bool fast : {false, true}) {
		SCOPED_TRACE(fast);
		unsigned long rc;
		Bytes file = encrypt(data, 1, fast, {698}, &rc);
		ASSERT_EQ(rc, 0u);
		file.resize(file.size() - 4);
		file[5] = 0;
		Bytes crc = crc_bytes(file, 4, file.size() - 4);
		std::copy(crc.begin(), crc.end(), file.begin());
		EXPECT_EQ(decrypt(file, 1, {file.size()}, &rc), data);
		EXPECT_EQ(rc, 0u);
		EXPECT_EQ(decrypt(file, 1, {48 + 696, 2}, &rc), data) << "a last chunk of 2 bytes";
		EXPECT_EQ(rc, 0u);

		int query = 0;
		ASSERT_EQ(DecryptFileData(file.data(), 100, nullptr, &query, 1, "", nullptr, kLast), 0u);
		EXPECT_EQ(query, 96) << "the query does not know the header: 4 bytes short";

		file[300] ^= 0x80;
		decrypt(file, 1, {file.size()}, &rc);
		EXPECT_EQ(rc, kIntegrity);
	}
}

TEST_F(FileRoundTrip, MiddleChunksOfNothingChangeNothing)
{
	Bytes data = random_bytes(100);
	for (bool fast : {false, true}) {
		uint8_t out[8];
		int size = sizeof out;
		int fast_flag = fast ? kFast : 0;
		ASSERT_EQ(EncryptFileData(data.data(), 16, nullptr, &size, 1, "p", nullptr, kFirst), 0u);
		Bytes first(static_cast<size_t>(size));
		ASSERT_EQ(EncryptFileData(data.data(), 16, first.data(), &size, 1, "p", nullptr,
		                          kFirst | fast_flag),
		          0u);
		uint8_t reg[8];
		std::memcpy(reg, iv, 8);
		uint32_t crc = crc32_app;
		size_t before = exchanges();
		size = sizeof out;
		EXPECT_EQ(EncryptFileData(nullptr, 0, out, &size, 1, "p", nullptr, fast_flag), 0u);
		EXPECT_EQ(size, 0);
		EXPECT_EQ(exchanges(), before);
		EXPECT_EQ(std::memcmp(reg, iv, 8), 0);
		EXPECT_EQ(crc32_app, crc);
		Bytes last(88);
		size = static_cast<int>(last.size());
		EXPECT_EQ(EncryptFileData(data.data() + 16, 84, last.data(), &size, 1, "p", nullptr,
		                          kLast | fast_flag),
		          0u);
		unsigned long rc;
		Bytes file = cat(first, last);
		EXPECT_EQ(decrypt(file, 1, {file.size()}, &rc, "p"), data);
	}
}

TEST_F(FileRoundTrip, RefusalsEndTheFile)
{
	unsigned long rc;
	Bytes data = random_bytes(500);
	Bytes file = encrypt(data, 2, true, {500}, &rc);
	ASSERT_EQ(rc, 0u);
	decrypt(file, 2, {300, file.size() - 300}, &rc, "wrong phrase");
	EXPECT_EQ(rc, kCannotDecrypt);
	uint8_t out[300];
	int size = sizeof out;
	EXPECT_EQ(DecryptFileData(file.data() + 300, 100, out, &size, 2, "file phrase", nullptr, 0),
	          kBadArgument)
	    << "no file in progress after the failed first chunk";

	Bytes group_file = encrypt(data, 3, false, {500}, &rc);
	ASSERT_EQ(rc, 0u);
	size = sizeof out;
	EXPECT_EQ(DecryptFileData(group_file.data(), 100, out, &size, 3, kGroupPhrase, "elsewhere", kFirst),
	          kNoGroup);

	power_cycle();
	encrypt(data, 1, true, {500}, &rc);
	EXPECT_EQ(rc, 104u) << "the PIN is verified per card session";
}

// The chunk functions on their own: the register runs on across calls.
TEST(FastChunks, TheRegisterRunsOnAcrossCalls)
{
	Bytes key = random_bytes(32), data = random_bytes(8292);
	auto run = [&](bool encipher, const Bytes& in, const std::vector<size_t>& chunks) {
		Bytes result;
		size_t at = 0;
		for (size_t i = 0; i < chunks.size(); at += chunks[i++]) {
			BYTE* buf = nullptr;
			unsigned long len = 0;
			unsigned long rc = (encipher ? FastEncryptDataFile : FastDecryptDataFile)(
			    key.data(), in.data() + at, chunks[i], &buf, &len, i == 0);
			EXPECT_EQ(rc, 0u);
			EXPECT_EQ(len, chunks[i]);
			result = cat(result, Bytes(buf, buf + len));
			delete[] buf;
		}
		return result;
	};
	Bytes whole = run(true, data, {8292});
	EXPECT_EQ(whole, oracle_cfb(key, data));
	EXPECT_EQ(run(true, data, {4096, 4096, 100}), whole);
	Bytes odd = run(true, data, {4095, 4197});
	EXPECT_NE(odd, whole) << "a partial segment leaves keystream in the register";
	EXPECT_EQ(run(false, odd, {4095, 4197}), data);
	EXPECT_NE(run(false, odd, {4096, 4196}), data);
	EXPECT_EQ(run(false, whole, {8, 4000, 4284}), data);

	BYTE* buf = reinterpret_cast<BYTE*>(1);
	unsigned long len = 7;
	EXPECT_EQ(FastEncryptDataFile(nullptr, data.data(), 8, &buf, &len, true), kBadArgument);
	EXPECT_EQ(buf, nullptr) << "nothing to free after a failure";
	EXPECT_EQ(FastEncryptDataFile(key.data(), nullptr, 8, &buf, &len, true), kBadArgument);
	EXPECT_EQ(FastDecryptDataFile(key.data(), data.data(), 8, nullptr, &len, true), kBadArgument);
	EXPECT_EQ(EncryptData(nullptr, data.data(), 8, nullptr, &len), kBadArgument);
	EXPECT_EQ(DecryptDataFile(nullptr, data.data(), 8, &buf, nullptr, true), kBadArgument);
	std::memset(iv, 0xA5, sizeof iv);
	ASSERT_EQ(FastEncryptDataFile(key.data(), nullptr, 0, &buf, &len, true), 0u);
	EXPECT_NE(buf, nullptr);
	EXPECT_EQ(len, 0u);
	EXPECT_TRUE(is_zero(iv, sizeof iv)) << "a first chunk of nothing starts the register";
	delete[] buf;
}

} // namespace
