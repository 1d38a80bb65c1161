/*
 * Token command set. Every builder frames its command from the header table
 * below, sends it with Transmit, maps the outcome and hands the reply out by
 * one of three rules. The framing, the mapping and the hand-out rules live
 * here once; the builders only say which of them they use.
 */
#include "apdu4u.h"

#include <string.h>

#include "result_codes.h"
#include "token_layout.h"
#include "transmit.h"
#include "wipe.h"

namespace {

/* ---- command header table: CLA INS P1 P2 P3 ---------------------------- */

const BYTE create_file_cmd[5] = {0x00, 0xE0, 0x00, 0x00, 0x00};
const BYTE get_ch_cmd[5] = {0x00, 0x84, 0x00, 0x00, 0x00};
const BYTE verify_cmd[5] = {0x00, 0x20, 0x00, 0x00, 0x00};
const BYTE ch_ref_data_cmd[5] = {0x00, 0x24, 0x01, 0x00, 0x00};
const BYTE reset_counter_cmd[5] = {0x00, 0x2C, 0x03, 0x00, 0x00};
const BYTE select_aid_cmd[5] = {0x00, 0xA4, 0x04, 0x0C, 0x00};
const BYTE select_cmd[5] = {0x00, 0xA4, 0x00, 0x0C, 0x00};
const BYTE select_cmd_fcp[5] = {0x00, 0xA4, 0x00, 0x00, 0x00};
const BYTE validate_card_model[5] = {0x80, 0xFE, 0x00, 0x00, 0x00};
const BYTE validate_card_sn_t0[5] = {0x80, 0xFE, 0x06, 0x00, 0x00};
const BYTE validate_card_sn[5] = {0x80, 0xFE, 0x06, 0x00, 0x07};
const BYTE read_binary_cmd[5] = {0x00, 0xB0, 0x00, 0x00, 0x00};
const BYTE update_binary_cmd[5] = {0x00, 0xD6, 0x00, 0x00, 0x00};
const BYTE mse_set_cmd[5] = {0x00, 0x22, 0x01, 0x00, 0x00};
const BYTE mse_reset_cmd[5] = {0x00, 0x22, 0xF3, 0x00, 0x00};
const BYTE gen_ses_key_cmd[5] = {0x80, 0x36, 0x00, 0x00, 0x00};
const BYTE pso_enc_cmd[5] = {0x00, 0x2A, 0x86, 0x80, 0x00};
const BYTE pso_dec_cmd[5] = {0x00, 0x2A, 0x80, 0x86, 0x00};
const BYTE get_dubl_cmd[5] = {0x80, 0x34, 0x01, 0x00, 0x00};
const BYTE set_dubl_cmd[5] = {0x80, 0x34, 0x02, 0x00, 0x00};
const BYTE gen_ds_key_cmd[5] = {0x80, 0x38, 0xFF, 0x00, 0x00};
const BYTE clear_cmd[5] = {0x80, 0x38, 0x00, 0x00, 0x00};
const BYTE clear_note_cmd[5] = {0x80, 0x38, 0x02, 0x00, 0x00};
const BYTE note_policy_cmd[5] = {0x80, 0x32, 0x00, 0x00, 0x00};
const BYTE get_group_name_list_cmd[5] = {0x90, 0x3A, 0x06, 0x00, 0x00};
const BYTE get_group_name_list_cmd_old[5] = {0x90, 0x3A, 0x05, 0x00, 0x00};
const BYTE create_group_cmd[5] = {0x80, 0x3A, 0x01, 0x00, 0x00};
const BYTE delete_group_cmd[5] = {0x80, 0x3A, 0x02, 0x00, 0x00};
const BYTE rename_group_cmd[5] = {0x80, 0x3A, 0x03, 0x00, 0x00};
const BYTE select_group_cmd[5] = {0x80, 0x3A, 0x04, 0x00, 0x00};
const BYTE change_pas_phr_group_cmd[5] = {0x80, 0x3A, 0x05, 0x00, 0x00};
const BYTE create_request_cmd[5] = {0x80, 0x3C, 0x01, 0x00, 0x00};
const BYTE create_invite_cmd[5] = {0x80, 0x3C, 0x02, 0x00, 0x00};
const BYTE accept_invite_cmd[5] = {0x80, 0x3C, 0x03, 0x00, 0x00};

/* ---- result codes -------------------------------------------------------- */

using namespace draxel_codes;

/* ---- framing ------------------------------------------------------------- */

constexpr size_t kHeaderLen = 5;
constexpr size_t kMaxData = 255;
constexpr unsigned long kReplyCapacity = 256;
constexpr BYTE kWipeByte = 0x5A;
constexpr BYTE kClaChaining = 0x10;
constexpr BYTE kOddIns = 0x01;

enum { CLA, INS, P1, P2, P3 };

/* The command buffer, cmd_buf: 5 header bytes and at most 255 data bytes,
 * one more for READ BINARY's reply. Replies land in it too, so it is cleared
 * on every way out. */
struct Command {
	BYTE buf[kHeaderLen + kMaxData + 1];
	unsigned long len;

