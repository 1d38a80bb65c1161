/*
 * draxel_lib.h - the public C interface of libdraxel_lib.so, the host-side
 * library of the Mekta token (card application "MEKTA_PSCH").
 *
 * The library is single-threaded: the host serialises every call. It reaches
 * the token either through PC/SC (pcsc-lite; the host process provides the
 * PC/SC symbols, link it with -lpcsclite) or through a transmit handler that
 * the host hands over with InitLib() (InitTransportLib() in the low-level
 * interface does the same).
 *
 * Memory: the library keeps the heap blocks in which it holds keys,
 * passwords and plaintext out of core dumps (MADV_DONTDUMP) and locks them
 * where mlock is allowed (a refusal is not an error). It changes no setting
 * of the host's process: a host that holds secrets itself makes itself
 * non-dumpable (prctl PR_SET_DUMPABLE 0, RLIMIT_CORE 0). The trace
 * (DRAXEL_DEBUG=LEVEL[:FILE]) writes only to a regular file of the caller's,
 * created 0600, and shows no password nor its length.
 *
 * Every operation returns an unsigned long code, 0 on success. The reader
 * operations and Transmit() return the transport codes DRAXEL_TR_*; three of
 * them (OpenReaderContext, ListReaders, IsCardPowered) return raw PC/SC
 * results instead, as documented with them in draxel_lowlevel.h.
 *
 * A token behind PC/SC may be shared with other programs. Every operation
 * runs its whole command sequence inside one PC/SC transaction, so that no
 * other program's command comes between its own; it waits while another
 * program holds the token. The token's security state belongs to the card,
 * not to a connection: when another program has reset the card (or closed a
 * connection that presented a password, which clears that state), the
 * library reconnects on its own, and an operation that needs the PIN then
 * fails with DRAXEL_E_ACCESS_DENIED (104): verify again and retry. So does
 * an operation in whose middle the card was reset (pcscd resets it when a
 * program dies holding it): the command that finds the reset is not sent,
 * since what the earlier ones set up is gone. A host
 * that wants the token to itself across several calls (from VerifyPIN to its
 * last operation, say) brackets them with BeginTokenTransaction() and
 * EndTokenTransaction().
 *
 * This header holds the host API. The layers beneath it (reader operations,
 * Transmit, the command builders, the cipher, the CRC, the exchange trace)
 * are declared in draxel_lowlevel.h, which this header includes at its end:
 * a host includes this one header only.
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

/*
 * Each transport code as X(name, value, class, description). The class says
 * what a caller may do about it (see the library codes below); every list of
 * codes in the library and its tool is made from this one.
 */
/* clang-format off */
#define DRAXEL_TRANSPORT_CODES(X)                                                                  \
	X(DRAXEL_TR_OK, 0, None, "success")                                                        \
	/* other PC/SC failure; short reply */                                                     \
	X(DRAXEL_TR_FAILURE, 1, Communication, "the reader failed")                                \
	/* no context, or record not connected */                                                  \
	X(DRAXEL_TR_NOT_CONNECTED, 2, NoToken, "not connected to the reader")                      \
	/* or a buffer too small */                                                                \
	X(DRAXEL_TR_BAD_ARGUMENT, 3, Failure, "a command's argument is missing or too long")       \
	/* for the reader-name copy */                                                             \
	X(DRAXEL_TR_NO_MEMORY, 4, Failure, "out of memory")                                        \
	/* see GetSW() */                                                                          \
	X(DRAXEL_TR_STATUS_WORD, 5, Refused, "the token refused the command")                      \
	/* SCARD_E_TIMEOUT */                                                                      \
	X(DRAXEL_TR_TIMEOUT, 6, Communication, "the reader timed out")                             \
	/* SCARD_E_UNKNOWN_READER, _READER_UNAVAILABLE */                                          \
	X(DRAXEL_TR_UNKNOWN_READER, 7, NoToken, "unknown reader")                                  \
	/* SCARD_E_INSUFFICIENT_BUFFER */                                                          \
	X(DRAXEL_TR_INSUFFICIENT_BUFFER, 8, Refused, "the token's answer is too long")             \
	/* SCARD_E_NO_READERS_AVAILABLE */                                                         \
	X(DRAXEL_TR_NO_READERS, 9, NoToken, "no readers")                                          \
	/* SCARD_E_NO_SERVICE, _SERVICE_STOPPED */                                                 \
	X(DRAXEL_TR_NO_SERVICE, 10, NoToken, "pcscd is not running")
