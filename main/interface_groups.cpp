/*
 * Library interface: the token's groups and the request / invite / accept
 * exchange by which a second token joins one. Names and pass phrases reach
 * the token as 64-byte zero-padded fields; the exchange's blobs reach the
 * host as hexadecimal text.
 */
#include <stdlib.h>

#include "apdu4u.h"
#include "interface_ops.h"
#include "transmit.h"
#include "wipe.h"

using namespace draxel_ops;

namespace {

constexpr size_t kEntryLen = kFieldLen + 1;
constexpr unsigned long kAnswerCapacity = 256;
/* A token that keeps answering entries is stopped here rather than trusted
 * to end its list; real tokens hold a few dozen groups at most. */
constexpr size_t kMaxEntries = 1024;
constexpr size_t kMaxBlob = 255;
/* An invite shares one command's 255 data bytes with two padded fields. */
constexpr size_t kMaxInvite = kMaxBlob - 2 * kFieldLen;

/* A name or pass phrase: 1 to 63 bytes, so that its field keeps a zero. */
bool bad_name(const char *text)
{
	return null_or_empty(text) || strnlen(text, kFieldLen) >= kFieldLen;
}

/* The padded field of a text that passed bad_name(); wiped on the way out
 * since pass phrases travel in it too. */
struct Field : WipedBytes<kFieldLen> {
	explicit Field(const char *text) { memcpy(bytes, text, strlen(text)); }
};

/* A request or invite, decoded or as the token made it. */
/* A blob and its length: on the way to the token the bytes it holds, on the
 * way back the room it offers. */
struct Blob : WipedBytes<kMaxBlob> {
	BYTE len;

	explicit Blob(BYTE room = 0) : len(room) {}
};

/* Decodes the hex text into blob; 102 for a text that is missing, not hex,
 * or longer than max bytes (the decoding buffer's size). */
unsigned long decode_blob(const char *text, size_t max, Blob &blob)
{
	unsigned long text_len = null_or_empty(text) ? 0 : strlen(text);
	unsigned long count = text_len == 0 ? 0 : Mes2Bin(text, text_len, NULL);
	unsigned long rc = count == 0 || count > max ? kBadArgument : 0;
	if (rc == 0)
		blob.len = static_cast<BYTE>(Mes2Bin(text, text_len, blob.bytes));
	return rc;
}

/* Hands the blob out as text: a null buffer asks for the size. */
unsigned long put_text(Blob &blob, char *buf, int *buf_size)
{
	int needed = 2 * blob.len + 1;
	unsigned long rc = buf != NULL && *buf_size < needed ? kTooSmall : 0;
	if (rc == 0 && buf != NULL)
		Bin2Mes(blob.bytes, blob.len, buf);
	if (rc == 0)
		*buf_size = needed;
	return rc;
}

/* The list as the caller gets it, built up answer by answer. */
struct List {
	char *bytes;
	unsigned long len;
	size_t entries;
};

/* Appends the answer's entries; 126 for one that does not parse. */
unsigned long append_entries(List &list, const BYTE *answer, unsigned long answer_len)
{
	unsigned long rc =
	        answer_len % kEntryLen != 0 || list.entries + answer_len / kEntryLen > kMaxEntries
	                ? kGroupListDamaged
	                : 0;
	for (unsigned long at = 0; rc == 0 && at < answer_len; at += kEntryLen) {
		const BYTE *entry = answer + at;
		const BYTE *end = static_cast<const BYTE *>(memchr(entry, 0, kFieldLen));
		if (end == NULL) {
			rc = kGroupListDamaged;
		} else {
			size_t name_len = static_cast<size_t>(end - entry);
			list.bytes[list.len] = static_cast<char>(entry[kFieldLen]);
			memcpy(list.bytes + list.len + 1, entry, name_len + 1);
			list.len += name_len + 2;
			++list.entries;
		}
	}
	return rc;
}

unsigned long read_list(ReaderStructPtr prs, List &list)
{
	int ver = 0;
	unsigned long rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = APDU_GetCardVer(prs, &ver);
	for (bool more = rc == 0; more;) {
		BYTE answer[kAnswerCapacity];
		unsigned long answer_len = sizeof answer;
		rc = APDU_GetGroupNameList(prs, answer, &answer_len, ver);
		if (rc == 0)
			rc = append_entries(list, answer, answer_len);
		more = rc == 0 && answer_len != 0;
	}
	return rc;
}

unsigned long send_two_fields(unsigned long (*command)(ReaderStructPtr, const BYTE *, BYTE,
                                                       const BYTE *, BYTE),
                              const char *first, const char *second)
{
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = bad_name(first) || bad_name(second) ? kBadArgument : need_reader(prs);
	if (rc == 0) {
		Field one(first), two(second);
		rc = APDU_SelectApplication(prs);
		if (rc == 0)
			rc = command(prs, one.bytes, kFieldLen, two.bytes, kFieldLen);
	}
	return finish(rc, prs);
}

} // namespace

