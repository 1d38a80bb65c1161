/* Every code the library returns, from the lists in draxel_lib.h: its name,
 * GetError's text, a short English description, and the class of failure it
 * belongs to, for callers such as draxel-tool that act on classes; with the
 * PC/SC results the library passes through. Header-only C++, shared by the
 * library and its tool. */
#ifndef DRAXEL_ERROR_TABLE_H
#define DRAXEL_ERROR_TABLE_H

#include <PCSC/winscard.h>
#include <stdint.h>

#include "draxel_lib.h"

namespace draxel_errors {

enum class ErrorClass {
	kNone,          /* success */
	kUsage,         /* bad arguments or input */
	kNoToken,       /* no reader, no token, several tokens, no pcscd */
	kWrongPassword, /* wrong password or pass phrase */
	kBlocked,       /* a blocked password */
	kIntegrity,     /* a damaged encrypted file */
	kRefused,       /* the token refused the operation */
	kCommunication, /* the exchange with the reader or token failed */
	kFailure,       /* anything else: memory, files, a caller's buffer */
};

struct ErrorInfo {
	unsigned long code;
	const char *name;
	const char *text; /* GetError's; null: the unknown-error text */
	const char *description;
	ErrorClass error_class;
};

#define DRAXEL_TRANSPORT_ROW_(name, value, cls, description)                                       \
	{name, #name, nullptr, description, ErrorClass::k##cls},
#define DRAXEL_LIBRARY_ROW_(name, value, cls, text, description)                                   \
	{name, #name, text, description, ErrorClass::k##cls},

/* The library's codes first: 0 is both DRAXEL_OK and DRAXEL_TR_OK, and the
 * first row found gives its text. */
inline constexpr ErrorInfo kErrors[] = {DRAXEL_LIBRARY_CODES(DRAXEL_LIBRARY_ROW_)
                                                DRAXEL_TRANSPORT_CODES(DRAXEL_TRANSPORT_ROW_)};

#undef DRAXEL_TRANSPORT_ROW_
#undef DRAXEL_LIBRARY_ROW_

/* The row of a code; null for the wrong-password range (140 to 155, see
 * DRAXEL_TRIES_LEFT) and for codes the library does not make. */
inline const ErrorInfo *find_error(unsigned long code)
{
	for (const ErrorInfo &info : kErrors)
		if (info.code == code)
			return &info;
	return nullptr;
}

inline bool is_wrong_password(unsigned long code)
{
	return code >= DRAXEL_E_WRONG_PASSWORD && code <= DRAXEL_E_WRONG_PASSWORD_MAX;
}

/* PC/SC results arrive as their 32-bit value. */
inline bool is_pcsc(unsigned long code)
{
	return (code & 0xFFFF0000UL) == 0x80100000UL;
}

/* The PC/SC results, passed through by the reader operations, that mean no
 * token is there to talk to; every other one is a failed exchange. */
inline constexpr LONG kPcscNoToken[] = {
        SCARD_E_NO_SERVICE,     SCARD_E_SERVICE_STOPPED,    SCARD_E_NO_READERS_AVAILABLE,
        SCARD_E_UNKNOWN_READER, SCARD_E_READER_UNAVAILABLE, SCARD_E_NO_SMARTCARD,
        SCARD_W_REMOVED_CARD,
};

inline ErrorClass class_of(unsigned long code)
{
	if (is_wrong_password(code))
		return ErrorClass::kWrongPassword;
	if (const ErrorInfo *info = find_error(code))
		return info->error_class;
	if (!is_pcsc(code))
		return ErrorClass::kFailure;
	for (LONG no_token : kPcscNoToken)
		if (code == static_cast<uint32_t>(no_token))
			return ErrorClass::kNoToken;
	return ErrorClass::kCommunication;
}

} // namespace draxel_errors

#endif
