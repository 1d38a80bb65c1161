/*
 * The encryption unit.
 */
#include "encrypt.h"

#include <limits.h>
#include <stddef.h>
#include <string.h>

#include <new>

#include "secret_memory.h"
#include "transmit.h"
#include "utils.h"
#include "wipe.h"

/* ======================================================================== */
/* Shared by messages and files                                             */
/* ======================================================================== */

bool SecretBlock::allocate(size_t len)
{
	reset();
	/* one byte at least, so that an empty block is still a block to free */
	data_ = new (std::nothrow) BYTE[len != 0 ? len : 1];
	size_ = data_ != NULL ? len : 0;
	guard_secret(data_, size_);
	return data_ != NULL;
}

void SecretBlock::adopt(BYTE *data, size_t len)
{
	reset();
	data_ = data;
	size_ = data != NULL ? len : 0;
	guard_secret(data_, size_);
}

BYTE *SecretBlock::release()
{
	/* the host's block from here on */
	unguard_secret(data_, size_);
	BYTE *data = data_;
	data_ = NULL;
	size_ = 0;
	return data;
}

void SecretBlock::reset()
{
	if (data_ != NULL) {
		wipe(data_, size_);
		unguard_secret(data_, size_);
		delete[] data_;
	}
	data_ = NULL;
	size_ = 0;
}

BYTE mode_key_id(int use_mode, const char *group_name)
{
	switch (use_mode) {
	case 1:
		return 0x0B;
	case 2:
		return 0x0D;
	case 3: {
		size_t len = group_name != NULL ? strnlen(group_name, kGroupField + 1) : 0;
		return len != 0 && len <= kGroupField ? 0x0F : 0;
	}
	default:
		return 0;
	}
}

bool phrase_length(const char *pas_phrase, BYTE *len)
{
	size_t n = pas_phrase != NULL ? strnlen(pas_phrase, kMaxPhrase + 1) : 0;
	*len = static_cast<BYTE>(n);
	return n <= kMaxPhrase;
}

namespace {

/* The group name in the token's 64-byte field: the name, then zero bytes
 * (none after a name of 64). */
unsigned long select_group(ReaderStructPtr prs, const char *group_name)
{
	BYTE field[kGroupField] = {0};
	memcpy(field, group_name, strnlen(group_name, kGroupField));
	return APDU_SelectGroup(prs, field, kGroupField);
}

} // namespace

unsigned long open_session(ReaderStructPtr prs, int use_mode, BYTE key_id, const char *pas_phrase,
                           const char *group_name, BYTE *pas_phrase_len)
{
	unsigned long rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = APDU_MSEReset(prs);
	if (rc == 0)
		rc = APDU_MSESetEnc(prs, 0x83, key_id);
	if (rc == 0 && !phrase_length(pas_phrase, pas_phrase_len))
		rc = DRAXEL_E_BAD_ARGUMENT;
	if (rc == 0 && use_mode == 3)
		rc = select_group(prs, group_name);
	return rc;
}

unsigned long generate_session_key(ReaderStructPtr prs, const char *pas_phrase, BYTE pas_phrase_len,
                                   BYTE mode, BYTE *answer, unsigned long expected_len)
{
	unsigned long answer_len = kSessionAnswerRoom;
	unsigned long rc = APDU_GenSesKey(prs, reinterpret_cast<const BYTE *>(pas_phrase),
	                                  pas_phrase_len, mode, answer, &answer_len);
	/* a cryptogram cut short would be stored and reported as success, yet
	 * no token could ever recover its key */
	if (rc == 0 && answer_len != expected_len)
		rc = DRAXEL_E_NO_READER;
	return rc;
}

unsigned long run_pso_chain(ReaderStructPtr prs, const BYTE *data, unsigned long data_len,
                            BYTE **out_buf, unsigned long *out_buf_len, bool close_chain,
                            bool encipher)
{
	if (out_buf != NULL)
		*out_buf = NULL;
	if (out_buf == NULL || out_buf_len == NULL || (data == NULL && data_len != 0))
		return DRAXEL_E_BAD_ARGUMENT;
	*out_buf_len = 0;
	SecretBlock out;
	if (!out.allocate(data_len))
		return DRAXEL_E_NO_READER;
	unsigned long rc = 0;
	for (unsigned long at = 0; rc == 0 && at < data_len;) {
		unsigned long n = data_len - at < kPsoBlock ? data_len - at : kPsoBlock;
		bool is_last = close_chain && at + n == data_len;
		BYTE len = static_cast<BYTE>(n);
		rc = encipher ? APDU_PSO_Enc(prs, data + at, len, out.get() + at, is_last)
		              : APDU_PSO_Dec(prs, data + at, len, out.get() + at, is_last);
		at += n;
	}
	if (rc == 0) {
		*out_buf_len = data_len;
		*out_buf = out.release();
	}
	return rc;
}

