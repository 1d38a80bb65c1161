/*
 * draxel_lib.h - the public C interface of libdraxel_lib.so, the host-side
 * library of the Mekta token (card application "MEKTA_PSCH").
 *
 * The library is single-threaded: the host serialises every call. It reaches
 * the token either through PC/SC (pcsc-lite; the host process provides the
 * PC/SC symbols, link it with -lpcsclite) or through a transmit handler that
 * the host hands over with InitTransportLib().
 *
 * Every operation returns an unsigned long code, 0 on success. The reader
 * operations and Transmit() return the transport codes DRAXEL_TR_*; three of
 * them (OpenReaderContext, ListReaders, IsCardPowered) return raw PC/SC
 * results instead, as documented below.
 *
 * A token behind PC/SC may be shared with other programs. Every operation
 * runs its whole command sequence inside one PC/SC transaction, so that no
 * other program's command comes between its own; it waits while another
 * program holds the token. The token's security state belongs to the card,
 * not to a connection: when another program has reset the card (or closed a
 * connection that presented a password, which clears that state), the
 * library reconnects on its own, and an operation that needs the PIN then
 * fails with DRAXEL_E_ACCESS_DENIED (104): verify again and retry. A host
 * that wants the token to itself across several calls (from VerifyPIN to its
 * last operation, say) brackets them with BeginTokenTransaction() and
 * EndTokenTransaction().
 *
 * Usable from C (C99 or later) and C++.
 */
#ifndef DRAXEL_LIB_H
#define DRAXEL_LIB_H

#include <stdbool.h>
#include <stddef.h>

#include "definitions.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Transport codes                                                          */
/* ------------------------------------------------------------------------ */

enum {
	DRAXEL_TR_OK = 0,                  /* success */
	DRAXEL_TR_FAILURE = 1,             /* other PC/SC failure; short reply */
	DRAXEL_TR_NOT_CONNECTED = 2,       /* no PC/SC context, or record not connected */
	DRAXEL_TR_BAD_ARGUMENT = 3,        /* argument missing or too short/long, buffer too small */
	DRAXEL_TR_NO_MEMORY = 4,           /* no memory for the reader-name copy */
	DRAXEL_TR_STATUS_WORD = 5,         /* status word not accepted; see GetSW() */
	DRAXEL_TR_TIMEOUT = 6,             /* SCARD_E_TIMEOUT */
	DRAXEL_TR_UNKNOWN_READER = 7,      /* SCARD_E_UNKNOWN_READER, SCARD_E_READER_UNAVAILABLE */
	DRAXEL_TR_INSUFFICIENT_BUFFER = 8, /* SCARD_E_INSUFFICIENT_BUFFER */
	DRAXEL_TR_NO_READERS = 9,          /* SCARD_E_NO_READERS_AVAILABLE */
	DRAXEL_TR_NO_SERVICE = 10          /* SCARD_E_NO_SERVICE, SCARD_E_SERVICE_STOPPED */
};

/* The longest command APDU: a 5-byte header and 255 data bytes. */
#define DRAXEL_MAX_COMMAND 260
/* The longest reply APDU: 256 data bytes and SW1 SW2. */
#define DRAXEL_MAX_REPLY 258

/* ------------------------------------------------------------------------ */
/* Types                                                                    */
/* ------------------------------------------------------------------------ */

/* Opaque handle of one reader record: a PC/SC reader connection or, in
 * host-handler mode, the host's token. */
typedef struct _ReaderStruct *ReaderStructPtr;

/*
 * The host's transmit handler. It receives the command APDU (send, send_len)
 * and must leave the reply, response data followed by SW1 SW2, in recv and
 * its byte count in *recv_len. On entry *recv_len holds the capacity of recv,
 * DRAXEL_MAX_REPLY. A reported length below 2 or above the capacity is taken
 * as a failed exchange. The return value is not used.
 */
typedef unsigned long (*Type_ScardTransmit)(unsigned char *send, int send_len,
                                            unsigned char *recv, int *recv_len);

typedef struct _ReaderFuncStruct {
	Type_ScardTransmit handlerScardTransmit;
} Type_ReaderFuncStruct;

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
/* Errors                                                                   */
/* ------------------------------------------------------------------------ */

/*
 * The library's codes. The library's own operations return these, the
 * transport codes DRAXEL_TR_* and, where documented, raw PC/SC results; a
 * failure is as a rule recorded in cur_context.error, whose text GetError()
 * gives.
 */
