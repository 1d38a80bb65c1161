/*
 * Library interface: copying a token's key material onto a second token or
 * out to text and back, loading keys, clearing the token and reading its
 * identity. The duplicate blobs belong to the token; the library frames them
 * as records (01, length, blob) and never looks inside.
 */
#include <limits.h>
#include <stdlib.h>

#include "apdu4u.h"
#include "gost_a.h"
#include "interface_ops.h"
#include "secret_memory.h"
#include "transmit.h"
#include "wipe.h"

using namespace draxel_ops;

namespace {

constexpr BYTE kRecordTag = 0x01;
constexpr size_t kRecordHeader = 2;
constexpr size_t kAreaLen = 256;
/* A record's blob sits behind its two header bytes in the area. */
constexpr unsigned long kMaxTextBlob = kAreaLen - kRecordHeader;
/* What one SET command's length byte can carry. */
constexpr unsigned long kMaxForwardedBlob = 255;
constexpr int kKeySourceLen = 160;
constexpr int kKeyDataLen = 128;
constexpr int kChallengeLen = 32;
constexpr int kLastVersionWithoutDsKey = 17;
constexpr int kFirstTokenClearingNote = 5;
constexpr size_t kSerialLen = 7;

/* The order in which the key buffer's four keys are loaded. */
const BYTE key_refs[kKeyDataLen / kKeyLen] = {kKeyMode2, kKey1D, kKeyGroup, kKey15};

/* One record (header and blob), wiped on the way out. */
using Area = WipedBytes<kAreaLen>;

/* Writes one record's text at the end of the text so far; *text_len grows
 * by the record's text length either way (the size query needs it). */
unsigned long put_record(Area &area, unsigned long blob_len, char *buf, int capacity, int *text_len)
{
	int record_len = static_cast<int>(blob_len + kRecordHeader);
	int at = *text_len;
	/* a token that never ends its sequence must not overflow the count */
	unsigned long rc = at > INT_MAX - 1 - 2 * record_len ? kBadValue : 0;
	if (rc == 0)
		*text_len += 2 * record_len;
	if (rc == 0 && buf != NULL && capacity < *text_len + 1)
		rc = kTooSmall;
	if (rc == 0 && buf != NULL) {
		area.bytes[0] = kRecordTag;
		area.bytes[1] = static_cast<BYTE>(blob_len);
		Bin2Mes(area.bytes, static_cast<unsigned long>(record_len), buf + at);
	}
	return rc;
}

unsigned long export_blobs(ReaderStructPtr prs, char *buf, int capacity, int *text_len)
{
	unsigned long rc = 0;
	*text_len = 0;
	for (bool more = true; more;) {
		Area area;
		unsigned long blob_len = kMaxTextBlob;
		rc = APDU_GetDublBlob(prs, area.bytes + kRecordHeader, &blob_len);
		if (rc == 0 && blob_len != 0)
			rc = put_record(area, blob_len, buf, capacity, text_len);
		more = rc == 0 && blob_len != 0;
	}
	/* a token always has keys to hand out: one that ends the sequence at
	 * once answered nothing where the duplicate was due, and an empty text
	 * passed for a duplicate would restore nothing */
	if (rc == 0 && *text_len == 0)
		rc = kWrongLength;
	return rc;
}

/* 102 unless the decoded text is a run of whole records 01 n blob, n > 0;
 * checked before anything reaches the token. */
unsigned long check_records(const BYTE *data, unsigned long len)
{
	unsigned long rc = len == 0 ? kBadArgument : 0;
	for (unsigned long at = 0; rc == 0 && at < len;) {
		unsigned long left = len - at;
		if (left < kRecordHeader || data[at] != kRecordTag || data[at + 1] == 0 ||
		    data[at + 1] > left - kRecordHeader)
			rc = kBadArgument;
		else
			at += kRecordHeader + data[at + 1];
	}
	return rc;
}

unsigned long import_records(ReaderStructPtr prs, const BYTE *data, unsigned long len)
{
	unsigned long rc = 0;
	for (unsigned long at = 0; rc == 0 && at < len; at += kRecordHeader + data[at + 1])
		rc = APDU_SetDublBlob(prs, data + at + kRecordHeader, data[at + 1]);
	if (rc == 0)
		rc = APDU_SetDublBlob(prs, NULL, 0);
	return rc;
}

/* Moves blobs from one token to the other, the empty closing one included.
 * *failed is the reader whose command failed. */
unsigned long copy_blobs(ReaderStructPtr from, ReaderStructPtr to, ReaderStructPtr *failed)
{
	unsigned long rc = 0;
	for (bool more = true; more;) {
		Area area;
		unsigned long blob_len = kMaxForwardedBlob;
		*failed = from;
		rc = APDU_GetDublBlob(from, area.bytes, &blob_len);
		if (rc == 0) {
			*failed = to;
			rc = APDU_SetDublBlob(to, area.bytes, static_cast<BYTE>(blob_len));
		}
		more = rc == 0 && blob_len != 0;
	}
	return rc;
}

unsigned long load_keys(ReaderStructPtr prs, const BYTE key_buf[kKeyDataLen])
{
	unsigned long rc = 0;
	for (size_t i = 0; rc == 0 && i < sizeof key_refs; ++i)
		rc = APDU_ChangeKey(prs, key_refs[i], key_buf + i * kKeyLen, kKeyLen);
	return rc;
}

} // namespace