/* clang-format on */

#define DRAXEL_CODE_ENUMERATOR_(name, value, ...) name = value,
enum { DRAXEL_TRANSPORT_CODES(DRAXEL_CODE_ENUMERATOR_) };

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
typedef unsigned long (*Type_ScardTransmit)(unsigned char *send, int send_len, unsigned char *recv,
                                            int *recv_len);

typedef struct _ReaderFuncStruct {
	Type_ScardTransmit handlerScardTransmit;
} Type_ReaderFuncStruct;

/* ------------------------------------------------------------------------ */
/* Errors                                                                   */
/* ------------------------------------------------------------------------ */

/*
 * The library's codes. The library's own operations return these, the
 * transport codes DRAXEL_TR_* and, where documented, raw PC/SC results; a
 * failure is as a rule recorded in cur_context.error, whose text GetError()
 * gives.
 *
 * Each code as X(name, value, class, text, description): the text is
 * GetError()'s (NULL: the text for an unknown error), the description a short
 * English one. The class says what a caller may do about it: None (success),
 * Usage (fix the arguments or input), NoToken (connect one), WrongPassword
 * (ask again), Blocked (unblock the password), Integrity (the data is
 * damaged), Refused (the token refused the operation), Communication (retry
 * the exchange), Failure (anything else). Adding a code is adding its row.
 */
/* clang-format off */
#define DRAXEL_LIBRARY_CODES(X)                                                                    \
	X(DRAXEL_OK, 0, None, "OK", "success")                                                     \
	X(DRAXEL_E_NO_READER, 101, Communication, NULL,                                            \
	  "out of memory, or an answer of unexpected form")                                        \
	X(DRAXEL_E_BAD_ARGUMENT, 102, Usage,                                                       \
	  "Ошибка: Введённые данные имеют неверный формат.",                                       \
	  "an argument is missing, too long or malformed")                                         \
	X(DRAXEL_E_ACCESS_DENIED, 104, Refused,                                                    \
	  "Ошибка: Нет доступа к устройству. Попробуйте перезапустить программу.",                 \
	  "the token refused access")                                                              \
	X(DRAXEL_E_BUFFER_TOO_SMALL, 106, Failure, NULL, "a buffer is too small")                  \
	X(DRAXEL_E_PASSWORD_BLOCKED, 108, Blocked,                                                 \
	  "Ошибка: Пароль заблокирован.",                                                          \
	  "the password is blocked")                                                               \
	X(DRAXEL_E_FILE_OPEN, 109, Failure,                                                        \
	  "Ошибка: Не удаётся открыть файл. Возможно указанный файл не существует.",               \
	  "the file cannot be opened")                                                             \
	X(DRAXEL_E_FILE_CREATE, 110, Failure,                                                      \
	  "Ошибка: Не удаётся создать файл. Возможно указан неверный путь.",                       \
	  "the file cannot be created")                                                            \
	X(DRAXEL_E_FILE_WRITE, 111, Failure,                                                       \
	  "Ошибка: Не удаётся записать данные в указаннный файл.",                                 \
	  "the file cannot be written")                                                            \
	X(DRAXEL_E_FILE_DAMAGED, 112, Integrity,                                                   \
	  "Ошибка: Указанный файл повреждён.",                                                     \
	  "the encrypted file is damaged")                                                         \
	X(DRAXEL_E_CANNOT_DECRYPT, 113, WrongPassword,                                             \
	  "Ошибка: Невозможно расшифровать данные. Возможно неверная парольная "                   \
	  "фраза/неверная группа/не тот носитель Мекта.",                                          \
	  "wrong pass phrase, group or token")                                                     \
	X(DRAXEL_E_KEY_DAMAGED, 114, Refused,                                                      \
	  "Ошибка: Ключ на носителе повреждён. Попробуйте восстановить с дубликата.",              \
	  "the key on the token is damaged")                                                       \
	X(DRAXEL_E_PASSWORD_LENGTH, 115, Refused,                                                  \
	  "Ошибка: Пароль неправильной длины. Минимальная длина пароля 4 символа.",                \
	  "the token refused the password's length")                                               \
	X(DRAXEL_E_COMMUNICATION, 116, Communication,                                              \
	  "Ошибка: Ошибка комуникации со считывателем.",                                           \
	  "the exchange with the token failed")                                                    \
	X(DRAXEL_E_GROUP_NOT_FOUND, 117, Refused,                                                  \
	  "Ошибка: Группа с данным именем не найдена на устройстве.",                              \
	  "no group of that name")                                                                 \
	X(DRAXEL_E_GROUP_EXISTS, 118, Refused,                                                     \
	  "Ошибка: Группа с данным именем уже существует.",                                        \
	  "a group of that name exists")                                                           \
	X(DRAXEL_E_TOO_MANY_GROUPS, 119, Refused,                                                  \
	  "Ошибка: Достигнуто максимально возможное число групп на устройстве.",                   \
	  "the token holds all the groups it can")                                                 \
	X(DRAXEL_E_BAD_STATUS, 120, Refused,                                                       \
	  "Ошибка: Устройство вернуло некорректный статус.",                                       \
	  "the token answered an unexpected status")                                               \
	X(DRAXEL_E_INTEGRITY, 121, Integrity,                                                      \
	  "Ошибка: Целостность зашифрованного файла нарушена, расшифрование невозможно.",          \
	  "the decrypted file fails its checksum")                                                 \
	X(DRAXEL_E_NOT_GROUP_ADMIN, 122, Refused,                                                  \
	  "Ошибка: Только Администратор группы может совершать данное действие.",                  \
	  "only the group's administrator may do this")                                            \
	X(DRAXEL_E_NO_TOKEN, 123, NoToken, NULL, "no token found")                                 \
	X(DRAXEL_E_SEVERAL_TOKENS, 124, NoToken, NULL,                                             \
	  "several tokens found; choose one with --reader")                                        \
	X(DRAXEL_E_VERSION_TOO_OLD, 125, Refused, NULL,                                            \
	  "the token's version lacks the operation")                                               \
	X(DRAXEL_E_GROUP_LIST_DAMAGED, 126, Refused,                                               \
	  "Ошибка: Невозможно считать список групп. Список групп повреждён.",                      \
	  "the token's group list cannot be read")