enum {
	DRAXEL_OK = 0,
	DRAXEL_E_NO_READER = 101,          /* no memory, value out of range */
	DRAXEL_E_BAD_ARGUMENT = 102,       /* argument missing, empty, too long, not hex text */
	DRAXEL_E_ACCESS_DENIED = 104,      /* the token refused access (6982) */
	DRAXEL_E_BUFFER_TOO_SMALL = 106,   /* the output buffer is too small */
	DRAXEL_E_PASSWORD_BLOCKED = 108,
	DRAXEL_E_FILE_OPEN = 109,
	DRAXEL_E_FILE_CREATE = 110,
	DRAXEL_E_FILE_WRITE = 111,
	DRAXEL_E_FILE_DAMAGED = 112,       /* an encrypted file is damaged */
	DRAXEL_E_CANNOT_DECRYPT = 113,     /* wrong pass phrase, group or token (63C0) */
	DRAXEL_E_KEY_DAMAGED = 114,        /* the key on the token is damaged (6A83) */
	DRAXEL_E_PASSWORD_LENGTH = 115,    /* the token refused the password's length */
	DRAXEL_E_COMMUNICATION = 116,      /* an exchange with the reader failed */
	DRAXEL_E_GROUP_NOT_FOUND = 117,
	DRAXEL_E_GROUP_EXISTS = 118,
	DRAXEL_E_TOO_MANY_GROUPS = 119,
	DRAXEL_E_BAD_STATUS = 120,         /* the token answered an unexpected status word */
	DRAXEL_E_INTEGRITY = 121,          /* a decrypted file's checksum does not match */
	DRAXEL_E_NOT_GROUP_ADMIN = 122,    /* only the group's administrator may do this */
	DRAXEL_E_NO_TOKEN = 123,           /* no token found */
	DRAXEL_E_SEVERAL_TOKENS = 124,     /* more than one token found */
	DRAXEL_E_VERSION_TOO_OLD = 125,    /* the token's version lacks the operation */
	DRAXEL_E_GROUP_LIST_DAMAGED = 126, /* the token's group list cannot be read */
	DRAXEL_E_WRONG_PASSWORD = 140,     /* wrong password, no attempts left ... */
	DRAXEL_E_WRONG_PASSWORD_MAX = 155  /* ... to 15 attempts left */
};

/* The attempts left that a wrong-password code carries. */
#define DRAXEL_TRIES_LEFT(code) ((code) - DRAXEL_E_WRONG_PASSWORD)

/* The library's one context. */
typedef struct _LogicDLLContext {
	ReaderStructPtr pCurReader;    /* the token every operation uses; null until connected */
	ReaderStructPtr pSecondReader; /* the second token for duplication, or null */
	unsigned long error;           /* the last recorded code; 0 when none */
} LogicDLLContext;

extern LogicDLLContext cur_context;

/*
 * GetError - the UTF-8 (Russian) text of the recorded code, cur_context.error.
 * @er_message:     the buffer, or null to ask for the size only
 * @er_message_len: in: the buffer size; out: the text's size with its NUL
 *
 * Codes without a text of their own (101, 106, 123 to 125, transport codes,
 * PC/SC results) give "Неизвестная ошибка."; 140 to 155 give the
 * wrong-password text with the attempts left. Reading the text does not clear
 * the code.
 *
 * Returns:
 *   0    the text was copied, or (null er_message) its size was stored
 *   102  er_message_len is null; recorded
 *   106  the buffer is too small (a negative size counts as too small);
 *        nothing is written, and 106 is now the recorded code
 *
 * Example:
 *   int len = 0;
 *   if (GetError(NULL, &len) == 0) {
 *           char *text = malloc(len);
 *           GetError(text, &len);
 *   }
 */
unsigned long GetError(char *er_message, int *er_message_len);

/* GetLastErrorCode - the transport code (DRAXEL_TR_*) of the last group
 * request, invitation or acceptance exchange; 0 before any. It does not read
 * cur_context.error. */
unsigned long GetLastErrorCode(void);

/* ------------------------------------------------------------------------ */
/* Library context and token connection                                     */
/* ------------------------------------------------------------------------ */

/*
 * InitLib - choose the transport once, before anything else: null for PC/SC,
 * or the host's transmit table (see InitTransportLib). Returns 0.
 */
unsigned long InitLib(Type_ReaderFuncStruct *reader_func);

