/*
 * Selection, file access and what the token tells of itself: SELECT, READ
 * BINARY, UPDATE BINARY, GET CHALLENGE, the serial number, model and
 * version.
 */
#include "apdu4u_frame.h"
#include "token_layout.h"

using namespace draxel_frame;

namespace {

const BYTE get_ch_cmd[5] = {0x00, 0x84, 0x00, 0x00, 0x00};
const BYTE select_aid_cmd[5] = {0x00, 0xA4, 0x04, 0x0C, 0x00};
const BYTE select_cmd[5] = {0x00, 0xA4, 0x00, 0x0C, 0x00};
const BYTE select_cmd_fcp[5] = {0x00, 0xA4, 0x00, 0x00, 0x00};
const BYTE validate_card_model[5] = {0x80, 0xFE, 0x00, 0x00, 0x00};
const BYTE validate_card_sn_t0[5] = {0x80, 0xFE, 0x06, 0x00, 0x00};
const BYTE validate_card_sn[5] = {0x80, 0xFE, 0x06, 0x00, 0x07};
const BYTE read_binary_cmd[5] = {0x00, 0xB0, 0x00, 0x00, 0x00};
const BYTE update_binary_cmd[5] = {0x00, 0xD6, 0x00, 0x00, 0x00};

} // namespace

