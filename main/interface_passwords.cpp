/*
 * Library interface: the token's PIN, PUK, erase password and note password.
 * The token counts the attempts, blocks and checks lengths; the library only
 * presents the texts and turns the answers into codes.
 */
#include "apdu4u.h"
#include "interface_ops.h"
#include "transmit.h"

using namespace draxel_ops;

namespace {

constexpr BYTE kFillByte = 0x01;
constexpr BYTE kPinFillLen = 112;
constexpr BYTE kNoteFillLen = 80;

const FileId master_file = file_id(kMasterFile);
const FileId trace_buffer_file = file_id(kTraceBufferFile);
const FileId puk_flag_file = file_id(kPukFlagFile);

/* Overwrites the start of the trace buffer file with filler, `times` times,
 * so that what an earlier operation left there does not survive a verify. */
unsigned long scrub_trace_buffer_file(ReaderStructPtr prs, BYTE len, int times)
{
	BYTE filler[kPinFillLen];
	memset(filler, kFillByte, sizeof filler);
	unsigned long rc = APDU_Select(prs, master_file.bytes, sizeof master_file.bytes);
	if (rc == 0)
		rc = APDU_Select(prs, trace_buffer_file.bytes, sizeof trace_buffer_file.bytes);
	for (int i = 0; rc == 0 && i < times; ++i)
		rc = APDU_UpdateBinary(prs, filler, len, 0);
	return rc;
}

/* VerifyPIN and VerifyNotePas: a null password asks for its state, and
 * then the trace buffer is left alone. */
unsigned long verify_with_fill(BYTE ref, const char *pas, bool fill, BYTE fill_len, int times)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = too_long(pas) ? kBadArgument : need_reader(prs);
	if (rc == 0 && fill && pas != NULL)
		rc = scrub_trace_buffer_file(prs, fill_len, times);
	if (rc == 0)
		rc = select_and_verify(prs, ref, pas);
	return finish(rc, prs);
}

/* VerifyPUK and VerifyErasePas: an empty text reaches the command layer,
 * which refuses it (3) after the selection. */
unsigned long verify_plain(BYTE ref, const char *pas)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = pas == NULL || too_long(pas) ? kBadArgument : need_reader(prs);
	if (rc == 0)
		rc = select_and_verify(prs, ref, pas);
	return finish(rc, prs);
}

unsigned long set_password(ReaderStructPtr prs, BYTE ref, const char *pas)
{
	return APDU_ChangeKey(prs, ref, reinterpret_cast<const BYTE *>(pas),
	                      static_cast<BYTE>(strlen(pas)));
}

unsigned long check_pair(const char *pas, const char *new_pas, ReaderStructPtr prs)
{
	if (null_or_empty(pas) || null_or_empty(new_pas) || too_long(pas) || too_long(new_pas))
		return kBadArgument;
	return need_reader(prs);
}

/* Verifies the current value and sets the new one. */
unsigned long change_password(ReaderStructPtr prs, BYTE ref, const char *pas, const char *new_pas)
{
	unsigned long rc = check_pair(pas, new_pas, prs);
	if (rc == 0)
		rc = select_and_verify(prs, ref, pas);
	if (rc == 0)
		rc = set_password(prs, ref, new_pas);
	return rc;
}

unsigned long unblock(BYTE ref, const char *puk, const char *new_pas)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = null_or_empty(puk) || too_long(puk) || too_long(new_pas)
	                           ? kBadArgument
	                           : need_reader(prs);
	if (rc == 0)
		rc = select_and_verify(prs, kPukRef, puk);
	if (rc == 0)
		rc = APDU_UnblockKey(prs, ref);
	if (rc == 0 && new_pas != NULL)
		rc = set_password(prs, ref, new_pas);
	return finish(rc, prs);
}

/* ChangePIN, ChangeErasePas and ChangeNotePas: one password of the current
 * token replaced by another. */
unsigned long change_current(BYTE ref, const char *pas, const char *new_pas)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	return finish(change_password(prs, ref, pas, new_pas), prs);
}

/* A token without the flag file keeps no flag: not an error. */
unsigned long mark_puk_changed(ReaderStructPtr prs)
{
	const BYTE changed = 0x01;
	unsigned long rc = APDU_Select(prs, puk_flag_file.bytes, sizeof puk_flag_file.bytes);
	if (rc == 0)
		rc = APDU_UpdateBinary(prs, &changed, 1, 0);
	else if (rc == kStatusWord && APDU_GetSW(prs) == kSwFileNotFound)
		rc = 0;
	return rc;
}

} // namespace

extern "C" {

unsigned long VerifyPIN(const char *pin, bool need_add_write_bf)
{
	return verify_with_fill(kPinRef, pin, need_add_write_bf, kPinFillLen, 2);
}

unsigned long VerifyPUK(const char *puk)
{
	return verify_plain(kPukRef, puk);
}

unsigned long VerifyErasePas(const char *pas)
{
	return verify_plain(kEraseRef, pas);
}

unsigned long VerifyNotePas(const char *pas, bool need_add_write_bf)
{
	return verify_with_fill(kNoteRef, pas, need_add_write_bf, kNoteFillLen, 1);
}

unsigned long UnblockPIN(const char *puk, const char *new_pin)
{
	return unblock(kPinRef, puk, new_pin);
}

unsigned long UnblockNotePas(const char *puk, const char *new_pin)
{
	return unblock(kNoteRef, puk, new_pin);
}

unsigned long ChangePIN(const char *pin, const char *new_pin)
{
	return change_current(kPinRef, pin, new_pin);
}

unsigned long ChangePUK(const char *puk, const char *new_puk)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = change_password(prs, kPukRef, puk, new_puk);
	if (rc == 0)
		rc = mark_puk_changed(prs);
	return finish(rc, prs);
}

unsigned long ChangeErasePas(const char *pas, const char *new_pas)
{
	return change_current(kEraseRef, pas, new_pas);
}

unsigned long ChangeNotePas(const char *pas, const char *new_pas)
{
	return change_current(kNoteRef, pas, new_pas);
}

unsigned long GetPUKFlag(bool *is_def_puk_flag)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = is_def_puk_flag == NULL ? kBadArgument : need_reader(prs);
	if (rc == 0)
		rc = APDU_SelectApplication(prs);
	if (rc == 0) {
		*is_def_puk_flag = false;
		BYTE flag = 0x01;
		int len = 1;
		/* no flag file, or one that cannot be selected: the PUK is not
		 * known to be the issued one. A token that no longer answers
		 * tells nothing, though: that is a failure, not "not issued". */
		unsigned long selected =
		        APDU_Select(prs, puk_flag_file.bytes, sizeof puk_flag_file.bytes);
		if (selected == 0) {
			rc = APDU_ReadBinary(prs, &flag, &len, 0);
			*is_def_puk_flag = rc == 0 && flag == 0x00;
		} else if (selected == DRAXEL_E_COMMUNICATION) {
			rc = selected;
		}
	}
	return finish(rc, prs);
}

} // extern "C"
