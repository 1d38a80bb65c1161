/* Card transport, inside: the reader record, and the small set of reader
 * operations that each way of reaching a token implements once (PC/SC in
 * reader_pcsc.cpp, the host's transmit handler in reader_host.cpp). The
 * exported transport operations (transmit.cpp) choose one set when the
 * library is initialised and never ask again which mode they are in. */
#ifndef DRAXEL_READER_RECORD_H
#define DRAXEL_READER_RECORD_H

#include <winscard.h>

#include "transmit.h"

struct _ReaderStruct {
	char *strName;
	BYTE atr[32];
	DWORD atr_len;
	SCARDHANDLE hCard;
	DWORD dwActiveProtocol;
	LPCSCARD_IO_REQUEST lpscior;
	WORD wSW;
	DWORD error;
	DWORD dwIFSC;
	DWORD dwIFSD;
	DWORD dwCurrentState;
	DWORD dwEventState;
	DWORD mode;
	/* Transactions: how deep this record's nesting runs (the card is
	 * locked while it is above 0), how much of it the host asked for, and
	 * whether a command reached the token since the lock was taken. */
	unsigned int lock_depth;
	unsigned int host_depth;
	bool sent_under_lock;
	/* A password went to the token over this connection: closing it must
	 * then clear the card's security state. */
	bool presented_password;
};

/* Each returns what the exported operation of the same purpose returns;
 * the exported operations check their arguments and trace first. */
struct ReaderOps {
	/* The resource manager's context: raw PC/SC results. */
	unsigned long (*open_context)(void);
	/* Releases a context: hSC, or one that only replaced connections used. */
	unsigned long (*close_context)(long context);
	unsigned long (*list_readers)(char *list, unsigned long *size);
	/* The record's connection to the card in the named reader (null: the
	 * name the record holds), and its end: transport codes. A probe's end
	 * leaves the card as it found it. */
	unsigned long (*open)(const char *name, ReaderStructPtr prs, bool exclusive);
	unsigned long (*close)(ReaderStructPtr prs, bool probe);
	/* 0 for a card present or powered, else the raw state or failure. */
	unsigned long (*card_state)(ReaderStructPtr prs);
	bool (*is_t0)(ReaderStructPtr prs);
	/* One command and its reply (data then SW1 SW2): *reply_len is the
	 * room on entry and the reply's length on success. */
	unsigned long (*exchange)(ReaderStructPtr prs, const BYTE *cmd, unsigned long cmd_len,
	                          BYTE *reply, unsigned long *reply_len);
	/* The card kept from other programs, and let go: a transport code. */
	unsigned long (*lock)(ReaderStructPtr prs);
	void (*unlock)(ReaderStructPtr prs);
	/* A trace line before a Transmit call's first exchange, or null. */
	const char *first_exchange_note;
};

extern const ReaderOps pcsc_reader_ops;
extern const ReaderOps host_reader_ops;

/* Shared by both sets: the trace of a command, and the record's state once
 * its connection has ended. */
void trace_function(const char *line);
void forget_transactions(ReaderStructPtr prs);
/* Replaces the record's name with a heap copy; false when out of memory. */
bool StoreReaderName(ReaderStructPtr prs, const char *name);

#endif
