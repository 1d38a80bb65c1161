/*
 * Card transport: the PC/SC context, reader records, the APDU exchange with
 * its 61xx/6Cxx follow-up, and the trace points of all of them.
 */
#include "transmit.h"

#include <stdlib.h>
#include <string.h>

#include <winscard.h>

#include "debug.h"

static_assert(sizeof(SCARDCONTEXT) == sizeof(long), "hSC is declared as long");
static_assert(sizeof(DWORD) == sizeof(unsigned long), "DWORD is unsigned long");

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
	/* Transactions: how deep this record's nesting runs (the PC/SC lock is
	 * held while it is above 0), how much of it the host asked for, and
	 * whether a command reached the token since the lock was taken. */
	unsigned int lock_depth;
	unsigned int host_depth;
	bool sent_under_lock;
	/* A password went to the token over this connection: closing it must
	 * then clear the card's security state. */
	bool presented_password;
};

extern "C" {
SCARDCONTEXT hSC = 0;
Type_ReaderFuncStruct *reader_mekta_func = NULL;
}

/* The record that a token-mode file keeps locked between its chunks. */
static ReaderStructPtr file_holder = NULL;

namespace {

constexpr unsigned long kReplyCapacity = DRAXEL_MAX_REPLY;
constexpr WORD kSwSuccess = 0x9000;
constexpr BYTE kSw1BytesWaiting = 0x61;
constexpr BYTE kSw1WrongLength = 0x6C;
constexpr BYTE kInsVerify = 0x20;
constexpr BYTE kInsChangeReferenceData = 0x24;
constexpr BYTE kInsResetRetryCounter = 0x2C;
constexpr BYTE kInsSelect = 0xA4;
constexpr BYTE kInsManageSecurityEnvironment = 0x22;

bool function_trace_on()
{
	return (GetTraceMode() & TRACE_FUNCTIONS) != 0;
}

void trace_function(const char *line)
{
	if (function_trace_on())
		DebugPrintf("%s", line);
}

bool host_handler_mode()
{
	return reader_mekta_func != NULL;
}

/* Replaces the record's name with a heap copy; false when out of memory. */
bool store_name(ReaderStructPtr prs, const char *name)
{
	char *copy = strdup(name);
	if (copy == NULL)
		return false;
	free(prs->strName);
	prs->strName = copy;
	return true;
}

/* The commands whose data are passwords. */
bool carries_password(BYTE ins)
{
	return ins == kInsVerify || ins == kInsChangeReferenceData ||
	       ins == kInsResetRetryCounter;
}

/* Whether a command's data, and its reply's, may appear in the trace: only
 * selections and security environments carry nothing secret. Everything
 * else (passwords, pass phrases, session keys, cipher data, duplicates, key
 * sources, group texts, the note) shows as its length alone. */
bool data_may_be_shown(BYTE ins)
{
	return ins == kInsSelect || ins == kInsManageSecurityEnvironment;
}

/* Set from each command that Transmit sends, for the trace of its replies
 * (a follow-up's reply belongs to the command it follows up). */
bool reply_may_be_shown = false;

/* One exchange over the host handler. The handler's length is not trusted. */
unsigned long exchange_host(ReaderStructPtr prs, const BYTE *cmd, unsigned long cmd_len,
                            BYTE *reply, unsigned long *reply_len)
{
	int len = static_cast<int>(*reply_len);
	reader_mekta_func->handlerScardTransmit(const_cast<BYTE *>(cmd), static_cast<int>(cmd_len),
	                                        reply, &len);
	if (len < 2 || static_cast<unsigned long>(len) > kReplyCapacity) {
		prs->error = 1;
		return DRAXEL_TR_FAILURE;
	}
	prs->error = 0;
	*reply_len = static_cast<unsigned long>(len);
	return DRAXEL_TR_OK;
}

/* Another program reset the card, or left it unpowered: the handle must
 * be reconnected before the card answers it again. */
bool card_was_reset(LONG rv)
{
	return rv == SCARD_W_RESET_CARD || rv == SCARD_W_UNPOWERED_CARD;
}

bool card_powered(ReaderStructPtr prs)
{
	DWORD state = 0;
	return SCardStatus(prs->hCard, NULL, NULL, &state, NULL, NULL, NULL) == SCARD_S_SUCCESS &&
	       (state & SCARD_POWERED) != 0;
}

/* Reconnects after a reset, leaving the card as it is, unless another
 * program left it unpowered: then it is powered up again. The token has
 * forgotten every password presented before the reset. */
LONG reconnect(ReaderStructPtr prs)
{
	DWORD protocol = 0;
	const DWORD protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
	LONG rv = SCardReconnect(prs->hCard, prs->mode, protocols, SCARD_LEAVE_CARD, &protocol);
	if (rv != SCARD_S_SUCCESS || !card_powered(prs))
		rv = SCardReconnect(prs->hCard, prs->mode, protocols, SCARD_UNPOWER_CARD, &protocol);
	if (rv == SCARD_S_SUCCESS) {
		prs->dwActiveProtocol = protocol;
		prs->lpscior = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
		prs->presented_password = false;
	}
	return rv;
}

/* SCardBeginTransaction, reconnecting when the card was reset since the
 * record last used it. Waits while another program holds the card. */
LONG lock_card(ReaderStructPtr prs)
{
	LONG rv = SCardBeginTransaction(prs->hCard);
	for (int attempt = 0; attempt < 2 && card_was_reset(rv); ++attempt) {
		rv = reconnect(prs);
		if (rv == SCARD_S_SUCCESS)
			rv = SCardBeginTransaction(prs->hCard);
	}
	return rv;
}

/* Forgets the record's transactions: its connection is ending. */
void forget_transactions(ReaderStructPtr prs)
{
	prs->lock_depth = 0;
	prs->host_depth = 0;
	if (file_holder == prs)
		file_holder = NULL;
}

/* One exchange over PC/SC. A command that found the card reset is sent
 * again after reconnecting only when it opens its transaction: a later one
 * would run without what the earlier commands set up on the token. */
unsigned long exchange_pcsc(ReaderStructPtr prs, const BYTE *cmd, unsigned long cmd_len,
                            BYTE *reply, unsigned long *reply_len)
{
	if (prs->hCard == 0)
		return DRAXEL_TR_NOT_CONNECTED;
	PrintCAPDU(cmd, cmd_len, prs);
	DWORD len = *reply_len;
	LONG rv = SCardTransmit(prs->hCard, prs->lpscior, cmd, cmd_len, NULL, reply, &len);
	if (card_was_reset(rv) && !prs->sent_under_lock && reconnect(prs) == SCARD_S_SUCCESS) {
		len = *reply_len;
		rv = SCardTransmit(prs->hCard, prs->lpscior, cmd, cmd_len, NULL, reply, &len);
	}
	prs->error = static_cast<DWORD>(rv);
	if (rv != SCARD_S_SUCCESS) {
		PrintError(prs->error);
		return ProcessScardError(prs->error);
	}
	prs->sent_under_lock = true;
	if (len < 2) {
		PrintError(prs->error);
		prs->error = 1;
		return DRAXEL_TR_FAILURE;
	}
	*reply_len = len;
	return DRAXEL_TR_OK;
}

/* Takes the status word from the end of a reply and traces the reply. */
void take_status_word(ReaderStructPtr prs, BYTE *reply, unsigned long reply_len)
{
	prs->wSW = static_cast<WORD>((reply[reply_len - 2] << 8) | reply[reply_len - 1]);
	PrintRAPDU(prs->wSW, reply, reply_len);
}

/* True when the first reply asks for exactly one follow-up command. */
bool needs_follow_up(WORD sw, unsigned long reply_len)
{
	BYTE sw1 = static_cast<BYTE>(sw >> 8);
	return reply_len == 2 && (sw1 == kSw1BytesWaiting || sw1 == kSw1WrongLength);
}

/* GET RESPONSE after 61xx, or the command's header with the right Le after
 * 6Cxx; either asks for no more than the caller can take. */
void build_follow_up(BYTE follow_up[5], const BYTE *first_cmd, WORD sw,
                     const unsigned long *pulRecvSize)
{
	static const BYTE get_response[4] = {0x00, 0xC0, 0x00, 0x00};
	const BYTE *header = (sw >> 8) == kSw1BytesWaiting ? get_response : first_cmd;
	unsigned long limit = 256;
	if (pulRecvSize != NULL && *pulRecvSize != 0 && *pulRecvSize < limit)
		limit = *pulRecvSize;
	unsigned long sw2 = sw & 0xFFu;
	memcpy(follow_up, header, 4);
	follow_up[4] = static_cast<BYTE>(sw2 < limit ? sw2 : limit);
}

bool final_status_accepted(WORD sw)
{
	return sw == kSwSuccess || (sw >> 8) == kSw1BytesWaiting;
}

unsigned long hand_out(const BYTE *data, unsigned long data_len, BYTE *pubRecv,
                       unsigned long *pulRecvSize)
{
	if (pubRecv == NULL || pulRecvSize == NULL)
		return DRAXEL_TR_OK;
	if (*pulRecvSize < data_len)
		return DRAXEL_TR_BAD_ARGUMENT;
	*pulRecvSize = data_len;
	memcpy(pubRecv, data, data_len);
	return DRAXEL_TR_OK;
}

/* Both exchanges of one Transmit call, over the receive buffer reply. */
unsigned long exchange_with_follow_up(const BYTE *cmd, unsigned long cmd_len, BYTE *reply,
                                      unsigned long *reply_len, const unsigned long *pulRecvSize,
                                      ReaderStructPtr prs)
{
	unsigned long rc;
	reply_may_be_shown = data_may_be_shown(cmd[1]);
	if (host_handler_mode()) {
		trace_function("Transmit continue\n");
		PrintCAPDU(cmd, cmd_len, prs);
		rc = exchange_host(prs, cmd, cmd_len, reply, reply_len);
	} else {
		rc = exchange_pcsc(prs, cmd, cmd_len, reply, reply_len);
	}
	if (rc != DRAXEL_TR_OK)
		return rc;
	take_status_word(prs, reply, *reply_len);
	if (prs->wSW == kSwSuccess)
		return DRAXEL_TR_OK;
	if (!needs_follow_up(prs->wSW, *reply_len))
		return DRAXEL_TR_STATUS_WORD;

	BYTE follow_up[5];
	build_follow_up(follow_up, cmd, prs->wSW, pulRecvSize);
	*reply_len = kReplyCapacity;
	if (host_handler_mode()) {
		PrintCAPDU(follow_up, sizeof follow_up, prs);
		rc = exchange_host(prs, follow_up, sizeof follow_up, reply, reply_len);
	} else {
		rc = exchange_pcsc(prs, follow_up, sizeof follow_up, reply, reply_len);
	}
	if (rc != DRAXEL_TR_OK)
		return rc;
	take_status_word(prs, reply, *reply_len);
	return final_status_accepted(prs->wSW) ? DRAXEL_TR_OK : DRAXEL_TR_STATUS_WORD;
}

/* Clears the card's security state before a connection that presented a
 * password goes, without resetting the card under another program's
 * transaction: the power cycle happens inside one of our own. A card that
 * was reset since already forgot the password. */
DWORD closing_disposition(ReaderStructPtr prs)
{
	if (!prs->presented_password)
		return SCARD_LEAVE_CARD;
	LONG rv = prs->lock_depth > 0 ? SCARD_S_SUCCESS : SCardBeginTransaction(prs->hCard);
	if (rv == SCARD_S_SUCCESS)
		rv = SCardEndTransaction(prs->hCard, SCARD_UNPOWER_CARD);
	return rv == SCARD_S_SUCCESS || card_was_reset(rv) ? SCARD_LEAVE_CARD : SCARD_UNPOWER_CARD;
}

/* Ends the record's connection. A probe leaves the card as it found it. */
unsigned long disconnect(ReaderStructPtr prs, bool probe)
{
	if (prs != NULL && function_trace_on())
		DebugPrintf("CloseReader %s\n", prs->strName != NULL ? prs->strName : "(null)");
	if (host_handler_mode())
		return 0;
	if (prs == NULL) {
		trace_function("CloseReader: 0\n");
		return DRAXEL_TR_BAD_ARGUMENT;
	}
	if (prs->hCard == 0)
		return 0;
	DWORD disposition = probe ? SCARD_LEAVE_CARD : closing_disposition(prs);
	prs->error = static_cast<DWORD>(SCardDisconnect(prs->hCard, disposition));
	prs->hCard = 0;
	prs->dwEventState &= 0xFFF;
	prs->presented_password = false;
	forget_transactions(prs);
	return prs->error == SCARD_S_SUCCESS ? 0 : ProcessScardError(prs->error);
}

/* Notes a password command that reached the token. */
void note_password(ReaderStructPtr prs, const BYTE *cmd, unsigned long cmd_len)
{
	if (carries_password(cmd[1]) && cmd_len > 5 && prs->sent_under_lock)
		prs->presented_password = true;
}

} // namespace

