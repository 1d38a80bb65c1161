/* Token command set, inside: the framing that every builder shares. A
 * builder frames its command from its header, sends it with Transmit, maps
 * the outcome through its status table and hands the reply out by one of
 * three rules; all of that lives here once, and the builders, one file per
 * family (apdu4u_*.cpp), only say which of it they use. Internal to those
 * files. */
#ifndef DRAXEL_APDU4U_FRAME_H
#define DRAXEL_APDU4U_FRAME_H

#include <string.h>

#include "apdu4u.h"
#include "result_codes.h"
#include "transmit.h"
#include "wipe.h"

namespace draxel_frame {

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

inline bool exchange_failed(unsigned long r)
{
	return r != kOk && r != kStatusWord;
}

/* 0 and 5 go on; every other transport code is a failed exchange. */
inline unsigned long command_result(unsigned long r)
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

inline unsigned long map_status(ReaderStructPtr prs, unsigned long r, StatusTable table)
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
inline unsigned long hand_out_exact(BYTE *out, Len *out_len, const BYTE *data,
                                    unsigned long data_len)
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
inline bool valid_exact_output(const BYTE *out, const Len *out_len)
{
	return out_len != NULL && (out != NULL || *out_len == 0);
}

inline bool missing(const void *data, size_t len)
{
	return data == NULL && len != 0;
}

inline unsigned long send_header(ReaderStructPtr prs, const BYTE header[5])
{
	Command cmd(header);
	return command_result(cmd.send(prs));
}

/* Appends the data fields in order; false when a field is missing or
 * together they pass 255 bytes. */
inline bool append_fields(Command &cmd, const BYTE *const fields[], const BYTE lens[], size_t count)
{
	for (size_t i = 0; i < count; ++i)
		if (fields[i] == NULL || lens[i] == 0 || !cmd.append(fields[i], lens[i]))
			return false;
	return true;
}

inline unsigned long send_fields(ReaderStructPtr prs, const BYTE header[5],
                                 const BYTE *const fields[], const BYTE lens[], size_t count,
                                 StatusTable maps)
{
	Command cmd(header);
	if (!append_fields(cmd, fields, lens, count))
		return kCommandRefused;
	return map_status(prs, cmd.send(prs), maps);
}

/* Two fields, as most group commands carry them: a name, then a name or a
 * pass phrase. */
inline unsigned long send_two_fields(ReaderStructPtr prs, const BYTE header[5], const BYTE *first,
                                     BYTE first_len, const BYTE *second, BYTE second_len,
                                     StatusTable maps)
{
	const BYTE *fields[] = {first, second};
	const BYTE lens[] = {first_len, second_len};
	return send_fields(prs, header, fields, lens, 2, maps);
}

} // namespace draxel_frame

#endif
