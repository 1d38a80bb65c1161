/*
 * draxel_lowlevel.h - the low-level interface of libdraxel_lib.so: the
 * layers beneath the host API of draxel_lib.h. The reader operations and the
 * library's PC/SC context, Transmit, one builder per token command, the
 * steps behind the message and file operations, the GOST 28147-89 cipher,
 * the CRC-32 and the exchange trace.
 *
 * Hosts normally need only draxel_lib.h, which includes this header; these
 * declarations are for hosts that talk to a reader or a token command by
 * command, and for the library's own tests. Their codes are the transport
 * codes DRAXEL_TR_* and the library codes, both in draxel_lib.h.
 *
 * Usable from C (C99 or later) and C++.
 */
#ifndef DRAXEL_LOWLEVEL_H
#define DRAXEL_LOWLEVEL_H

/* The shared types and codes: BYTE, ReaderStructPtr, FileEncHeader, ... */
#include "draxel_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Globals                                                                  */
/* ------------------------------------------------------------------------ */

/* The library's PC/SC context (an SCARDCONTEXT); 0 when none is established. */
extern long hSC;
/* Null in PC/SC mode; the host's table in host-handler mode. */
extern Type_ReaderFuncStruct *reader_mekta_func;
/* Reserved trace words; the library neither reads nor writes them. */
extern unsigned int tracemode;
extern unsigned int _tracemode;

/* ------------------------------------------------------------------------ */
/* Reader sessions                                                          */
/* ------------------------------------------------------------------------ */

/*
 * InitTransportLib - choose the transport.
 * @reader_func: null for PC/SC; otherwise the host's table, which must stay
 *               alive while the library is used and must have a handler.
 *
 * In host-handler mode no PC/SC function is ever called: OpenReaderContext,
 * CloseReaderContext, ListReaders, OpenReader, CloseReader and IsCardPowered
 * return 0 at once and do nothing, and IsReaderProtocolT0 answers true. May be
 * called again to change the mode.
 *
 * Example (host handler):
 *   static Type_ReaderFuncStruct table = { my_transmit };
 *   InitTransportLib(&table);
 *   ReaderStructPtr token = AllocReaderStruct(NULL);
 *   Transmit(cmd, sizeof cmd, reply, &reply_len, token);
 */
void InitTransportLib(Type_ReaderFuncStruct *reader_func);

/* IsReaderMektaFunc - true in host-handler mode. */
bool IsReaderMektaFunc(void);

/*
 * AllocReaderStruct - a new, unconnected reader record.
 * @pcName: the PC/SC reader name to remember (copied), or null.
 *
 * Returns the record, or null when memory is exhausted. If only the name copy
 * fails, the record is returned without a name. Release with FreeReaderStruct.
 */
ReaderStructPtr AllocReaderStruct(const char *pcName);

/* IsCurrentReader - true when prs has a name equal (byte for byte) to
 * readerName; false when any of them is null. */
bool IsCurrentReader(ReaderStructPtr prs, const char *readerName);

/*
 * OpenReaderContext - establish the library's PC/SC context (system scope).
 * @trace_mode: not used.
 *
 * Returns the raw PC/SC result: SCARD_S_SUCCESS (0), SCARD_E_NO_SERVICE when
 * pcscd is not running, ... Calling it twice overwrites hSC without releasing
 * the earlier context. 0 at once in host-handler mode.
 */
unsigned long OpenReaderContext(int trace_mode);

/*
 * CloseReaderContext - release the PC/SC context.
 *
 * Returns 0, or DRAXEL_TR_FAILURE when the release fails. hSC is 0 afterwards
 * in every case.
 */
unsigned long CloseReaderContext(void);