extern "C" {

unsigned long GetDublData(const char *puk, char *data_buf, int *data_buf_size)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = puk == NULL || too_long(puk) || data_buf_size == NULL ? kBadArgument
	                                                                         : need_reader(prs);
	int text_len = 0;
	if (rc == 0)
		rc = select_and_verify(prs, kPukRef, puk);
	if (rc == 0)
		rc = export_blobs(prs, data_buf, *data_buf_size, &text_len);
	if (rc == 0)
		*data_buf_size = text_len + 1;
	return finish(rc, prs);
}

unsigned long SetDublData(const char *puk, const char *data_buf, int)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc =
	        puk == NULL || too_long(puk) || data_buf == NULL ? kBadArgument : need_reader(prs);
	unsigned long text_len = rc == 0 ? strlen(data_buf) : 0;
	unsigned long capacity = text_len / 2 + 1;
	BYTE *data = NULL;
	unsigned long len = 0;
	if (rc == 0) {
		data = static_cast<BYTE *>(secret_malloc(capacity));
		rc = data == NULL ? kNoMemory : 0;
	}
	if (rc == 0) {
		len = Mes2Bin(data_buf, text_len, data);
		rc = check_records(data, len);
	}
	if (rc == 0)
		rc = select_and_verify(prs, kPukRef, puk);
	if (rc == 0)
		rc = import_records(prs, data, len);
	secret_free(data, capacity);
	return finish(rc, prs);
}

unsigned long MakeDublCard(const char *puk, const char *dubl_puk)
{
	TwoReaderTransaction hold(cur_context.pCurReader, cur_context.pSecondReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	ReaderStructPtr second = cur_context.pSecondReader;
	ReaderStructPtr failed = prs;
	unsigned long rc = puk == NULL || dubl_puk == NULL || too_long(puk) || too_long(dubl_puk)
	                           ? kBadArgument
	                           : need_reader(prs);
	if (rc == 0)
		rc = need_reader(second);
	if (rc == 0)
		rc = select_and_verify(prs, kPukRef, puk);
	if (rc == 0) {
		failed = second;
		rc = select_and_verify(second, kPukRef, dubl_puk);
	}
	if (rc == 0)
		rc = APDU_ClearCard(second);
	if (rc == 0)
		rc = copy_blobs(prs, second, &failed);
	return finish(rc, failed);
}

unsigned long MakeKeysFromBuf(unsigned char *key_buf, const unsigned char *in_data,
                              unsigned long in_data_size)
{
	if (key_buf == NULL || in_data == NULL || in_data_size != kKeySourceLen)
		return kBadArgument;
	u32_gost_type key[GOST_KEY_WORDS];
	memcpy(key_buf, in_data + kKeyLen, kKeyDataLen);
	g2814789_set_key(key, in_data, kKeyLen);
	g2814789_encrypt_ecb(key, key_buf, kKeyDataLen / GOST_BLOCK_SIZE);
	wipe(key, sizeof key);
	return 0;
}

unsigned long ChangeKeys(const unsigned char *in_data, const int in_data_size, const char *pas)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = in_data == NULL || in_data_size <= 0 || pas == NULL || too_long(pas)
	                           ? kBadArgument
	                           : need_reader(prs);
	BYTE key_buf[kKeyDataLen];
	if (rc == 0)
		rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = MakeKeysFromBuf(key_buf, in_data, static_cast<unsigned long>(in_data_size));
	if (rc == 0)
		rc = present_password(prs, kKeyLoadRef, pas);
	if (rc == 0)
		rc = load_keys(prs, key_buf);
	wipe(key_buf, sizeof key_buf);
	return finish(rc, prs);
}

unsigned long GetKeys(unsigned char *out_data, int *out_data_size)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	bool query = out_data_size != NULL && *out_data_size == 0;
	unsigned long rc =
	        out_data_size == NULL ||
	                        (!query && (*out_data_size != kKeySourceLen || out_data == NULL))
	                ? kBadArgument
	                : 0;
	BYTE source[kKeySourceLen];
	if (rc == 0 && !query)
		rc = need_reader(prs);
	for (int at = 0; rc == 0 && !query && at < kKeySourceLen; at += kChallengeLen)
		rc = APDU_GetChallenge(prs, source + at, kChallengeLen);
	if (rc == 0 && !query)
		memcpy(out_data, source, sizeof source);
	if (rc == 0 && query)
		*out_data_size = kKeySourceLen;
	wipe(source, sizeof source);
	return finish(rc, prs);
}

unsigned long GenDSKey(int ver)
{
	return one_command_since(ver > kLastVersionWithoutDsKey, APDU_GenDSKey);
}

unsigned long CleanCard(int ver)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = need_reader(prs);
	if (rc == 0)
		rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = APDU_ClearCard(prs);
	rc = finish(rc, prs);
	/* older tokens leave the note to the host */
	if (rc == 0 && ver < kFirstTokenClearingNote)
		rc = ClearNote(ver);
	return rc;
}

unsigned long GetSN(char *sn_buf)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	BYTE sn[kSerialLen];
	unsigned long rc = sn_buf == NULL ? kBadArgument : need_reader(prs);
	if (rc == 0)
		rc = APDU_GetSN(prs, sn, sizeof sn);
	if (rc == 0)
		Bin2Mes(sn, sizeof sn, sn_buf);
	return finish(rc, prs);
}

unsigned long GetCardVer(int *ver)
{
	ReaderTransaction hold(cur_context.pCurReader);
	ReaderStructPtr prs = cur_context.pCurReader;
	int version = 0;
	unsigned long rc = ver == NULL ? kBadArgument : need_reader(prs);
	if (rc == 0)
		rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = APDU_GetCardVer(prs, &version);
	if (rc == 0)
		*ver = version;
	return finish(rc, prs);
}

} // extern "C"
