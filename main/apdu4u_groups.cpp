/*
 * Group commands: the group list, create, rename, delete, select, the
 * pass phrase, and the request / invite / accept exchange.
 */
#include "apdu4u_frame.h"

using namespace draxel_frame;

namespace {

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

} // namespace

extern "C" {

static const StatusMap create_group_status[] = {
        {kSwNameExists, kSwExactly, kGroupExists, false}, /* the name exists */
        {kSwNoRoom, kSwExactly, kTooManyGroups, false},   /* no room */
        {kSwOutsideFile, kSwExactly, kTooManyGroups, false},
};
static const StatusMap unknown_group_status[] = {
        {kSwGroupNotFound, kSwExactly, kGroupNotFound, false}};
static const StatusMap rename_group_status[] = {
        {kSwGroupNotFound, kSwExactly, kGroupNotFound, false},
        {kSwNameExists, kSwExactly, kGroupExists, false},
};
static const StatusMap admin_group_status[] = {
        {kSwGroupNotFound, kSwExactly, kGroupNotFound, false},
        {kSwConditionsNotSatisfied, kSwExactly, kNotGroupAdmin,
         false}, /* not the group's administrator */
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
	return send_two_fields(prs, create_group_cmd, group_name, group_name_len, pas_phrase,
	                       pas_phrase_len, create_group_status);
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
	return send_two_fields(prs, rename_group_cmd, group_name_old, group_name_old_len,
	                       group_name_new, group_name_new_len, rename_group_status);
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
	return send_two_fields(prs, change_pas_phr_group_cmd, group_name, group_name_len,
	                       pas_phrase, pas_phrase_len, admin_group_status);
}

/* A request or an invitation: one blob in, one blob out through a one-byte
 * length. The raw transport code is kept in last_error. */
static unsigned long exchange_blob(ReaderStructPtr prs, const BYTE header[5], const BYTE *in,
                                   BYTE in_len, BYTE *out_buf, BYTE *out_buf_len, StatusTable maps)
{
	if (in == NULL || in_len == 0 || out_buf == NULL || out_buf_len == NULL ||
	    *out_buf_len == 0)
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

} // extern "C"