/*
 * ConnectToMekta - find the token and make its reader cur_context.pCurReader.
 * @only_one_mekta: false: the first reader (in PC/SC list order) whose card
 *                  accepts the application's SELECT wins; true: every reader
 *                  is probed and exactly one token must be found.
 *
 * Returns 0; DRAXEL_E_NO_TOKEN (123); DRAXEL_E_SEVERAL_TOKENS (124, only with
 * only_one_mekta); or the raw PC/SC result of establishing the context or
 * listing the readers (SCARD_E_NO_SERVICE, SCARD_E_NO_READERS_AVAILABLE...).
 * These codes are returned, not recorded for GetError.
 *
 * Each call establishes a new PC/SC context. On success the context of the
 * connection it replaces is released (pcscd drops that connection without
 * resetting the card); the replaced record itself stays the host's to free
 * with FreeReaderStruct. A failed search releases its own context and leaves
 * the current token's connection working. A probe holds the card only for
 * its SELECT and leaves it powered, so that it disturbs no other program.
 *
 * In host-handler mode the handler's token is probed with one SELECT.
 *
 * Example:
 *   InitLib(NULL);
 *   unsigned long rc = ConnectToMekta(false);
 *   if (rc == DRAXEL_E_NO_TOKEN)
 *           puts("insert the token");
 */
unsigned long ConnectToMekta(bool only_one_mekta);

/*
 * ConnectToSecondMekta - find a second token, for duplication, and make its
 * reader cur_context.pSecondReader. The current token's reader is skipped;
 * exactly one other token must be present. Returns as ConnectToMekta; a
 * failure leaves the current token working.
 */
unsigned long ConnectToSecondMekta(void);

/*
 * SelectReader - make the named reader current without probing it (the
 * application is not selected). Needs an established PC/SC context.
 * Returns 0, DRAXEL_E_BAD_ARGUMENT for a null name, DRAXEL_E_NO_READER when
 * memory is short, DRAXEL_E_COMMUNICATION when the reader cannot be opened
 * (pCurReader then holds the unconnected record). Failures are recorded.
 */
unsigned long SelectReader(const char *reader_name);

/*
 * CheckCurrentReader - is the current card still there? 0 when present or
 * powered (always in host-handler mode); DRAXEL_E_NO_READER (recorded)
 * without a current reader; otherwise IsCardPowered()'s answer: 2 for an
 * unconnected record, or the raw PC/SC status failure or card state.
 */
unsigned long CheckCurrentReader(void);

/* NewReaderStruct - a new unconnected record carrying a copy of the name; null
 * for a null name or when memory is short. The host owns it. */
ReaderStructPtr NewReaderStruct(const char *reader_name);

/*
 * BeginTokenTransaction - keep the current token to this program until the
 * matching EndTokenTransaction (an extension of this library). Other
 * programs' commands wait meanwhile; the library's own operations run as
 * usual. Calls nest; each Begin needs its End. Waits, without a time limit,
 * while another program holds the token; a card that another program reset
 * is reconnected first (passwords presented before then are forgotten).
 * In host-handler mode there is nothing to lock, and the calls only count.
 *
 * Returns 0, or DRAXEL_E_COMMUNICATION (116, recorded) without a connected
 * current reader or when PC/SC refuses the lock.
 *
 * Example:
 *   if (BeginTokenTransaction() == 0) {
 *           unsigned long rc = VerifyPIN(pin, false);
 *           if (rc == 0)
 *                   rc = EncryptMes("hello", text, &size, 1, "phrase", NULL);
 *           EndTokenTransaction();
 *   }
 */
unsigned long BeginTokenTransaction(void);

/*
 * EndTokenTransaction - end the innermost BeginTokenTransaction on the
 * current token (an extension of this library); the token is free for other
 * programs once the outermost one ends. CloseReader ends them all.
 * Returns 0, or DRAXEL_E_BAD_ARGUMENT (102, recorded) when there is no
 * transaction of the host's to end.
 */
unsigned long EndTokenTransaction(void);

/* ------------------------------------------------------------------------ */
/* Message and file encryption                                              */
/* ------------------------------------------------------------------------ */

/*
 * Messages and files are enciphered under a session key that the token
 * makes from one of its keys and a pass phrase, and that it records in a
 * 36-byte cryptogram carried with the message or in the file's header.
 *
 * mode (the same for encryption and decryption; the text and the file
 * record neither the mode nor the group):
 *   1  the token's key 0x0B
 *   2  the token's key 0x0D
 *   3  the group's key (0x0F): group_name names a group the token holds,
 *      1 to 64 bytes
 * pas_phrase: at most 219 bytes; null is the empty phrase. The token needs
 * its PIN verified in the current card session.
 *
 * Every operation works on cur_context.pCurReader and returns:
 *   0    success
 *   101  no memory; a session-key or cipher answer of the wrong length
 *   102  an argument is missing, empty, too long or malformed; another mode
 *        (a size query needs only its own arguments: no reader, no token)
 *   106  the output buffer is too small: nothing is written and the size
 *        argument keeps its value
 *   113  wrong pass phrase, group or token (63C0)
 *   117  mode 3: the token holds no group of that name
 *   116  the exchange failed, or no current reader (nothing sent); 104
 *        the PIN is not verified (verify again: another program may have
 *        cleared it); 114, 120 other
 *        refusals; 8 a session-key answer over 68 bytes
 * Failures are recorded for GetError.
 */

