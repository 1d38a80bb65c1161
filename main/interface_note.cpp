/*
 * Library interface: the secure note, a file on the token read and written
 * in pieces under the password its policy names, and the token's trace
 * buffer file. Older tokens lack some commands: the version decides.
 */
#include <stdlib.h>

#include "apdu4u.h"
#include "interface_ops.h"
#include "secret_memory.h"
#include "transmit.h"
#include "wipe.h"

#ifndef DRAXEL_FILE_CREATION_PASSWORD
#error "DRAXEL_FILE_CREATION_PASSWORD must be defined (16 hex digits); the root CMakeLists sets it"
#endif

using namespace draxel_ops;

namespace {

constexpr size_t kFileCreationLen = 8;
/* READ BINARY and UPDATE BINARY carry the offset in two bytes. */
constexpr long kLastOffset = 0xFFFF;
constexpr int kReadChunk = 256;
constexpr int kWriteChunk = 247;
constexpr BYTE kOldClearLen = 30;
constexpr BYTE kTraceFillLen = 240;
constexpr int kFcpCapacity = 256;
/* Below this version the note is cleared by the host and has no policy
 * commands; above the next one the token asks for the policy. */
constexpr int kFirstClearNoteVersion = 5;
constexpr int kLastFixedPolicyVersion = 5;
/* From here on a token without the trace buffer file is meant to lack it. */
constexpr int kLastTraceRepairVersion = 14;

const FileId master_file = file_id(kMasterFile);
const FileId note_file = file_id(kNoteFile);
const FileId version_file = file_id(kVersionFile);
const FileId trace_buffer_file = file_id(kTraceBufferFile);

/* The password that lets the token create files: a build setting, decoded
 * only for the moment it is presented. */
unsigned long present_file_creation_password(ReaderStructPtr prs)
{
	BYTE pwd[kFileCreationLen];
	unsigned long rc = DRAXEL_E_BAD_ARGUMENT;
	if (Hex2Data(pwd, DRAXEL_FILE_CREATION_PASSWORD, sizeof pwd) == sizeof pwd)
		rc = APDU_VerifyPassword(prs, kFileCreationRef, pwd, sizeof pwd);
	wipe(pwd, sizeof pwd);
	return rc;
}

unsigned long select_note(ReaderStructPtr prs)
{
	unsigned long rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = APDU_Select(prs, note_file.bytes, sizeof note_file.bytes);
	return rc;
}

/* A piece of the note that the two offset bytes cannot address would wrap
 * round to the note's start. */
bool bad_range(int size, int offset)
{
	return size <= 0 || offset < 0 || static_cast<long>(offset) + size - 1 > kLastOffset;
}

ReaderStructPtr reader_for(bool is_second_reader)
{
	return is_second_reader ? cur_context.pSecondReader : cur_context.pCurReader;
}

/* Reads up to `wanted` bytes into buf; *got is what the token had. */
unsigned long read_pieces(ReaderStructPtr prs, BYTE *buf, int wanted, int offset, int *got)
{
	unsigned long rc = select_note(prs);
	*got = 0;
	for (bool more = rc == 0 && wanted > 0; more;) {
		int len = wanted - *got < kReadChunk ? wanted - *got : kReadChunk;
		rc = APDU_ReadBinary(prs, buf + *got, &len, offset + *got);
		if (rc == kStatusWord && APDU_GetSW(prs) == kSwOutsideFile) {
			rc = 0;
			len = 0;
		}
		if (rc == 0)
			*got += len;
		/* an answer without data would never end the loop */
		more = rc == 0 && len > 0 && *got < wanted;
	}
	return rc;
}

unsigned long write_pieces(ReaderStructPtr prs, const BYTE *data, int size, int offset)
{
	unsigned long rc = select_note(prs);
	for (int done = 0; rc == 0 && done < size;) {
		int len = size - done < kWriteChunk ? size - done : kWriteChunk;
		rc = APDU_UpdateBinary(prs, data + done, static_cast<BYTE>(len), offset + done);
		done += len;
	}
	return rc;
}

/* The size from the control parameters 62 L 80 02 HI LO ... */
unsigned long read_note_size(ReaderStructPtr prs, int *note_size)
{
	BYTE fcp[kFcpCapacity];
	int len = sizeof fcp;
	unsigned long rc = APDU_Select_FCP(prs, note_file.bytes, sizeof note_file.bytes, fcp, &len);
	if (rc == 0 && len <= 5)
		rc = kBadValue;
	if (rc == 0)
		*note_size = fcp[4] << 8 | fcp[5];
	return rc;
}

unsigned long read_policy(ReaderStructPtr prs, int *note_policy)
{
	BYTE answer[kFcpCapacity];
	int len = sizeof answer;
	unsigned long rc = APDU_NotePolicy(prs, 1, answer, &len);
	if (rc == 0 && len == 1 && answer[0] == kPinRef)
		*note_policy = 1;
	else if (rc == 0 && len == 1 && answer[0] == kNoteRef)
		*note_policy = 2;
	else if (rc == 0)
		rc = kBadValue;
	return rc;
}

unsigned long refill_trace_buffer_file(ReaderStructPtr prs)
{
	BYTE filler[kTraceFillLen];
	memset(filler, 0x01, sizeof filler);
	unsigned long rc = APDU_UpdateBinary(prs, filler, sizeof filler, 0);
	if (rc == 0)
		rc = APDU_UpdateBinary(prs, filler, sizeof filler, 0);
	return rc;
}

} // namespace