extern "C" {

void InitTransportLib(Type_ReaderFuncStruct *reader_func)
{
	DebugConfigure(true);
	reader_mekta_func = reader_func;
}

bool IsReaderMektaFunc(void)
{
	return host_handler_mode();
}

ReaderStructPtr AllocReaderStruct(const char *pcName)
{
	ReaderStructPtr prs = static_cast<ReaderStructPtr>(calloc(1, sizeof(struct _ReaderStruct)));
	if (prs == NULL)
		return NULL;
	trace_function("AllocReaderStruct\n");
	if (pcName != NULL)
		store_name(prs, pcName); /* a failed copy leaves a record without a name */
	prs->dwCurrentState = 0;
	prs->dwEventState = 0;
	return prs;
}

void FreeReaderStruct(ReaderStructPtr prs)
{
	if (prs == NULL)
		return;
	if (prs->lock_depth > 0 && prs->hCard != 0)
		SCardEndTransaction(prs->hCard, SCARD_LEAVE_CARD);
	forget_transactions(prs);
	free(prs->strName);
	free(prs);
}

bool IsCurrentReader(ReaderStructPtr prs, const char *readerName)
{
	return prs != NULL && prs->strName != NULL && readerName != NULL &&
	       strcmp(prs->strName, readerName) == 0;
}

unsigned long OpenReaderContext(int)
{
	DebugConfigure(false);
	trace_function("OpenReaderContext\n");
	if (host_handler_mode())
		return 0;
	LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &hSC);
	DebugPrintf("OpenReader r: %d\n", static_cast<int>(rv));
	return static_cast<unsigned long>(rv);
}