/*
 * EncryptMes - encipher a text message on the token.
 * @message:      zero-terminated, at least one byte; enciphered without its
 *                terminating zero
 * @out_mes:      receives the hex text (upper case) of the cryptogram and the
 *                ciphertext, zero-terminated; null to ask for the size only
 * @out_mes_size: in: the size of out_mes; out: the text's size with its
 *                zero, 2 * (36 + strlen(message)) + 1
 *
 * The size query sends nothing to the token.
 *
 * Example:
 *   int size = 0;
 *   if (EncryptMes("hello", NULL, &size, 1, "phrase", NULL) == 0) {
 *           char *text = malloc(size);
 *           unsigned long rc = EncryptMes("hello", text, &size, 1, "phrase", NULL);
 *   }
 */
unsigned long EncryptMes(const char *message, char *out_mes, int *out_mes_size, int mode,
                         const char *pas_phrase, const char *group_name);

/*
 * DecryptMes - decipher a text made by EncryptMes, with the same mode, pass
 * phrase and group.
 * @message:      the hex text; either case, blanks and tabs between pairs
 * @out_mes:      receives the message with a terminating zero; null to ask
 *                for the size only
 * @out_mes_size: in: the size of out_mes; out: the message's length plus 1
 *
 * A text of odd length, of fewer than 74 characters, or that does not
 * decode to a cryptogram and at least one byte gives 102; the token then
 * sees no session-key or cipher command. The size query reports
 * strlen(message) / 2 - 35, enough for any valid text.
 */
unsigned long DecryptMes(const char *message, char *out_mes, int *out_mes_size, int mode,
                         const char *pas_phrase, const char *group_name);

/* The 48-byte header that starts every encrypted file. Multi-byte fields
 * are little-endian. */
typedef struct __attribute__((packed)) _FileEncHeader {
	uint32_t crc32;        /* the file's CRC when ver is 0; written as 0 */
	BYTE flag;             /* bit 0: the data is enciphered on the host (CFB) */
	BYTE ver;              /* written as 1: the CRC follows the data */
	BYTE reserved[6];      /* zero */
	BYTE cryptogram[36];   /* the token's session-key cryptogram */
} FileEncHeader;

/* Chunk flags of EncryptFileData and DecryptFileData. */
#define DRAXEL_FILE_FIRST 0x100 /* first chunk: the header, the session key */
#define DRAXEL_FILE_LAST 0x200  /* last chunk: the CRC-32 */
#define DRAXEL_FILE_FAST 0x001  /* encryption: encipher on the host */

/*
 * EncryptFileData - encipher one chunk of a file.
 * @in_data:       the chunk; null is a chunk of 0 bytes
 * @in_data_size:  its length, 0 or more
 * @out_data:      receives the chunk's output; null to ask for its size
 * @out_data_size: in: the size of out_data; out: the bytes written
 * @flags:         DRAXEL_FILE_FIRST, DRAXEL_FILE_LAST (both for a file in
 *                 one call), DRAXEL_FILE_FAST
 *
 * The encrypted file is the concatenation of the outputs: the header (first
 * chunk), in fast mode 3 the 32-byte file key enciphered by the token (first
 * chunk), the ciphertext, as long as the data, and the CRC-32 of everything
 * from header byte 4 on, least significant byte first (last chunk).
 *
 * Token mode sends every byte through the token, which must not be used for
 * anything else until the last chunk: in PC/SC mode the file holds the
 * token (a PC/SC transaction) from its first chunk until its last chunk, a
 * failing chunk, the next first chunk, or CloseReader/FreeReaderStruct of
 * the reader; other programs wait meanwhile. Fast mode (DRAXEL_FILE_FAST) has the
 * token make a 32-byte file key in the first chunk and enciphers the data on
 * the host with GOST 28147-89 in CFB mode; a chunk whose length is not a
 * multiple of 8 must be split at the same point on decryption.
 *
 * One file at a time: a chunk without DRAXEL_FILE_FIRST continues the
 * encryption in progress, and without one gives 102. A failing chunk ends
 * the file; the last chunk too, and then the file key and the CFB register
 * are wiped. The size query needs no token: the length plus 48 (first
 * chunk), plus 32 (first chunk, fast mode 3), plus 4 (last chunk).
 *
 * Returns as above; also 102 for a negative size or an output that would
 * not fit an int.
 *
 * Example (a whole file in one call):
 *   int size = 0;
 *   int flags = DRAXEL_FILE_FIRST | DRAXEL_FILE_LAST | DRAXEL_FILE_FAST;
 *   EncryptFileData(data, len, NULL, &size, 1, "phrase", NULL, flags);
 *   unsigned char *file = malloc(size);
 *   unsigned long rc = EncryptFileData(data, len, file, &size, 1, "phrase", NULL, flags);
 */
