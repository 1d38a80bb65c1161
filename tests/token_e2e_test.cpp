// Software tokens through the real pcscd: draxel-token-sim daemons in the two
// vpcd readers (T=1 in the first, T=0 with 61xx behind every reply with data
// in the second). Messages and files in every mode, the join exchange and
// the copy of one token onto the other (the duplicate text's restore is
// management_test.cpp's and the tool's); one token taken through the
// versions whose rules the operations follow; a token's state kept across
// a restart of its daemon. Starting a daemon and waiting for pcscd to see
// it is what costs time, so each test does all it can with its daemons.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "support/fixtures.h"
#include "support/virtual_card.h"

using namespace draxel::test;

namespace {

class TokenReaders : public ::testing::Test {
protected:
	void SetUp() override
	{
		InitLib(nullptr);
		cur_context = LogicDLLContext{};
	}
	void TearDown() override
	{
		FreeReaderStruct(first);
		FreeReaderStruct(second);
		cur_context = LogicDLLContext{};
		if (hSC != 0)
			CloseReaderContext();
	}
	// Makes the token in prs the one the operations use.
	static void use(ReaderStructPtr prs) { cur_context.pCurReader = prs; }

	ReaderStructPtr first = nullptr;
	ReaderStructPtr second = nullptr;
};

// Every mode, token and fast, in chunks that cross the 232-byte blocks; the
// many other splits run in-process (encrypt_test.cpp), where they cost less.
void messages_and_files(const char *group, const char *group_phrase)
{
	std::mt19937 rng(2024);
	Bytes data(600);
	std::generate(data.begin(), data.end(), [&rng] { return static_cast<uint8_t>(rng()); });
	for (int mode = 1; mode <= 3; mode++) {
		const char *g = mode == 3 ? group : nullptr;
		const char *phrase = mode == 3 ? group_phrase : "pcsc phrase";
		std::string message(233, static_cast<char>('a' + mode)), text, back;
		ASSERT_EQ(encrypt(message, mode, phrase, g, text), 0u) << mode;
		ASSERT_EQ(decrypt(text, mode, phrase, g, back), 0u) << mode;
		EXPECT_EQ(back, message);
		for (int fast : {0, kFast}) {
			SCOPED_TRACE(testing::Message() << "mode " << mode << " fast " << fast);
			Bytes file, plain;
			ASSERT_EQ(file_op(true, data, {248, 248, 104}, mode, phrase, g, fast, file),
			          0u);
			size_t head = fast && mode == 3 ? 80 : 48;
			ASSERT_EQ(file.size(), head + data.size() + 4);
			ASSERT_EQ(file_op(false, file, {head + 248, 248, 108}, mode, phrase, g, 0,
			                  plain),
			          0u);
			EXPECT_EQ(plain, data);
		}
	}
}

TEST_F(TokenReaders, TwoTokensEncryptJoinAGroupAndOneIsCopiedOntoTheOther)
{
	VirtualCard card_a = VirtualCard::token(0);
	VirtualCard card_b = VirtualCard::token(1, {"--t0", "--puk", "87654321"});
	ASSERT_TRUE(card_a.attached() && card_b.attached());
	ASSERT_EQ(ConnectToMekta(false), 0u);
	ASSERT_EQ(ConnectToSecondMekta(), 0u);
	first = cur_context.pCurReader;
	second = cur_context.pSecondReader;
	ASSERT_FALSE(IsReaderProtocolT0(first));
	ASSERT_TRUE(IsReaderProtocolT0(second));

	use(first);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	ASSERT_EQ(CreateGroup("team", "alpha phrase"), 0u);
	ASSERT_NO_FATAL_FAILURE(messages_and_files("team", "alpha phrase"));

	// the join exchange
	use(second);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	std::string request(600, '\0');
	int len = static_cast<int>(request.size());
	ASSERT_EQ(CreateRequestForGroup("beta phrase", request.data(), &len), 0u);
	use(first);
	std::string invite(600, '\0');
	len = static_cast<int>(invite.size());
	EXPECT_EQ(CreateInviteForGroup("nobody", request.c_str(), invite.data(), &len), 117u);
	ASSERT_EQ(CreateInviteForGroup("team", loosened(request.c_str()).c_str(), invite.data(),
	                               &len),
	          0u);
	use(second);
	EXPECT_EQ(AcceptInviteForGroup(invite.c_str(), "our team", "wrong phrase"), 113u);
	ASSERT_EQ(AcceptInviteForGroup(invite.c_str(), "our team", "beta phrase"), 0u);
	EXPECT_EQ(GetLastErrorCode(), 0u);
	unsigned long list_len = 0;
	ASSERT_EQ(GetGroupList(nullptr, &list_len), 0u);
	EXPECT_EQ(list_len, 1 + 8 + 1u);
	ASSERT_NO_FATAL_FAILURE(messages_and_files("our team", "beta phrase"));
	// what only the administrator may do
	len = static_cast<int>(invite.size());
	EXPECT_EQ(CreateInviteForGroup("our team", request.c_str(), invite.data(), &len), 122u);
	EXPECT_EQ(GetLastErrorCode(), 5u) << "the exchange's own transport code";
	EXPECT_EQ(ChangePasPhrGroup("our team", "mine now"), 122u);

	std::string from_a, from_b, back;
	use(first);
	ASSERT_EQ(encrypt("from the administrator", 3, "alpha phrase", "team", from_a), 0u);
	use(second);
	ASSERT_EQ(encrypt("from the member", 3, "beta phrase", "our team", from_b), 0u);
	ASSERT_EQ(decrypt(from_a, 3, "beta phrase", "our team", back), 0u);
	EXPECT_EQ(back, "from the administrator");
	EXPECT_EQ(decrypt(from_a, 3, "alpha phrase", "our team", back), 113u)
	        << "each token keeps its own pass phrase";
	use(first);
	ASSERT_EQ(decrypt(from_b, 3, "alpha phrase", "team", back), 0u);
	EXPECT_EQ(back, "from the member");

	// the copy: the second token becomes the first, groups included
	std::string text;
	ASSERT_EQ(encrypt("enciphered by the original", 1, "phrase", nullptr, text), 0u);
	Bytes note = counting(200, 5);
	ASSERT_EQ(WriteNote(note.data(), 200, 100, false), 0u);
	EXPECT_EQ(MakeDublCard("12345678", "12345678"), 149u) << "the second token's PUK";
	use(second);
	ASSERT_EQ(decrypt(from_b, 3, "beta phrase", "our team", back), 0u) << "not cleared";
	use(first);
	ASSERT_EQ(MakeDublCard("12345678", "87654321"), 0u);
	use(second);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	ASSERT_EQ(decrypt(text, 1, "phrase", nullptr, back), 0u);
	EXPECT_EQ(back, "enciphered by the original");
	ASSERT_EQ(decrypt(from_a, 3, "alpha phrase", "team", back), 0u);
	EXPECT_EQ(back, "from the administrator");

	// the note goes across separately, written through the second reader
	use(first);
	Bytes read(200);
	len = 200;
	ASSERT_EQ(ReadNote(read.data(), &len, 100), 0u);
	ASSERT_EQ(WriteNote(read.data(), len, 100, true), 0u);
	int note_size = 0, policy = 0;
	ASSERT_EQ(GetNoteInf(&note_size, &policy, 0, true), 0u);
	EXPECT_EQ(note_size, 65280);
	EXPECT_EQ(policy, 1);
	use(second);
	len = 200;
	ASSERT_EQ(ReadNote(read.data(), &len, 100), 0u);
	EXPECT_EQ(read, note);
}

// Sets the token's version as an issuer would: the version file may be
// written once the file-creation password is verified.
unsigned long set_version(ReaderStructPtr prs, int version)
{
	const BYTE version_file[2] = {0xF1, 0x40};
	const BYTE value[2] = {static_cast<BYTE>(version >> 8), static_cast<BYTE>(version)};
	Bytes password = from_hex(DRAXEL_FILE_CREATION_PASSWORD);
	unsigned long rc = APDU_SelectApplication(prs);
	if (rc == 0)
		rc = APDU_VerifyPassword(prs, 0x73, password.data(), 8);
	if (rc == 0)
		rc = APDU_Select(prs, version_file, 2);
	if (rc == 0)
		rc = APDU_UpdateBinary(prs, value, 2, 0);
	return rc;
}

// The version rules, on a token whose version file is rewritten between
// the steps; then its state kept across a restart of the daemon.
TEST_F(TokenReaders, OneTokenThroughTheVersionsAndARestart)
{
	char dir_template[] = "/tmp/draxel-token-XXXXXX";
	ASSERT_NE(mkdtemp(dir_template), nullptr);
	const std::string state = std::string(dir_template) + "/token.state";
	VirtualCard card = VirtualCard::token(0, {"--no-trace-buffer", "--state", state});
	ASSERT_TRUE(card.attached());
	ASSERT_EQ(ConnectToMekta(false), 0u);
	first = cur_context.pCurReader;

	// above 14 a missing trace buffer stays missing; up to 14 it is made
	ASSERT_EQ(set_version(first, 15), 0u);
	EXPECT_EQ(RepareTracBuf(), 0u);
	EXPECT_EQ(VerifyPIN("1234", true), 120u);
	ASSERT_EQ(set_version(first, 14), 0u);
	EXPECT_EQ(RepareTracBuf(), 0u);
	ASSERT_EQ(VerifyPIN("1234", true), 0u);

	// below 5 the host clears the note's first 30 bytes: the token lacks
	// the command
	ASSERT_EQ(set_version(first, 4), 0u);
	int ver = 0;
	ASSERT_EQ(GetCardVer(&ver), 0u);
	EXPECT_EQ(ver, 4);
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
	ASSERT_EQ(set_version(first, 18), 0u);
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

	// above 17 the token generates its DS key
	EXPECT_EQ(GenDSKey(17), 125u);
	EXPECT_EQ(GenDSKey(18), 0u);

	// a new PIN and a spent try survive the daemon's restart
	ASSERT_EQ(ChangePIN("1234", "98765"), 0u);
	EXPECT_EQ(VerifyPIN("0000", false), 142u);
	card.pull();
	VirtualCard again = VirtualCard::token(0, {"--state", state});
	ASSERT_TRUE(again.attached());
	FreeReaderStruct(first);
	first = nullptr;
	ASSERT_EQ(ConnectToMekta(false), 0u);
	first = cur_context.pCurReader;
	EXPECT_EQ(VerifyPIN("1234", false), 141u);
	EXPECT_EQ(VerifyPIN("98765", false), 0u);
	ASSERT_EQ(GetNoteInf(&size, &policy, 18, false), 0u);
	EXPECT_EQ(policy, 2) << "and so does the note's policy";
	unlink(state.c_str());
	rmdir(dir_template);
}

} // namespace