	explicit Command(const BYTE header[5]) : len(kHeaderLen)
	{
		memset(buf, 0, sizeof buf);
		memcpy(buf, header, kHeaderLen);
	}
	~Command()
	{
		wipe(buf, sizeof buf);
		apdu_buf_released(buf, sizeof buf);
	}
	Command(const Command &) = delete;
	Command &operator=(const Command &) = delete;

	/* Appends a data field and sets Lc; false when the command would pass
	 * 255 data bytes or the field is missing. */
	bool append(const BYTE *data, size_t data_len)
	{
		if (data_len == 0)
			return true;
		if (data == NULL || len - kHeaderLen + data_len > kMaxData)
			return false;
		memcpy(buf + len, data, data_len);
		len += data_len;
		buf[P3] = static_cast<BYTE>(len - kHeaderLen);
		return true;
	}

	unsigned long send(ReaderStructPtr prs) { return Transmit(buf, len, NULL, NULL, prs); }

	/* Sends and receives the reply into the command buffer itself. */
	unsigned long send_for_reply(ReaderStructPtr prs, unsigned long *reply_len)
	{
		*reply_len = kReplyCapacity;
		return Transmit(buf, len, buf, reply_len, prs);
	}

	/* The overwrite with 0x5A that the password and selection commands
	 * promise. */
	void overwrite()
	{
		memset(buf, kWipeByte, sizeof buf);
		apdu_cmd_buf_wiped(buf, sizeof buf);
	}
};

/* A reply buffer of its own, for the builders that keep cmd_buf apart. */
struct Reply {
	BYTE buf[kReplyCapacity];
	unsigned long len;

	explicit Reply(unsigned long capacity) : len(capacity) { memset(buf, 0, sizeof buf); }
	~Reply()
	{
		wipe(buf, sizeof buf);
		apdu_buf_released(buf, sizeof buf);
	}
	Reply(const Reply &) = delete;
	Reply &operator=(const Reply &) = delete;
};

bool exchange_failed(unsigned long r)
{
	return r != kOk && r != kStatusWord;
}

/* 0 and 5 go on; every other transport code is a failed exchange. */
unsigned long command_result(unsigned long r)
{
	return exchange_failed(r) ? kExchangeFailed : r;
}

/* One status word a builder gives a meaning of its own: (SW & mask) == sw
 * gives code, plus the low nibble of SW when counts_tries is set. */
struct StatusMap {
	unsigned short sw;
	unsigned short mask;
	unsigned long code;
	bool counts_tries;
};

/* The status words one builder maps; an empty table maps none. */
struct StatusTable {
	const StatusMap *maps;
	size_t count;