unsigned long CloseReaderContext(void)
{
	unsigned long rc = 0;
	trace_function("CloseReaderContext\n");
	if (!host_handler_mode() && SCardReleaseContext(hSC) != SCARD_S_SUCCESS)
		rc = DRAXEL_TR_FAILURE;
	hSC = 0;
	return rc;
}

unsigned long ListReaders(char *pcList, unsigned long *pulListSize)
{
	trace_function("ListReaders\n");
	if (host_handler_mode())
		return 0;
	if (hSC == 0)
		return DRAXEL_TR_NOT_CONNECTED;
	if (pulListSize == NULL)
		return DRAXEL_TR_BAD_ARGUMENT;
	DWORD size = *pulListSize;
	LONG rv = SCardListReaders(hSC, NULL, pcList, &size);
	*pulListSize = size;
	return static_cast<unsigned long>(rv);
}

unsigned long OpenReader(const char *pcName, ReaderStructPtr prs, bool exclusive)
{
	if (function_trace_on())
		DebugPrintf("OpenReader %s\n", pcName != NULL ? pcName : "(null)");
	if (host_handler_mode())
		return 0;
	bool has_stored_name = prs->strName != NULL && prs->strName[0] != '\0';
	if (!has_stored_name && (pcName == NULL || pcName[0] == '\0'))
		return DRAXEL_TR_BAD_ARGUMENT;
	if (hSC == 0)
		return DRAXEL_TR_NOT_CONNECTED;
	if (pcName != NULL && !store_name(prs, pcName))
		return DRAXEL_TR_NO_MEMORY;

	prs->mode = exclusive ? SCARD_SHARE_EXCLUSIVE : SCARD_SHARE_SHARED;
	LONG rv = SCardConnect(hSC, prs->strName, prs->mode, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
	                       &prs->hCard, &prs->dwActiveProtocol);
	prs->error = static_cast<DWORD>(rv);
	if (rv != SCARD_S_SUCCESS)
		return ProcessScardError(prs->error);

	prs->lpscior = prs->dwActiveProtocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
	prs->atr_len = sizeof prs->atr;
	if (TRACE_APDU_LEVEL(GetTraceMode()) != 0) {
		DebugPrintf("\nATR:\n");
		DebugPrintHex("", prs->atr, static_cast<int>(prs->atr_len), 0);
	}
	trace_function("OpenReader: 0\n");
	return 0;
}

