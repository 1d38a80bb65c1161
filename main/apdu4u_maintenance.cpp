/*
 * Token maintenance: duplicate blobs, the DS key, clearing, the note's
 * policy and the creation of the note and trace buffer files.
 */
#include "apdu4u_frame.h"

using namespace draxel_frame;

namespace {

const BYTE create_file_cmd[5] = {0x00, 0xE0, 0x00, 0x00, 0x00};
const BYTE get_dubl_cmd[5] = {0x80, 0x34, 0x01, 0x00, 0x00};
const BYTE set_dubl_cmd[5] = {0x80, 0x34, 0x02, 0x00, 0x00};
const BYTE gen_ds_key_cmd[5] = {0x80, 0x38, 0xFF, 0x00, 0x00};
const BYTE clear_cmd[5] = {0x80, 0x38, 0x00, 0x00, 0x00};
const BYTE clear_note_cmd[5] = {0x80, 0x38, 0x02, 0x00, 0x00};
const BYTE note_policy_cmd[5] = {0x80, 0x32, 0x00, 0x00, 0x00};

} // namespace

extern "C" {

unsigned long APDU_GetDublBlob(ReaderStructPtr prs, BYTE *out_data, unsigned long *out_data_len)
{
	if (!valid_exact_output(out_data, out_data_len))
		return kCommandRefused;
	Command cmd(get_dubl_cmd);
	cmd.buf[CLA] |= kClaChaining;
	unsigned long reply_len;
	unsigned long r = cmd.send_for_reply(prs, &reply_len);
	if (r != kOk)
		return command_result(r);
	return hand_out_exact(out_data, out_data_len, cmd.buf, reply_len);
}

unsigned long APDU_SetDublBlob(ReaderStructPtr prs, const BYTE *data, BYTE data_len)
{
	if (missing(data, data_len))
		return kCommandRefused;
	Command cmd(set_dubl_cmd);
	cmd.append(data, data_len);
	if (data_len != 0)
		cmd.buf[CLA] |= kClaChaining; /* more pieces follow; the empty one closes */
	return command_result(cmd.send(prs));
}

unsigned long APDU_GenDSKey(ReaderStructPtr prs)
{
	return send_header(prs, gen_ds_key_cmd);
}

unsigned long APDU_ClearCard(ReaderStructPtr prs)
{
	return send_header(prs, clear_cmd);
}

unsigned long APDU_ClearNote(ReaderStructPtr prs)
{
	return send_header(prs, clear_note_cmd);
}

unsigned long APDU_NotePolicy(ReaderStructPtr prs, int mode, unsigned char *out_buf,
                              int *out_buf_size)
{
	const int kRead = 1, kChange = 2;
	if (mode != kRead && mode != kChange)
		return kCommandRefused;
	if (mode == kRead && (out_buf == NULL || out_buf_size == NULL || *out_buf_size < 0))
		return kCommandRefused;
	Command cmd(note_policy_cmd);
	cmd.buf[P1] = static_cast<BYTE>(mode);
	unsigned long reply_len;
	unsigned long r = cmd.send_for_reply(prs, &reply_len);
	if (r != kOk)
		return command_result(r);
	if (mode == kRead)
		hand_out_truncated(out_buf, out_buf_size, cmd.buf, reply_len);
	return kOk;
}

/* CREATE FILE with a 21-byte control parameter template. */
static unsigned long create_file(ReaderStructPtr prs, const BYTE blob[21])
{
	Command cmd(create_file_cmd);
	cmd.append(blob, 21);
	return command_result(cmd.send(prs));
}

unsigned long APDU_CreateBFTrac(ReaderStructPtr prs)
{
	const BYTE create_BF_TRAC_blob[21] = {
	        0x62, 0x13, 0x80, 0x02, 0x01, 0x00, 0x82, 0x01, 0x01, 0x83, 0x02,
	        0xF1, 0x90, 0x86, 0x06, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00,
	};
	return create_file(prs, create_BF_TRAC_blob);
}

unsigned long APDU_CreateBFNote(ReaderStructPtr prs, int card_model)
{
	const BYTE create_BF_NOTE_blob[21] = {
	        0x62, 0x13, 0x80, 0x02, 0xFF, 0x00, 0x82, 0x01, 0x01, 0x83, 0x02,
	        0xF2, 0x10, 0x86, 0x06, 0x00, 0xFF, 0xFF, 0x05, 0x05, 0x05,
	};
	const BYTE create_BF_NOTE_blob_L80[21] = {
	        0x62, 0x13, 0x80, 0x02, 0x30, 0xA0, 0x82, 0x01, 0x01, 0x83, 0x02,
	        0xF2, 0x10, 0x86, 0x06, 0x00, 0xFF, 0xFF, 0x05, 0x05, 0x05,
	};
	return create_file(prs, card_model == ST23_L80_MODEL ? create_BF_NOTE_blob_L80
	                                                     : create_BF_NOTE_blob);
}

} // extern "C"