unsigned long EncryptFileData(const unsigned char *in_data, const int in_data_size,
                              unsigned char *out_data, int *out_data_size, int mode,
                              const char *pas_phrase, const char *group_name, int flags);

/*
 * DecryptFileData - decipher one chunk of a file made by EncryptFileData,
 * with the same mode, pass phrase and group. Fast mode is read from the
 * header; DRAXEL_FILE_FAST is ignored. The first chunk must hold the whole
 * header (and in fast mode 3 the enciphered file key), the last one the
 * whole CRC.
 *
 * The size query reports in_data_size less 48 (first chunk) and 4 (last
 * chunk); the first chunk of a fast mode-3 file yields 32 bytes fewer, the
 * last chunk of a header whose ver is 0 (its CRC in the header) 4 more.
 *
 * Returns as above; also:
 *   112  the file is damaged: a first chunk shorter than the header (or the
 *        enciphered key), a last chunk without room for the CRC, or a size
 *        query for fewer bytes than the header and CRC
 *   121  the CRC does not match: the last chunk's plaintext is withheld
 */
unsigned long DecryptFileData(const unsigned char *in_data, const int in_data_size,
                              unsigned char *out_data, int *out_data_size, int mode,
                              const char *pas_phrase, const char *group_name, int flags);

/*
 * AbandonFileData - give up the file in progress (an extension of this
 * library): its key, header and CFB register are wiped, and a token-mode
 * file lets the token go. For a host whose own side of a file failed
 * between chunks (a full disk, say); the next file starts with a first
 * chunk as always. Harmless when no file is in progress.
 */
void AbandonFileData(void);

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

/* FreeDataBlock - wipe the len bytes of a block that one of the six block
 * functions above handed out, then free it (an extension of this library,
 * for hosts in C). A null block is ignored. */
void FreeDataBlock(BYTE *block, unsigned long len);

/* ------------------------------------------------------------------------ */
/* Password management                                                      */
/* ------------------------------------------------------------------------ */

/*
 * The token's four passwords, each a zero-terminated byte string of 1 to 255
 * bytes sent as it is (the token decides the minimum length, 4 for the
 * software token):
 *   PIN 0x05, PUK 0x07, erase password 0x09, note password 0x11.
 * Every operation works on cur_context.pCurReader and selects the token
 * application itself. Unless noted, each returns:
 *   0        success
 *   116      no current reader (nothing sent), or the exchange failed
 *   102      an argument is null, empty or longer than 255 bytes (nothing
 *            sent)
 *   108      the password is blocked
 *   115      the token refused the password's length
 *   140+x    wrong password, x attempts left (DRAXEL_TRIES_LEFT)
 *   104, 113, 114, 120  other refusals; 116  the exchange failed
 * Failures are recorded for GetError.
 */

/*
 * VerifyPIN - present the PIN.
 * @pin:               the PIN, or null to ask the token whether the PIN is
 *                     verified in this card session (0) or how many attempts
 *                     are left (140+x) without presenting anything
 * @need_add_write_bf: with a non-null pin, first overwrite the start of the
 *                     trace buffer file (F190 under 3F00); a token without
 *                     that file then fails with 120 before the VERIFY (see
 *                     RepareTracBuf)
 *
 * Example:
 *   unsigned long rc = VerifyPIN("1234", false);
 *   if (rc >= DRAXEL_E_WRONG_PASSWORD && rc <= DRAXEL_E_WRONG_PASSWORD_MAX)
 *           printf("%lu attempts left\n", DRAXEL_TRIES_LEFT(rc));
 */
unsigned long VerifyPIN(const char *pin, bool need_add_write_bf);

/* VerifyPUK, VerifyErasePas - present the PUK or the erase password. A null
 * text gives 102; an empty one 3 (refused by the command layer after the
 * application was selected). */
unsigned long VerifyPUK(const char *puk);
unsigned long VerifyErasePas(const char *pas);

