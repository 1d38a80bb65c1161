// The password, group, note and maintenance operations through the exported
// functions: against software tokens in-process, their codes, what they leave
// on the token and the rules that follow its version; then against a
// scripted token what the software token cannot show: arguments refused
// before any command, answers of a form no sound token gives, and the order
// that keeps a second token from being cleared too early.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "faulty_card.h"
#include "support/fixtures.h"
#include "reader_record.h"

using namespace draxel::test;
namespace sim = draxel::sim;

namespace {

class Management : public InProcessTest {
protected:
	std::string list()
	{
		unsigned long len = 0;
		EXPECT_EQ(GetGroupList(nullptr, &len), 0u);
		std::string text(len, '\0');
		EXPECT_EQ(GetGroupList(text.data(), &len), 0u);
		return text;
	}
	static std::string record(const std::string &name, char attribute)
	{
		return std::string(1, attribute) + name + std::string(1, '\0');
	}
	// n bytes of filler and the zero behind them.
	static Bytes filled(size_t n)
	{
		Bytes b(n + 1, 0x01);
		b[n] = 0;
		return b;
	}
	// How many UPDATE BINARY commands (D6, or D7 with an offset) went to the token.
	size_t updates()
	{
		return static_cast<size_t>(
		        std::count_if(card().exchanges.begin(), card().exchanges.end(),
		                      [](const auto &e) { return (e.first[1] & 0xFE) == 0xD6; }));
	}
	// The start of the trace buffer file.
	Bytes trace_buffer(size_t len) const
	{
		const Bytes &file = state().master_files.at(sim::fid::kTraceBuffer);
		return Bytes(file.begin(), file.begin() + static_cast<long>(len));
	}
};

// ---- passwords ---------------------------------------------------------------

TEST_F(Management, WrongBlockedAndUnblockedPin)
{
	attach();
	EXPECT_EQ(VerifyPIN("0000", false), 142u);
	char text[256];
	int len = sizeof text;
	ASSERT_EQ(GetError(text, &len), 0u);
	EXPECT_EQ(std::string(text), "Ошибка: Неверный пароль. Осталось попыток:  2");
	EXPECT_EQ(VerifyPIN(nullptr, false), 142u) << "the state query reports the tries left";
	card().exchanges.clear();
	EXPECT_EQ(VerifyPIN("0000", true), 141u);
	EXPECT_EQ(trace_buffer(113), filled(112)) << "filled before the VERIFY";
	EXPECT_EQ(updates(), 2u) << "the PIN's filler is written twice";
	EXPECT_EQ(VerifyPIN("0000", false), 140u);
	EXPECT_EQ(VerifyPIN("1234", false), 108u);

	EXPECT_EQ(UnblockPIN("00000000", "5678"), 149u) << "a wrong PUK";
	EXPECT_EQ(UnblockPIN("12345678", "5678"), 0u);
	EXPECT_EQ(VerifyPIN("5678", true), 0u);
	EXPECT_EQ(VerifyPIN(nullptr, false), 0u) << "verified in this card session";
	EXPECT_EQ(ChangePIN("5678", "12"), 115u);
	EXPECT_EQ(ChangePIN("5678", "4444"), 0u);
	power_cycle();
	EXPECT_EQ(VerifyPIN("4444", false), 0u);
}

// (Changing each password, the PUK's flag and the note password's unblock
// are tool_test.cpp's, through the tool.)
TEST_F(Management, ErasePasswordPukAndNotePasswordVerify)
{
	attach();
	EXPECT_EQ(VerifyErasePas("11111111"), 149u);
	EXPECT_EQ(VerifyPUK("00000000"), 149u);
	card().exchanges.clear();
	EXPECT_EQ(VerifyNotePas("0000", true), 142u);
	EXPECT_EQ(trace_buffer(81), filled(80));
	EXPECT_EQ(updates(), 1u) << "the note password's once";
}

// ---- groups ------------------------------------------------------------------

TEST_F(Management, GroupLifecycleAndItsCodes)
{
	attach();
	EXPECT_EQ(CreateGroup("team", "phrase"), 104u) << "the PIN comes first";
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	ASSERT_EQ(CreateGroup("team", "phrase"), 0u);
	EXPECT_EQ(CreateGroup("team", "other"), 118u);
	const std::string longest(63, 's');
	ASSERT_EQ(CreateGroup(longest.c_str(), longest.c_str()), 0u);
	EXPECT_EQ(list(), record("team", 1) + record(longest, 1));
	char small[8] = "xxxxxxx";
	unsigned long len = sizeof small;
	EXPECT_EQ(GetGroupList(small, &len), 106u);
	EXPECT_EQ(std::string(small), "xxxxxxx");

	EXPECT_EQ(RenameGroup("nobody", "crew"), 117u);
	EXPECT_EQ(RenameGroup("team", longest.c_str()), 118u);
	EXPECT_EQ(RenameGroup("team", "crew"), 0u);
	EXPECT_EQ(ChangePasPhrGroup("team", "new phrase"), 117u);
	EXPECT_EQ(ChangePasPhrGroup("crew", "new phrase"), 0u);
	EXPECT_EQ(DeleteGroup(longest.c_str()), 0u);
	EXPECT_EQ(DeleteGroup(longest.c_str()), 117u);
	EXPECT_EQ(list(), record("crew", 1));

	for (int i = 1; i < 16; ++i)
		ASSERT_EQ(CreateGroup(("g" + std::to_string(i)).c_str(), "phrase"), 0u);
	EXPECT_EQ(CreateGroup("one too many", "phrase"), 119u);
	EXPECT_EQ(list().size(), 6u + 4 * 9 + 5 * 6) << "16 groups over six answers";
}

TEST_F(Management, TokensWithoutVersionsListTheOldWay)
{
	sim::IssueOptions options;
	options.version = std::nullopt;
	attach(options);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	ASSERT_EQ(CreateGroup("old", "phrase"), 0u);
	EXPECT_EQ(list(), record("old", 1));
	int ver = -1;
	ASSERT_EQ(GetCardVer(&ver), 0u);
	EXPECT_EQ(ver, 0);
}

// A request from one token, an invitation for it from another, accepted:
// both then encipher for the group, each under its own pass phrase, and only
// the administrator may invite or change the group's pass phrase.
TEST_F(Management, ASecondTokenJoinsByRequestAndInvitation)
{
	sim::Token admin(sim::issue_token()), member(sim::issue_token());
	auto use = [this](sim::Token &token) {
		attach_existing(token);
		return VerifyPIN("1234", false);
	};
	std::string request(600, '\0'), invite(600, '\0'), from_admin, from_member, back;
	int len = 600;
	ASSERT_EQ(use(member), 0u);
	ASSERT_EQ(CreateRequestForGroup("beta phrase", request.data(), &len), 0u);
	ASSERT_EQ(use(admin), 0u);
	ASSERT_EQ(CreateGroup("team", "alpha phrase"), 0u);
	ASSERT_EQ(encrypt("from the administrator", 3, "alpha phrase", "team", from_admin), 0u);
	len = 600;
	EXPECT_EQ(CreateInviteForGroup("nobody", request.c_str(), invite.data(), &len), 117u);
	ASSERT_EQ(CreateInviteForGroup("team", loosened(request.c_str()).c_str(), invite.data(),
	                               &len),
	          0u);

	ASSERT_EQ(use(member), 0u);
	EXPECT_EQ(AcceptInviteForGroup(invite.c_str(), "our team", "wrong phrase"), 113u);
	ASSERT_EQ(AcceptInviteForGroup(invite.c_str(), "our team", "beta phrase"), 0u);
	EXPECT_EQ(GetLastErrorCode(), 0u);
	EXPECT_EQ(list(), record("our team", 0));
	len = 600;
	EXPECT_EQ(CreateInviteForGroup("our team", request.c_str(), invite.data(), &len), 122u);
	EXPECT_EQ(GetLastErrorCode(), 5u) << "the exchange's own transport code";
	EXPECT_EQ(ChangePasPhrGroup("our team", "mine now"), 122u);
	ASSERT_EQ(decrypt(from_admin, 3, "beta phrase", "our team", back), 0u);
	EXPECT_EQ(back, "from the administrator");
	EXPECT_EQ(decrypt(from_admin, 3, "alpha phrase", "our team", back), 113u)
	        << "each token keeps its own pass phrase";
	ASSERT_EQ(encrypt("from the member", 3, "beta phrase", "our team", from_member), 0u);
	ASSERT_EQ(use(admin), 0u);
	ASSERT_EQ(decrypt(from_member, 3, "alpha phrase", "team", back), 0u);
	EXPECT_EQ(back, "from the member");
}

// ---- the note ----------------------------------------------------------------

TEST_F(Management, NoteGuardedByThePasswordOfItsPolicy)
{
	attach();
	Bytes note = counting(3000, 9), back(3000, 0xEE);
	int len = 100;
	EXPECT_EQ(ReadNote(back.data(), &len, 0), 104u);
	EXPECT_EQ(len, 100);
	EXPECT_EQ(back, Bytes(3000, 0xEE)) << "nothing written on failure";
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	ASSERT_EQ(WriteNote(note.data(), 3000, 1000, false), 0u);

	int size = 0, policy = 0;
	ASSERT_EQ(GetNoteInf(&size, &policy, 18, false), 0u);
	EXPECT_EQ(size, 65280);
	EXPECT_EQ(policy, 1);
	ASSERT_EQ(ChangeNotePolicy(18), 0u);
	ASSERT_EQ(GetNoteInf(&size, &policy, 18, false), 0u);
	EXPECT_EQ(policy, 2);
	len = 10;
	EXPECT_EQ(ReadNote(back.data(), &len, 1000), 104u) << "now the note password";
	ASSERT_EQ(VerifyNotePas("4321", false), 0u);
	ASSERT_EQ(ClearNote(18), 0u);
	len = 10;
	ASSERT_EQ(ReadNote(back.data(), &len, 1000), 0u);
	EXPECT_EQ(Bytes(back.begin(), back.begin() + 10), Bytes(10, 0)) << "cleared";
}

// The note in pieces, at every length where a piece's form changes: a write
// goes in pieces of at most 247 bytes, each carrying its length in one byte
// below 128 and in two above, at offsets whose low byte carries over and up
// to the note's last byte; a read takes at most 256 bytes of each answer.
// The token's own file is the judge: the bytes written, and none beside.
TEST_F(Management, NotePiecesAtEveryLengthWhereTheirFormChanges)
{
	const int kNoteSize = 65280;
	for (int len : {1, 127, 128, 246, 247, 248, 374, 375, 494, 495, 741, 742}) {
		for (int offset : {0, 0xFF, kNoteSize - len}) {
			SCOPED_TRACE(testing::Message() << len << " bytes at " << offset);
			ASSERT_NO_FATAL_FAILURE(attach());
			ASSERT_EQ(VerifyPIN("1234", false), 0u);
			card().exchanges.clear();
			const Bytes data =
			        counting(static_cast<size_t>(len), static_cast<uint8_t>(len));
			ASSERT_EQ(WriteNote(data.data(), len, offset, false), 0u);
			Bytes expected(kNoteSize, 0);
			std::copy(data.begin(), data.end(), expected.begin() + offset);
			EXPECT_TRUE(state().application_files.at(sim::fid::kNote) == expected);
			EXPECT_EQ(updates(), static_cast<size_t>((len + 246) / 247));

			// past the note's end, as far as an offset can go
			int asked = std::min(len + 300, 0x10000 - offset), got = asked;
			Bytes back(static_cast<size_t>(asked), 0xEE);
			ASSERT_EQ(ReadNote(back.data(), &got, offset), 0u);
			ASSERT_EQ(got, std::min(asked, kNoteSize - offset));
			EXPECT_TRUE(std::equal(back.begin(), back.begin() + got,
			                       expected.begin() + offset));
		}
	}
	for (int len : {255, 256, 257, 511, 512, 513}) {
		Bytes back(static_cast<size_t>(len));
		int got = len;
		ASSERT_EQ(ReadNote(back.data(), &got, 0x80), 0u);
		EXPECT_EQ(got, len);
	}
}

// A write that fails part-way leaves the pieces the token took, new, and
// everything after them as it was: no piece after the failing one is sent.
TEST_F(Management, ANoteWriteFailingPartWayLeavesNewPiecesThenOldBytes)
{
	const Bytes old_note = counting(2000, 0x40), data = counting(600, 0x80);
	for (size_t failing = 1; failing <= 3; ++failing) {
		SCOPED_TRACE(testing::Message() << "piece " << failing << " refused");
		sim::Token token(sim::issue_token());
		RecordingCard recorder(token);
		// the old note goes in 9 pieces first
		sim::FaultyCard faulty(recorder,
		                       sim::FaultPlan{sim::Fault::kStatus, 0xD7, 9 + failing});
		sim::InProcessToken handler(faulty);
		InitLib(handler.table());
		FreeReaderStruct(cur_context.pCurReader);
		cur_context = LogicDLLContext{};
		ASSERT_EQ(ConnectToMekta(false), 0u);
		ASSERT_EQ(VerifyPIN("1234", false), 0u);
		ASSERT_EQ(WriteNote(old_note.data(), 247 * 4, 0, false), 0u);
		ASSERT_EQ(WriteNote(old_note.data() + 988, 1012, 988, false), 0u);
		recorder.exchanges.clear();

		EXPECT_EQ(WriteNote(data.data(), 600, 100, false), 120u);
		size_t sent = 0;
		for (const auto &exchange : recorder.exchanges)
			sent += exchange.first[1] == 0xD7;
		EXPECT_EQ(sent, failing);
		Bytes expected = old_note;
		const size_t taken = std::min<size_t>(600, 247 * failing);
		std::copy(data.begin(), data.begin() + static_cast<long>(taken),
		          expected.begin() + 100);
		const Bytes &note = token.state().application_files.at(sim::fid::kNote);
		EXPECT_TRUE(std::equal(expected.begin(), expected.end(), note.begin()));
		FreeReaderStruct(cur_context.pCurReader);
		cur_context = LogicDLLContext{};
		InitLib(nullptr);
	}
}

TEST_F(Management, NoteCreatedOnATokenWithoutOne)
{
	sim::IssueOptions options;
	options.note_file = false;
	options.version = 3;
	options.st23l80_chip = true;
	attach(options);
	int ver = -1;
	ASSERT_EQ(GetCardVer(&ver), 0u);
	EXPECT_EQ(ver, 3);
	ASSERT_EQ(CreateNote(), 0u);
	ASSERT_EQ(GetCardVer(&ver), 0u);
	EXPECT_EQ(ver, 4);
	int size = 0, policy = 0;
	ASSERT_EQ(GetNoteInf(&size, &policy, ver, false), 0u);
	EXPECT_EQ(size, 0x30A0);
	EXPECT_EQ(policy, 1);
	EXPECT_EQ(CreateNote(), 120u) << "the file exists";
	EXPECT_EQ(ChangeNotePolicy(4), 125u);
}

// Writes the token's version file as an issuer would, once the
// file-creation password is verified.
unsigned long set_version(int version)
{
	const BYTE file[2] = {0xF1, 0x40};
	const BYTE value[2] = {static_cast<BYTE>(version >> 8), static_cast<BYTE>(version)};
	Bytes password = from_hex(DRAXEL_FILE_CREATION_PASSWORD);
	ReaderStructPtr prs = cur_context.pCurReader;
	unsigned long rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = APDU_VerifyPassword(prs, 0x73, password.data(), 8);
	if (rc == 0)
		rc = APDU_Select(prs, file, 2);
	return rc == 0 ? APDU_UpdateBinary(prs, value, 2, 0) : rc;
}

// The rules that follow the token's version, on one token whose version file
// is rewritten between the steps.
TEST_F(Management, TheVersionDecidesWhoRepairsClearsAndGuards)
{
	sim::IssueOptions options;
	options.trace_buffer = false;
	attach(options);
	// above 14 a missing trace buffer stays missing; up to 14 it is made
	ASSERT_EQ(set_version(15), 0u);
	EXPECT_EQ(RepareTracBuf(), 0u);
	EXPECT_EQ(VerifyPIN("1234", true), 120u);
	ASSERT_EQ(set_version(14), 0u);
	EXPECT_EQ(RepareTracBuf(), 0u);
	ASSERT_EQ(VerifyPIN("1234", true), 0u);

	// below 5 the host clears the note's first 30 bytes: the token lacks
	// the command
	ASSERT_EQ(set_version(4), 0u);
	Bytes note = counting(40, 11), back(40);
	ASSERT_EQ(WriteNote(note.data(), 40, 0, false), 0u);
	EXPECT_EQ(ClearNote(5), 120u);
	ASSERT_EQ(ClearNote(4), 0u);
	int len = 40;
	ASSERT_EQ(ReadNote(back.data(), &len, 0), 0u);
	Bytes expected(30, 0);
	expected.insert(expected.end(), note.begin() + 30, note.end());
	EXPECT_EQ(back, expected);

	// up to 5 the policy is the PIN and stays so; above 5 it is the token's
	ASSERT_EQ(set_version(18), 0u);
	EXPECT_EQ(ChangeNotePolicy(5), 125u);
	ASSERT_EQ(ChangeNotePolicy(6), 0u);
	int size = 0, policy = 0;
	ASSERT_EQ(GetNoteInf(&size, &policy, 6, false), 0u);
	EXPECT_EQ(policy, 2);
	ASSERT_EQ(GetNoteInf(&size, &policy, 5, false), 0u);
	EXPECT_EQ(policy, 1);

	// from 5 the token clears the whole note
	ASSERT_EQ(VerifyNotePas("4321", false), 0u);
	ASSERT_EQ(ClearNote(5), 0u);
	len = 40;
	ASSERT_EQ(ReadNote(back.data(), &len, 0), 0u);
	EXPECT_EQ(back, Bytes(40, 0));
}

// ---- duplication and maintenance ---------------------------------------------

TEST_F(Management, ClearingNeedsTheErasePasswordAndRestoringThePuk)
{
	attach();
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	ASSERT_EQ(CreateGroup("team", "phrase"), 0u);
	std::string text, back;
	ASSERT_EQ(encrypt("kept in the duplicate", 3, "phrase", "team", text), 0u);
	int size = 0;
	EXPECT_EQ(GetDublData("00000000", nullptr, &size), 149u);
	ASSERT_EQ(GetDublData("12345678", nullptr, &size), 0u);
	std::string duplicate(static_cast<size_t>(size), '\0');
	int short_size = size - 1;
	EXPECT_EQ(GetDublData("12345678", duplicate.data(), &short_size), 106u);
	EXPECT_EQ(short_size, size - 1);
	ASSERT_EQ(GetDublData("12345678", duplicate.data(), &size), 0u);
	EXPECT_EQ(size, static_cast<int>(std::strlen(duplicate.c_str())) + 1);

	power_cycle();
	EXPECT_EQ(CleanCard(18), 104u) << "neither the erase password nor the PUK";
	ASSERT_EQ(VerifyErasePas("00000000"), 0u);
	ASSERT_EQ(CleanCard(18), 0u);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	EXPECT_EQ(decrypt(text, 3, "phrase", "team", back), 117u) << "the group went";

	ASSERT_EQ(SetDublData("12345678", loosened(duplicate.c_str()).c_str(), 0), 0u);
	ASSERT_EQ(decrypt(text, 3, "phrase", "team", back), 0u);
	EXPECT_EQ(back, "kept in the duplicate");
}

TEST_F(Management, DsKeyFromVersion18WithThePinAndTheSerialNumber)
{
	attach();
	EXPECT_EQ(GenDSKey(18), 104u);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	EXPECT_EQ(GenDSKey(17), 125u);
	EXPECT_FALSE(state().ds_key.has_value());
	EXPECT_EQ(GenDSKey(18), 0u);
	EXPECT_TRUE(state().ds_key.has_value());
	char sn[16];
	std::memset(sn, 'x', sizeof sn);
	ASSERT_EQ(GetSN(sn), 0u);
	EXPECT_EQ(sn[14], '\0');
	EXPECT_EQ(sn[15], 'x');
	EXPECT_EQ(from_hex(sn), Bytes(state().serial.begin(), state().serial.end()));
}

// ---- against a scripted token -----------------------------------------------

using Commands = std::vector<std::string>;

// A second record on the same scripted token, its own status word kept.
class ManagementScript : public ScriptedTest {
protected:
	void TearDown() override
	{
		FreeReaderStruct(second);
		ScriptedTest::TearDown();
	}
	ReaderStructPtr second = AllocReaderStruct(nullptr);
};

const std::string kLong(256, 'p');

// Every operation refuses what it cannot send before any command, and
// records 102: null, empty or overlong passwords, names of 64 bytes, join
// texts that are not hex or do not fit, note pieces past offset FFFF,
// duplicate texts that do not parse, key sources that are not 160 bytes.
TEST_F(ManagementScript, ArgumentsAreRefusedBeforeAnyCommand)
{
	const std::string name64(64, 'n'), request256 = to_hex(counting(256));
	const std::string invite128 = to_hex(counting(128));
	Bytes buf(300), source(160);
	int size = 0;
	unsigned long ul = 0;
	cur_context.pSecondReader = second;
	const char *const l = kLong.c_str();
	std::vector<Call> calls = {
	        NAMED(VerifyPIN(l, false)),
	        NAMED(VerifyNotePas(l, true)),
	        NAMED(VerifyPUK(nullptr)),
	        NAMED(VerifyPUK(l)),
	        NAMED(VerifyErasePas(nullptr)),
	        NAMED(UnblockPIN(nullptr, "1234")),
	        NAMED(UnblockPIN("", "1234")),
	        NAMED(UnblockNotePas("12345678", l)),
	        NAMED(ChangePIN("", "5678")),
	        NAMED(ChangePIN("1234", nullptr)),
	        NAMED(ChangePUK(l, "87654321")),
	        NAMED(ChangeErasePas("00000000", l)),
	        NAMED(ChangeNotePas("4321", "")),
	        NAMED(GetPUKFlag(nullptr)),
	        NAMED(GetGroupList(nullptr, nullptr)),
	        NAMED(CreateInviteForGroup("team", "A1B2C", nullptr, &size)),
	        NAMED(CreateInviteForGroup("team", "A1 G2", nullptr, &size)),
	        NAMED(CreateInviteForGroup("team", "", nullptr, &size)),
	        NAMED(CreateInviteForGroup("team", request256.c_str(), nullptr, &size)),
	        NAMED(CreateInviteForGroup("team", "AABB", nullptr, nullptr)),
	        NAMED(AcceptInviteForGroup(invite128.c_str(), "team", "phrase")),
	        NAMED(AcceptInviteForGroup(nullptr, "team", "phrase")),
	        NAMED(CreateRequestForGroup("phrase", nullptr, nullptr)),
	        NAMED(size = 10, ReadNote(nullptr, &size, 0)),
	        NAMED(ReadNote(buf.data(), nullptr, 0)),
	        NAMED(size = 0, ReadNote(buf.data(), &size, 0)),
	        NAMED(size = -1, ReadNote(buf.data(), &size, 0)),
	        NAMED(size = 1, ReadNote(buf.data(), &size, -1)),
	        NAMED(size = 2, ReadNote(buf.data(), &size, 0xFFFF)),
	        NAMED(WriteNote(nullptr, 10, 0, false)),
	        NAMED(WriteNote(buf.data(), 0, 0, false)),
	        NAMED(WriteNote(buf.data(), -5, 0, false)),
	        NAMED(WriteNote(buf.data(), 1, -1, false)),
	        NAMED(WriteNote(buf.data(), 300, 0xFF00, false)),
	        NAMED(GetNoteInf(nullptr, &size, 6, false)),
	        NAMED(GetNoteInf(&size, nullptr, 6, false)),
	        NAMED(GetDublData(l, nullptr, &size)),
	        NAMED(SetDublData(l, "0101AA", 0)),
	        NAMED(SetDublData("12345678", nullptr, 0)),
	        NAMED(SetDublData(nullptr, "0101AA", 0)),
	        NAMED(MakeDublCard(nullptr, "87654321")),
	        NAMED(MakeDublCard("12345678", l)),
	        NAMED(ChangeKeys(source.data(), 160, l)),
	        NAMED(ChangeKeys(source.data(), 160, nullptr)),
	        NAMED(ChangeKeys(nullptr, 160, "11111111")),
	        NAMED(size = 159, GetKeys(source.data(), &size)),
	        NAMED(size = 160, GetKeys(nullptr, &size)),
	        NAMED(GetKeys(source.data(), nullptr)),
	        NAMED(GetSN(nullptr)),
	        NAMED(GetCardVer(nullptr)),
	};
	for (const char *bad : {name64.c_str(), "", static_cast<const char *>(nullptr)}) {
		std::string what =
		        bad == nullptr ? " null" : " of " + std::to_string(std::string(bad).size());
		calls.push_back({"CreateGroup" + what, [=] { return CreateGroup("team", bad); }});
		calls.push_back({"RenameGroup" + what, [=] { return RenameGroup(bad, "team"); }});
		calls.push_back(
		        {"ChangePasPhrGroup" + what, [=] { return ChangePasPhrGroup(bad, "p"); }});
		calls.push_back({"DeleteGroup" + what, [=] { return DeleteGroup(bad); }});
		calls.push_back({"accept" + what,
		                 [=] { return AcceptInviteForGroup("AABB", "team", bad); }});
	}
	for (const char *text : {"", "  ", "0100", "0203AABBCC", "0103AABB", "0103AABBCC01",
	                         "0103AABBCC0200", "0103AABBCC0101", "0103AABBCX", "0103AABBC"})
		calls.push_back({std::string("duplicate text ") + text,
		                 [=] { return SetDublData("12345678", text, 0); }});
	for (const auto &[name, call] : calls) {
		cur_context.error = 0;
		EXPECT_EQ(call(), 102u) << name;
		EXPECT_EQ(cur_context.error, 102u) << name;
	}
	EXPECT_EQ(MakeKeysFromBuf(nullptr, source.data(), 160), 102u); // records nothing
	EXPECT_EQ(MakeKeysFromBuf(buf.data(), source.data(), 159), 102u);

	// without the token (or second token) they need
	cur_context.pSecondReader = nullptr;
	EXPECT_EQ(WriteNote(buf.data(), 1, 0, true), 116u);
	EXPECT_EQ(MakeDublCard("12345678", "87654321"), 116u);
	cur_context.pCurReader = nullptr;
	EXPECT_EQ(VerifyPIN("1234", false), 116u);
	EXPECT_EQ(GetGroupList(nullptr, &ul), 116u);
	EXPECT_EQ(cur_context.error, 116u);
	cur_context.pCurReader = record;
	EXPECT_TRUE(sent().empty());

	// what still fits goes out
	const std::string longest(255, 'p'), invite127 = to_hex(counting(127));
	replies(2);
	EXPECT_EQ(VerifyPUK(longest.c_str()), 0u);
	EXPECT_EQ(sent().back(), "00200007FF" + hex_text(longest));
	replies(2);
	EXPECT_EQ(AcceptInviteForGroup(invite127.c_str(), "team", "phrase"), 0u);
	EXPECT_EQ(sent().back(),
	          "803C0300FF" + invite127 + to_hex(field("team")) + to_hex(field("phrase")));
	replies(3);
	EXPECT_EQ(WriteNote(buf.data(), 1, 0xFFFF, false), 0u);
	EXPECT_EQ(sent().back().substr(0, 18), "00D70000075402FFFF");

	// two refusals that come from the command layer, after the selection
	token.reply("9000");
	EXPECT_EQ(VerifyPUK(""), 3u);
	token.reply("9000");
	EXPECT_EQ(ChangeKeys(source.data(), 159, "11111111"), 102u);
	EXPECT_EQ(Commands(sent().end() - 2, sent().end()), Commands(2, kSelectApp));
}

// Group lists no sound token gives: a name not ended within its field, a
// partial entry, a list that never ends.
TEST_F(ManagementScript, DamagedGroupListsAreRefused)
{
	auto version_18 = [this] {
		replies(2);
		token.reply("00129000");
	};
	const std::string entry_a = to_hex(field("a")) + "01";
	for (const std::string &answer : {std::string(128, 'A') + "01", entry_a + "00"}) {
		version_18();
		token.reply(answer + "9000");
		unsigned long len = 0;
		EXPECT_EQ(GetGroupList(nullptr, &len), 126u);
	}
	version_18();
	for (int i = 0; i < 1024 / 3 + 1; ++i)
		token.reply(entry_a + entry_a + entry_a + "9000");
	std::vector<char> list(70000);
	unsigned long len = list.size();
	EXPECT_EQ(GetGroupList(list.data(), &len), 126u);
	EXPECT_EQ(cur_context.error, 126u);
}

// The note's size and policy answers: anything but the forms a token gives
// is 101.
TEST_F(ManagementScript, NoteAnswersOfAnotherFormAre101)
{
	const std::string fcp = "620C8002FF008201018302F210"
	                        "9000";
	int size = 0, policy = 0;
	const std::vector<std::pair<std::vector<std::string>, unsigned long>> answers = {
	        {{fcp, "059000"}, 0},   {{fcp, "119000"}, 0}, {{fcp, "05119000"}, 101},
	        {{fcp, "079000"}, 101}, {{fcp, "9000"}, 101}, {{"620C80029000"}, 101}};
	for (const auto &[replies_after_select, code] : answers) {
		replies(1);
		for (const std::string &reply : replies_after_select)
			token.reply(reply);
		EXPECT_EQ(GetNoteInf(&size, &policy, 18, false), code)
		        << replies_after_select.back();
	}
}

// Below version 5 clearing the token clears the note's start from the host
// too (the software token clears all of it itself).
TEST_F(ManagementScript, CleaningAnOldTokenClearsTheNoteFromTheHost)
{
	replies(5);
	EXPECT_EQ(CleanCard(4), 0u);
	EXPECT_EQ(sent(), (Commands{kSelectApp, "8038000000", kSelectApp, "00A4000C02F210",
	                            "00D700002454020000531E" + std::string(60, '0')}));
	replies(2);
	EXPECT_EQ(CleanCard(5), 0u);
	EXPECT_EQ(sent().back(), "8038000000");
}

// A read refused after its first piece hands out nothing.
TEST_F(ManagementScript, AFailedReadWritesNothing)
{
	replies(2);
	token.reply("5381C8" + to_hex(counting(200)) + "9000");
	token.reply("6982");
	Bytes out(400, 0xEE);
	int len = 400;
	EXPECT_EQ(ReadNote(out.data(), &len, 0), 104u);
	EXPECT_EQ(len, 400);
	EXPECT_EQ(out, Bytes(400, 0xEE));
}

// Duplicate pieces longer than a record (254) or a command (255) take.
TEST_F(ManagementScript, DuplicatePiecesTooLongArePassedNowhere)
{
	replies(2);
	token.reply(to_hex(counting(254)) + "9000");
	token.reply(to_hex(counting(255)) + "9000");
	int size = 0;
	EXPECT_EQ(GetDublData("12345678", nullptr, &size), 8u);
	EXPECT_EQ(cur_context.error, 8u);

	cur_context.pSecondReader = second; // the second token shares the script
	replies(5);
	token.reply(to_hex(counting(255)) + "9000");
	replies(1);
	token.reply(to_hex(counting(256)) + "9000");
	EXPECT_EQ(MakeDublCard("12345678", "87654321"), 8u);
	EXPECT_EQ(sent()[sent().size() - 2], "90340200FF" + to_hex(counting(255)));
	EXPECT_EQ(sent().back(), "9034010000") << "the 256-byte piece goes nowhere";
}

// A note written to the second token holds that token, not the first, from
// its selection to its last piece: no other program's command between them.
TEST_F(ManagementScript, TheSecondTokensNoteIsWrittenInItsOwnTransaction)
{
	cur_context.pSecondReader = second;
	std::vector<unsigned> depths;
	token.on_command = [&] { depths.push_back(second->lock_depth); };
	replies(4);
	Bytes note(300, 'n');
	EXPECT_EQ(WriteNote(note.data(), static_cast<int>(note.size()), 0, true), 0u);
	EXPECT_EQ(depths, (std::vector<unsigned>{2, 2, 2, 2})) << "the operation's and Transmit's";
}

// The second token is cleared only once both PUKs are verified; its
// refusals are judged by its own status word.
TEST_F(ManagementScript, CopyClearsTheSecondTokenOnlyAfterBothPuks)
{
	const std::string verify_puk = "0020000708" + hex_text("12345678");
	const std::string verify_second = "0020000708" + hex_text("87654321");
	cur_context.pSecondReader = second;
	replies(5);
	token.reply("AABB9000");
	replies(3);
	EXPECT_EQ(MakeDublCard("12345678", "87654321"), 0u);
	EXPECT_EQ(sent(), (Commands{kSelectApp, verify_puk, kSelectApp, verify_second, "8038000000",
	                            "9034010000",
	                            "90340200"
	                            "02AABB",
	                            "9034010000", "8034020000"}));

	for (const char *refusal : {"63C2", "6982"}) {
		size_t before = sent().size();
		replies(1);
		token.reply(refusal); // the first PUK
		EXPECT_EQ(MakeDublCard("12345678", "87654321"), refusal[1] == '3' ? 142u : 104u);
		replies(3);
		token.reply(refusal); // the second PUK
		EXPECT_EQ(MakeDublCard("12345678", "87654321"), refusal[1] == '3' ? 142u : 104u);
		EXPECT_EQ(sent().size(), before + 6) << "nothing cleared";
		EXPECT_NE(sent().back(), "8038000000");
	}
}

} // namespace