/* ======================================================================== */
/* Messages                                                                 */
/* ======================================================================== */

/*
 * A message travels as hex text: the token's 36-byte session-key cryptogram,
 * then the ciphertext, which is as long as the message. Every byte is
 * enciphered on the token; the host only checks, splits and converts.
 */

bool output_fits(size_t total, const void *out, int *out_size, unsigned long *rc)
{
	*rc = 0;
	if (total > INT_MAX)
		*rc = DRAXEL_E_BAD_ARGUMENT;
	else if (out == NULL)
		*out_size = static_cast<int>(total);
	else if (*out_size < 0 || static_cast<size_t>(*out_size) < total)
		*rc = DRAXEL_E_BUFFER_TOO_SMALL;
	else
		return true;
	return false;
}

namespace {

constexpr int kEncipher = 1;
constexpr int kDecipher = 2;

/* The shortest text: a cryptogram and one byte of ciphertext. */
constexpr size_t kShortestText = 2 * (kCryptogramSize + 1);
/* The longest message whose text size still fits an int. */
constexpr size_t kLongestMessage = (INT_MAX - 1) / 2 - kCryptogramSize;

/* Cryptogram and ciphertext, the binary form of the text. */
unsigned long encipher_message(ReaderStructPtr prs, const char *message, const char *pas_phrase,
                               BYTE pas_phrase_len, int use_mode, SecretBlock &binary)
{
	BYTE answer[kSessionAnswerRoom];
	size_t n = strlen(message);
	unsigned long rc =
	        generate_session_key(prs, pas_phrase, pas_phrase_len, static_cast<BYTE>(use_mode),
	                             answer, kCryptogramSize);
	BYTE *enc_buf = NULL;
	unsigned long enc_buf_len = 0;
	if (rc == 0)
		rc = EncryptData(prs, reinterpret_cast<const BYTE *>(message), n, &enc_buf,
		                 &enc_buf_len);
	SecretBlock cipher;
	cipher.adopt(enc_buf, enc_buf_len);
	if (rc == 0 && !binary.allocate(kCryptogramSize + n))
		rc = DRAXEL_E_NO_READER;
	if (rc == 0) {
		memcpy(binary.get(), answer, kCryptogramSize);
		memcpy(binary.get() + kCryptogramSize, cipher.get(), n);
	}
	wipe(answer, sizeof answer);
	return rc;
}

unsigned long decipher_message(ReaderStructPtr prs, const char *message, const char *pas_phrase,
                               BYTE pas_phrase_len, int use_mode, SecretBlock &plain)
{
	size_t text_len = strlen(message);
	unsigned long m = Mes2Bin(message, text_len, NULL);
	/* a bad pair decodes to nothing and blanks shorten the text: neither
	 * may reach the token as a short cryptogram or a negative length */
	if (m <= kCryptogramSize)
		return DRAXEL_E_BAD_ARGUMENT;
	SecretBlock decoded;
	if (!decoded.allocate(m))
		return DRAXEL_E_NO_READER;
	Mes2Bin(message, text_len, decoded.get());
	unsigned long rc = APDU_SetSesKey(prs, reinterpret_cast<const BYTE *>(pas_phrase),
	                                  pas_phrase_len, decoded.get(), kCryptogramSize,
	                                  static_cast<BYTE>(use_mode), NULL, NULL);
	BYTE *out_buf = NULL;
	unsigned long out_buf_len = 0;
	if (rc == 0)
		rc = DecryptData(prs, decoded.get() + kCryptogramSize, m - kCryptogramSize,
		                 &out_buf, &out_buf_len);
	plain.adopt(out_buf, out_buf_len);
	return rc;
}

/* The text of the binary form, or the plaintext with its terminating zero. */
unsigned long deliver_message(const SecretBlock &result, bool enciphered, char *out_mes,
                              int *out_mes_size)
{
	size_t out_len = enciphered ? 2 * result.size() + 1 : result.size() + 1;
	unsigned long rc;
	if (!output_fits(out_len, out_mes, out_mes_size, &rc))
		return rc;
	if (enciphered) {
		if (Bin2Mes(result.get(), result.size(), out_mes) != out_len)
			return DRAXEL_E_NO_READER;
	} else {
		memcpy(out_mes, result.get(), result.size());
		out_mes[result.size()] = '\0';
	}
	*out_mes_size = static_cast<int>(out_len);
	return 0;
}

unsigned long message_dialogue(ReaderStructPtr prs, const char *message, char *out_mes,
                               int *out_mes_size, int use_mode, int op_mode, const char *pas_phrase,
                               const char *group_name)
{
	BYTE key_id = mode_key_id(use_mode, group_name);
	if (message == NULL || out_mes_size == NULL || key_id == 0)
		return DRAXEL_E_BAD_ARGUMENT;
	if (op_mode == kEncipher && (message[0] == '\0' || strlen(message) > kLongestMessage))
		return DRAXEL_E_BAD_ARGUMENT;
	if (prs == NULL)
		return DRAXEL_E_COMMUNICATION; /* as the first exchange would fail */
	BYTE pas_phrase_len = 0;
	unsigned long rc =
	        open_session(prs, use_mode, key_id, pas_phrase, group_name, &pas_phrase_len);
	SecretBlock result;
	if (rc == 0)
		rc = op_mode == kEncipher ? encipher_message(prs, message, pas_phrase,
		                                             pas_phrase_len, use_mode, result)
		                          : decipher_message(prs, message, pas_phrase,
		                                             pas_phrase_len, use_mode, result);
	if (rc == 0)
		rc = deliver_message(result, op_mode == kEncipher, out_mes, out_mes_size);
	return rc;
}

/* The exported entry points' size query, by arithmetic alone. */
unsigned long report_size(size_t size, int *out_mes_size)
{
	*out_mes_size = static_cast<int>(size);
	return 0;
}

bool valid_text(const char *message, size_t *len)
{
	if (message == NULL)
		return false;
	*len = strlen(message);
	return *len % 2 == 0 && *len >= kShortestText;
}

} // namespace