/*
 * ListReaders - the PC/SC reader list as a multi-string (names, each
 * NUL-terminated, ended by an empty name).
 * @pcList:      the buffer, or null to ask for the size only
 * @pulListSize: in: the buffer size; out: the size the list needs (also on
 *               failure)
 *
 * Returns the raw PC/SC result (SCARD_E_INSUFFICIENT_BUFFER when the buffer is
 * too small, SCARD_E_NO_READERS_AVAILABLE, ...), DRAXEL_TR_NOT_CONNECTED
 * without a context, DRAXEL_TR_BAD_ARGUMENT for a null size. In host-handler
 * mode 0, touching nothing.
 *
 * Example:
 *   unsigned long size = 0;
 *   if (ListReaders(NULL, &size) == 0) {
 *           char *list = malloc(size);
 *           ListReaders(list, &size);
 *   }
 */
unsigned long ListReaders(char *pcList, unsigned long *pulListSize);

/*
 * OpenReader - connect the record to the card in a reader, shared, T=0 or T=1.
 * @pcName:    the reader name, or null to use the name the record holds
 * @prs:       the record (required)
 * @exclusive: true for an exclusive connection
 *
 * Returns 0, DRAXEL_TR_BAD_ARGUMENT when neither a name nor a stored name is
 * given, DRAXEL_TR_NOT_CONNECTED without a context, DRAXEL_TR_NO_MEMORY, or
 * the transport code of the SCardConnect failure (ReaderGetLastError gives the
 * raw result). 0 at once in host-handler mode.
 */
unsigned long OpenReader(const char *pcName, ReaderStructPtr prs, bool exclusive);

/*
 * IsCardPowered - 0 when the card is present or powered; otherwise the raw
 * PC/SC state word (SCARD_ABSENT, ...) or the raw SCardStatus failure
 * (SCARD_W_REMOVED_CARD, ...). DRAXEL_TR_BAD_ARGUMENT for null,
 * DRAXEL_TR_NOT_CONNECTED for an unconnected record.
 */
unsigned long IsCardPowered(ReaderStructPtr psr);

/* IsReaderProtocolT0 - true for a T=0 connection and in host-handler mode;
 * false for null. */
bool IsReaderProtocolT0(ReaderStructPtr prs);

/* GetSW - the status word of the record's last reply (SW1 high); 0 for null
 * or before the first exchange. */
unsigned short GetSW(ReaderStructPtr prs);

/* ReaderGetLastError - the raw PC/SC result of the record's last connect,
 * exchange or disconnect (in host-handler mode 0, or 1 for a short reply);
 * 0 for null. */
unsigned long ReaderGetLastError(ReaderStructPtr prs);

/* ProcessScardError - map a PC/SC result to a transport code (0 stays 0;
 * unlisted failures become DRAXEL_TR_FAILURE). */
unsigned long ProcessScardError(unsigned long error);

/* ------------------------------------------------------------------------ */
/* APDU exchange                                                            */
/* ------------------------------------------------------------------------ */

/*
 * Transmit - send one command APDU and receive its response data.
 * @pubSend, @ulSendSize: the command, 4 to DRAXEL_MAX_COMMAND bytes
 * @pubRecv:     where the response data (without SW1 SW2) go; null drops them
 * @pulRecvSize: in: the capacity of pubRecv; out: the bytes copied; may be null
 * @prs:         the reader record
 *
 * A 61xx reply is followed by one GET RESPONSE, a 6Cxx reply by the command's
 * header re-sent with the right Le; either follow-up asks for at most
 * *pulRecvSize bytes. The status word of the last reply is kept in the record
 * (GetSW).
 *
 * Returns:
 *   0  the final status word is 9000 (or 61xx after a follow-up); data copied
 *   1  PC/SC failure, or a reply shorter than 2 bytes (or, from a host
 *      handler, longer than DRAXEL_MAX_REPLY)
 *   2  the record is not connected
 *   3  null record or command, command shorter than 4 or longer than 260
 *      bytes, or pubRecv too small (nothing copied, *pulRecvSize unchanged)
 *   5  any other status word, or data with a status word other than 9000
 *   6-10 PC/SC failures as mapped by ProcessScardError
 *
 * Example:
 *   BYTE select[] = { 0x00, 0xA4, 0x04, 0x0C, 0x0A,
 *                     'M','E','K','T','A','_','P','S','C','H' };
 *   if (Transmit(select, sizeof select, NULL, NULL, token) == DRAXEL_TR_STATUS_WORD)
 *           printf("refused: %04X\n", GetSW(token));
 */