extern "C" {

unsigned long APDU_SelectApplication(ReaderStructPtr prs)
{
	Command cmd(select_aid_cmd);
	cmd.append(df_aid, DRAXEL_AID_LEN);
	unsigned long r = cmd.send(prs);
	cmd.overwrite();
	return command_result(r);
}

unsigned long APDU_Select(ReaderStructPtr prs, const BYTE *buf, BYTE len)
{
	if (buf == NULL || len == 0)
		return kCommandRefused;
	Command cmd(select_cmd);
	cmd.append(buf, len);
	unsigned long r = cmd.send(prs);
	cmd.overwrite();
	return command_result(r);
}

unsigned long APDU_Select_FCP(ReaderStructPtr prs, const BYTE *buf, BYTE len, BYTE *out_buf,
                              int *out_len)
{
	if (buf == NULL || len == 0 || out_buf == NULL || out_len == NULL || *out_len <= 0)
		return kCommandRefused;
	Command cmd(select_cmd_fcp);
	cmd.append(buf, len);
	Reply reply(kReplyCapacity);
	unsigned long r = Transmit(cmd.buf, cmd.len, reply.buf, &reply.len, prs);
	cmd.overwrite();
	if (r != kOk)
		return command_result(r);
	hand_out_truncated(out_buf, out_len, reply.buf, reply.len);
	return kOk;
}

/* The data of a READ BINARY reply: behind a 53 header when there is one,
 * bounded by the bytes that really arrived. */
static void locate_read_data(const BYTE *reply, unsigned long reply_len, unsigned long *start,
                             unsigned long *len)
{
	unsigned long claimed = reply_len;
	*start = 0;
	if (reply_len >= 1 && reply[0] == 0x53) {
		bool long_form = reply_len >= 2 && reply[1] == 0x81;
		*start = long_form ? 3 : 2;
		claimed = *start - 1 < reply_len ? reply[*start - 1] : 0;
	}
	unsigned long received = reply_len > *start ? reply_len - *start : 0;
	*len = claimed < received ? claimed : received;
}

static void put_offset_object(BYTE object[4], int off)
{
	object[0] = 0x54;
	object[1] = 0x02;
	object[2] = static_cast<BYTE>(off >> 8);
	object[3] = static_cast<BYTE>(off);
}

unsigned long APDU_ReadBinary(ReaderStructPtr prs, BYTE *buf, int *buf_len, int off)
{
	if (buf == NULL || buf_len == NULL || *buf_len <= 0)
		return kCommandRefused;
	Command cmd(read_binary_cmd);
	cmd.buf[INS] |= kOddIns;
	BYTE offset[4];
	put_offset_object(offset, off);
	cmd.append(offset, sizeof offset);
	unsigned long reply_len;
	unsigned long r = cmd.send_for_reply(prs, &reply_len);
	if (r != kOk)
		return command_result(r);
	unsigned long start, len;
	locate_read_data(cmd.buf, reply_len, &start, &len);
	hand_out_truncated(buf, buf_len, cmd.buf + start, len);
	cmd.overwrite();
	return kOk;
}

unsigned long APDU_UpdateBinary(ReaderStructPtr prs, const BYTE *buf, BYTE buf_len, int off)
{
	const BYTE kMaxWrite = 248;
	if (buf == NULL || buf_len == 0 || buf_len > kMaxWrite)
		return kCommandRefused;
	Command cmd(update_binary_cmd);
	cmd.buf[INS] |= kOddIns;
	BYTE head[7];
	put_offset_object(head, off);
	head[4] = 0x53;
	size_t head_len = 6;
	if (buf_len < 0x80) {
		head[5] = buf_len;
	} else {
		head[5] = 0x81;
		head[6] = buf_len;
		head_len = 7;
	}
	cmd.append(head, head_len);
	cmd.append(buf, buf_len);
	unsigned long r = cmd.send(prs);
	cmd.overwrite();
	return command_result(r);
}

unsigned long APDU_GetChallenge(ReaderStructPtr prs, BYTE *buf, int len)
{
	if (len < 0)
		return kCommandRefused;
	Command cmd(get_ch_cmd);
	cmd.buf[P3] = static_cast<BYTE>(len);
	unsigned long capacity = static_cast<unsigned long>(len);
	unsigned long r = Transmit(cmd.buf, cmd.len, buf, &capacity, prs);
	/* fewer bytes than asked for would leave the rest of buf as it was, and
	 * callers take all of it for random key material */
	if (r == kOk && capacity < static_cast<unsigned long>(len))
		return DRAXEL_TR_FAILURE;
	return r;
}

unsigned long APDU_GetSN(ReaderStructPtr prs, BYTE *sn, BYTE snsize)
{
	const unsigned long kSnLen = 7;
	if (sn == NULL || snsize < kSnLen)
		return kCommandRefused;
	Command cmd(IsReaderProtocolT0(prs) ? validate_card_sn_t0 : validate_card_sn);
	Reply reply(255);
	unsigned long r = Transmit(cmd.buf, cmd.len, reply.buf, &reply.len, prs);
	if (r != kOk)
		return command_result(r);
	if (reply.len < kSnLen)
		return kShortChallenge;
	memcpy(sn, reply.buf, kSnLen);
	return kOk;
}

unsigned long APDU_GetCardModel(ReaderStructPtr prs, int *card_model)
{
	if (card_model == NULL)
		return kCommandRefused;
	*card_model = 0;
	Command cmd(validate_card_model);
	unsigned long reply_len;
	unsigned long r = cmd.send_for_reply(prs, &reply_len);
	if (r != kOk)
		return r;
	if (reply_len > sizeof ST23_L80_MODEL_STR &&
	    memcmp(cmd.buf, ST23_L80_MODEL_STR, sizeof ST23_L80_MODEL_STR) == 0)
		*card_model = ST23_L80_MODEL;
	return kOk;
}

unsigned long APDU_GetCardVer(ReaderStructPtr prs, int *card_ver)
{
	static const draxel_layout::FileId version_file =
	        draxel_layout::file_id(draxel_layout::kVersionFile);
	if (card_ver == NULL)
		return kCommandRefused;
	Command select(select_cmd);
	select.append(version_file.bytes, sizeof version_file.bytes);
	unsigned long r = select.send(prs);
	if (exchange_failed(r))
		return kExchangeFailed;
	if (r == kStatusWord) {
		*card_ver = 0; /* no version file: a token from before versions */
		return kOk;
	}
	Command read(read_binary_cmd);
	unsigned long reply_len;
	if (read.send_for_reply(prs, &reply_len) != kOk || reply_len != 2)
		return kExchangeFailed;
	*card_ver = read.buf[0] << 8 | read.buf[1];
	return kOk;
}

} // extern "C"
