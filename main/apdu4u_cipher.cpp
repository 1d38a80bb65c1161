/*
 * Cipher commands: the security environment, session keys and PERFORM
 * SECURITY OPERATION.
 */
#include "apdu4u_frame.h"

using namespace draxel_frame;

namespace {

const BYTE mse_set_cmd[5] = {0x00, 0x22, 0x01, 0x00, 0x00};
const BYTE mse_reset_cmd[5] = {0x00, 0x22, 0xF3, 0x00, 0x00};
const BYTE gen_ses_key_cmd[5] = {0x80, 0x36, 0x00, 0x00, 0x00};
const BYTE pso_enc_cmd[5] = {0x00, 0x2A, 0x86, 0x80, 0x00};
const BYTE pso_dec_cmd[5] = {0x00, 0x2A, 0x80, 0x86, 0x00};

} // namespace

extern "C" {

unsigned long APDU_MSEReset(ReaderStructPtr prs)
{
	return send_header(prs, mse_reset_cmd);
}

unsigned long APDU_MSESetEnc(ReaderStructPtr prs, BYTE tag, BYTE val)
{
	Command cmd(mse_set_cmd);
	cmd.buf[P1] |= 0xC0;
	cmd.buf[P2] = 0xB8;
	const BYTE environment[6] = {tag, 0x01, val, 0x8C, 0x01, 0x03};
	cmd.append(environment, sizeof environment);
	return command_result(cmd.send(prs));
}

/* One block through PERFORM SECURITY OPERATION: the reply must be exactly
 * the block (after skip_len leading bytes), or nothing is written. */
static unsigned long perform_block(Command &cmd, ReaderStructPtr prs, BYTE *out_data,
                                   unsigned long skip_len, unsigned long block_len)
{
	unsigned long reply_len;
	unsigned long r = cmd.send_for_reply(prs, &reply_len);
	if (r != kOk)
		return command_result(r);
	if (reply_len != skip_len + block_len)
		return kWrongLength;
	if (block_len != 0)
		memcpy(out_data, cmd.buf + skip_len, block_len);
	return kOk;
}

unsigned long APDU_PSO_Enc(ReaderStructPtr prs, const BYTE *data, BYTE data_len, BYTE *out_data,
                           bool is_last)
{
	const unsigned long kIndicatorLen = 1;
	if (missing(data, data_len) || out_data == NULL)
		return kCommandRefused;
	Command cmd(pso_enc_cmd);
	if (!is_last)
		cmd.buf[CLA] = kClaChaining;
	cmd.append(data, data_len);
	return perform_block(cmd, prs, out_data, kIndicatorLen, data_len);
}

unsigned long APDU_PSO_Dec(ReaderStructPtr prs, const BYTE *data, BYTE data_len, BYTE *out_data,
                           bool is_last)
{
	static const BYTE indicator = 0x02;
	if (data_len == kMaxData)
		return kWrongLength; /* no room for the indicator byte */
	if (missing(data, data_len) || out_data == NULL)
		return kCommandRefused;
	Command cmd(pso_dec_cmd);
	if (!is_last)
		cmd.buf[CLA] |= kClaChaining;
	cmd.append(&indicator, 1);
	cmd.append(data, data_len);
	return perform_block(cmd, prs, out_data, 0, data_len);
}

unsigned long APDU_GenSesKey(ReaderStructPtr prs, const BYTE *pas_phrase, BYTE pas_phrase_len,
                             BYTE mode, BYTE *out_data, unsigned long *out_data_len)
{
	if (missing(pas_phrase, pas_phrase_len) || !valid_exact_output(out_data, out_data_len))
		return kCommandRefused;
	Command cmd(gen_ses_key_cmd);
	cmd.buf[P1] = 0x01;
	cmd.buf[P2] = mode;
	cmd.append(pas_phrase, pas_phrase_len);
	unsigned long reply_len;
	unsigned long r = cmd.send_for_reply(prs, &reply_len);
	if (r != kOk)
		return command_result(r);
	return hand_out_exact(out_data, out_data_len, cmd.buf, reply_len);
}

unsigned long APDU_SetSesKey(ReaderStructPtr prs, const BYTE *pas_phrase, BYTE pas_phrase_len,
                             const BYTE *cryptogram, BYTE cryptogram_len, BYTE mode, BYTE *out_data,
                             unsigned long *out_data_len)
{
	if (out_data != NULL && !valid_exact_output(out_data, out_data_len))
		return kCommandRefused;
	Command cmd(gen_ses_key_cmd);
	cmd.buf[P1] = 0x02;
	cmd.buf[P2] = mode;
	if (!cmd.append(pas_phrase, pas_phrase_len) || !cmd.append(cryptogram, cryptogram_len))
		return kCommandRefused;
	unsigned long reply_len;
	unsigned long r = cmd.send_for_reply(prs, &reply_len);
	if (exchange_failed(r))
		return kExchangeFailed;
	if (out_data == NULL || r == kStatusWord)
		return r;
	return hand_out_exact(out_data, out_data_len, cmd.buf, reply_len);
}

} // extern "C"
