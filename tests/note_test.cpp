// The secure note and the trace buffer file: pieces, offsets and version
// rules against a scripted token; the note's guard and creation against the
// software token.
#include <functional>
#include <string>
#include <vector>

#include "management_fixture.h"

using namespace draxel::test;

namespace {

using Commands = std::vector<std::string>;

const std::string kFileCreation = to_hex(from_hex(DRAXEL_FILE_CREATION_PASSWORD));
const std::string kSelectNote = select_file("F210");

std::string packed(std::string_view spaced)
{
	return to_hex(from_hex(spaced));
}

class NoteScript : public ScriptedManagement {
protected:
	// The bytes ReadNote handed out, after it returned 0.
	Bytes read(int wanted, int offset, int* got)
	{
		Bytes out(static_cast<size_t>(wanted), 0xEE);
		*got = wanted;
		EXPECT_EQ(ReadNote(out.data(), got, offset), 0u);
		out.resize(static_cast<size_t>(*got));
		return out;
	}
	// SELECT of the application, the version read (version v), SELECT 3F00.
	void up_to_master_file(int version)
	{
		replies(2);
		token.reply(hex16(static_cast<size_t>(version)) + "9000");
		replies(1);
	}
};

TEST_F(NoteScript, ReadsInPiecesUntilDoneOrTheNoteEnds)
{
	replies(2);
	for (int i = 0; i < 3; ++i)
		token.reply(read_answer(counting(200, static_cast<uint8_t>(i * 200))));
	int got = 0;
	EXPECT_EQ(read(600, 0, &got), counting(600));
	EXPECT_EQ(sent(), (Commands{kSelectApp, kSelectNote, read_binary(0), read_binary(200),
	                            read_binary(400)}));

	replies(2);
	token.reply(read_answer(counting(200)));
	token.reply(read_answer(counting(100, 200)));
	token.reply("6B00");
	EXPECT_EQ(read(600, 0, &got), counting(300)) << "6B00: the note ended";

	replies(2);
	token.reply(read_answer(counting(200)));
	EXPECT_EQ(read(100, 7, &got), counting(100)) << "only what was asked for";
	EXPECT_EQ(sent().back(), read_binary(7));

	replies(2);
	token.reply(read_answer(counting(200)));
	token.reply("9000");
	EXPECT_EQ(read(600, 0, &got), counting(200)) << "an answer without data ends the read";
	EXPECT_EQ(token.pending_replies(), 0u);
}

TEST_F(NoteScript, FailedReadWritesNothing)
{
	replies(2);
	token.reply(read_answer(counting(200)));
	token.reply("6982");
	Bytes out(400, 0xEE);
	int len = 400;
	EXPECT_EQ(ReadNote(out.data(), &len, 0), 104u);
	EXPECT_EQ(len, 400);
	EXPECT_EQ(out, Bytes(400, 0xEE));
}

TEST_F(NoteScript, WritesInPiecesOf247Bytes)
{
	Bytes data = counting(500);
	replies(5);
	EXPECT_EQ(WriteNote(data.data(), 500, 10, false), 0u);
	EXPECT_EQ(sent(), (Commands{kSelectApp, kSelectNote,
	                            update_binary(10, Bytes(data.begin(), data.begin() + 247)),
	                            update_binary(257, Bytes(data.begin() + 247, data.begin() + 494)),
	                            update_binary(504, Bytes(data.begin() + 494, data.end()))}));
}

TEST_F(NoteScript, SizesAndOffsetsOutsideTwoOffsetBytesAreRefused)
{
	Bytes buf(300);
	int size = 0;
	const std::vector<std::pair<const char*, std::function<unsigned long()>>> calls = {
		{"read null", [&] { return size = 10, ReadNote(nullptr, &size, 0); }},
		{"read null size", [&] { return ReadNote(buf.data(), nullptr, 0); }},
		{"read 0", [&] { return size = 0, ReadNote(buf.data(), &size, 0); }},
		{"read negative", [&] { return size = -1, ReadNote(buf.data(), &size, 0); }},
		{"read at -1", [&] { return size = 1, ReadNote(buf.data(), &size, -1); }},
		{"read past FFFF", [&] { return size = 2, ReadNote(buf.data(), &size, 0xFFFF); }},
		{"write null", [&] { return WriteNote(nullptr, 10, 0, false); }},
		{"write 0", [&] { return WriteNote(buf.data(), 0, 0, false); }},
		{"write negative", [&] { return WriteNote(buf.data(), -5, 0, false); }},
		{"write at -1", [&] { return WriteNote(buf.data(), 1, -1, false); }},
		{"write wrapping", [&] { return WriteNote(buf.data(), 300, 0xFF00, false); }},
		{"info null size", [&] { return GetNoteInf(nullptr, &size, 6, false); }},
		{"info null policy", [&] { return GetNoteInf(&size, nullptr, 6, false); }},
	};
	for (const auto& [name, call] : calls)
		EXPECT_EQ(call(), 102u) << name;
	EXPECT_EQ(WriteNote(buf.data(), 1, 0, true), 101u) << "no second reader";
	EXPECT_TRUE(sent().empty());

	replies(3);
	EXPECT_EQ(WriteNote(buf.data(), 1, 0xFFFF, false), 0u);
	EXPECT_EQ(sent().back(), update_binary(0xFFFF, Bytes{0}));
	replies(2);
	token.reply("6B00");
	size = 1;
	EXPECT_EQ(ReadNote(buf.data(), &size, 0xFFFF), 0u);
	EXPECT_EQ(size, 0);
}

TEST_F(NoteScript, ClearingByVersion)
{
	replies(3);
	EXPECT_EQ(ClearNote(4), 0u);
	EXPECT_EQ(sent().back(), update_binary(0, Bytes(30, 0)));
	replies(3);
	EXPECT_EQ(ClearNote(5), 0u);
	EXPECT_EQ(sent().back(), "8038020000");
	EXPECT_EQ(sent().size(), 6u);
}

TEST_F(NoteScript, InformationAndPolicyByVersion)
{
	const std::string fcp = "620C 8002FF00 820101 8302F210" "9000";
	int size = 0, policy = 0;
	replies(1);
	token.reply(fcp);
	token.reply("119000");
	EXPECT_EQ(GetNoteInf(&size, &policy, 6, false), 0u);
	EXPECT_EQ(size, 0xFF00);
	EXPECT_EQ(policy, 2);
	EXPECT_EQ(sent(), (Commands{kSelectApp, "00A4000002F210", "8032010000"}));

	replies(1);
	token.reply(fcp);
	EXPECT_EQ(GetNoteInf(&size, &policy, 5, false), 0u);
	EXPECT_EQ(policy, 1) << "no policy query up to version 5";
	EXPECT_EQ(sent().size(), 5u);

	const std::vector<std::pair<const char*, unsigned long>> answers = {
		{"059000", 0}, {"119000", 0}, {"0511" "9000", 101}, {"079000", 101}, {"9000", 101}};
	for (const auto& [answer, code] : answers) {
		replies(1);
		token.reply(fcp);
		token.reply(answer);
		EXPECT_EQ(GetNoteInf(&size, &policy, 18, false), code) << answer;
	}
	replies(1);
	token.reply("620C8002" "9000");
	EXPECT_EQ(GetNoteInf(&size, &policy, 6, false), 101u) << "no room for the size";

	EXPECT_EQ(ChangeNotePolicy(5), 125u);
	replies(2);
	EXPECT_EQ(ChangeNotePolicy(6), 0u);
	EXPECT_EQ(sent().back(), "8032020000");
}

TEST_F(NoteScript, TraceBufferRepairByVersion)
{
	const std::string fill = update_binary(0, Bytes(240, 0x01));
	up_to_master_file(15);
	token.reply("6A82");
	EXPECT_EQ(RepareTracBuf(), 0u);
	EXPECT_EQ(sent().size(), 5u) << "left missing above version 14";

	up_to_master_file(14);
	token.reply("6A82");
	replies(4);
	EXPECT_EQ(RepareTracBuf(), 0u);
	Commands tail(sent().end() - 5, sent().end());
	EXPECT_EQ(tail, (Commands{select_file("F190"), "0020007308" + kFileCreation,
	                          packed("00E0000015 6213 80020100 820101 8302F190 8606FFFFFF000000"),
	                          fill, fill}));

	up_to_master_file(18);
	replies(3);
	EXPECT_EQ(RepareTracBuf(), 0u);
	EXPECT_EQ(sent().back(), fill);
	EXPECT_EQ(sent()[sent().size() - 2], fill);
}

TEST_F(NoteScript, CreationPresentsTheBuildsFileCreationPassword)
{
	token.reply("8007" + hex_text("ST23L80") + "00" "9000");
	replies(6);
	EXPECT_EQ(CreateNote(), 0u);
	EXPECT_EQ(sent(), (Commands{"80FE000000", select_file("3F00"), "0020007308" + kFileCreation,
	                            kSelectApp,
	                            packed("00E0000015 6213 800230A0 820101 8302F210 8606 00FFFF050505"),
	                            select_file("F140"), update_binary(0, Bytes{0x00, 0x04})}));
}

// ---- against the software token -------------------------------------------

class NoteToken : public InProcessManagement {};

TEST_F(NoteToken, GuardedByThePasswordOfItsPolicy)
{
	attach();
	Bytes note = counting(3000, 9), back(3000);
	int len = 100;
	EXPECT_EQ(ReadNote(back.data(), &len, 0), 104u);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	ASSERT_EQ(WriteNote(note.data(), 3000, 1000, false), 0u);
	for (int at = 0; at < 3000; at += 700) {
		len = std::min(700, 3000 - at);
		ASSERT_EQ(ReadNote(back.data() + at, &len, 1000 + at), 0u);
		EXPECT_EQ(len, std::min(700, 3000 - at));
	}
	EXPECT_EQ(back, note);
	len = 300;
	ASSERT_EQ(ReadNote(back.data(), &len, 65280 - 100), 0u);
	EXPECT_EQ(len, 100) << "the note's end";

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
	EXPECT_EQ(Bytes(back.begin(), back.begin() + 10), Bytes(10, 0));
}

TEST_F(NoteToken, CreatedOnATokenWithoutOne)
{
	draxel::sim::IssueOptions options;
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

	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	Bytes data = counting(40, 1);
	ASSERT_EQ(WriteNote(data.data(), 40, 0, false), 0u);
	ASSERT_EQ(ClearNote(4), 0u);
	Bytes back(40);
	int len = 40;
	ASSERT_EQ(ReadNote(back.data(), &len, 0), 0u);
	EXPECT_EQ(Bytes(back.begin(), back.begin() + 30), Bytes(30, 0)) << "cleared by the host";
	EXPECT_EQ(Bytes(back.begin() + 30, back.end()), Bytes(data.begin() + 30, data.end()));
	EXPECT_EQ(ChangeNotePolicy(4), 125u);
}

} // namespace