/* VerifyNotePas - present the note password; as VerifyPIN. */
unsigned long VerifyNotePas(const char *pas, bool need_add_write_bf);

/*
 * UnblockPIN, UnblockNotePas - verify the PUK and reset the retry counter of
 * the PIN (of the note password); then, when new_pin is not null, set that
 * password to new_pin (an empty new_pin gives 3 at that point). A failure
 * while setting the new value leaves the counter reset.
 */
unsigned long UnblockPIN(const char *puk, const char *new_pin);
unsigned long UnblockNotePas(const char *puk, const char *new_pin);

/*
 * ChangePIN, ChangePUK, ChangeErasePas, ChangeNotePas - verify the current
 * password and replace it. Both texts must be non-empty.
 *
 * ChangePUK also sets the PUK flag file (F141) to 01; a token without that
 * file keeps no flag, which is not an error. A failure at the flag file is
 * returned although the PUK has already been changed.
 */
unsigned long ChangePIN(const char *pin, const char *new_pin);
unsigned long ChangePUK(const char *puk, const char *new_puk);
unsigned long ChangeErasePas(const char *pas, const char *new_pas);
unsigned long ChangeNotePas(const char *pas, const char *new_pas);

/*
 * GetPUKFlag - is the PUK still the one the token was issued with?
 * @is_def_puk_flag: receives true only when the PUK flag file exists and
 *                   holds 00; false when it holds anything else or is absent
 *
 * Returns 0 (also without a flag file, or with one the token refuses to
 * select), 101, 102 for a null pointer, 116 when the exchange selecting the
 * flag file fails, or the failure of selecting the application or reading
 * the flag.
 */
unsigned long GetPUKFlag(bool *is_def_puk_flag);

/* ------------------------------------------------------------------------ */
/* Groups                                                                   */
/* ------------------------------------------------------------------------ */

/*
 * Named groups on the token, each with a pass phrase; the group mode of the
 * message and file encryption selects one by name. Names and pass phrases
 * are byte strings of 1 to 63 bytes. Every operation works on
 * cur_context.pCurReader and returns 0 or, recorded for GetError:
 *   116  no current reader (nothing sent), or the exchange failed
 *   102  a name or pass phrase null, empty or 64 bytes or longer, a null
 *        size pointer, or a request or invite text that is not hex or too
 *        long (nothing sent)
 *   106  the output buffer is too small (nothing written)
 *   117  no group of that name          118  the name exists
 *   119  the token holds all it can     122  not the group's administrator
 *   8    the token's request or invite is longer than 255 bytes
 *   104, 113, 114, 120  other refusals; 116  the exchange failed
 * Changing groups needs the PIN verified first (VerifyPIN).
 */

/*
 * GetGroupList - the token's groups, one record per group in the token's
 * order: the attribute byte (the token's; 01 marks the group's
 * administrator on the software token), the name, a zero byte. No count, no
 * closing marker; an empty list has length 0.
 * @group_name_list:      the buffer, or null to ask for the length only
 * @group_name_list_size: in: the buffer's size; out: the list's length
 *
 * Clears the recorded error first. 126 when the token's answer does not
 * parse (a name not ended within 64 bytes, a partial entry, or a list that
 * does not end within 1024 entries). A size query reads the whole list from
 * the token too.
 *
 * Example:
 *   unsigned long len = 0;
 *   if (GetGroupList(NULL, &len) == 0) {
 *           char *list = malloc(len ? len : 1);
 *           GetGroupList(list, &len);
 *           for (char *p = list; p < list + len; p += strlen(p + 1) + 2)
 *                   printf("%s%s\n", p + 1, *p == 1 ? " (admin)" : "");
 *   }
 */
unsigned long GetGroupList(char *group_name_list, unsigned long *group_name_list_size);

/* CreateGroup - a new group, administered by this token. */
unsigned long CreateGroup(const char *group_name, const char *pas_phrase);
unsigned long RenameGroup(const char *group_name_old, const char *group_name_new);
/* ChangePasPhrGroup - a new pass phrase; the group's administrator only. */
unsigned long ChangePasPhrGroup(const char *group_name, const char *pas_phrase);
unsigned long DeleteGroup(const char *group_name);

