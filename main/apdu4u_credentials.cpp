/*
 * Credentials: VERIFY, CHANGE REFERENCE DATA, RESET RETRY COUNTER.
 */
#include "apdu4u_frame.h"

using namespace draxel_frame;

namespace {

const BYTE verify_cmd[5] = {0x00, 0x20, 0x00, 0x00, 0x00};
const BYTE ch_ref_data_cmd[5] = {0x00, 0x24, 0x01, 0x00, 0x00};
const BYTE reset_counter_cmd[5] = {0x00, 0x2C, 0x03, 0x00, 0x00};

} // namespace

extern "C" {

static const StatusMap verify_status[] = {
        {kSwWrongPassword, kSwTriesMask, kWrongPassword, true}, /* wrong password, x tries left */
        {kSwBlocked, kSwExactly, kBlocked, false},              /* blocked */
        {kSwWrongLength, kSwExactly, kPasswordLength, false},   /* length refused */
};
static const StatusMap change_key_status[] = {{kSwWrongLength, kSwExactly, kPasswordLength, false}};

/* A password or key under its reference; the command buffer is overwritten
 * once it is sent. */
static unsigned long send_secret(ReaderStructPtr prs, const BYTE header[5], BYTE ref,
                                 const BYTE *data, BYTE len, StatusTable maps)
{
	Command cmd(header);
	cmd.buf[P2] = ref;
	cmd.append(data, len);
	unsigned long r = cmd.send(prs);
	cmd.overwrite();
	return map_status(prs, r, maps);
}

unsigned long APDU_VerifyPassword(ReaderStructPtr prs, BYTE pwd_id, const BYTE *pwd_buf,
                                  BYTE pwd_len)
{
	if ((pwd_buf == NULL) != (pwd_len == 0))
		return kCommandRefused;
	return send_secret(prs, verify_cmd, pwd_id, pwd_buf, pwd_len, verify_status);
}

unsigned long APDU_ChangeKey(ReaderStructPtr prs, BYTE key_id, const BYTE *key_buf, BYTE key_len)
{
	if (key_buf == NULL || key_len == 0)
		return kCommandRefused;
	return send_secret(prs, ch_ref_data_cmd, key_id, key_buf, key_len, change_key_status);
}

unsigned long APDU_UnblockKey(ReaderStructPtr prs, BYTE key_id)
{
	Command cmd(reset_counter_cmd);
	cmd.buf[P2] = key_id;
	unsigned long r = cmd.send(prs);
	cmd.overwrite();
	return command_result(r);
}

unsigned long APDU_GetKeyAttempts(ReaderStructPtr prs, BYTE pwd_id, int *pattempts)
{
	if (pattempts == NULL)
		return kCommandRefused;
	Command cmd(verify_cmd);
	cmd.buf[P2] = pwd_id;
	unsigned long r = cmd.send(prs);
	cmd.overwrite();
	if (exchange_failed(r))
		return kExchangeFailed;
	*pattempts = 0;
	unsigned short sw = GetSW(prs);
	if (r == kStatusWord && (sw & kSwTriesMask) == kSwWrongPassword) {
		*pattempts = sw & 0x0F;
		return kOk;
	}
	return r;
}

} // extern "C"
