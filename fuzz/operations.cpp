// Every exported operation against a token that answers anything: the host
// handler's replies come from the input, and so do the operations and
// their arguments. Nothing may crash, touch memory it was not given, or
// report success with output of the wrong shape; the command APDUs the
// library sends must stay within its own limits.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <set>

#include "fuzz_token.h"

using namespace draxel::fuzz;

namespace {

FuzzedDataProvider *g_input = nullptr;

const uint16_t kStatusWords[] = {0x9000, 0x6100, 0x6C00, 0x63C0, 0x6982, 0x6983, 0x6700, 0x6A82,
                                 0x6A83, 0x6A84, 0x6A88, 0x6984, 0x6985, 0x6B00, 0x6F00, 0x6D00};

// The token: each reply is read from the input. Past the input's end every
// command gets 9000, so that dialogues run on to their end.
unsigned long handler(unsigned char *send, int send_len, unsigned char *recv, int *recv_len)
{
	FUZZ_CHECK(send != nullptr && send_len >= 4 && send_len <= DRAXEL_MAX_COMMAND,
	           "a command of 4 to 260 bytes");
	FUZZ_CHECK(recv != nullptr && recv_len != nullptr && *recv_len == DRAXEL_MAX_REPLY,
	           "the library offers its whole reply buffer");
	FuzzedDataProvider &in = *g_input;
	uint8_t kind = in.ConsumeIntegral<uint8_t>();
	size_t status_index = in.ConsumeIntegralInRange<size_t>(0, std::size(kStatusWords) - 1);
	uint16_t sw = kStatusWords[status_index];
	if ((sw & 0xFF) == 0)
		sw = static_cast<uint16_t>(
		        sw | (sw == 0x9000 ? 0 : in.ConsumeIntegral<uint8_t>() & 0xFF));
	std::vector<uint8_t> reply;
	int reported = -1;
	switch (kind % 8) {
	case 0:
	case 1:
	case 2: /* data and a status word */
		reply = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 256));
		break;
	case 3: /* a status word alone */
		break;
	case 4: /* raw bytes, whatever they are */
		reply = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 258));
		reported = static_cast<int>(reply.size());
		break;
	case 5: /* a length that the bytes do not bear out */
		reply = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 258));
		reported = in.ConsumeIntegral<int>();
		break;
	default: /* data the size of a block or a key, the lengths that pass */
		reply = in.ConsumeBytes<uint8_t>(
		        std::vector<size_t>{32, 36, 68, 232, 1, 2, 7}[kind % 7]);
	}
	if (reported < 0 && kind % 8 != 5) {
		reply.push_back(static_cast<uint8_t>(sw >> 8));
		reply.push_back(static_cast<uint8_t>(sw));
		reported = static_cast<int>(reply.size());
	}
	size_t copied = std::min<size_t>(reply.size(), static_cast<size_t>(*recv_len));
	if (copied != 0)
		std::memcpy(recv, reply.data(), copied);
	*recv_len = reported;
	return 0;
}

Type_ReaderFuncStruct table = {handler};

// Arguments made from the input, kept alive for the whole input.
class Args {
public:
	explicit Args(FuzzedDataProvider &in) : in_(in) {}