extern "C" {

unsigned long EncryptData(ReaderStructPtr prs, const BYTE *data, unsigned long data_len,
                          BYTE **out_buf, unsigned long *out_buf_len)
{
	ReaderTransaction hold(prs);
	return run_pso_chain(prs, data, data_len, out_buf, out_buf_len, true, true);
}

void FreeDataBlock(BYTE *block, unsigned long len)
{
	SecretBlock owned;
	owned.adopt(block, len);
}

unsigned long DecryptData(ReaderStructPtr prs, const BYTE *data, unsigned long data_len,
                          BYTE **out_buf, unsigned long *out_buf_len)
{
	ReaderTransaction hold(prs);
	return run_pso_chain(prs, data, data_len, out_buf, out_buf_len, true, false);
}

unsigned long PerformOp(ReaderStructPtr pCurReader, const char *message, char *out_mes,
                        int *out_mes_size, int use_mode, int op_mode, const char *pas_phrase,
                        const char *group_name)
{
	ReaderTransaction hold(pCurReader);
	unsigned long rc = message_dialogue(pCurReader, message, out_mes, out_mes_size, use_mode,
	                                    op_mode, pas_phrase, group_name);
	return rc != 0 ? SetError(rc, pCurReader) : 0;
}

unsigned long EncryptMes(const char *message, char *out_mes, int *out_mes_size, int mode,
                         const char *pas_phrase, const char *group_name)
{
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc;
	if (message == NULL || message[0] == '\0' || out_mes_size == NULL ||
	    strlen(message) > kLongestMessage)
		rc = DRAXEL_E_BAD_ARGUMENT;
	else if (out_mes == NULL)
		rc = report_size((strlen(message) + kCryptogramSize) * 2 + 1, out_mes_size);
	else
		rc = PerformOp(prs, message, out_mes, out_mes_size, mode, kEncipher, pas_phrase,
		               group_name);
	return rc != 0 ? SetError(rc, prs) : 0;
}

unsigned long DecryptMes(const char *message, char *out_mes, int *out_mes_size, int mode,
                         const char *pas_phrase, const char *group_name)
{
	ReaderStructPtr prs = cur_context.pCurReader;
	size_t len = 0;
	unsigned long rc;
	if (!valid_text(message, &len) || out_mes_size == NULL || len / 2 > INT_MAX)
		rc = DRAXEL_E_BAD_ARGUMENT;
	else if (out_mes == NULL)
		rc = report_size(len / 2 - kCryptogramSize + 1, out_mes_size);
	else
		rc = PerformOp(prs, message, out_mes, out_mes_size, mode, kDecipher, pas_phrase,
		               group_name);
	return rc != 0 ? SetError(rc, prs) : 0;
}

} // extern "C"