unsigned long Transmit(BYTE *pubSend, unsigned long ulSendSize, BYTE *pubRecv,
                       unsigned long *pulRecvSize, ReaderStructPtr prs);

/* ------------------------------------------------------------------------ */
/* Command builders                                                         */
/* ------------------------------------------------------------------------ */

/*
 * One builder per token command. Each frames its command, sends it with
 * Transmit() over prs and returns:
 *   0    the token accepted the command; any reply was handed out
 *   3    an argument is missing, empty, negative or too long; nothing was sent
 *   5    a status word the builder does not map; read it with APDU_GetSW()
 *   8    the output buffer is too small; the needed length was stored
 *   116  the exchange itself failed (any transport code but 0 and 5)
 * and the builder-specific codes named below. APDU_GetChallenge and
 * APDU_GetCardModel return the transport code of Transmit unchanged instead
 * of 116. The exported operations of the library chain these builders; a
 * host rarely needs them.
 */

/* Length of the token application's name, "MEKTA_PSCH". */
#define DRAXEL_AID_LEN 10
/* Model code of a token built on the ST23L80 chip (APDU_GetCardModel). */
#define ST23_L80_MODEL 1

/* The raw transport code of the last group request, invitation or acceptance
 * exchange (see GetLastScardError). */
extern unsigned long last_error;

/* Selection and file access. */
unsigned long APDU_SelectApplication(ReaderStructPtr prs);
unsigned long APDU_Select(ReaderStructPtr prs, const BYTE *buf, BYTE len);
/* Truncates the control parameters to *out_len bytes. */
unsigned long APDU_Select_FCP(ReaderStructPtr prs, const BYTE *buf, BYTE len, BYTE *out_buf,
                              int *out_len);
/* Reads from offset off of the current file; truncates to *buf_len bytes. */
unsigned long APDU_ReadBinary(ReaderStructPtr prs, BYTE *buf, int *buf_len, int off);
/* Writes 1 to 248 bytes at offset off of the current file. */
unsigned long APDU_UpdateBinary(ReaderStructPtr prs, const BYTE *buf, BYTE buf_len, int off);
/* len (1 to 256) random bytes from the token; transport code returned as is,
 * and DRAXEL_TR_FAILURE when the token answers fewer than len bytes. */
unsigned long APDU_GetChallenge(ReaderStructPtr prs, BYTE *buf, int len);
/* The 7-byte serial number; 1 when the token answers fewer than 7 bytes. */
unsigned long APDU_GetSN(ReaderStructPtr prs, BYTE *sn, BYTE snsize);
/* *card_model = ST23_L80_MODEL or 0; transport code returned as is. */
unsigned long APDU_GetCardModel(ReaderStructPtr prs, int *card_model);
/* The version in file F140 of the application; 0 when the file is absent. */
unsigned long APDU_GetCardVer(ReaderStructPtr prs, int *card_ver);
unsigned short APDU_GetSW(ReaderStructPtr prs);
unsigned long GetLastScardError(void);

/* Credentials. VERIFY maps 63Cx to 140 + x, 6983 to 108 and 6700 to 115; a
 * null pwd_buf with pwd_len 0 asks for the password's state. */
unsigned long APDU_VerifyPassword(ReaderStructPtr prs, BYTE pwd_id, const BYTE *pwd_buf,
                                  BYTE pwd_len);