	template <size_t N>
	StatusTable(const StatusMap (&table)[N]) : maps(table), count(N)
	{
	}
	StatusTable() : maps(NULL), count(0) {}
};

unsigned long map_status(ReaderStructPtr prs, unsigned long r, StatusTable table)
{
	if (exchange_failed(r))
		return kExchangeFailed;
	unsigned short sw = GetSW(prs);
	for (size_t i = 0; i < table.count; ++i) {
		const StatusMap &m = table.maps[i];
		if ((sw & m.mask) == m.sw)
			return m.counts_tries ? m.code + (sw & 0x0Fu) : m.code;
	}
	return r;
}

/* ---- hand-out rules ------------------------------------------------------ */

/* Truncate rule: as many bytes as both the caller and the reply have. */
template <typename Len>
void hand_out_truncated(BYTE *out, Len *out_len, const BYTE *data, unsigned long data_len)
{
	unsigned long n = static_cast<unsigned long>(*out_len) < data_len
	                      ? static_cast<unsigned long>(*out_len)
	                      : data_len;
	if (n != 0)
		memcpy(out, data, n);
	*out_len = static_cast<Len>(n);
}

/* Exact-capacity rule: the whole reply or nothing; the needed length is
 * stored either way (in a one-byte length, modulo 256). */
template <typename Len>
unsigned long hand_out_exact(BYTE *out, Len *out_len, const BYTE *data, unsigned long data_len)
{
	bool fits = static_cast<unsigned long>(*out_len) >= data_len;
	*out_len = static_cast<Len>(data_len);
	if (!fits)
		return kAnswerTooLong;
	if (data_len != 0)
		memcpy(out, data, data_len);
	return kOk;
}

/* An output of the exact-capacity rule: a length to read, and a buffer
 * wherever the length promises room. */
template <typename Len>
bool valid_exact_output(const BYTE *out, const Len *out_len)
{
	return out_len != NULL && (out != NULL || *out_len == 0);
}

bool missing(const void *data, size_t len)
{
	return data == NULL && len != 0;
}

unsigned long send_header(ReaderStructPtr prs, const BYTE header[5])
{
	Command cmd(header);
	return command_result(cmd.send(prs));
}

/* Appends the data fields in order; false when a field is missing or
 * together they pass 255 bytes. */
bool append_fields(Command &cmd, const BYTE *const fields[], const BYTE lens[], size_t count)
{
	for (size_t i = 0; i < count; ++i)
		if (fields[i] == NULL || lens[i] == 0 || !cmd.append(fields[i], lens[i]))
			return false;
	return true;
}

unsigned long send_fields(ReaderStructPtr prs, const BYTE header[5], const BYTE *const fields[],
                          const BYTE lens[], size_t count, StatusTable maps)
{
	Command cmd(header);
	if (!append_fields(cmd, fields, lens, count))
		return kCommandRefused;
	return map_status(prs, cmd.send(prs), maps);
}

} // namespace