/*
 * The join exchange by which a second token takes in a group:
 *   1. the joining token: CreateRequestForGroup(phrase, ...) makes a request
 *      text, handed to the group's administrator;
 *   2. the administrator's token: CreateInviteForGroup(group, request, ...)
 *      turns it into an invite text, handed back;
 *   3. the joining token: AcceptInviteForGroup(invite, name, phrase), with
 *      the phrase of step 1, stores the group under `name`.
 * Texts are upper-case hex, zero-terminated (2n + 1 bytes for n bytes);
 * input may be in either case with blanks or tabs between byte pairs. A null
 * output buffer asks for the size, but the token makes a new request or
 * invite each time: use the text of the call that returned it.
 *
 * Example (tokens A, the administrator, and B in turn current):
 *   char request[600], invite[600];
 *   int len = sizeof request;
 *   CreateRequestForGroup("phrase of B", request, &len);          on B
 *   len = sizeof invite;
 *   CreateInviteForGroup("team", request, invite, &len);         on A
 *   AcceptInviteForGroup(invite, "team", "phrase of B");          on B
 */
unsigned long CreateRequestForGroup(const char *pas_phrase, char *request_buf,
                                    int *request_buf_size);
/* The request text must decode to 1 to 255 bytes. */
unsigned long CreateInviteForGroup(const char *group_name, const char *request_blob,
                                   char *invite_buf, int *invite_buf_size);
/* The invite text must decode to 1 to 127 bytes (it shares one command with
 * the padded name and pass phrase). */
unsigned long AcceptInviteForGroup(const char *invite_blob, const char *group_name,
                                   const char *pas_phrase);

/* ------------------------------------------------------------------------ */
/* Secure note                                                              */
/* ------------------------------------------------------------------------ */

/*
 * The note: file F210 of the token application, read and written in pieces
 * at byte offsets 0 to 0xFFFF, guarded by the password its policy names (1:
 * the PIN, 2: the note password), which must be verified first. Token
 * versions (GetCardVer) decide: below 5 the host clears the note; up to 5
 * the policy is always 1 and cannot change. Operations return 0 or,
 * recorded for GetError:
 *   101  a note size or policy answer of unexpected form
 *   116  no (second) reader (nothing sent), or the exchange failed
 *   102  a null pointer, a size of 0 or below, a negative offset, or a piece
 *        reaching past offset 0xFFFF (nothing sent)
 *   125  the token's version lacks the operation
 *   104  the note's password is not verified; 120, 113, 114 other
 *        refusals; 116 the exchange failed
 */

/* CreateNote - create the note file on a token that lacks it and set the
 * token's version to 4. 120 when the file exists already. */
unsigned long CreateNote(void);

/*
 * ReadNote - read the note.
 * @out_data:      receives the bytes
 * @out_data_size: in: the bytes wanted (1 or more); out: the bytes read,
 *                 fewer when the note ends first
 * @offset:        where to start
 *
 * Nothing is written to out_data on failure.
 *
 * Example:
 *   unsigned char page[1000];
 *   int len = sizeof page;
 *   if (VerifyPIN("1234", false) == 0 && ReadNote(page, &len, 2000) == 0)
 *           fwrite(page, 1, len, stdout);
 */
unsigned long ReadNote(unsigned char *out_data, int *out_data_size, int offset);

/* WriteNote - write in_data_size bytes at offset, on the second token
 * (cur_context.pSecondReader) when is_second_reader. A failure in the
 * middle leaves the pieces before it written. */
unsigned long WriteNote(const unsigned char *in_data, int in_data_size, int offset,
                        bool is_second_reader);

/* ClearNote - empty the note: below version 5 its first 30 bytes are
 * zeroed, from 5 on the token clears it. */
unsigned long ClearNote(int ver);

/* GetNoteInf - the note file's size and its policy (1 or 2). With
 * is_second_reader the second token is asked and its own version is read,
 * replacing ver. */
unsigned long GetNoteInf(int *note_size, int *note_policy, int ver, bool is_second_reader);

/* ChangeNotePolicy - switch the policy between the PIN and the note
 * password; 125 for version 5 and below, without a command. */
unsigned long ChangeNotePolicy(int ver);

/* RepareTracBuf - refill the trace buffer file (F190 under 3F00) that
 * VerifyPIN's need_add_write_bf writes, creating it first on tokens up to
 * version 14; a token above 14 without it is left alone (returns 0). A
 * failed exchange while selecting it gives 116. */
unsigned long RepareTracBuf(void);

/* ------------------------------------------------------------------------ */
/* Token duplication and maintenance                                        */
/* ------------------------------------------------------------------------ */