/* 6700 gives 115. */
unsigned long APDU_ChangeKey(ReaderStructPtr prs, BYTE key_id, const BYTE *key_buf, BYTE key_len);
unsigned long APDU_UnblockKey(ReaderStructPtr prs, BYTE key_id);
/* 63Cx gives 0 with *pattempts = x. */
unsigned long APDU_GetKeyAttempts(ReaderStructPtr prs, BYTE pwd_id, int *pattempts);

/* Cipher commands. PSO replies of any length but the block's give 101. */
unsigned long APDU_MSEReset(ReaderStructPtr prs);
unsigned long APDU_MSESetEnc(ReaderStructPtr prs, BYTE tag, BYTE val);
unsigned long APDU_PSO_Enc(ReaderStructPtr prs, const BYTE *data, BYTE data_len, BYTE *out_data,
                           bool is_last);
unsigned long APDU_PSO_Dec(ReaderStructPtr prs, const BYTE *data, BYTE data_len, BYTE *out_data,
                           bool is_last);
unsigned long APDU_GenSesKey(ReaderStructPtr prs, const BYTE *pas_phrase, BYTE pas_phrase_len,
                             BYTE mode, BYTE *out_data, unsigned long *out_data_len);
unsigned long APDU_SetSesKey(ReaderStructPtr prs, const BYTE *pas_phrase, BYTE pas_phrase_len,
                             const BYTE *cryptogram, BYTE cryptogram_len, BYTE mode, BYTE *out_data,
                             unsigned long *out_data_len);

/* Groups. Names and pass phrases travel as 64-byte padded fields; 6A88 gives
 * 117, 6984 gives 118, 6A84/6B00 give 119, 6985 gives 122 where the command
 * can meet them. Fields adding up to more than 255 bytes give 3. */
unsigned long APDU_GetGroupNameList(ReaderStructPtr prs, BYTE *buf, unsigned long *buf_len,
                                    int card_ver);
unsigned long APDU_CreateGroup(ReaderStructPtr prs, const BYTE *group_name, BYTE group_name_len,
                               const BYTE *pas_phrase, BYTE pas_phrase_len);
unsigned long APDU_DeleteGroup(ReaderStructPtr prs, const BYTE *group_name, BYTE group_name_len);
unsigned long APDU_RenameGroup(ReaderStructPtr prs, const BYTE *group_name_old,
                               BYTE group_name_old_len, const BYTE *group_name_new,
                               BYTE group_name_new_len);
unsigned long APDU_SelectGroup(ReaderStructPtr prs, const BYTE *group_name, BYTE group_name_len);
unsigned long APDU_ChangePasPhrGroup(ReaderStructPtr prs, const BYTE *group_name,
                                     BYTE group_name_len, const BYTE *pas_phrase,
                                     BYTE pas_phrase_len);
unsigned long APDU_CreateRequestGroup(ReaderStructPtr prs, const BYTE *pas_phrase,
                                      BYTE pas_phrase_len, BYTE *out_buf, BYTE *out_buf_len);
unsigned long APDU_CreateInviteGroup(ReaderStructPtr prs, const BYTE *request_blob,
                                     BYTE request_blob_len, BYTE *out_buf, BYTE *out_buf_len);
unsigned long APDU_AcceptInviteGroup(ReaderStructPtr prs, const BYTE *invite_blob,
                                     BYTE invite_blob_len, const BYTE *group_name,
                                     BYTE group_name_len, const BYTE *pas_phrase,
                                     BYTE pas_phrase_len);

/* Token maintenance. */
unsigned long APDU_GetDublBlob(ReaderStructPtr prs, BYTE *out_data, unsigned long *out_data_len);
unsigned long APDU_SetDublBlob(ReaderStructPtr prs, const BYTE *data, BYTE data_len);
unsigned long APDU_GenDSKey(ReaderStructPtr prs);
unsigned long APDU_ClearCard(ReaderStructPtr prs);
unsigned long APDU_ClearNote(ReaderStructPtr prs);
/* mode 1 reads the policy byte (truncated to *out_buf_size), mode 2 changes it. */
unsigned long APDU_NotePolicy(ReaderStructPtr prs, int mode, unsigned char *out_buf,
                              int *out_buf_size);