extern "C" {

unsigned long GetGroupList(char *group_name_list, unsigned long *group_name_list_size)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ClearError();
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = group_name_list_size == NULL ? kBadArgument : need_reader(prs);
	List list = {NULL, 0, 0};
	if (rc == 0) {
		list.bytes = static_cast<char *>(malloc(kMaxEntries * kEntryLen));
		rc = list.bytes == NULL ? kNoMemory : read_list(prs, list);
	}
	if (rc == 0 && group_name_list != NULL && list.len > *group_name_list_size)
		rc = kTooSmall;
	if (rc == 0) {
		*group_name_list_size = list.len;
		if (group_name_list != NULL && list.len != 0)
			memcpy(group_name_list, list.bytes, list.len);
	}
	free(list.bytes);
	return finish(rc, prs);
}

unsigned long CreateGroup(const char *group_name, const char *pas_phrase)
{
	ReaderTransaction hold(cur_context.pCurReader);
	return send_two_fields(APDU_CreateGroup, group_name, pas_phrase);
}

unsigned long RenameGroup(const char *group_name_old, const char *group_name_new)
{
	ReaderTransaction hold(cur_context.pCurReader);
	return send_two_fields(APDU_RenameGroup, group_name_old, group_name_new);
}

unsigned long ChangePasPhrGroup(const char *group_name, const char *pas_phrase)
{
	ReaderTransaction hold(cur_context.pCurReader);
	return send_two_fields(APDU_ChangePasPhrGroup, group_name, pas_phrase);
}

unsigned long DeleteGroup(const char *group_name)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = bad_name(group_name) ? kBadArgument : need_reader(prs);
	if (rc == 0) {
		Field name(group_name);
		rc = APDU_SelectApplication(prs);
		if (rc == 0)
			rc = APDU_DeleteGroup(prs, name.bytes, kFieldLen);
	}
	return finish(rc, prs);
}

unsigned long CreateRequestForGroup(const char *pas_phrase, char *request_buf,
                                    int *request_buf_size)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc =
	        bad_name(pas_phrase) || request_buf_size == NULL ? kBadArgument : need_reader(prs);
	if (rc == 0) {
		Field phrase(pas_phrase);
		Blob request(kMaxBlob);
		rc = APDU_SelectApplication(prs);
		if (rc == 0)
			rc = APDU_CreateRequestGroup(prs, phrase.bytes, kFieldLen, request.bytes,
			                             &request.len);
		/* a bare 9000 is no request: an empty text would only fail later,
		 * at the other token, as a request that decodes to nothing */
		if (rc == 0 && request.len == 0)
			rc = kWrongLength;
		if (rc == 0)
			rc = put_text(request, request_buf, request_buf_size);
	}
	return finish(rc, prs);
}

unsigned long CreateInviteForGroup(const char *group_name, const char *request_blob,
                                   char *invite_buf, int *invite_buf_size)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	Blob request;
	unsigned long rc = bad_name(group_name) || invite_buf_size == NULL
	                           ? kBadArgument
	                           : decode_blob(request_blob, kMaxBlob, request);
	if (rc == 0)
		rc = need_reader(prs);
	if (rc == 0) {
		Field name(group_name);
		Blob invite(kMaxBlob);
		rc = APDU_SelectApplication(prs);
		if (rc == 0)
			rc = APDU_SelectGroup(prs, name.bytes, kFieldLen);
		if (rc == 0)
			rc = APDU_CreateInviteGroup(prs, request.bytes, request.len, invite.bytes,
			                            &invite.len);
		if (rc == 0 && invite.len == 0)
			rc = kWrongLength;
		if (rc == 0)
			rc = put_text(invite, invite_buf, invite_buf_size);
	}
	return finish(rc, prs);
}

unsigned long AcceptInviteForGroup(const char *invite_blob, const char *group_name,
                                   const char *pas_phrase)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	Blob invite;
	unsigned long rc = bad_name(group_name) || bad_name(pas_phrase)
	                           ? kBadArgument
	                           : decode_blob(invite_blob, kMaxInvite, invite);
	if (rc == 0)
		rc = need_reader(prs);
	if (rc == 0) {
		Field name(group_name), phrase(pas_phrase);
		rc = APDU_SelectApplication(prs);
		if (rc == 0)
			rc = APDU_AcceptInviteGroup(prs, invite.bytes, invite.len, name.bytes,
			                            kFieldLen, phrase.bytes, kFieldLen);
	}
	return finish(rc, prs);
}

} // extern "C"
