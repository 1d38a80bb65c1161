/* Every code the library's units return, by what it means, and every status
 * word they read, by name: one home for both, so that no unit carries a bare
 * number. Several meanings share one public code (101 is both "no memory"
 * and "an answer of the wrong length"); the names keep them apart in the
 * code. Internal to the library's units. */
#ifndef DRAXEL_RESULT_CODES_H
#define DRAXEL_RESULT_CODES_H

#include "draxel_lib.h"
#include "token_layout.h"

namespace draxel_codes {

/* What the command builders return besides the library codes below: the
 * transport's codes, passed on. */
constexpr unsigned long kOk = DRAXEL_TR_OK;
constexpr unsigned long kShortChallenge = DRAXEL_TR_FAILURE; /* fewer random bytes than asked */
constexpr unsigned long kCommandRefused = DRAXEL_TR_BAD_ARGUMENT;       /* a builder's argument */
constexpr unsigned long kStatusWord = DRAXEL_TR_STATUS_WORD;            /* see the status word */
constexpr unsigned long kAnswerTooLong = DRAXEL_TR_INSUFFICIENT_BUFFER; /* exact-room outputs */

/* The library's codes (draxel_lib.h), by meaning. */
constexpr unsigned long kNoMemory = DRAXEL_E_NO_READER;
constexpr unsigned long kNoCurrentReader = DRAXEL_E_NO_READER; /* CheckCurrentReader's */
constexpr unsigned long kWrongLength = DRAXEL_E_NO_READER;     /* an answer of another length */
constexpr unsigned long kBadValue = DRAXEL_E_NO_READER;        /* a value out of range */
constexpr unsigned long kBadArgument = DRAXEL_E_BAD_ARGUMENT;
constexpr unsigned long kAccessDenied = DRAXEL_E_ACCESS_DENIED;
constexpr unsigned long kTooSmall = DRAXEL_E_BUFFER_TOO_SMALL;
constexpr unsigned long kBlocked = DRAXEL_E_PASSWORD_BLOCKED;
constexpr unsigned long kCannotDecrypt = DRAXEL_E_CANNOT_DECRYPT;
constexpr unsigned long kKeyDamaged = DRAXEL_E_KEY_DAMAGED;
constexpr unsigned long kPasswordLength = DRAXEL_E_PASSWORD_LENGTH;
constexpr unsigned long kExchangeFailed = DRAXEL_E_COMMUNICATION;
constexpr unsigned long kGroupNotFound = DRAXEL_E_GROUP_NOT_FOUND;
constexpr unsigned long kGroupExists = DRAXEL_E_GROUP_EXISTS;
constexpr unsigned long kTooManyGroups = DRAXEL_E_TOO_MANY_GROUPS;
constexpr unsigned long kBadStatus = DRAXEL_E_BAD_STATUS;
constexpr unsigned long kNotGroupAdmin = DRAXEL_E_NOT_GROUP_ADMIN;
constexpr unsigned long kTooOld = DRAXEL_E_VERSION_TOO_OLD;
constexpr unsigned long kNoToken = DRAXEL_E_NO_TOKEN;
constexpr unsigned long kSeveralTokens = DRAXEL_E_SEVERAL_TOKENS;
constexpr unsigned long kGroupListDamaged = DRAXEL_E_GROUP_LIST_DAMAGED;
constexpr unsigned long kWrongPassword = DRAXEL_E_WRONG_PASSWORD; /* plus the tries left */

/* Status words: the token's, from token_layout.h, and how a status table
 * matches them. */
using draxel_layout::kSwBlocked;
using draxel_layout::kSwConditionsNotSatisfied;
using draxel_layout::kSwFileNotFound;
using draxel_layout::kSwGroupNotFound;
using draxel_layout::kSwKeyNotFound;
using draxel_layout::kSwNameExists;
using draxel_layout::kSwNoRoom;
using draxel_layout::kSwOutsideFile;
using draxel_layout::kSwSecurityNotSatisfied;
using draxel_layout::kSwSuccess;
using draxel_layout::kSwWrongLength;
using draxel_layout::kSwWrongPassword;
constexpr unsigned short kSwTriesMask = 0xFFF0;
constexpr unsigned short kSwExactly = 0xFFFF;

} // namespace draxel_codes

#endif