/* clang-format on */

enum { DRAXEL_LIBRARY_CODES(DRAXEL_CODE_ENUMERATOR_) };

/* A wrong password: the code carries the attempts left, 0 to 15. */
enum {
	DRAXEL_E_WRONG_PASSWORD = 140,    /* wrong password, no attempts left ... */
	DRAXEL_E_WRONG_PASSWORD_MAX = 155 /* ... to 15 attempts left */
};

/* The attempts left that a wrong-password code carries. */
#define DRAXEL_TRIES_LEFT(code) ((code)-DRAXEL_E_WRONG_PASSWORD)

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
 * or the host's transmit table (Type_ReaderFuncStruct, whose
 * handlerScardTransmit then carries every command). Returns 0.
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
 * CloseReader - disconnect the record. When a password was presented over
 * the connection (VERIFY, CHANGE REFERENCE DATA or RESET RETRY COUNTER with
 * data), the card is power-cycled inside a transaction first, so that no
 * verified password outlives the connection; otherwise the card is left as
 * it is for the other programs that use it. Ends the record's transactions
 * and the hold of a token-mode file. The record keeps its name and can be
 * opened again; closing an unconnected record is a no-op. Returns 0,
 * DRAXEL_TR_BAD_ARGUMENT for null, or the transport code of the
 * SCardDisconnect failure (the record is unconnected all the same).
 */
unsigned long CloseReader(ReaderStructPtr prs);

/* FreeReaderStruct - release a record and its name; null is ignored. Does not
 * disconnect: call CloseReader first. */
void FreeReaderStruct(ReaderStructPtr prs);

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
	uint32_t crc32;      /* the file's CRC when ver is 0; written as 0 */
	BYTE flag;           /* bit 0: the data is enciphered on the host (CFB) */
	BYTE ver;            /* written as 1: the CRC follows the data */
	BYTE reserved[6];    /* zero */
	BYTE cryptogram[36]; /* the token's session-key cryptogram */
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

/* FreeDataBlock - wipe the len bytes of a block that one of the six block
 * functions of draxel_lowlevel.h (EncryptData and its siblings) handed out,
 * then free it (an extension of this library, for hosts in C). A null block
 * is ignored. */
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

#ifdef __cplusplus
}
#endif

/* The lower layers, for the hosts and tests that drive them directly. */
#include "draxel_lowlevel.h"

#endif /* DRAXEL_LIB_H */