extern "C" {

unsigned long CreateNote(void)
{
	ReaderTransaction hold(cur_context.pCurReader);
	const BYTE version_4[2] = {0x00, 0x04};
	ReaderStructPtr prs = cur_context.pCurReader;
	int model = 0;
	unsigned long rc = need_reader(prs);
	if (rc == 0)
		rc = APDU_GetCardModel(prs, &model);
	if (rc == 0)
		rc = APDU_Select(prs, master_file.bytes, sizeof master_file.bytes);
	if (rc == 0)
		rc = present_file_creation_password(prs);
	if (rc == 0)
		rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = APDU_CreateBFNote(prs, model);
	if (rc == 0)
		rc = APDU_Select(prs, version_file.bytes, sizeof version_file.bytes);
	if (rc == 0)
		rc = APDU_UpdateBinary(prs, version_4, sizeof version_4, 0);
	return finish(rc, prs);
}

unsigned long ReadNote(unsigned char *out_data, int *out_data_size, int offset)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc =
	        out_data == NULL || out_data_size == NULL || bad_range(*out_data_size, offset)
	                ? kBadArgument
	                : need_reader(prs);
	BYTE *buf = NULL;
	int wanted = rc == 0 ? *out_data_size : 0;
	if (rc == 0) {
		buf = static_cast<BYTE *>(secret_malloc(static_cast<size_t>(wanted)));
		rc = buf == NULL ? kNoMemory : 0;
	}
	int got = 0;
	if (rc == 0)
		rc = read_pieces(prs, buf, wanted, offset, &got);
	if (rc == 0) {
		memcpy(out_data, buf, static_cast<size_t>(got));
		*out_data_size = got;
	}
	secret_free(buf, static_cast<size_t>(wanted));
	return finish(rc, prs);
}

unsigned long WriteNote(const unsigned char *in_data, int in_data_size, int offset,
                        bool is_second_reader)
{
	ReaderStructPtr prs = reader_for(is_second_reader);
	ReaderTransaction hold(prs);
	unsigned long rc = in_data == NULL || bad_range(in_data_size, offset) ? kBadArgument
	                                                                      : need_reader(prs);
	if (rc == 0)
		rc = write_pieces(prs, in_data, in_data_size, offset);
	return finish(rc, prs);
}

unsigned long ClearNote(int ver)
{
	ReaderTransaction hold(cur_context.pCurReader);
	const BYTE zeros[kOldClearLen] = {0};
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = need_reader(prs);
	if (rc == 0)
		rc = select_note(prs);
	if (rc == 0)
		rc = ver < kFirstClearNoteVersion ? APDU_UpdateBinary(prs, zeros, sizeof zeros, 0)
		                                  : APDU_ClearNote(prs);
	return finish(rc, prs);
}

unsigned long GetNoteInf(int *note_size, int *note_policy, int ver, bool is_second_reader)
{
	ReaderStructPtr prs = reader_for(is_second_reader);
	ReaderTransaction hold(prs);
	unsigned long rc =
	        note_size == NULL || note_policy == NULL ? kBadArgument : need_reader(prs);
	if (rc == 0)
		rc = APDU_SelectApplication(prs);
	/* the second token may be of another version than the caller's */
	if (rc == 0 && is_second_reader)
		rc = APDU_GetCardVer(prs, &ver);
	if (rc == 0)
		rc = read_note_size(prs, note_size);
	if (rc == 0 && ver > kLastFixedPolicyVersion)
		rc = read_policy(prs, note_policy);
	else if (rc == 0)
		*note_policy = 1;
	return finish(rc, prs);
}

unsigned long ChangeNotePolicy(int ver)
{
	const int kToggle = 2; /* the policy's other value */
	return one_command_since(ver > kLastFixedPolicyVersion, [](ReaderStructPtr prs) {
		return APDU_NotePolicy(prs, kToggle, NULL, NULL);
	});
}

unsigned long RepareTracBuf(void)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	int ver = 0;
	bool skip = false;
	unsigned long rc = need_reader(prs);
	if (rc == 0)
		rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = APDU_GetCardVer(prs, &ver);
	if (rc == 0)
		rc = APDU_Select(prs, master_file.bytes, sizeof master_file.bytes);
	unsigned long selected =
	        rc == 0 ? APDU_Select(prs, trace_buffer_file.bytes, sizeof trace_buffer_file.bytes)
	                : 0;
	/* a refused selection means no such file; a lost token is a failure */
	if (selected == DRAXEL_E_COMMUNICATION)
		rc = selected;
	if (rc == 0 && selected != 0) {
		skip = ver > kLastTraceRepairVersion;
		if (!skip)
			rc = present_file_creation_password(prs);
		if (rc == 0 && !skip)
			rc = APDU_CreateBFTrac(prs);
	}
	if (rc == 0 && !skip)
		rc = refill_trace_buffer_file(prs);
	return finish(rc, prs);
}

} // extern "C"