unsigned long APDU_CreateBFTrac(ReaderStructPtr prs);
unsigned long APDU_CreateBFNote(ReaderStructPtr prs, int card_model);

/* ------------------------------------------------------------------------ */
/* Message and file encryption: the steps                                   */
/* ------------------------------------------------------------------------ */

/* The file in progress between its chunks: the header (in fast mode with
 * the file key in bytes 12 to 43) and the CFB register. Both are zero after
 * a file's last chunk and after a failing chunk. */
extern FileEncHeader _file_header;
extern u8_gost_type iv[8];

/*
 * The steps behind the entry points, for hosts that drive them directly
 * with a reader record of their own.
 *
 * PerformOp - one message (op_mode 1 enciphers, any other deciphers); as
 * EncryptMes or DecryptMes without their size query: a null out_mes runs
 * the whole dialogue and reports the size. PerformFileOp - one file chunk
 * likewise (op_mode 1 enciphers), as EncryptFileData or DecryptFileData.
 * Both record their failures.
 *
 * EncryptData, DecryptData - data_len bytes through the token's PSO, in
 * blocks of 232 with the last one closing the chain. EncryptDataFile,
 * DecryptDataFile - the same, closing the chain only when is_last_call is
 * set. FastEncryptDataFile, FastDecryptDataFile - GOST 28147-89 CFB under
 * the 32-byte key with iv as the register, zeroed first when is_first is
 * set.
 *
 * The six block functions store a new block of data_len bytes at *out_buf
 * and data_len at *out_buf_len; the caller releases the block with
 * FreeDataBlock (or delete[], from C++). On failure *out_buf is null and
 * nothing is left to free. They return 0, 102 (a null pointer), 101 (no memory) or the failing
 * command's code (5: see GetSW; 101: a reply of the wrong length; 116).
 *
 * Example (C++):
 *   BYTE *cipher;
 *   unsigned long cipher_len;
 *   if (EncryptData(token, data, len, &cipher, &cipher_len) == 0) {
 *           store(cipher, cipher_len);
 *           FreeDataBlock(cipher, cipher_len);
 *   }
 */
unsigned long PerformOp(ReaderStructPtr pCurReader, const char *message, char *out_mes,
                        int *out_mes_size, int use_mode, int op_mode, const char *pas_phrase,
                        const char *group_name);
unsigned long EncryptData(ReaderStructPtr prs, const BYTE *data, unsigned long data_len,
                          BYTE **out_buf, unsigned long *out_buf_len);
unsigned long DecryptData(ReaderStructPtr prs, const BYTE *data, unsigned long data_len,
                          BYTE **out_buf, unsigned long *out_buf_len);
unsigned long PerformFileOp(ReaderStructPtr pCurReader, const unsigned char *message,
                            int message_size, unsigned char *out_mes, int *out_mes_size,
                            int use_mode, int op_mode, const char *pas_phrase,
                            const char *group_name, int flags);
unsigned long EncryptDataFile(ReaderStructPtr prs, const BYTE *data, unsigned long data_len,
                              BYTE **out_buf, unsigned long *out_buf_len, bool is_last_call);
unsigned long DecryptDataFile(ReaderStructPtr prs, const BYTE *data, unsigned long data_len,
                              BYTE **out_buf, unsigned long *out_buf_len, bool is_last_call);
unsigned long FastEncryptDataFile(const BYTE *key, const BYTE *data, unsigned long data_len,
                                  BYTE **out_buf, unsigned long *out_buf_len, bool is_first);
unsigned long FastDecryptDataFile(const BYTE *key, const BYTE *data, unsigned long data_len,
                                  BYTE **out_buf, unsigned long *out_buf_len, bool is_first);