	// A text: null, a well-known one, or anything up to 300 bytes.
	const char *text()
	{
		static const char *const known[] = {
		        "1234", "12345678", "team", "group phrase", "00000000", "4321", "11111111"};
		uint8_t selector = in_.ConsumeIntegral<uint8_t>();
		if (selector % 8 == 0)
			return nullptr;
		if (selector % 8 == 1)
			return known[selector / 8 % std::size(known)];
		texts_.push_back(in_.ConsumeRandomLengthString(300));
		return texts_.back().c_str();
	}
	// A text of hex digits that decodes to n bytes.
	const char *hex_text()
	{
		size_t n = in_.ConsumeIntegralInRange<size_t>(0, 300);
		std::string text;
		static const char digits[] = "0123456789ABCDEF";
		for (size_t i = 0; i < 2 * n; ++i)
			text.push_back(digits[in_.ConsumeIntegral<uint8_t>() & 15]);
		texts_.push_back(text);
		return texts_.back().c_str();
	}
	// n bytes (a length the caller's type can hold) in a block of exactly n.
	uint8_t *bytes(size_t max, size_t *n)
	{
		*n = in_.ConsumeIntegralInRange<size_t>(0, max);
		blocks_.push_back(std::make_unique<uint8_t[]>(*n));
		std::vector<uint8_t> b = in_.ConsumeBytes<uint8_t>(*n);
		std::copy(b.begin(), b.end(), blocks_.back().get());
		return blocks_.back().get();
	}
	// An output buffer of exactly n bytes (n may be 0), or null.
	uint8_t *out(size_t n)
	{
		if (in_.ConsumeIntegralInRange<uint8_t>(0, 15) == 0)
			return nullptr;
		blocks_.push_back(std::make_unique<uint8_t[]>(n));
		return blocks_.back().get();
	}
	int size() { return in_.ConsumeIntegralInRange<int>(-2, 1100); }
	int mode() { return in_.ConsumeIntegralInRange<int>(0, 4); }
	int version() { return in_.ConsumeIntegralInRange<int>(-1, 20); }
	bool flag() { return in_.ConsumeBool(); }
	uint8_t byte() { return in_.ConsumeIntegral<uint8_t>(); }
	int file_flags()
	{
		return (flag() ? 0x100 : 0) | (flag() ? 0x200 : 0) | (flag() ? 0x001 : 0);
	}

private:
	FuzzedDataProvider &in_;
	std::deque<std::string> texts_;
	std::deque<std::unique_ptr<uint8_t[]>> blocks_;
};

void check_list(const char *list, unsigned long len)
{
	for (unsigned long at = 0; at < len;) {
		const void *end = std::memchr(list + at + 1, 0, len - at - 1);
		FUZZ_CHECK(at + 1 < len && end != nullptr,
		           "every group entry ends within the list");
		at = static_cast<unsigned long>(static_cast<const char *>(end) - list) + 1;
	}
}

void message(Args &a, bool encipher, ReaderStructPtr prs, bool direct)
{
	const char *text = encipher ? a.text() : a.flag() ? a.hex_text() : a.text();
	int room = a.size();
	char *out = reinterpret_cast<char *>(a.out(room < 0 ? 0 : static_cast<size_t>(room)));
	int size = room;
	int mode = a.mode();
	const char *phrase = a.text();
	const char *group = a.text();
	unsigned long rc;
	if (direct)
		rc = PerformOp(prs, text, out, &size, mode, encipher ? 1 : 2, phrase, group);
	else
		rc = (encipher ? EncryptMes : DecryptMes)(text, out, &size, mode, phrase, group);
	if (rc != 0 || out == nullptr)
		return;
	FUZZ_CHECK(size <= room, "the output fits the room given");
	if (encipher)
		FUZZ_CHECK(is_hex_text(out, size) &&
		                   static_cast<size_t>(size) == 2 * (36 + std::strlen(text)) + 1,
		           "a message text is hex of the cryptogram and the ciphertext");
	else
		FUZZ_CHECK(size >= 2 && out[size - 1] == '\0', "a message ends in a zero");
}

