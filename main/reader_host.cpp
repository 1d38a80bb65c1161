/*
 * Reaching the token through the host's transmit handler. There is no
 * resource manager, no reader list and no card to connect: the record
 * stands for the host's token, and every operation but the exchange has
 * nothing to do.
 */
#include "reader_record.h"

namespace {

unsigned long nothing_to_do(void)
{
	return 0;
}

unsigned long no_context(long)
{
	return 0;
}

unsigned long no_list(char *, unsigned long *)
{
	return 0;
}

unsigned long no_open(const char *, ReaderStructPtr, bool)
{
	return 0;
}

unsigned long no_close(ReaderStructPtr, bool)
{
	return 0;
}

unsigned long always_there(ReaderStructPtr)
{
	return 0;
}

/* The host's token takes T=0 forms of the commands. */
bool t0(ReaderStructPtr)
{
	return true;
}

/* The handler's length is not trusted. */
unsigned long exchange(ReaderStructPtr prs, const BYTE *cmd, unsigned long cmd_len, BYTE *reply,
                       unsigned long *reply_len)
{
	int len = static_cast<int>(*reply_len);
	reader_mekta_func->handlerScardTransmit(const_cast<BYTE *>(cmd), static_cast<int>(cmd_len),
	                                        reply, &len);
	if (len < 2 || static_cast<unsigned long>(len) > DRAXEL_MAX_REPLY) {
		prs->error = 1;
		return DRAXEL_TR_FAILURE;
	}
	prs->error = 0;
	*reply_len = static_cast<unsigned long>(len);
	return DRAXEL_TR_OK;
}

/* One host, one token: nobody to keep out. */
unsigned long no_lock(ReaderStructPtr)
{
	return 0;
}

void no_unlock(ReaderStructPtr) {}

} // namespace

const ReaderOps host_reader_ops = {
        nothing_to_do,         no_context, no_list,  no_open, no_close,
        always_there,          t0,         exchange, no_lock, no_unlock,
        "Transmit continue\n",
};