/* ------------------------------------------------------------------------ */
/* Cipher engine                                                            */
/* ------------------------------------------------------------------------ */

/*
 * GOST 28147-89 (RFC 5830) on the host, by default with the substitution
 * boxes of id-tc26-gost-28147-param-Z (RFC 7836): the 64-bit block cipher
 * "Magma" of GOST R 34.12-2015 (RFC 8891). A key is 32 bytes, a key schedule
 * 8 words, a block and a CFB register 8 bytes.
 *
 * Byte convention: every 4-byte group of a key or a block is a little-endian
 * word. Against RFC 8891, a key here is the RFC's key with each 4-byte group
 * reversed, and a block is the RFC's block with all 8 bytes reversed.
 *
 * The functions work in place on the caller's memory and allocate nothing.
 * A null pointer, a negative length or a count of 0 makes them do nothing.
 *
 * Timing: on x86-64 processors with SSSE3 (with AVX2 and AVX-512 VBMI where
 * present) and on every arm64 processor (NEON), the cipher looks its boxes
 * up in registers: no branch and no memory address depends on the key, the
 * data or the CFB register, so a process sharing the caches learns nothing
 * from their timing. Elsewhere, with DRAXEL_NO_SIMD set in the environment,
 * or under a table set by g2814789_set_subst whose 8-bit pairs are not each
 * two 4-bit boxes (entry i = high[i >> 4] * 16 + low[i & 15]), the cipher
 * reads tables in memory indexed by secret bytes: it gives the same results
 * but is not constant time. The CRC-32 indexes no table by the data where
 * the processor has carry-less multiplication (PCLMUL), and does otherwise.
 */

/* One expanded pair of 4-bit boxes: entry i is high[i >> 4] * 16 + low[i & 15]. */
typedef u8_gost_type g341194_gost_k_pair[256];

/* A substitution table: gost_k87 substitutes the most significant byte of
 * the word (boxes 8 and 7), gost_k21 the least significant (boxes 2 and 1). */
typedef struct _g2814789_subst {
	g341194_gost_k_pair gost_k87;
	g341194_gost_k_pair gost_k65;
	g341194_gost_k_pair gost_k43;
	g341194_gost_k_pair gost_k21;
} g2814789_subst;

/* The boxes of id-tc26-gost-28147-param-Z. */
extern const g2814789_subst subst_TC26;

/* The table every cipher operation uses; subst_TC26 from load. Change it only
 * through g2814789_set_subst: a direct write takes effect when
 * g2814789_set_subst(&curr_subst) is called. */
extern g2814789_subst curr_subst;

/* g2814789_set_subst - copy *p_subst into curr_subst; every later operation,
 * the next one included, uses it. Process-wide. */
void g2814789_set_subst(const g2814789_subst *p_subst);

/*
 * g2814789_set_key - the key schedule: key[i] = the little-endian word of
 * bytes 4i to 4i+3 of src, i = 0 to 7.
 * Returns 0; -1, writing nothing, when size is not 32 or a pointer is null.
 */
int g2814789_set_key(u32_gost_type *key, const void *src, int size);

/* g2814789_encrypt, g2814789_decrypt - one 8-byte block at in, in place. */
void g2814789_encrypt(const u32_gost_type *key, u8_gost_type *in);
void g2814789_decrypt(const u32_gost_type *key, u8_gost_type *in);

/* g2814789_encrypt_ecb, g2814789_decrypt_ecb - blocks consecutive 8-byte
 * blocks at d, in place. */
void g2814789_encrypt_ecb(const u32_gost_type *key, u8_gost_type *d, int blocks);
void g2814789_decrypt_ecb(const u32_gost_type *key, u8_gost_type *d, int blocks);

/* MemXor - dst[i] ^= src[i] for i = 0 to len - 1. */
void MemXor(unsigned char *dst, const unsigned char *src, int len);