unsigned long CloseReader(ReaderStructPtr prs)
{
	return disconnect(prs, false);
}

unsigned long CloseReaderLeaveCard(ReaderStructPtr prs)
{
	return disconnect(prs, true);
}

unsigned long BeginReaderTransaction(ReaderStructPtr prs)
{
	if (host_handler_mode())
		return 0;
	if (prs == NULL)
		return DRAXEL_TR_BAD_ARGUMENT;
	if (prs->lock_depth > 0) {
		++prs->lock_depth;
		return 0;
	}
	if (prs->hCard == 0)
		return DRAXEL_TR_NOT_CONNECTED;
	LONG rv = lock_card(prs);
	if (rv != SCARD_S_SUCCESS) {
		prs->error = static_cast<DWORD>(rv);
		return ProcessScardError(prs->error);
	}
	prs->lock_depth = 1;
	prs->sent_under_lock = false;
	return 0;
}

void EndReaderTransaction(ReaderStructPtr prs)
{
	if (prs == NULL || prs->lock_depth == 0)
		return;
	if (--prs->lock_depth == 0 && prs->hCard != 0)
		SCardEndTransaction(prs->hCard, SCARD_LEAVE_CARD);
}

unsigned long BeginHostTransaction(ReaderStructPtr prs)
{
	unsigned long rc = BeginReaderTransaction(prs);
	if (rc == 0 && prs != NULL)
		++prs->host_depth;
	return rc;
}

