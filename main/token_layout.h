/* The token as the library sees it: its files, the references of its
 * passwords and keys, the status words it answers and the sizes of the
 * fields its commands carry, named once for every unit of the library. The
 * software token keeps its own names for the same values, so that a wrong
 * value here shows up as a disagreement in the tests. */
#ifndef DRAXEL_TOKEN_LAYOUT_H
#define DRAXEL_TOKEN_LAYOUT_H

#include <stddef.h>
#include <stdint.h>

namespace draxel_layout {

/* Files, two-byte identifiers sent high byte first. */
constexpr uint16_t kMasterFile = 0x3F00;
constexpr uint16_t kTraceBufferFile = 0xF190; /* under the master file */
constexpr uint16_t kVersionFile = 0xF140;     /* inside the application */
constexpr uint16_t kPukFlagFile = 0xF141;
constexpr uint16_t kNoteFile = 0xF210;

/* A file identifier as the SELECT command carries it. */
struct FileId {
	unsigned char bytes[2];
};
constexpr FileId file_id(uint16_t fid)
{
	return FileId{{static_cast<unsigned char>(fid >> 8), static_cast<unsigned char>(fid)}};
}

/* Password references. */
constexpr uint8_t kKeyLoadRef = 0x03; /* authorises loading keys */
constexpr uint8_t kPinRef = 0x05;
constexpr uint8_t kPukRef = 0x07;
constexpr uint8_t kEraseRef = 0x09;
constexpr uint8_t kNoteRef = 0x11;
constexpr uint8_t kFileCreationRef = 0x73; /* authorises creating files */

/* Key references. */
constexpr uint8_t kKeyMode1 = 0x0B;
constexpr uint8_t kKeyMode2 = 0x0D;
constexpr uint8_t kKeyGroup = 0x0F;
constexpr uint8_t kKey15 = 0x15;
constexpr uint8_t kKey1D = 0x1D;

/* Status words the token answers and the library reads. */
constexpr uint16_t kSwSuccess = 0x9000;
constexpr uint16_t kSwWrongPassword = 0x63C0; /* low nibble: tries left */
constexpr uint16_t kSwWrongLength = 0x6700;
constexpr uint16_t kSwSecurityNotSatisfied = 0x6982;
constexpr uint16_t kSwBlocked = 0x6983;
constexpr uint16_t kSwNameExists = 0x6984;
constexpr uint16_t kSwConditionsNotSatisfied = 0x6985;
constexpr uint16_t kSwFileNotFound = 0x6A82;
constexpr uint16_t kSwKeyNotFound = 0x6A83;
constexpr uint16_t kSwNoRoom = 0x6A84;
constexpr uint16_t kSwGroupNotFound = 0x6A88;
constexpr uint16_t kSwOutsideFile = 0x6B00;

/* Sizes. */
constexpr size_t kKeyLen = 32;        /* a key, a session key, a file key */
constexpr size_t kFieldLen = 64;      /* a group name or pass phrase, zero-padded */
constexpr size_t kCryptogramLen = 36; /* a session key's cryptogram */

} // namespace draxel_layout

#endif