/*
 * The token's key material, protected by the PUK, can be copied onto a
 * second token or saved as text and restored. Operations work on
 * cur_context.pCurReader (MakeDublCard also on pSecondReader) and return 0
 * or, recorded for GetError:
 *   116  no (second) reader (nothing sent), or the exchange failed
 *   102  a null or over-long argument, a duplicate text that does not parse,
 *        a key source that is not 160 bytes
 *   106  the output buffer is too small
 *   8    a duplicate piece from the token too long to pass on
 *   125  the token's version lacks the operation
 *   PUK failures (140+x, 108, 115) and other refusals as for the passwords.
 */

/*
 * GetDublData - the duplicate text of the current token: records
 * 01 n blob (n up to 254), as upper-case hex, zero-terminated.
 * @puk:           the token's PUK
 * @data_buf:      the buffer, or null to ask for the size (the token hands
 *                 the whole duplicate out all the same)
 * @data_buf_size: in: the buffer's size; out: the text's size with its zero
 *
 * 106 leaves the records written so far in the buffer.
 *
 * Example:
 *   int size = 0;
 *   if (GetDublData("12345678", NULL, &size) == 0) {
 *           char *text = malloc(size);
 *           GetDublData("12345678", text, &size);
 *           ... later, on a cleared token ...
 *           SetDublData("12345678", text, size);
 *   }
 */
unsigned long GetDublData(const char *puk, char *data_buf, int *data_buf_size);

/* SetDublData - restore a duplicate text (up to its terminating zero; the
 * size is not used) into the current token. The whole text is checked
 * first: one that is empty, not hex, or has a malformed record gives 102
 * before anything reaches the token. */
unsigned long SetDublData(const char *puk, const char *data_buf, int data_buf_size);

/* MakeDublCard - clear the second token and copy the current one onto it.
 * @puk: the current token's PUK; @dubl_puk: the second token's. Both are
 * verified before the second token is cleared; a copy failing midway leaves
 * it cleared and partly loaded. Failures on the second token are judged by
 * its status word. */
unsigned long MakeDublCard(const char *puk, const char *dubl_puk);

/*
 * ChangeKeys - load the token's keys from a 160-byte key source (as GetKeys
 * makes one): a 32-byte GOST key, then 128 bytes of key data enciphered
 * under it in ECB mode to give the keys 0D, 1D, 0F and 15 in that order.
 * The same source loads the same keys into any token.
 * @pas: the key-loading password (reference 03)
 *
 * A source of another size gives 102 after the application was selected.
 */
unsigned long ChangeKeys(const unsigned char *in_data, const int in_data_size, const char *pas);

/* MakeKeysFromBuf - the 128-byte key buffer of a 160-byte key source, as
 * ChangeKeys loads it; 0, or 102 for another size or a null pointer.
 * Records nothing. */
unsigned long MakeKeysFromBuf(unsigned char *key_buf, const unsigned char *in_data,
                              unsigned long in_data_size);

/* GetKeys - a fresh key source from the token's random generator. *size 0
 * asks for the size (160, nothing sent); otherwise it must be 160. */
unsigned long GetKeys(unsigned char *out_data, int *out_data_size);

/* GenDSKey - let the token generate its DS key; 125 for version 17 and
 * below, without a command. Needs the PIN verified. */
unsigned long GenDSKey(int ver);

/* CleanCard - clear the token (new keys, no groups); needs the erase
 * password or the PUK verified. Below version 5 the note is then cleared
 * too (ClearNote), which needs the note's password verified. */
unsigned long CleanCard(int ver);

/* GetSN - the 7-byte serial number as 14 hex digits and a zero; sn_buf must
 * hold 15 bytes. */
unsigned long GetSN(char *sn_buf);

/* GetCardVer - the token's version, 0 for a token without a version file. */
unsigned long GetCardVer(int *ver);

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

/* FreeReaderStruct - release a record and its name; null is ignored. Does not
 * disconnect: call CloseReader first. */
void FreeReaderStruct(ReaderStructPtr prs);

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
 * CloseReader - disconnect the record. When a password was presented over
 * the connection (VERIFY, CHANGE REFERENCE DATA or RESET RETRY COUNTER with
 * data), the card is power-cycled inside a transaction first, so that no
 * verified password outlives the connection; otherwise the card is left as
 * it is for the other programs that use it. Ends the record's transactions
 * and the hold of a token-mode file. The record keeps its name and can be
 * opened again; closing an unconnected record is a no-op. Returns 0, DRAXEL_TR_BAD_ARGUMENT for null, or the transport code of
 * the SCardDisconnect failure (the record is unconnected all the same).
 */
unsigned long CloseReader(ReaderStructPtr prs);

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
                             const BYTE *cryptogram, BYTE cryptogram_len, BYTE mode,
                             BYTE *out_data, unsigned long *out_data_len);

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

#endif /* DRAXEL_LIB_H */
