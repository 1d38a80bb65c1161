/* Library interface: what the operations on passwords, groups, the note and
 * the token's maintenance share. Internal to the library's units. */
#ifndef DRAXEL_INTERFACE_OPS_H
#define DRAXEL_INTERFACE_OPS_H

#include <string.h>

#include "draxel_lib.h"
#include "result_codes.h"
#include "token_layout.h"
#include "transmit.h"
#include "utils.h"

namespace draxel_ops {

using namespace draxel_layout;

/* The commands carry a password's length in one byte. */
constexpr size_t kMaxPasswordLen = 255;

using namespace draxel_codes;

/* A text that a one-byte length cannot carry: presented cut modulo 256 it
 * would be another password. A null text fits. */
inline bool too_long(const char *text)
{
	return text != NULL && strnlen(text, kMaxPasswordLen + 1) > kMaxPasswordLen;
}

inline bool null_or_empty(const char *text)
{
	return text == NULL || text[0] == '\0';
}

/* VERIFY with the text's bytes; a null text asks for the password's state.
 * The text must not be too_long(). */
inline unsigned long present_password(ReaderStructPtr prs, BYTE ref, const char *text)
{
	if (text == NULL)
		return APDU_VerifyPassword(prs, ref, NULL, 0);
	return APDU_VerifyPassword(prs, ref, reinterpret_cast<const BYTE *>(text),
	                           static_cast<BYTE>(strlen(text)));
}

/* Selects the application and presents the password. */
inline unsigned long select_and_verify(ReaderStructPtr prs, BYTE ref, const char *text)
{
	unsigned long rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = present_password(prs, ref, text);
	return rc;
}

/* Without a current reader no command can go: the operation fails as its
 * first exchange would (116, a communication failure), with nothing sent. */
inline unsigned long need_reader(ReaderStructPtr prs)
{
	return prs == NULL ? kExchangeFailed : 0;
}

/* The common way out: 0 stays 0, a failure is recorded against the reader
 * that ran the failing command. */
inline unsigned long finish(unsigned long rc, ReaderStructPtr prs)
{
	return rc == 0 ? 0 : SetError(rc, prs);
}

/* An operation of one command that older tokens lack (125 for them): the
 * application selected, then send(prs). */
template <class Send>
unsigned long one_command_since(bool token_has_it, Send send)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = token_has_it ? need_reader(prs) : kTooOld;
	if (rc == 0)
		rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = send(prs);
	return finish(rc, prs);
}

} // namespace draxel_ops

#endif
