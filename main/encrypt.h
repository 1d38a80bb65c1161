/* Cipher engine: the encryption unit. FileEncHeader is public
 * (draxel_lib.h); this header adds what only the library's own units use. */
#ifndef DRAXEL_ENCRYPT_H
#define DRAXEL_ENCRYPT_H

#include "draxel_lib.h"
#include "gost_a.h"
#include "token_layout.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
	FILE_HEADER_SIZE = 48,      /* sizeof(FileEncHeader) */
	FILE_HEADER_CRC_OFFSET = 4, /* the CRC covers the header from flag onwards */
	FILE_CRC_SIZE = 4           /* the CRC behind the data, least significant byte first */
};

#ifdef __cplusplus
}

#include <stddef.h>

static_assert(sizeof(FileEncHeader) == FILE_HEADER_SIZE, "the header is 48 bytes on file");
static_assert(offsetof(FileEncHeader, flag) == FILE_HEADER_CRC_OFFSET &&
                      offsetof(FileEncHeader, ver) == 5 && offsetof(FileEncHeader, reserved) == 6 &&
                      offsetof(FileEncHeader, cryptogram) == 12,
              "the header's fields on file");

/*
 * What the message and the file operations share: the mode table, the
 * opening of the token's security environment, the session key and the PSO
 * block loop.
 */

/* A heap block that may hold plaintext, a key or a token's answer. It is
 * wiped before it is released, on every path. */
class SecretBlock {
public:
	SecretBlock() = default;
	~SecretBlock() { reset(); }
	SecretBlock(const SecretBlock &) = delete;
	SecretBlock &operator=(const SecretBlock &) = delete;

	/* A new block of len bytes (array new, so a caller may delete[] what
	 * release() hands out); false when memory is short. */
	bool allocate(size_t len);
	/* Takes over a block that EncryptData and its kin handed out. */
	void adopt(BYTE *data, size_t len);
	BYTE *release();
	void reset();
	BYTE *get() const { return data_; }
	size_t size() const { return size_; }

private:
	BYTE *data_ = NULL;
	size_t size_ = 0;
};

constexpr size_t kCryptogramSize = draxel_layout::kCryptogramLen;
constexpr size_t kKeySize = draxel_layout::kKeyLen;      /* a session key, a file key */
constexpr size_t kGroupField = draxel_layout::kFieldLen; /* a group name as the token takes it */
constexpr size_t kSessionAnswerRoom = kCryptogramSize + kKeySize; /* with the key, in fast mode */
constexpr size_t kMaxPhrase = 219; /* with the cryptogram, one command's data */
constexpr size_t kPsoBlock = 232;  /* 29 cipher blocks per PSO command */

/* The key reference of a use mode (1, 2, 3: 0x0B, 0x0D, 0x0F); 0 for any
 * other mode and, in group mode, for a group name that is null, empty or
 * over 64 bytes. */
BYTE mode_key_id(int use_mode, const char *group_name);

/* Length of a pass phrase (a null one is empty); false when it is too long
 * to travel with a cryptogram. */
bool phrase_length(const char *pas_phrase, BYTE *len);

/* The opening every operation shares: select the application, restore the
 * security environment and set the key, check the pass phrase (102) and,
 * in group mode, select the group. */
unsigned long open_session(ReaderStructPtr prs, int use_mode, BYTE key_id, const char *pas_phrase,
                           const char *group_name, BYTE *pas_phrase_len);

/* APDU_GenSesKey with room for the longest answer; an answer of any length
 * but expected_len is 101. answer needs kSessionAnswerRoom bytes. */
unsigned long generate_session_key(ReaderStructPtr prs, const char *pas_phrase, BYTE pas_phrase_len,
                                   BYTE mode, BYTE *answer, unsigned long expected_len);

/* The PSO loop of EncryptData, DecryptData and the token-mode file chunks:
 * blocks of 232 bytes, the last one closing the token's chain when
 * close_chain is set. */
unsigned long run_pso_chain(ReaderStructPtr prs, const BYTE *data, unsigned long data_len,
                            BYTE **out_buf, unsigned long *out_buf_len, bool close_chain,
                            bool encipher);

/* The hand-out of EncryptMes and the file operations: with out null the
 * caller asks for the size, which goes to *out_size; otherwise out must hold
 * total bytes. True when the caller may write them; false with the code to
 * return in *rc (0 when only the size was asked). */
bool output_fits(size_t total, const void *out, int *out_size, unsigned long *rc);
#endif

#endif