extern "C" {

const BYTE df_aid[DRAXEL_AID_LEN + 1] = {'M', 'E', 'K', 'T', 'A', '_', 'P', 'S', 'C', 'H', 0};
const BYTE ST23_L80_MODEL_STR[9] = {0x80, 0x07, 'S', 'T', '2', '3', 'L', '8', '0'};
unsigned long last_error = 0;

__attribute__((weak)) void apdu_cmd_buf_wiped(const BYTE *, size_t)
{
}

__attribute__((weak)) void apdu_buf_released(const BYTE *, size_t)
{
}

/* ---- selection and file access ------------------------------------------- */

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
	static const draxel_layout::FileId version_file = draxel_layout::file_id(draxel_layout::kVersionFile);
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

/* What a status word means where the builder's own table says nothing. */
static const StatusMap general_status[] = {
	{kSwSecurityNotSatisfied, kSwExactly, kAccessDenied, false},
	{kSwWrongPassword, kSwExactly, kCannotDecrypt, false}, /* no tries: a session key */
	{kSwKeyNotFound, kSwExactly, kKeyDamaged, false},
};

unsigned long code_of_status_word(unsigned short sw)
{
	for (const StatusMap &m : general_status)
		if ((sw & m.mask) == m.sw)
			return m.code;
	return kBadStatus;
}

unsigned short APDU_GetSW(ReaderStructPtr prs)
{
	return GetSW(prs);
}

unsigned long GetLastScardError(void)
{
	return last_error;
}

/* ---- credentials --------------------------------------------------------- */

static const StatusMap verify_status[] = {
	{kSwWrongPassword, kSwTriesMask, kWrongPassword, true}, /* wrong password, x tries left */
	{kSwBlocked, kSwExactly, kBlocked, false}, /* blocked */
	{kSwWrongLength, kSwExactly, kPasswordLength, false}, /* length refused */
};
static const StatusMap change_key_status[] = {{kSwWrongLength, kSwExactly, kPasswordLength, false}};

unsigned long APDU_VerifyPassword(ReaderStructPtr prs, BYTE pwd_id, const BYTE *pwd_buf,
                                  BYTE pwd_len)
{
	if ((pwd_buf == NULL) != (pwd_len == 0))
		return kCommandRefused;
	Command cmd(verify_cmd);
	cmd.buf[P2] = pwd_id;
	cmd.append(pwd_buf, pwd_len);
	unsigned long r = cmd.send(prs);
	cmd.overwrite();
	return map_status(prs, r, verify_status);
}

unsigned long APDU_ChangeKey(ReaderStructPtr prs, BYTE key_id, const BYTE *key_buf, BYTE key_len)
{
	if (key_buf == NULL || key_len == 0)
		return kCommandRefused;
	Command cmd(ch_ref_data_cmd);
	cmd.buf[P2] = key_id;
	cmd.append(key_buf, key_len);
	unsigned long r = cmd.send(prs);
	cmd.overwrite();
	return map_status(prs, r, change_key_status);
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

/* ---- cipher commands ----------------------------------------------------- */

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
                             const BYTE *cryptogram, BYTE cryptogram_len, BYTE mode,
                             BYTE *out_data, unsigned long *out_data_len)
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

/* ---- groups -------------------------------------------------------------- */

static const StatusMap create_group_status[] = {
	{kSwNameExists, kSwExactly, kGroupExists, false}, /* the name exists */
	{kSwNoRoom, kSwExactly, kTooManyGroups, false}, /* no room */
	{kSwOutsideFile, kSwExactly, kTooManyGroups, false},
};
static const StatusMap unknown_group_status[] = {{kSwGroupNotFound, kSwExactly, kGroupNotFound, false}};
static const StatusMap rename_group_status[] = {
	{kSwGroupNotFound, kSwExactly, kGroupNotFound, false},
	{kSwNameExists, kSwExactly, kGroupExists, false},
};
static const StatusMap admin_group_status[] = {
	{kSwGroupNotFound, kSwExactly, kGroupNotFound, false},
	{kSwConditionsNotSatisfied, kSwExactly, kNotGroupAdmin, false}, /* not the group's administrator */
};
static const StatusMap accept_invite_status[] = {
	{kSwNameExists, kSwExactly, kGroupExists, false},
	{kSwNoRoom, kSwExactly, kTooManyGroups, false},
};

unsigned long APDU_GetGroupNameList(ReaderStructPtr prs, BYTE *buf, unsigned long *buf_len,
                                    int card_ver)
{
	if (buf == NULL || buf_len == NULL || *buf_len == 0)
		return kCommandRefused;
	Command cmd(card_ver > 2 ? get_group_name_list_cmd : get_group_name_list_cmd_old);
	unsigned long reply_len;
	unsigned long r = cmd.send_for_reply(prs, &reply_len);
	if (r != kOk)
		return command_result(r);
	hand_out_truncated(buf, buf_len, cmd.buf, reply_len);
	cmd.overwrite();
	return kOk;
}

unsigned long APDU_CreateGroup(ReaderStructPtr prs, const BYTE *group_name, BYTE group_name_len,
                               const BYTE *pas_phrase, BYTE pas_phrase_len)
{
	const BYTE *fields[] = {group_name, pas_phrase};
	const BYTE lens[] = {group_name_len, pas_phrase_len};
	return send_fields(prs, create_group_cmd, fields, lens, 2, create_group_status);
}

unsigned long APDU_DeleteGroup(ReaderStructPtr prs, const BYTE *group_name, BYTE group_name_len)
{
	return send_fields(prs, delete_group_cmd, &group_name, &group_name_len, 1,
	                   unknown_group_status);
}

unsigned long APDU_RenameGroup(ReaderStructPtr prs, const BYTE *group_name_old,
                               BYTE group_name_old_len, const BYTE *group_name_new,
                               BYTE group_name_new_len)
{
	const BYTE *fields[] = {group_name_old, group_name_new};
	const BYTE lens[] = {group_name_old_len, group_name_new_len};
	return send_fields(prs, rename_group_cmd, fields, lens, 2, rename_group_status);
}

unsigned long APDU_SelectGroup(ReaderStructPtr prs, const BYTE *group_name, BYTE group_name_len)
{
	return send_fields(prs, select_group_cmd, &group_name, &group_name_len, 1,
	                   unknown_group_status);
}

unsigned long APDU_ChangePasPhrGroup(ReaderStructPtr prs, const BYTE *group_name,
                                     BYTE group_name_len, const BYTE *pas_phrase,
                                     BYTE pas_phrase_len)
{
	const BYTE *fields[] = {group_name, pas_phrase};
	const BYTE lens[] = {group_name_len, pas_phrase_len};
	return send_fields(prs, change_pas_phr_group_cmd, fields, lens, 2, admin_group_status);
}

/* A request or an invitation: one blob in, one blob out through a one-byte
 * length. The raw transport code is kept in last_error. */
static unsigned long exchange_blob(ReaderStructPtr prs, const BYTE header[5], const BYTE *in,
                                   BYTE in_len, BYTE *out_buf, BYTE *out_buf_len,
                                   StatusTable maps)
{
	if (in == NULL || in_len == 0 || out_buf == NULL || out_buf_len == NULL || *out_buf_len == 0)
		return kCommandRefused;
	Command cmd(header);
	cmd.append(in, in_len);
	unsigned long reply_len;
	unsigned long r = cmd.send_for_reply(prs, &reply_len);
	last_error = r;
	unsigned long mapped = map_status(prs, r, maps);
	if (mapped != kOk)
		return mapped;
	return hand_out_exact(out_buf, out_buf_len, cmd.buf, reply_len);
}

unsigned long APDU_CreateRequestGroup(ReaderStructPtr prs, const BYTE *pas_phrase,
                                      BYTE pas_phrase_len, BYTE *out_buf, BYTE *out_buf_len)
{
	return exchange_blob(prs, create_request_cmd, pas_phrase, pas_phrase_len, out_buf,
	                     out_buf_len, StatusTable());
}

unsigned long APDU_CreateInviteGroup(ReaderStructPtr prs, const BYTE *request_blob,
                                     BYTE request_blob_len, BYTE *out_buf, BYTE *out_buf_len)
{
	return exchange_blob(prs, create_invite_cmd, request_blob, request_blob_len, out_buf,
	                     out_buf_len, admin_group_status);
}

unsigned long APDU_AcceptInviteGroup(ReaderStructPtr prs, const BYTE *invite_blob,
                                     BYTE invite_blob_len, const BYTE *group_name,
                                     BYTE group_name_len, const BYTE *pas_phrase,
                                     BYTE pas_phrase_len)
{
	const BYTE *fields[] = {invite_blob, group_name, pas_phrase};
	const BYTE lens[] = {invite_blob_len, group_name_len, pas_phrase_len};
	Command cmd(accept_invite_cmd);
	if (!append_fields(cmd, fields, lens, 3))
		return kCommandRefused;
	unsigned long r = cmd.send(prs);
	last_error = r;
	return map_status(prs, r, accept_invite_status);
}

/* ---- token maintenance --------------------------------------------------- */

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