void file_chunk(Args &a, bool encipher, ReaderStructPtr prs, bool direct)
{
	size_t n;
	const uint8_t *data = a.bytes(600, &n);
	int room = a.size();
	uint8_t *out = a.out(room < 0 ? 0 : static_cast<size_t>(room));
	int size = room;
	int mode = a.mode();
	const char *phrase = a.text();
	const char *group = a.text();
	int flags = a.file_flags();
	int len = a.flag() ? static_cast<int>(n) : -1;
	unsigned long rc;
	if (direct)
		rc = PerformFileOp(prs, data, len, out, &size, mode, encipher ? 1 : 2, phrase,
		                   group, flags);
	else
		rc = (encipher ? EncryptFileData : DecryptFileData)(data, len, out, &size, mode,
		                                                    phrase, group, flags);
	if (out != nullptr && (rc != 0 || (flags & 0x200) != 0))
		FUZZ_CHECK(file_state_wiped(), "a file's end leaves no key and no register");
	if (rc == 0 && out != nullptr) {
		FUZZ_CHECK(size <= room, "the chunk fits the room given");
		if (encipher)
			FUZZ_CHECK(size >= len, "a chunk's ciphertext is as long as its data");
		else
			FUZZ_CHECK(size <= len, "a chunk's plaintext is no longer than it");
	}
}

// The six block functions hand out a block for delete[].
void blocks(Args &a, ReaderStructPtr prs)
{
	size_t n;
	const uint8_t *data = a.bytes(600, &n);
	BYTE *out = nullptr;
	unsigned long out_len = 0;
	unsigned long rc = 0;
	uint8_t key[32] = {0};
	switch (a.byte() % 6) {
	case 0:
		rc = EncryptData(prs, data, n, &out, &out_len);
		break;
	case 1:
		rc = DecryptData(prs, data, n, &out, &out_len);
		break;
	case 2:
		rc = EncryptDataFile(prs, data, n, &out, &out_len, a.flag());
		break;
	case 3:
		rc = DecryptDataFile(prs, data, n, &out, &out_len, a.flag());
		break;
	case 4:
		rc = FastEncryptDataFile(key, data, n, &out, &out_len, a.flag());
		break;
	default:
		rc = FastDecryptDataFile(key, data, n, &out, &out_len, a.flag());
		break;
	}
	FUZZ_CHECK((rc == 0) == (out != nullptr), "a block exactly on success");
	if (rc == 0)
		FUZZ_CHECK(out_len == n, "as many bytes out as in");
	delete[] out;
}

// Builders of one shape, chosen among in one step each.
using RecordOnly = unsigned long (*)(ReaderStructPtr);
using OneField = unsigned long (*)(ReaderStructPtr, const BYTE *, BYTE);
using TwoFields = unsigned long (*)(ReaderStructPtr, const BYTE *, BYTE, const BYTE *, BYTE);
const RecordOnly kRecordOnly[] = {APDU_SelectApplication, APDU_MSEReset,  APDU_GenDSKey,
                                  APDU_ClearCard,         APDU_ClearNote, APDU_CreateBFTrac};
const OneField kOneField[] = {APDU_Select, APDU_DeleteGroup, APDU_SelectGroup};
const TwoFields kTwoFields[] = {APDU_CreateGroup, APDU_RenameGroup, APDU_ChangePasPhrGroup};