unsigned long EndHostTransaction(ReaderStructPtr prs)
{
	if (prs == NULL || prs->host_depth == 0)
		return DRAXEL_TR_BAD_ARGUMENT;
	--prs->host_depth;
	EndReaderTransaction(prs);
	return 0;
}

void HoldReaderForFile(ReaderStructPtr prs)
{
	ReleaseFileHold();
	if (prs == NULL || prs->lock_depth == 0)
		return; /* nothing held: host-handler mode, or no lock to extend */
	++prs->lock_depth;
	file_holder = prs;
}

bool ReaderLocksFirst(ReaderStructPtr a, ReaderStructPtr b)
{
	const char *name_a = a != NULL && a->strName != NULL ? a->strName : "";
	const char *name_b = b != NULL && b->strName != NULL ? b->strName : "";
	return strcmp(name_a, name_b) <= 0;
}

void ReleaseFileHold(void)
{
	ReaderStructPtr prs = file_holder;
	file_holder = NULL;
	EndReaderTransaction(prs);
}

unsigned long ReleaseOtherContext(long context)
{
	if (host_handler_mode() || context == 0 || context == hSC)
		return 0;
	return SCardReleaseContext(context) == SCARD_S_SUCCESS ? 0 : DRAXEL_TR_FAILURE;
}

unsigned long IsCardPowered(ReaderStructPtr psr)
{
	if (host_handler_mode())
		return 0;
	if (psr == NULL)
		return DRAXEL_TR_BAD_ARGUMENT;
	if (psr->hCard == 0)
		return DRAXEL_TR_NOT_CONNECTED;
	DWORD state = 0;
	LONG rv = SCardStatus(psr->hCard, NULL, NULL, &state, NULL, NULL, NULL);
	if (rv != SCARD_S_SUCCESS)
		return static_cast<unsigned long>(rv);
	const DWORD present_or_powered = SCARD_PRESENT | SCARD_POWERED | SCARD_NEGOTIABLE | SCARD_SPECIFIC;
	return (state & present_or_powered) != 0 ? 0 : state;
}

bool IsReaderProtocolT0(ReaderStructPtr prs)
{
	if (host_handler_mode())
		return true;
	return prs != NULL && prs->dwActiveProtocol == SCARD_PROTOCOL_T0;
}

