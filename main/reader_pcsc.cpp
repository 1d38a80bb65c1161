/*
 * Reaching the token through PC/SC: the resource manager's context, the
 * reader list, connections, and the exchange. A card behind PC/SC may be
 * shared with other programs: the lock keeps their commands out of an
 * operation's sequence, and a card that one of them reset is reconnected.
 */
#include "debug.h"
#include "reader_record.h"

static_assert(sizeof(SCARDCONTEXT) == sizeof(long), "hSC is declared as long");
static_assert(sizeof(DWORD) == sizeof(unsigned long), "DWORD is unsigned long");

/* The transport code of a PC/SC result. */
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

namespace {

unsigned long open_context(void)
{
	LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &hSC);
	DebugPrintf("OpenReader r: %d\n", static_cast<int>(rv));
	return static_cast<unsigned long>(rv);
}

unsigned long close_context(long context)
{
	return SCardReleaseContext(context) == SCARD_S_SUCCESS ? 0 : DRAXEL_TR_FAILURE;
}

unsigned long list_readers(char *list, unsigned long *size)
{
	if (hSC == 0)
		return DRAXEL_TR_NOT_CONNECTED;
	if (size == NULL)
		return DRAXEL_TR_BAD_ARGUMENT;
	DWORD len = *size;
	LONG rv = SCardListReaders(hSC, NULL, list, &len);
	*size = len;
	return static_cast<unsigned long>(rv);
}

void take_protocol(ReaderStructPtr prs, DWORD protocol)
{
	prs->dwActiveProtocol = protocol;
	prs->lpscior = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
}

unsigned long open_reader(const char *name, ReaderStructPtr prs, bool exclusive)
{
	if (prs == NULL)
		return DRAXEL_TR_BAD_ARGUMENT;
	bool has_stored_name = prs->strName != NULL && prs->strName[0] != '\0';
	if (!has_stored_name && (name == NULL || name[0] == '\0'))
		return DRAXEL_TR_BAD_ARGUMENT;
	if (hSC == 0)
		return DRAXEL_TR_NOT_CONNECTED;
	if (name != NULL && !StoreReaderName(prs, name))
		return DRAXEL_TR_NO_MEMORY;

	prs->mode = exclusive ? SCARD_SHARE_EXCLUSIVE : SCARD_SHARE_SHARED;
	DWORD protocol = 0;
	LONG rv = SCardConnect(hSC, prs->strName, prs->mode, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
	                       &prs->hCard, &protocol);
	prs->error = static_cast<DWORD>(rv);
	if (rv != SCARD_S_SUCCESS)
		return ProcessScardError(prs->error);
	take_protocol(prs, protocol);
	prs->atr_len = sizeof prs->atr;
	if (SCardStatus(prs->hCard, NULL, NULL, NULL, NULL, prs->atr, &prs->atr_len) !=
	    SCARD_S_SUCCESS)
		prs->atr_len = 0;
	if (TRACE_APDU_LEVEL(GetTraceMode()) != 0) {
		DebugPrintf("\nATR:\n");
		DebugPrintHex("", prs->atr, static_cast<int>(prs->atr_len), 0);
	}
	trace_function("OpenReader: 0\n");
	return 0;
}

/* Another program reset the card, or left it unpowered: the handle must
 * be reconnected before the card answers it again. */
bool card_was_reset(LONG rv)
{
	return rv == SCARD_W_RESET_CARD || rv == SCARD_W_UNPOWERED_CARD;
}

/* The same, seen by a command. pcscd tells a program that died holding the
 * card apart by resetting the card, and flags the reset to the other
 * handles before the card has been power-cycled: a handle reconnected in
 * between keeps the old protocol and finds it undone at its next command.
 * Our protocol information only ever comes from pcscd's negotiation, so a
 * mismatch means nothing else. */
bool reset_under_command(LONG rv)
{
	return card_was_reset(rv) || rv == SCARD_E_PROTO_MISMATCH;
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
		rv = SCardReconnect(prs->hCard, prs->mode, protocols, SCARD_UNPOWER_CARD,
		                    &protocol);
	if (rv == SCARD_S_SUCCESS) {
		take_protocol(prs, protocol);
		prs->presented_password = false;
	}
	return rv;
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

unsigned long close_reader(ReaderStructPtr prs, bool probe)
{
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

unsigned long card_state(ReaderStructPtr prs)
{
	if (prs == NULL)
		return DRAXEL_TR_BAD_ARGUMENT;
	if (prs->hCard == 0)
		return DRAXEL_TR_NOT_CONNECTED;
	DWORD state = 0;
	LONG rv = SCardStatus(prs->hCard, NULL, NULL, &state, NULL, NULL, NULL);
	if (rv != SCARD_S_SUCCESS)
		return static_cast<unsigned long>(rv);
	const DWORD present_or_powered =
	        SCARD_PRESENT | SCARD_POWERED | SCARD_NEGOTIABLE | SCARD_SPECIFIC;
	return (state & present_or_powered) != 0 ? 0 : state;
}

bool is_t0(ReaderStructPtr prs)
{
	return prs != NULL && prs->dwActiveProtocol == SCARD_PROTOCOL_T0;
}

/* A command that found the card reset is sent again after reconnecting
 * only when it opens its transaction: a later one would run without what
 * the earlier commands set up on the token. It fails instead, as
 * SCARD_W_RESET_CARD whatever pcscd said, so that the operation can report
 * a token that forgot its verified passwords; the handle is reconnected
 * either way, and the next operation finds it working. */
unsigned long exchange(ReaderStructPtr prs, const BYTE *cmd, unsigned long cmd_len, BYTE *reply,
                       unsigned long *reply_len)
{
	if (prs->hCard == 0)
		return DRAXEL_TR_NOT_CONNECTED;
	DWORD len = *reply_len;
	LONG rv = SCardTransmit(prs->hCard, prs->lpscior, cmd, cmd_len, NULL, reply, &len);
	if (reset_under_command(rv) && reconnect(prs) == SCARD_S_SUCCESS) {
		if (prs->sent_under_lock) {
			rv = SCARD_W_RESET_CARD;
		} else {
			len = *reply_len;
			rv = SCardTransmit(prs->hCard, prs->lpscior, cmd, cmd_len, NULL, reply,
			                   &len);
		}
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

/* SCardBeginTransaction, reconnecting when the card was reset since the
 * record last used it. Waits while another program holds the card. */
unsigned long lock_card(ReaderStructPtr prs)
{
	if (prs->hCard == 0)
		return DRAXEL_TR_NOT_CONNECTED;
	LONG rv = SCardBeginTransaction(prs->hCard);
	for (int attempt = 0; attempt < 2 && card_was_reset(rv); ++attempt) {
		rv = reconnect(prs);
		if (rv == SCARD_S_SUCCESS)
			rv = SCardBeginTransaction(prs->hCard);
	}
	if (rv != SCARD_S_SUCCESS) {
		prs->error = static_cast<DWORD>(rv);
		return ProcessScardError(prs->error);
	}
	prs->sent_under_lock = false;
	return 0;
}

void unlock_card(ReaderStructPtr prs)
{
	if (prs->hCard != 0)
		SCardEndTransaction(prs->hCard, SCARD_LEAVE_CARD);
}

} // namespace

const ReaderOps pcsc_reader_ops = {
        open_context, close_context, list_readers, open_reader, close_reader, card_state,
        is_t0,        exchange,      lock_card,    unlock_card, NULL,
};