void builders(Args &a, ReaderStructPtr prs)
{
	size_t n = 0, m = 0, k = 0;
	const uint8_t *data;
	const uint8_t *more;
	const uint8_t *third;
	// each builder as likely as any other
	size_t op = a.byte() % 40;
	if (op < std::size(kRecordOnly))
		return void(kRecordOnly[op](prs));
	if ((op -= std::size(kRecordOnly)) < std::size(kOneField)) {
		data = a.bytes(255, &n);
		return void(kOneField[op](prs, data, static_cast<BYTE>(n)));
	}
	if ((op -= std::size(kOneField)) < std::size(kTwoFields)) {
		data = a.bytes(128, &n);
		more = a.bytes(128, &m);
		return void(kTwoFields[op](prs, data, static_cast<BYTE>(n), more,
		                           static_cast<BYTE>(m)));
	}
	switch (op - std::size(kTwoFields)) {
	case 0: {
		data = a.bytes(255, &n);
		int len = a.size();
		APDU_Select_FCP(prs, data, static_cast<BYTE>(n),
		                a.out(len < 0 ? 0 : static_cast<size_t>(len)), &len);
		break;
	}
	case 1: {
		int len = a.size();
		APDU_ReadBinary(prs, a.out(len < 0 ? 0 : static_cast<size_t>(len)), &len, a.size());
		break;
	}
	case 2:
		data = a.bytes(255, &n);
		APDU_UpdateBinary(prs, data, static_cast<BYTE>(n), a.size());
		break;
	case 3: {
		int len = a.size();
		uint8_t *out = a.out(len < 0 ? 0 : static_cast<size_t>(len));
		if (out != nullptr)
			APDU_GetChallenge(prs, out, len);
		break;
	}
	case 4: {
		size_t len = a.byte();
		uint8_t *out = a.out(len);
		if (out != nullptr)
			APDU_GetSN(prs, out, static_cast<BYTE>(len));
		break;
	}
	case 5: {
		int model;
		APDU_GetCardModel(prs, a.flag() ? &model : nullptr);
		break;
	}
	case 6: {
		int ver;
		APDU_GetCardVer(prs, a.flag() ? &ver : nullptr);
		break;
	}
	case 7:
		data = a.bytes(255, &n);
		APDU_VerifyPassword(prs, a.byte(), a.flag() ? data : nullptr, static_cast<BYTE>(n));
		break;
	case 8:
		data = a.bytes(255, &n);
		APDU_ChangeKey(prs, a.byte(), data, static_cast<BYTE>(n));
		break;
	case 9:
		APDU_UnblockKey(prs, a.byte());
		break;
	case 10: {
		int tries;
		APDU_GetKeyAttempts(prs, a.byte(), a.flag() ? &tries : nullptr);
		break;
	}
	case 11:
		APDU_MSESetEnc(prs, a.byte(), a.byte());
		break;
	case 12: {
		data = a.bytes(255, &n);
		uint8_t *out = a.out(n);
		APDU_PSO_Enc(prs, data, static_cast<BYTE>(n), out, a.flag());
		break;
	}
	case 13: {
		data = a.bytes(255, &n);
		uint8_t *out = a.out(n);
		APDU_PSO_Dec(prs, data, static_cast<BYTE>(n), out, a.flag());
		break;
	}
	case 14: {
		data = a.bytes(255, &n);
		unsigned long len = static_cast<unsigned long>(a.byte()) * 2;
		uint8_t *out = a.out(len);
		APDU_GenSesKey(prs, data, static_cast<BYTE>(n), a.byte(), out, &len);
		break;
	}
	case 15: {
		data = a.bytes(255, &n);
		more = a.bytes(255, &m);
		unsigned long len = static_cast<unsigned long>(a.byte()) * 2;
		uint8_t *out = a.out(len);
		APDU_SetSesKey(prs, data, static_cast<BYTE>(n), more, static_cast<BYTE>(m),
		               a.byte(), out, a.flag() ? &len : nullptr);
		break;
	}
	case 16: {
		unsigned long len = static_cast<unsigned long>(a.byte()) * 2;
		uint8_t *out = a.out(len);
		APDU_GetGroupNameList(prs, out, &len, a.version());
		break;
	}
	case 17: {
		data = a.bytes(255, &n);
		BYTE len = a.byte();
		uint8_t *out = a.out(len);
		APDU_CreateRequestGroup(prs, data, static_cast<BYTE>(n), out, &len);
		break;
	}
	case 18: {
		data = a.bytes(255, &n);
		BYTE len = a.byte();
		uint8_t *out = a.out(len);
		APDU_CreateInviteGroup(prs, data, static_cast<BYTE>(n), out, &len);
		break;
	}
	case 19:
		data = a.bytes(100, &n);
		more = a.bytes(100, &m);
		third = a.bytes(100, &k);
		APDU_AcceptInviteGroup(prs, data, static_cast<BYTE>(n), more, static_cast<BYTE>(m),
		                       third, static_cast<BYTE>(k));
		break;
	case 20: {
		unsigned long len = static_cast<unsigned long>(a.byte()) * 2;
		uint8_t *out = a.out(len);
		APDU_GetDublBlob(prs, out, &len);
		break;
	}
	case 21:
		data = a.bytes(255, &n);
		APDU_SetDublBlob(prs, a.flag() ? data : nullptr, static_cast<BYTE>(n));
		break;
	case 22: {
		int len = a.size();
		APDU_NotePolicy(prs, a.byte() % 4, a.out(len < 0 ? 0 : static_cast<size_t>(len)),
		                a.flag() ? &len : nullptr);
		break;
	}
	case 23:
		APDU_CreateBFNote(prs, a.byte() % 3);
		break;
	case 24:
		APDU_GetSW(prs);
		GetLastScardError();
		break;
	case 25: {
		data = a.bytes(300, &n);
		int wanted = a.size();
		unsigned long len = static_cast<unsigned long>(wanted < 0 ? 0 : wanted);
		uint8_t *out = a.out(len);
		Transmit(const_cast<uint8_t *>(data), n, out, a.flag() ? &len : nullptr, prs);
		break;
	}
	default:
		blocks(a, prs);
		break;
	}
}