unsigned short GetSW(ReaderStructPtr prs)
{
	return prs != NULL ? prs->wSW : 0;
}

unsigned long ReaderGetLastError(ReaderStructPtr prs)
{
	return prs != NULL ? prs->error : 0;
}

unsigned long ProcessScardError(unsigned long error)
{
	if ((GetTraceMode() & TRACE_SCARD_ERRORS) != 0)
		PrintError(error);
	switch (error) {
	case SCARD_S_SUCCESS:
		return DRAXEL_TR_OK;
	case SCARD_E_TIMEOUT:
		return DRAXEL_TR_TIMEOUT;
	case SCARD_E_INSUFFICIENT_BUFFER:
		return DRAXEL_TR_INSUFFICIENT_BUFFER;
	case SCARD_E_UNKNOWN_READER:
	case SCARD_E_READER_UNAVAILABLE:
		return DRAXEL_TR_UNKNOWN_READER;
	case SCARD_E_NO_READERS_AVAILABLE:
		return DRAXEL_TR_NO_READERS;
	case SCARD_E_NO_SERVICE:
	case SCARD_E_SERVICE_STOPPED:
		return DRAXEL_TR_NO_SERVICE;
	default:
		return DRAXEL_TR_FAILURE;
	}
}

unsigned long Transmit(BYTE *pubSend, unsigned long ulSendSize, BYTE *pubRecv,
                       unsigned long *pulRecvSize, ReaderStructPtr prs)
{
	BYTE reply[kReplyCapacity];
	unsigned long reply_len = kReplyCapacity;
	memset(reply, 0, sizeof reply);
	trace_function("Transmit start\n");
	if (prs == NULL || pubSend == NULL || ulSendSize < 4 || ulSendSize > DRAXEL_MAX_COMMAND)
		return DRAXEL_TR_BAD_ARGUMENT;

	/* one command and its follow-up stay together; a failed lock is left
	 * for the exchange itself to report */
	bool locked = BeginReaderTransaction(prs) == 0;
	unsigned long rc = exchange_with_follow_up(pubSend, ulSendSize, reply, &reply_len,
	                                           pulRecvSize, prs);
	note_password(prs, pubSend, ulSendSize);
	if (locked)
		EndReaderTransaction(prs);
	if (rc == DRAXEL_TR_OK)
		rc = hand_out(reply, reply_len - 2, pubRecv, pulRecvSize);
	/* replies carry keys, plaintext and session answers */
	wipe_secret(reply, sizeof reply);
	return rc;
}

/* ---- trace formatting ---------------------------------------------------- */

void PrintCAPDU(const BYTE *pcmd, unsigned long size, struct _ReaderStruct *psReader)
{
	unsigned int level = TRACE_APDU_LEVEL(GetTraceMode());
	if (level == 0 || pcmd == NULL || size < 4)
		return;
	const char *name = psReader != NULL && psReader->strName != NULL ? psReader->strName
	                                                                 : "(host handler)";
	DebugPrintf("%s\n", name);
	if (level >= 2)
		DebugPrintf("============================================\n");
	/* a header-only command has no P3; show it as 00 */
	unsigned int p3 = size > 4 ? pcmd[4] : 0;
	DebugPrintf("CLA=%02X INS=%02X P1=%02X P2=%02X P3=%02X...\n", pcmd[0], pcmd[1], pcmd[2],
	            pcmd[3], p3);
	if (level >= 2 && size > 5) {
		DebugPrintf("Data In:\n");
		DebugPrintHex("", pcmd + 5, static_cast<int>(size - 5), !data_may_be_shown(pcmd[1]));
		DebugPrintf("\n");
	}
}

void PrintRAPDU(unsigned short sw, BYTE *preply, unsigned long size)
{
	unsigned int level = TRACE_APDU_LEVEL(GetTraceMode());
	if (level == 0)
		return;
	if (level >= 2 && size != 0 && preply != NULL) {
		DebugPrintf("Data Out:\n");
		DebugPrintHex("", preply, static_cast<int>(size), !reply_may_be_shown);
	}
	DebugPrintf("SW=%04X\n", sw);
}

void PrintError(unsigned long error)
{
	DebugPrintf("PC/SC error: %08lX\n", error);
}

} // extern "C"
