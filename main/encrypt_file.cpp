/*
 * The encryption unit: files, chunk by chunk.
 *
 * The file in progress lives in _file_header, iv and crc32_app between the
 * calls. In fast mode the file key sits in the cryptogram's place in
 * _file_header (bytes 12 to 43): by then the cryptogram has done its work,
 * either written out in the header or handed back to the token.
 */
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "encrypt.h"
#include "transmit.h"
#include "utils.h"
#include "wipe.h"

extern "C" {
FileEncHeader _file_header;
u8_gost_type iv[GOST_BLOCK_SIZE];
}

namespace {

constexpr int kFirstChunk = DRAXEL_FILE_FIRST;
constexpr int kLastChunk = DRAXEL_FILE_LAST;
constexpr int kFastMode = DRAXEL_FILE_FAST;
constexpr int kEncipher = 1;
constexpr int kDecipher = 2;

constexpr BYTE kHeaderFlagFast = 0x01;
constexpr BYTE kModeByteWithKey = 0x10;
constexpr size_t kKeyOffset = offsetof(FileEncHeader, cryptogram);
static_assert(kKeyOffset + kKeySize <= FILE_HEADER_SIZE, "the file key fits the header");

/* The direction of the file in progress. A chunk that is not a first one
 * must continue it: after the last chunk or a failure the file key is gone,
 * and a stray chunk would otherwise be enciphered under a zero key. */
enum class FileDirection { kNone, kEncryption, kDecryption };
FileDirection file_in_progress = FileDirection::kNone;

BYTE *file_key()
{
	return reinterpret_cast<BYTE *>(&_file_header) + kKeyOffset;
}

/* The file's end, by its last chunk or by a failure: nothing of it stays. */
void end_file()
{
	ReleaseFileHold();
	wipe(&_file_header, sizeof _file_header);
	wipe(iv, sizeof iv);
	file_in_progress = FileDirection::kNone;
}

uint32_t load_crc(const BYTE *p)
{
	return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
	       static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void store_crc(BYTE *p, uint32_t crc)
{
	for (int i = 0; i < FILE_CRC_SIZE; i++)
		p[i] = static_cast<BYTE>(crc >> (8 * i));
}

/* One call: its arguments, and the data still to be taken. */
struct Chunk {
	ReaderStructPtr prs;
	const BYTE *data;
	size_t len;
	int use_mode;
	BYTE key_id;
	const char *pas_phrase;
	const char *group_name;
	bool first, last, fast;
	BYTE pas_phrase_len;
	/* the caller's output and its capacity: a fast chunk is ciphered there
	 * in place, without a working block */
	BYTE *dest;
	size_t dest_capacity;

	void skip(size_t n)
	{
		data += n;
		len -= n;
	}
	/* Fast files of modes 1 and 2 have the token hand out the key itself. */
	bool key_from_token() const { return fast && use_mode != 3; }
	BYTE mode_byte() const
	{
		return static_cast<BYTE>(use_mode | (key_from_token() ? kModeByteWithKey : 0));
	}
};

/* What one call hands back, in file order. */
struct Output {
	FileEncHeader header;
	BYTE enc_rnd_key[kKeySize];
	BYTE crc[FILE_CRC_SIZE];
	bool has_header = false, has_enc_rnd_key = false, has_crc = false;
	SecretBlock body;
	size_t direct_len = 0; /* body bytes already in place in the caller's output */
	bool direct = false;

	Output() { memset(&header, 0, sizeof header); }
	~Output()
	{
		wipe(&header, sizeof header);
		wipe(enc_rnd_key, sizeof enc_rnd_key);
	}
	Output(const Output &) = delete;
	Output &operator=(const Output &) = delete;

	size_t size() const { return prefix_size() + body_size() + (has_crc ? FILE_CRC_SIZE : 0); }
	size_t prefix_size() const
	{
		return (has_header ? FILE_HEADER_SIZE : 0) + (has_enc_rnd_key ? kKeySize : 0);
	}
	size_t body_size() const { return direct ? direct_len : body.size(); }
};

BYTE *put(BYTE *to, const void *from, size_t len, bool present)
{
	if (!present || len == 0)
		return to;
	memcpy(to, from, len);
	return to + len;
}

unsigned long deliver(const Output &out, unsigned char *out_mes, int *out_mes_size)
{
	size_t total = out.size();
	unsigned long rc;
	if (!output_fits(total, out_mes, out_mes_size, &rc))
		return rc;
	BYTE *at = put(out_mes, &out.header, FILE_HEADER_SIZE, out.has_header);
	at = put(at, out.enc_rnd_key, kKeySize, out.has_enc_rnd_key);
	at = out.direct ? at + out.direct_len : put(at, out.body.get(), out.body.size(), true);
	put(at, out.crc, FILE_CRC_SIZE, out.has_crc);
	*out_mes_size = static_cast<int>(total);
	return 0;
}

/* With the file's CRC, a chunk is ciphered a stretch at a time and each
 * stretch checksummed while it is still in the first-level cache, instead
 * of a second pass over the whole chunk. Without it, the cipher takes an
 * int length, so pieces of 1 GiB. Both are multiples of the wide
 * decipherment's blocks: cut there, the CFB chains exactly as one call. */
constexpr unsigned long kStretch = 4096;
constexpr unsigned long kPiece = 1ul << 30;
static_assert(kStretch % (GOST_WIDE_BLOCKS * static_cast<unsigned long>(GOST_BLOCK_SIZE)) == 0,
              "stretches of whole wide blocks");

/* Where a stretch feeds the CRC, which is over the ciphertext. After the
 * cipher where it can: the cipher's streaming reads hide the wait for
 * memory behind its work, and the CRC then reads the cache (first, the
 * CRC would wait for memory itself). Before deciphering when the plaintext
 * may overwrite the ciphertext. */
enum class Crc { kNone, kBefore, kAfter };

void cfb_stretch(const u32_gost_type *ks, const BYTE *src, BYTE *dst, int n, bool encipher, Crc crc)
{
	if (crc == Crc::kBefore)
		AppendCRC32Compat(src, n);
	if (encipher) {
		if (src != dst)
			memmove(dst, src, static_cast<size_t>(n));
		gost_encrypt_cfb(ks, iv, dst, n);
	} else
		gost_decrypt_cfb_to(ks, iv, src, dst, n);
	if (crc == Crc::kAfter)
		AppendCRC32Compat(encipher ? dst : src, n);
}

bool overlap(const BYTE *src, const BYTE *dst, unsigned long len)
{
	uintptr_t s = reinterpret_cast<uintptr_t>(src), d = reinterpret_cast<uintptr_t>(dst);
	return s < d + len && d < s + len;
}

/* The host-side CFB from src into dst (the same place or apart), and with
 * with_crc the file's CRC; the register iv runs on from the last chunk.
 * Deciphering reads the ciphertext where it stands and writes the plaintext
 * straight where it is wanted. */
void fast_cfb(const BYTE *key, const BYTE *src, BYTE *dst, unsigned long len, bool encipher,
              bool with_crc)
{
	u32_gost_type ks[GOST_KEY_WORDS];
	g2814789_set_key(ks, key, GOST_KEY_SIZE);
	/* copied a stretch at a time, overlapping data could be overwritten
	 * before it is read */
	if (encipher && src != dst && overlap(src, dst, len)) {
		memmove(dst, src, len);
		src = dst;
	}
	Crc crc = !with_crc                             ? Crc::kNone
	          : !encipher && overlap(src, dst, len) ? Crc::kBefore
	                                                : Crc::kAfter;
	const unsigned long step = with_crc ? kStretch : kPiece;
	/* an empty chunk may come as a null pointer: no stretch then */
	for (unsigned long at = 0; at < len; at += step)
		cfb_stretch(ks, src + at, dst + at,
		            static_cast<int>(len - at < step ? len - at : step), encipher, crc);
	wipe(ks, sizeof ks);
}

/* A fast chunk goes straight into the caller's buffer when it fits there
 * behind what comes before it; otherwise through a working block. */
BYTE *direct_target(const Chunk &c, const Output &out)
{
	size_t need = out.prefix_size() + c.len + (out.has_crc ? FILE_CRC_SIZE : 0);
	if (!c.fast || c.dest == NULL || c.dest_capacity < need)
		return NULL;
	return c.dest + out.prefix_size();
}

/* ---- enciphering ---------------------------------------------------------- */

/* Group mode: the file key is drawn from the token's random numbers and
 * stored enciphered under the session key, behind the header. */
unsigned long wrap_random_key(const Chunk &c, Output &out)
{
	BYTE rnd_key[kKeySize] = {0};
	unsigned long rc = APDU_GetChallenge(c.prs, rnd_key, kKeySize);
	/* GET CHALLENGE hands back the transport's own code; a failed exchange
	 * is 116 here as for every other command of the dialogue */
	if (rc != 0 && rc != DRAXEL_TR_STATUS_WORD)
		rc = DRAXEL_E_COMMUNICATION;
	if (rc == 0)
		rc = APDU_PSO_Enc(c.prs, rnd_key, kKeySize, out.enc_rnd_key, true);
	if (rc == 0) {
		memcpy(file_key(), rnd_key, kKeySize);
		out.has_enc_rnd_key = true;
		AppendCRC32Compat(out.enc_rnd_key, kKeySize);
	}
	wipe(rnd_key, sizeof rnd_key);
	return rc;
}

unsigned long start_encryption(const Chunk &c, Output &out)
{
	BYTE answer[kSessionAnswerRoom];
	unsigned long expected = c.key_from_token() ? kCryptogramSize + kKeySize : kCryptogramSize;
	unsigned long rc = generate_session_key(c.prs, c.pas_phrase, c.pas_phrase_len,
	                                        c.mode_byte(), answer, expected);
	if (rc == 0) {
		out.header.flag = c.fast ? kHeaderFlagFast : 0;
		out.header.ver = 1;
		memcpy(out.header.cryptogram, answer, kCryptogramSize);
		out.has_header = true;
		if (c.key_from_token())
			memcpy(file_key(), answer + kCryptogramSize, kKeySize);
		StartCRC32Compat();
		AppendCRC32Compat(reinterpret_cast<const BYTE *>(&out.header) +
		                          FILE_HEADER_CRC_OFFSET,
		                  FILE_HEADER_SIZE - FILE_HEADER_CRC_OFFSET);
	}
	wipe(answer, sizeof answer);
	if (rc == 0 && c.fast && c.use_mode == 3)
		rc = wrap_random_key(c, out);
	return rc;
}

/* The chunk through the block functions, into a block of its own: token
 * mode, and the chunks that cannot be ciphered in place. */
unsigned long cipher_to_block(Chunk &c, Output &out, bool encipher)
{
	BYTE *buf = NULL;
	unsigned long buf_len = 0;
	unsigned long rc;
	if (c.fast)
		rc = encipher ? FastEncryptDataFile(file_key(), c.data, c.len, &buf, &buf_len,
		                                    c.first)
		              : FastDecryptDataFile(file_key(), c.data, c.len, &buf, &buf_len,
		                                    c.first);
	else
		rc = encipher ? EncryptDataFile(c.prs, c.data, c.len, &buf, &buf_len, c.last)
		              : DecryptDataFile(c.prs, c.data, c.len, &buf, &buf_len, c.last);
	out.body.adopt(buf, buf_len);
	return rc;
}

unsigned long encipher_chunk(Chunk &c, Output &out)
{
	unsigned long rc = 0;
	if (c.first) {
		rc = start_encryption(c, out);
		file_in_progress = FileDirection::kEncryption;
	}
	if (rc != 0)
		return rc;
	out.has_crc = c.last; /* counted before the target is chosen */
	BYTE *target = direct_target(c, out);
	if (target != NULL) {
		if (c.first)
			wipe(iv, sizeof iv);
		fast_cfb(file_key(), c.data, target, c.len, true, true);
		out.direct = true;
		out.direct_len = c.len;
	} else {
		rc = cipher_to_block(c, out, true);
	}
	if (rc != 0)
		return rc;
	if (!out.direct)
		AppendCRC32Compat(out.body.get(), static_cast<int>(out.body.size()));
	if (c.last) {
		store_crc(out.crc, FinalizeCRC32Compat());
		end_file();
	}
	return rc;
}

/* ---- deciphering ---------------------------------------------------------- */

/* The file key of a fast file, recovered by the token. */
unsigned long recover_file_key(Chunk &c)
{
	BYTE answer[kSessionAnswerRoom];
	unsigned long answer_len = sizeof answer;
	unsigned long rc = APDU_SetSesKey(c.prs, reinterpret_cast<const BYTE *>(c.pas_phrase),
	                                  c.pas_phrase_len, _file_header.cryptogram,
	                                  kCryptogramSize, c.mode_byte(), answer, &answer_len);
	if (rc == 0 && c.key_from_token() && answer_len != kKeySize)
		rc = DRAXEL_E_NO_READER;
	if (rc == 0 && !c.key_from_token()) {
		AppendCRC32Compat(c.data, kKeySize);
		rc = APDU_PSO_Dec(c.prs, c.data, kKeySize, answer, true);
		c.skip(kKeySize);
	}
	/* the key takes the cryptogram's place only now that it is spent */
	if (rc == 0)
		memcpy(file_key(), answer, kKeySize);
	wipe(answer, sizeof answer);
	return rc;
}

unsigned long start_decryption(Chunk &c)
{
	if (c.len < FILE_HEADER_SIZE)
		return DRAXEL_E_FILE_DAMAGED;
	file_in_progress = FileDirection::kDecryption;
	memcpy(&_file_header, c.data, FILE_HEADER_SIZE);
	StartCRC32Compat();
	AppendCRC32Compat(c.data + FILE_HEADER_CRC_OFFSET,
	                  FILE_HEADER_SIZE - FILE_HEADER_CRC_OFFSET);
	c.skip(FILE_HEADER_SIZE);
	c.fast = (_file_header.flag & kHeaderFlagFast) != 0;
	if (!c.fast)
		return APDU_SetSesKey(c.prs, reinterpret_cast<const BYTE *>(c.pas_phrase),
		                      c.pas_phrase_len, _file_header.cryptogram, kCryptogramSize,
		                      c.mode_byte(), NULL, NULL);
	if (c.use_mode == 3 && c.len < kKeySize)
		return DRAXEL_E_FILE_DAMAGED;
	return recover_file_key(c);
}

/* The CRC the file carries: in the header of a version 0 file, otherwise
 * in the last four bytes, which are taken off the data. */
unsigned long take_stored_crc(Chunk &c, uint32_t *stored)
{
	if (_file_header.ver == 0) {
		*stored = load_crc(reinterpret_cast<const BYTE *>(&_file_header.crc32));
		return 0;
	}
	if (c.len < FILE_CRC_SIZE)
		return DRAXEL_E_FILE_DAMAGED;
	*stored = load_crc(c.data + c.len - FILE_CRC_SIZE);
	c.len -= FILE_CRC_SIZE;
	return 0;
}

/* Closes the CRC of a last chunk; 121 when it differs from the stored one.
 * It runs before the chunk is deciphered, so that a damaged file yields no
 * plaintext at all. */
unsigned long check_crc(const Chunk &c, uint32_t stored)
{
	if (!c.last)
		return 0;
	return FinalizeCRC32Compat() == stored ? 0 : DRAXEL_E_INTEGRITY;
}

unsigned long decipher_chunk(Chunk &c, Output &out)
{
	unsigned long rc = c.first ? start_decryption(c) : 0;
	c.fast = (_file_header.flag & kHeaderFlagFast) != 0;
	uint32_t stored = 0;
	if (rc == 0 && c.last)
		rc = take_stored_crc(c, &stored);
	if (rc != 0)
		return rc;
	BYTE *target = direct_target(c, out);
	/* the last chunk is checked before it is deciphered (see check_crc);
	 * the others straight into the caller's output in the same pass */
	bool same_pass = target != NULL && !c.last;
	if (!same_pass)
		AppendCRC32Compat(c.data, static_cast<int>(c.len));
	rc = check_crc(c, stored);
	if (rc == 0 && target != NULL) {
		if (c.first)
			wipe(iv, sizeof iv);
		fast_cfb(file_key(), c.data, target, c.len, false, same_pass);
		out.direct = true;
		out.direct_len = c.len;
	} else if (rc == 0) {
		rc = cipher_to_block(c, out, false);
	}
	if (c.last)
		end_file();
	return rc;
}

/* ---- one chunk ------------------------------------------------------------ */

constexpr int kHeaderBytes = FILE_HEADER_SIZE;
constexpr int kEncKeyBytes = static_cast<int>(kKeySize);
constexpr int kCrcBytes = FILE_CRC_SIZE;

/* What a chunk adds to its data when enciphered. */
int encryption_overhead(int use_mode, int flags)
{
	bool first = (flags & kFirstChunk) != 0;
	return (first ? kHeaderBytes : 0) +
	       (first && use_mode == 3 && (flags & kFastMode) != 0 ? kEncKeyBytes : 0) +
	       ((flags & kLastChunk) != 0 ? kCrcBytes : 0);
}

int decryption_overhead(int flags)
{
	return ((flags & kFirstChunk) != 0 ? kHeaderBytes : 0) +
	       ((flags & kLastChunk) != 0 ? kCrcBytes : 0);
}

/* The checks that need no token; 0 when the chunk may go ahead. */
unsigned long check_chunk(const Chunk &c, int op_mode, int flags, const int *out_mes_size)
{
	bool encipher = op_mode == kEncipher;
	FileDirection direction =
	        encipher ? FileDirection::kEncryption : FileDirection::kDecryption;
	if (out_mes_size == NULL || c.key_id == 0)
		return DRAXEL_E_BAD_ARGUMENT;
	/* the output's length must fit the int that reports it */
	if (encipher &&
	    c.len > static_cast<size_t>(INT_MAX - encryption_overhead(c.use_mode, flags)))
		return DRAXEL_E_BAD_ARGUMENT;
	if (!c.first && file_in_progress != direction)
		return DRAXEL_E_BAD_ARGUMENT;
	if (c.prs == NULL)
		return DRAXEL_E_COMMUNICATION; /* as the first exchange would fail */
	return 0;
}

unsigned long file_chunk(Chunk &c, int op_mode, int flags, unsigned char *out_mes,
                         int *out_mes_size)
{
	unsigned long rc = check_chunk(c, op_mode, flags, out_mes_size);
	if (rc == 0 && c.first) {
		end_file();
		rc = open_session(c.prs, c.use_mode, c.key_id, c.pas_phrase, c.group_name,
		                  &c.pas_phrase_len);
	}
	Output out;
	if (rc == 0)
		rc = op_mode == kEncipher ? encipher_chunk(c, out) : decipher_chunk(c, out);
	if (rc == 0)
		rc = deliver(out, out_mes, out_mes_size);
	/* the token's PSO chain runs on between the chunks: no other program's
	 * command may come between them */
	if (rc == 0 && c.first && !c.last && !c.fast)
		HoldReaderForFile(c.prs);
	return rc;
}

/* The exported entry points' size query, from the arguments alone. */
unsigned long query_size(int in_data_size, int overhead, bool encipher, int *out_data_size)
{
	if (encipher && in_data_size > INT_MAX - overhead)
		return DRAXEL_E_BAD_ARGUMENT;
	if (!encipher && overhead > in_data_size)
		return DRAXEL_E_FILE_DAMAGED;
	*out_data_size = encipher ? in_data_size + overhead : in_data_size - overhead;
	return 0;
}

unsigned long file_entry(const unsigned char *in_data, int in_data_size, unsigned char *out_data,
                         int *out_data_size, int mode, int op_mode, const char *pas_phrase,
                         const char *group_name, int flags)
{
	ReaderStructPtr prs = cur_context.pCurReader;
	bool encipher = op_mode == kEncipher;
	unsigned long rc;
	if (in_data_size < 0 || out_data_size == NULL) {
		rc = DRAXEL_E_BAD_ARGUMENT;
		/* a chunk refused for its arguments fails like any other and ends
		 * the file; a size query is no chunk */
		if (out_data != NULL)
			end_file();
	} else if (out_data == NULL)
		rc = query_size(in_data_size,
		                encipher ? encryption_overhead(mode, flags)
		                         : decryption_overhead(flags),
		                encipher, out_data_size);
	else
		rc = PerformFileOp(prs, in_data, in_data_size, out_data, out_data_size, mode,
		                   op_mode, pas_phrase, group_name, flags);
	return rc != 0 ? SetError(rc, prs) : 0;
}

/* The host-side CFB of one chunk; the register iv runs on from the last. */
unsigned long fast_chunk(const BYTE *key, const BYTE *data, unsigned long data_len, BYTE **out_buf,
                         unsigned long *out_buf_len, bool is_first, bool encipher)
{
	if (out_buf != NULL)
		*out_buf = NULL;
	if (key == NULL || out_buf == NULL || out_buf_len == NULL ||
	    (data == NULL && data_len != 0))
		return DRAXEL_E_BAD_ARGUMENT;
	if (is_first)
		wipe(iv, sizeof iv);
	*out_buf_len = 0;
	SecretBlock out;
	if (!out.allocate(data_len))
		return DRAXEL_E_NO_READER;
	if (data_len != 0)
		fast_cfb(key, data, out.get(), data_len, encipher, false);
	*out_buf_len = data_len;
	*out_buf = out.release();
	return 0;
}

} // namespace

extern "C" {

unsigned long PerformFileOp(ReaderStructPtr pCurReader, const unsigned char *message,
                            int message_size, unsigned char *out_mes, int *out_mes_size,
                            int use_mode, int op_mode, const char *pas_phrase,
                            const char *group_name, int flags)
{
	ReaderTransaction hold(pCurReader);
	Chunk c = {pCurReader,
	           message,
	           message != NULL && message_size > 0 ? static_cast<size_t>(message_size) : 0,
	           use_mode,
	           mode_key_id(use_mode, group_name),
	           pas_phrase,
	           group_name,
	           (flags & kFirstChunk) != 0,
	           (flags & kLastChunk) != 0,
	           (flags & kFastMode) != 0,
	           0,
	           out_mes,
	           out_mes != NULL && out_mes_size != NULL && *out_mes_size > 0
	                   ? static_cast<size_t>(*out_mes_size)
	                   : 0};
	unsigned long rc = DRAXEL_E_BAD_ARGUMENT;
	if (message_size >= 0)
		rc = file_chunk(c, op_mode, flags, out_mes, out_mes_size);
	if (rc != 0) {
		/* a failing chunk ends the file */
		end_file();
		rc = SetError(rc, pCurReader);
	}
	return rc;
}

unsigned long EncryptFileData(const unsigned char *in_data, const int in_data_size,
                              unsigned char *out_data, int *out_data_size, int mode,
                              const char *pas_phrase, const char *group_name, int flags)
{
	return file_entry(in_data, in_data_size, out_data, out_data_size, mode, kEncipher,
	                  pas_phrase, group_name, flags);
}

unsigned long DecryptFileData(const unsigned char *in_data, const int in_data_size,
                              unsigned char *out_data, int *out_data_size, int mode,
                              const char *pas_phrase, const char *group_name, int flags)
{
	return file_entry(in_data, in_data_size, out_data, out_data_size, mode, kDecipher,
	                  pas_phrase, group_name, flags);
}

unsigned long EncryptDataFile(ReaderStructPtr prs, const BYTE *data, unsigned long data_len,
                              BYTE **out_buf, unsigned long *out_buf_len, bool is_last_call)
{
	ReaderTransaction hold(prs);
	return run_pso_chain(prs, data, data_len, out_buf, out_buf_len, is_last_call, true);
}

unsigned long DecryptDataFile(ReaderStructPtr prs, const BYTE *data, unsigned long data_len,
                              BYTE **out_buf, unsigned long *out_buf_len, bool is_last_call)
{
	ReaderTransaction hold(prs);
	return run_pso_chain(prs, data, data_len, out_buf, out_buf_len, is_last_call, false);
}

unsigned long FastEncryptDataFile(const BYTE *key, const BYTE *data, unsigned long data_len,
                                  BYTE **out_buf, unsigned long *out_buf_len, bool is_first)
{
	return fast_chunk(key, data, data_len, out_buf, out_buf_len, is_first, true);
}

void AbandonFileData(void)
{
	end_file();
}

unsigned long FastDecryptDataFile(const BYTE *key, const BYTE *data, unsigned long data_len,
                                  BYTE **out_buf, unsigned long *out_buf_len, bool is_first)
{
	return fast_chunk(key, data, data_len, out_buf, out_buf_len, is_first, false);
}

} // extern "C"