/*
 * gost_encrypt_cfb, gost_decrypt_cfb - CFB with 8-byte feedback over length
 * bytes at d, in place, with the caller's register at iv.
 *
 * After a full 8-byte segment the register holds that segment's ciphertext.
 * After a final partial segment of n bytes it holds those n ciphertext bytes
 * followed by the 8 - n unused keystream bytes, and a further call starts
 * from that register: split a stream at the same points, or at multiples of
 * 8, on both sides. Length 0 touches nothing.
 *
 * Example:
 *   u32_gost_type ks[8];
 *   u8_gost_type iv[8] = {0};
 *   if (g2814789_set_key(ks, file_key, 32) == 0)
 *           gost_encrypt_cfb(ks, iv, data, data_len);
 */
void gost_encrypt_cfb(const u32_gost_type *key, u8_gost_type *iv, u8_gost_type *d, int length);
void gost_decrypt_cfb(const u32_gost_type *key, u8_gost_type *iv, u8_gost_type *d, int length);

/* sum_mod32_1, mul_mod32_1 - a + b and a * b modulo 2^32 - 1. The result is
 * in 0 to 0xFFFFFFFF, where both 0 and 0xFFFFFFFF stand for zero. */
u32_gost_type sum_mod32_1(u32_gost_type a, u32_gost_type b);
u32_gost_type mul_mod32_1(u32_gost_type a, u32_gost_type b);

/*
 * CRC-32 of ISO-HDLC (IEEE 802.3; zlib's crc32): reflected polynomial
 * 0xEDB88320, register started at 0xFFFFFFFF, final XOR 0xFFFFFFFF; the CRC
 * of "123456789" is 0xCBF43926. One checksum runs at a time, in crc32_app:
 * the encrypted-file operations keep theirs there from a file's first chunk
 * to its last, so none of these may be called while a file is in progress.
 */

/* The running register; after FinalizeCRC32Compat, the finished CRC. */
extern uint32_t crc32_app;

/* StartCRC32Compat - crc32_app = 0xFFFFFFFF, discarding what was running. */
void StartCRC32Compat(void);
/* AppendCRC32Compat - feed len bytes at buf into crc32_app; 0 bytes (or a
 * negative len, or a null buf) change nothing. */
void AppendCRC32Compat(const unsigned char *buf, int len);
/* FinalizeCRC32Compat - complement crc32_app and return it: the CRC. */
unsigned int FinalizeCRC32Compat(void);
/* ContinueCRC32Compat - resume from a finished CRC: appending more bytes and
 * finalizing gives the CRC of the concatenation. */
void ContinueCRC32Compat(unsigned int from_crc);
/* CalcCRC32Compat - the CRC of len bytes at buf (start, append, finalize).
 * Returns 0, the CRC of no bytes, without touching crc32_app when len is 0
 * or negative or buf is null. */
unsigned int CalcCRC32Compat(const unsigned char *buf, int len);

/* FileEncHeader: see "Message and file encryption". */

/*
 * CalcFileCRC - the CRC stored with an encrypted file that carries no
 * enciphered file key: over header bytes 4 to 47 (flag onwards), then the
 * buf_size bytes at buf (the ciphertext; none when buf_size is 0 or negative
 * or buf is null). Uses crc32_app. Returns 0 without touching crc32_app for
 * a null file_header.
 */
unsigned int CalcFileCRC(const FileEncHeader *file_header, const BYTE *buf, int buf_size);

/* ------------------------------------------------------------------------ */
/* Exchange trace                                                           */
/* ------------------------------------------------------------------------ */

/* The trace of commands, replies and PC/SC errors. The library's trace is
 * switched off: these produce no output. */
void PrintCAPDU(const BYTE *pcmd, unsigned long size, struct _ReaderStruct *psReader);
void PrintRAPDU(unsigned short sw, BYTE *preply, unsigned long size);
void PrintError(unsigned long error);

#ifdef __cplusplus
}
#endif

#endif /* DRAXEL_LOWLEVEL_H */
