/*
 * Card transport: the exported reader operations, the PC/SC context, the
 * APDU exchange with its 61xx/6Cxx follow-up, transactions, and the trace
 * of all of them. How a token is reached is the business of one set of
 * reader operations (reader_record.h), chosen when the library is set up.
 */
#include "transmit.h"

#include <stdlib.h>
#include <string.h>

#include "debug.h"
#include "reader_record.h"
#include "token_layout.h"
#include "wipe.h"

extern "C" {
SCARDCONTEXT hSC = 0;
Type_ReaderFuncStruct *reader_mekta_func = NULL;
}

/* The record that a token-mode file keeps locked between its chunks. */
static ReaderStructPtr file_holder = NULL;

/* How tokens are reached: PC/SC until the host hands over a handler. */
static const ReaderOps *reader_ops = &pcsc_reader_ops;

namespace {

using draxel_layout::kSwSuccess;
constexpr unsigned long kReplyCapacity = DRAXEL_MAX_REPLY;
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

/* The commands whose data are passwords. */
bool carries_password(BYTE ins)
{
	return ins == kInsVerify || ins == kInsChangeReferenceData || ins == kInsResetRetryCounter;
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

/* One exchange of a Transmit call, traced. */
unsigned long exchange(ReaderStructPtr prs, const BYTE *cmd, unsigned long cmd_len, BYTE *reply,
                       unsigned long *reply_len)
{
	PrintCAPDU(cmd, cmd_len, prs);
	unsigned long rc = reader_ops->exchange(prs, cmd, cmd_len, reply, reply_len);
	if (rc == DRAXEL_TR_OK)
		take_status_word(prs, reply, *reply_len);
	return rc;
}

/* Both exchanges of one Transmit call, over the receive buffer reply. */
unsigned long exchange_with_follow_up(const BYTE *cmd, unsigned long cmd_len, BYTE *reply,
                                      unsigned long *reply_len, const unsigned long *pulRecvSize,
                                      ReaderStructPtr prs)
{
	reply_may_be_shown = data_may_be_shown(cmd[1]);
	if (reader_ops->first_exchange_note != NULL)
		trace_function(reader_ops->first_exchange_note);
	unsigned long rc = exchange(prs, cmd, cmd_len, reply, reply_len);
	if (rc != DRAXEL_TR_OK)
		return rc;
	if (prs->wSW == kSwSuccess)
		return DRAXEL_TR_OK;
	if (!needs_follow_up(prs->wSW, *reply_len))
		return DRAXEL_TR_STATUS_WORD;

	BYTE follow_up[5];
	build_follow_up(follow_up, cmd, prs->wSW, pulRecvSize);
	*reply_len = kReplyCapacity;
	rc = exchange(prs, follow_up, sizeof follow_up, reply, reply_len);
	if (rc != DRAXEL_TR_OK)
		return rc;
	return final_status_accepted(prs->wSW) ? DRAXEL_TR_OK : DRAXEL_TR_STATUS_WORD;
}

/* Notes a password command that reached the token. */
void note_password(ReaderStructPtr prs, const BYTE *cmd, unsigned long cmd_len)
{
	if (carries_password(cmd[1]) && cmd_len > 5 && prs->sent_under_lock)
		prs->presented_password = true;
}

} // namespace

void trace_function(const char *line)
{
	if (function_trace_on())
		DebugPrintf("%s", line);
}

bool StoreReaderName(ReaderStructPtr prs, const char *name)
{
	char *copy = strdup(name);
	if (copy == NULL)
		return false;
	free(prs->strName);
	prs->strName = copy;
	return true;
}

/* Forgets the record's transactions: its connection is ending. */
void forget_transactions(ReaderStructPtr prs)
{
	prs->lock_depth = 0;
	prs->host_depth = 0;
	if (file_holder == prs)
		file_holder = NULL;
}

/* Ends the record's connection; the trace line is the same for both ends. */
static unsigned long disconnect(ReaderStructPtr prs, bool probe)
{
	if (prs != NULL && function_trace_on())
		DebugPrintf("CloseReader %s\n", prs->strName != NULL ? prs->strName : "(null)");
	return reader_ops->close(prs, probe);
}

extern "C" {

void InitTransportLib(Type_ReaderFuncStruct *reader_func)
{
	DebugConfigure(true);
	reader_mekta_func = reader_func;
	reader_ops = reader_func != NULL ? &host_reader_ops : &pcsc_reader_ops;
}

bool IsReaderMektaFunc(void)
{
	return reader_ops == &host_reader_ops;
}

ReaderStructPtr AllocReaderStruct(const char *pcName)
{
	ReaderStructPtr prs = static_cast<ReaderStructPtr>(calloc(1, sizeof(struct _ReaderStruct)));
	if (prs == NULL)
		return NULL;
	trace_function("AllocReaderStruct\n");
	if (pcName != NULL)
		StoreReaderName(prs, pcName); /* a failed copy leaves a record without a name */
	return prs;
}

void FreeReaderStruct(ReaderStructPtr prs)
{
	if (prs == NULL)
		return;
	if (prs->lock_depth > 0)
		reader_ops->unlock(prs);
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
	return reader_ops->open_context();
}

unsigned long CloseReaderContext(void)
{
	trace_function("CloseReaderContext\n");
	unsigned long rc = reader_ops->close_context(hSC);
	hSC = 0;
	return rc;
}

unsigned long ListReaders(char *pcList, unsigned long *pulListSize)
{
	trace_function("ListReaders\n");
	return reader_ops->list_readers(pcList, pulListSize);
}

unsigned long OpenReader(const char *pcName, ReaderStructPtr prs, bool exclusive)
{
	if (function_trace_on())
		DebugPrintf("OpenReader %s\n", pcName != NULL ? pcName : "(null)");
	return reader_ops->open(pcName, prs, exclusive);
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
	if (prs == NULL)
		return DRAXEL_TR_BAD_ARGUMENT;
	if (prs->lock_depth > 0) {
		++prs->lock_depth;
		return 0;
	}
	unsigned long rc = reader_ops->lock(prs);
	if (rc == 0)
		prs->lock_depth = 1;
	return rc;
}

void EndReaderTransaction(ReaderStructPtr prs)
{
	if (prs != NULL && prs->lock_depth > 0 && --prs->lock_depth == 0)
		reader_ops->unlock(prs);
}

unsigned long BeginHostTransaction(ReaderStructPtr prs)
{
	unsigned long rc = BeginReaderTransaction(prs);
	if (rc == 0)
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
		return; /* no transaction to extend */
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
	if (context == 0 || context == hSC)
		return 0;
	return reader_ops->close_context(context);
}

unsigned long IsCardPowered(ReaderStructPtr psr)
{
	return reader_ops->card_state(psr);
}

bool IsReaderProtocolT0(ReaderStructPtr prs)
{
	return reader_ops->is_t0(prs);
}

unsigned short GetSW(ReaderStructPtr prs)
{
	return prs != NULL ? prs->wSW : 0;
}

unsigned long ReaderGetLastError(ReaderStructPtr prs)
{
	return prs != NULL ? prs->error : 0;
}

bool CardResetUnderOperation(ReaderStructPtr prs)
{
	return prs != NULL && prs->error == static_cast<DWORD>(SCARD_W_RESET_CARD);
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
	unsigned long rc =
	        exchange_with_follow_up(pubSend, ulSendSize, reply, &reply_len, pulRecvSize, prs);
	note_password(prs, pubSend, ulSendSize);
	if (locked)
		EndReaderTransaction(prs);
	if (rc == DRAXEL_TR_OK)
		rc = hand_out(reply, reply_len - 2, pubRecv, pulRecvSize);
	/* replies carry keys, plaintext and session answers */
	wipe(reply, sizeof reply);
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
	/* a header-only command has no P3; show it as 00. A password's length
	 * narrows the guessing, so P3 and the data length of the password
	 * commands stay out of the trace. */
	bool password = carries_password(pcmd[1]);
	unsigned int p3 = size > 4 ? pcmd[4] : 0;
	if (password)
		DebugPrintf("CLA=%02X INS=%02X P1=%02X P2=%02X P3=--...\n", pcmd[0], pcmd[1],
		            pcmd[2], pcmd[3]);
	else
		DebugPrintf("CLA=%02X INS=%02X P1=%02X P2=%02X P3=%02X...\n", pcmd[0], pcmd[1],
		            pcmd[2], pcmd[3], p3);
	if (level >= 2 && size > 5 && password) {
		DebugPrintf("Data In:\n(password, not shown)\n\n");
	} else if (level >= 2 && size > 5) {
		DebugPrintf("Data In:\n");
		DebugPrintHex("", pcmd + 5, static_cast<int>(size - 5),
		              !data_may_be_shown(pcmd[1]));
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
