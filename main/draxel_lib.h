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
 * CloseReader - disconnect the record, powering the card down. The record
 * keeps its name and can be opened again; closing an unconnected record is a
 * no-op. Returns 0, DRAXEL_TR_BAD_ARGUMENT for null, or the transport code of
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
