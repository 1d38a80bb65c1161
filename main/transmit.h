/* Card transport: reader records, the PC/SC context and the APDU exchange.
 * The types and operations are declared in the public header; this header
 * adds what only the library's own units use. */
#ifndef DRAXEL_TRANSMIT_H
#define DRAXEL_TRANSMIT_H

#include "draxel_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of the trace mode word. */
#define TRACE_FUNCTIONS 0x02u
#define TRACE_SCARD_ERRORS 0x04u
#define TRACE_APDU_LEVEL(mode) (((mode) >> 4) & 3u)

/* Disconnects the record like CloseReader, but leaves the card powered: for
 * a probe of a reader whose card another connection of ours still uses. */
unsigned long CloseReaderLeaveCard(ReaderStructPtr prs);

/* Transactions keep another program's commands from interleaving with an
 * operation's sequence on a shared card. They nest per record: the PC/SC
 * lock is taken when the outermost one begins and released when it ends.
 * In host-handler mode they do nothing. Begin returns a transport code;
 * a card reset by another program is reconnected on the way. */
unsigned long BeginReaderTransaction(ReaderStructPtr prs);
void EndReaderTransaction(ReaderStructPtr prs);

/* The host's own nesting, counted apart so that it cannot end the
 * library's: DRAXEL_TR_BAD_ARGUMENT for an end without a begin. */
unsigned long BeginHostTransaction(ReaderStructPtr prs);
unsigned long EndHostTransaction(ReaderStructPtr prs);

/* A token-mode file keeps the token from its first chunk to its last: the
 * hold extends a transaction already begun on prs. One file at a time; a
 * new hold releases the old one, and closing or freeing the record ends it. */
void HoldReaderForFile(ReaderStructPtr prs);
void ReleaseFileHold(void);

/* True when a's card is to be locked before b's: by reader name, so that two
 * programs that each need both cards cannot wait on each other. */
bool ReaderLocksFirst(ReaderStructPtr a, ReaderStructPtr b);

/* True when prs's last exchange failed because the card had been reset
 * after the operation's first command reached it: the token has forgotten
 * what the operation set up, its verified passwords among them. */
bool CardResetUnderOperation(ReaderStructPtr prs);

/* Releases a PC/SC context other than hSC (one that only the connections a
 * new one replaced were using); pcscd then drops its card handles without
 * powering the cards down. */
unsigned long ReleaseOtherContext(long context);

#ifdef __cplusplus
}

/* One exported operation's transaction on one record, for its whole scope.
 * A lock that cannot be had is not an error here: the operation's first
 * command then fails and reports why. */
class ReaderTransaction {
public:
	explicit ReaderTransaction(ReaderStructPtr prs)
	    : prs_(prs), held_(prs != NULL && BeginReaderTransaction(prs) == 0)
	{
	}
	~ReaderTransaction()
	{
		if (held_)
			EndReaderTransaction(prs_);
	}
	ReaderTransaction(const ReaderTransaction &) = delete;
	ReaderTransaction &operator=(const ReaderTransaction &) = delete;

private:
	ReaderStructPtr prs_;
	bool held_;
};

/* Both records of an operation on two tokens, locked in a fixed order. */
class TwoReaderTransaction {
public:
	TwoReaderTransaction(ReaderStructPtr a, ReaderStructPtr b)
	    : first_(ReaderLocksFirst(a, b) ? a : b), second_(ReaderLocksFirst(a, b) ? b : a)
	{
	}

private:
	ReaderTransaction first_;
	ReaderTransaction second_;
};
#endif

#endif