// The cipher engine on its own: every length is the caller's promise.
void cipher(Args &a)
{
	size_t n;
	uint8_t *data = a.bytes(300, &n);
	u32_gost_type key[8];
	uint8_t key_bytes[32] = {0};
	g2814789_set_key(key, key_bytes, 32);
	uint8_t register_[8] = {0};
	switch (a.byte() % 8) {
	case 0: {
		g2814789_set_key(key, data, static_cast<int>(n));
		break;
	}
	case 1:
		g2814789_encrypt_ecb(key, data, static_cast<int>(n / 8));
		break;
	case 2:
		g2814789_decrypt_ecb(key, data, static_cast<int>(n / 8));
		break;
	case 3:
		gost_encrypt_cfb(key, register_, data, static_cast<int>(n));
		break;
	case 4:
		gost_decrypt_cfb(key, register_, data, static_cast<int>(n));
		break;
	case 5:
		CalcCRC32Compat(data, static_cast<int>(n));
		break;
	case 6: {
		FileEncHeader header;
		std::memset(&header, a.byte(), sizeof header);
		CalcFileCRC(a.flag() ? &header : nullptr, data, static_cast<int>(n));
		break;
	}
	default: {
		size_t m;
		uint8_t *other = a.bytes(300, &m);
		MemXor(data, other, static_cast<int>(std::min(n, m)));
		sum_mod32_1(a.byte() * 0x01010101u, a.byte() * 0x01000001u);
		mul_mod32_1(a.byte() * 0x01010101u, a.byte() * 0x01000001u);
	}
	}
}

// Operations of one shape, chosen among in one step each.
using NoArgument = unsigned long (*)(void);
using OneText = unsigned long (*)(const char *);
using TextAndFlag = unsigned long (*)(const char *, bool);
using TwoTexts = unsigned long (*)(const char *, const char *);
using ByVersion = unsigned long (*)(int);
const NoArgument kNoArgument[] = {CreateNote, RepareTracBuf, ConnectToSecondMekta,
                                  CheckCurrentReader};
const OneText kOneText[] = {VerifyPUK, VerifyErasePas, DeleteGroup, SelectReader};
const TextAndFlag kTextAndFlag[] = {VerifyPIN, VerifyNotePas};
const TwoTexts kTwoTexts[] = {UnblockPIN,        UnblockNotePas, ChangePIN,   ChangePUK,
                              ChangeErasePas,    ChangeNotePas,  CreateGroup, RenameGroup,
                              ChangePasPhrGroup, MakeDublCard};
const ByVersion kByVersion[] = {ClearNote, ChangeNotePolicy, GenDSKey, CleanCard};

