#pragma once

// Attaches a card to the library in-process, through the host transmit
// handler that InitLib() takes, so that the library can be driven against a
// software token without pcscd or vpcd.

#include "card.h"
#include "draxel_lib.h"

namespace draxel::sim {

// The library calls its handler as a plain C function pointer without any
// user data, so the card behind it is found through one static: only one
// InProcessToken is active at a time. Constructing one makes it the active
// one (replacing any other); destroying the active one leaves no card
// attached, and the handler then reports every exchange as failed. Hand
// table() to InitLib() and keep this object alive while the library uses it.
//
// The library treats the handler's token as a T=0 card; wrap the card in a
// T0Card for the T=0 answers (61xx, 6Cxx) a real card in that mode gives.
class InProcessToken {
public:
	explicit InProcessToken(Card &card);
	~InProcessToken();
	InProcessToken(const InProcessToken &) = delete;
	InProcessToken &operator=(const InProcessToken &) = delete;

	Type_ReaderFuncStruct *table() { return &table_; }
	// Takes the card out and puts it back: a new card session.
	void power_cycle();

private:
	static unsigned long transmit(unsigned char *send, int send_len, unsigned char *recv,
	                              int *recv_len);

	Card &card_;
	Type_ReaderFuncStruct table_{};
};

} // namespace draxel::sim