void operation(Args &a, ReaderStructPtr &extra)
{
	// each operation as likely as any other
	size_t op = a.byte() % 56;
	if (op < std::size(kNoArgument))
		return void(kNoArgument[op]());
	if ((op -= std::size(kNoArgument)) < std::size(kOneText))
		return void(kOneText[op](a.text()));
	if ((op -= std::size(kOneText)) < std::size(kTextAndFlag))
		return void(kTextAndFlag[op](a.text(), a.flag()));
	if ((op -= std::size(kTextAndFlag)) < std::size(kTwoTexts))
		return void(kTwoTexts[op](a.text(), a.text()));
	if ((op -= std::size(kTwoTexts)) < std::size(kByVersion))
		return void(kByVersion[op](a.version()));
	switch (op - std::size(kByVersion)) {
	case 0:
		message(a, true, nullptr, false);
		break;
	case 1:
		message(a, false, nullptr, false);
		break;
	case 2:
		file_chunk(a, true, nullptr, false);
		break;
	case 3:
		file_chunk(a, false, nullptr, false);
		break;
	case 4: {
		bool flag;
		GetPUKFlag(a.flag() ? &flag : nullptr);
		break;
	}
	case 5: {
		int wanted = a.size();
		unsigned long room = static_cast<unsigned long>(wanted < 0 ? 0 : wanted);
		unsigned long len = room;
		char *out = reinterpret_cast<char *>(a.out(room));
		if (GetGroupList(out, a.flag() ? &len : nullptr) == 0 && out != nullptr) {
			FUZZ_CHECK(len <= room, "the list fits the room given");
			check_list(out, len);
		}
		break;
	}
	case 6:
	case 7: {
		int room = a.size();
		int size = room;
		char *out =
		        reinterpret_cast<char *>(a.out(room < 0 ? 0 : static_cast<size_t>(room)));
		const char *first = a.text();
		unsigned long rc =
		        a.flag() ? CreateRequestForGroup(first, out, &size)
		                 : CreateInviteForGroup(first, a.flag() ? a.hex_text() : a.text(),
		                                        out, &size);
		if (rc == 0 && out != nullptr)
			FUZZ_CHECK(size <= room && is_hex_text(out, size), "a join text is hex");
		break;
	}
	case 8:
		AcceptInviteForGroup(a.flag() ? a.hex_text() : a.text(), a.text(), a.text());
		break;
	case 9: {
		int room = a.size();
		int size = room;
		uint8_t *out = a.out(room < 0 ? 0 : static_cast<size_t>(room));
		if (ReadNote(out, a.flag() ? &size : nullptr, a.size() * 64) == 0)
			FUZZ_CHECK(size <= room, "no more of the note than asked for");
		break;
	}
	case 10: {
		size_t n;
		const uint8_t *data = a.bytes(1100, &n);
		int len = a.flag() ? static_cast<int>(n) : -a.byte(); /* never more than there is */
		WriteNote(a.flag() ? data : nullptr, len, a.size() * 64, a.flag());
		break;
	}
	case 11: {
		int size, policy;
		GetNoteInf(a.flag() ? &size : nullptr, &policy, a.version(), a.flag());
		break;
	}
	case 12: {
		int room = a.size();
		int size = room;
		char *out =
		        reinterpret_cast<char *>(a.out(room < 0 ? 0 : static_cast<size_t>(room)));
		if (GetDublData(a.text(), out, a.flag() ? &size : nullptr) == 0 && out != nullptr)
			FUZZ_CHECK(size <= room && is_hex_text(out, size),
			           "a duplicate text is hex");
		break;
	}
	case 13:
		SetDublData(a.text(), a.flag() ? a.hex_text() : a.text(), a.size());
		break;
	case 14: {
		size_t n;
		const uint8_t *data = a.bytes(200, &n);
		int len = a.flag() ? static_cast<int>(n) : -a.byte();
		ChangeKeys(a.flag() ? data : nullptr, len, a.text());
		break;
	}
	case 15: {
		size_t n;
		const uint8_t *data = a.bytes(200, &n);
		uint8_t *out = a.out(128);
		MakeKeysFromBuf(out, data, n);
		break;
	}
	case 16: {
		int size = a.flag() ? 160 : a.size();
		uint8_t *out = a.out(size < 0 ? 0 : static_cast<size_t>(size));
		GetKeys(out, a.flag() ? &size : nullptr);
		break;
	}
	case 17: {
		char *out = reinterpret_cast<char *>(a.out(15));
		if (GetSN(out) == 0)
			FUZZ_CHECK(is_hex_text(out, 15), "a serial number is 14 hex digits");
		break;
	}
	case 18: {
		int ver;
		GetCardVer(a.flag() ? &ver : nullptr);
		break;
	}
	case 19:
		ConnectToMekta(a.flag());
		break;
	case 20: {
		int room = a.size();
		int size = room;
		char *out =
		        reinterpret_cast<char *>(a.out(room < 0 ? 0 : static_cast<size_t>(room)));
		if (a.flag())
			cur_context.error = a.flag() ? static_cast<unsigned long>(a.size())
			                             : 140u + a.byte() % 16;
		if (GetError(out, a.flag() ? &size : nullptr) == 0 && out != nullptr)
			FUZZ_CHECK(size <= room &&
			                   std::strlen(out) + 1 == static_cast<size_t>(size),
			           "an error text ends within its size");
		GetLastErrorCode();
		break;
	}
	case 21:
		message(a, a.flag(), cur_context.pCurReader, true);
		break;
	case 22:
		file_chunk(a, a.flag(), cur_context.pCurReader, true);
		break;
	case 23:
		blocks(a, cur_context.pCurReader);
		break;
	case 24:
	case 25:
	case 26:
	case 27:
		builders(a, a.flag() ? cur_context.pCurReader : extra);
		break;
	case 28:
		cipher(a);
		break;
	case 29: {
		ReaderStructPtr record = NewReaderStruct(a.text());
		IsCurrentReader(record, a.text());
		IsCardPowered(record);
		IsReaderProtocolT0(record);
		OpenReader(a.text(), record, a.flag());
		CloseReader(record);
		GetSW(record);
		ReaderGetLastError(record);
		FreeReaderStruct(record);
		break;
	}
	case 30: {
		unsigned long size = static_cast<unsigned long>(a.byte());
		char *out = reinterpret_cast<char *>(a.out(size));
		OpenReaderContext(0);
		ListReaders(out, a.flag() ? &size : nullptr);
		CloseReaderContext();
		ProcessScardError(a.flag() ? 0x8010000Cul : a.byte());
		break;
	}
	default: {
		size_t n;
		const uint8_t *cmd = a.bytes(300, &n);
		PrintCAPDU(cmd, n, cur_context.pCurReader);
		PrintRAPDU(0x9000, const_cast<uint8_t *>(cmd), n);
		PrintError(a.byte());
	}
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider in(data, size);
	g_input = &in;
	InitLib(&table);
	end_file_in_progress();
	ReaderStructPtr first = AllocReaderStruct(nullptr);
	ReaderStructPtr second = AllocReaderStruct(nullptr);
	ReaderStructPtr extra = AllocReaderStruct("extra");
	cur_context = LogicDLLContext{first, second, 0};
	// the records that the operations replace stay the host's to free
	std::set<ReaderStructPtr> records = {first, second, extra};
	Args args(in);
	for (int i = 0; i < 8 && in.remaining_bytes() > 0; ++i) {
		operation(args, extra);
		records.insert(cur_context.pCurReader);
		records.insert(cur_context.pSecondReader);
	}
	records.erase(nullptr);
	cur_context = LogicDLLContext{};
	for (ReaderStructPtr record : records)
		FreeReaderStruct(record);
	end_file_in_progress();
	g2814789_set_subst(&subst_TC26);
	InitLib(nullptr);
	g_input = nullptr;
	return 0;
}
