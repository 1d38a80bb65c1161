// The group operations: fields, the list's parsing and the join texts
// against a scripted token; the codes and the join exchange against the
// software token.
#include <cstring>
#include <string>
#include <vector>

#include "management_fixture.h"

using namespace draxel::test;

namespace {

using Commands = std::vector<std::string>;

std::string field(const std::string& text)
{
	return hex_text(text) + std::string(2 * (64 - text.size()), '0');
}

// One entry of the token's list answer.
std::string entry(const std::string& name, uint8_t attribute)
{
	return field(name) + hex_byte(attribute);
}

std::string list_record(const std::string& name, char attribute)
{
	return std::string(1, attribute) + name + std::string(1, '\0');
}

class GroupScript : public ScriptedManagement {
protected:
	// SELECT and the version read of a version-18 token.
	void version_18()
	{
		replies(2);
		token.reply("00129000");
	}
};

TEST_F(GroupScript, NamesFillTheirFieldUpTo63Bytes)
{
	const std::string longest(63, 'n'), too_long(64, 'n');
	replies(2);
	EXPECT_EQ(CreateGroup(longest.c_str(), "phrase"), 0u);
	EXPECT_EQ(sent().back(), "803A010080" + field(longest) + field("phrase"));
	for (const char* bad : {too_long.c_str(), "", static_cast<const char*>(nullptr)}) {
		EXPECT_EQ(CreateGroup("team", bad), 102u);
		EXPECT_EQ(RenameGroup(bad, "team"), 102u);
		EXPECT_EQ(ChangePasPhrGroup(bad, "phrase"), 102u);
		EXPECT_EQ(DeleteGroup(bad), 102u);
		EXPECT_EQ(AcceptInviteForGroup("AABB", "team", bad), 102u);
	}
	EXPECT_EQ(sent().size(), 2u);
}

TEST_F(GroupScript, ListOfTwoAnswersAndItsSizeQuery)
{
	std::string expected = list_record("a", 1) + list_record("bb", 0) + list_record("ccc", 0) +
	                       list_record(std::string(63, 'd'), 1) + list_record("e", 0) +
	                       list_record("f", 7);
	for (bool query : {true, false}) {
		version_18();
		token.reply(entry("a", 1) + entry("bb", 0) + entry("ccc", 0) + "9000");
		token.reply(entry(std::string(63, 'd'), 1) + entry("e", 0) + entry("f", 7) + "9000");
		token.reply("9000");
		std::vector<char> list(expected.size(), 'x');
		unsigned long len = list.size();
		cur_context.error = 117;
		ASSERT_EQ(GetGroupList(query ? nullptr : list.data(), &len), 0u);
		EXPECT_EQ(cur_context.error, 0u) << "the list starts by clearing the error";
		EXPECT_EQ(len, expected.size());
		if (!query) {
			EXPECT_EQ(std::string(list.begin(), list.end()), expected);
		}
	}
	EXPECT_EQ(sent()[3], "903A060000");
	EXPECT_EQ(sent().size(), 12u) << "a size query reads the whole list too";

	version_18();
	token.reply(entry("a", 1) + "9000");
	token.reply("9000");
	char small[2] = {'x', 'x'};
	unsigned long len = sizeof small;
	EXPECT_EQ(GetGroupList(small, &len), 106u);
	EXPECT_EQ(len, 2u);
	EXPECT_EQ(std::string(small, 2), "xx");
}

TEST_F(GroupScript, EmptyListAndOldTokens)
{
	replies(1);
	token.reply("6A82"); // no version file: the old list command
	token.reply("9000");
	unsigned long len = 99;
	char list[1];
	EXPECT_EQ(GetGroupList(list, &len), 0u);
	EXPECT_EQ(len, 0u);
	EXPECT_EQ(sent().back(), "903A050000");
}

TEST_F(GroupScript, DamagedListsAreRefused)
{
	const std::string unterminated = std::string(128, 'A') + "01";
	for (const std::string& answer : {unterminated, entry("a", 1) + "00"}) {
		version_18();
		token.reply(answer + "9000");
		unsigned long len = 0;
		EXPECT_EQ(GetGroupList(nullptr, &len), 126u);
	}

	// a token that never ends its list
	version_18();
	const int answers = 1024 / 3 + 1;
	for (int i = 0; i < answers; ++i)
		token.reply(entry("a", 0) + entry("b", 0) + entry("c", 0) + "9000");
	std::vector<char> list(70000);
	unsigned long len = list.size();
	EXPECT_EQ(GetGroupList(list.data(), &len), 126u);
	EXPECT_EQ(cur_context.error, 126u);
}

TEST_F(GroupScript, RequestAndInviteTexts)
{
	replies(1);
	token.reply("A1B2C3" "9000");
	char text[8];
	int len = sizeof text;
	ASSERT_EQ(CreateRequestForGroup("phrase", text, &len), 0u);
	EXPECT_EQ(len, 7);
	EXPECT_STREQ(text, "A1B2C3");
	EXPECT_EQ(sent().back(), "803C010040" + field("phrase"));

	replies(1);
	token.reply("A1B2C3" "9000");
	len = 6;
	EXPECT_EQ(CreateRequestForGroup("phrase", text, &len), 106u);
	EXPECT_EQ(len, 6);

	replies(2);
	token.reply("0102" "9000");
	len = 0;
	ASSERT_EQ(CreateInviteForGroup("team", "a1 b2\tc3", nullptr, &len), 0u);
	EXPECT_EQ(len, 5);
	EXPECT_EQ(sent()[sent().size() - 2], "803A040040" + field("team"));
	EXPECT_EQ(sent().back(), "803C020003A1B2C3");
}

TEST_F(GroupScript, JoinTextsThatDoNotFitAreRefusedBeforeAnyCommand)
{
	const std::string request_256 = to_hex(counting(256));
	const std::string invite_128 = to_hex(counting(128));
	int len = 0;
	EXPECT_EQ(CreateInviteForGroup("team", "A1B2C", nullptr, &len), 102u);
	EXPECT_EQ(CreateInviteForGroup("team", "A1 G2", nullptr, &len), 102u);
	EXPECT_EQ(CreateInviteForGroup("team", "", nullptr, &len), 102u);
	EXPECT_EQ(CreateInviteForGroup("team", request_256.c_str(), nullptr, &len), 102u);
	EXPECT_EQ(CreateInviteForGroup("team", "AABB", nullptr, nullptr), 102u);
	EXPECT_EQ(AcceptInviteForGroup(invite_128.c_str(), "team", "phrase"), 102u);
	EXPECT_EQ(AcceptInviteForGroup(nullptr, "team", "phrase"), 102u);
	EXPECT_EQ(CreateRequestForGroup("phrase", nullptr, nullptr), 102u);
	EXPECT_TRUE(sent().empty());

	const std::string invite_127 = to_hex(counting(127));
	replies(2);
	EXPECT_EQ(AcceptInviteForGroup(invite_127.c_str(), "team", "phrase"), 0u);
	EXPECT_EQ(sent().back(), "803C0300FF" + invite_127 + field("team") + field("phrase"));
}

// ---- against the software token -------------------------------------------

class GroupToken : public InProcessManagement {
protected:
	std::string list()
	{
		unsigned long len = 0;
		EXPECT_EQ(GetGroupList(nullptr, &len), 0u);
		std::string text(len, '\0');
		EXPECT_EQ(GetGroupList(text.data(), &len), 0u);
		return text;
	}
};

TEST_F(GroupToken, LifecycleAndItsCodes)
{
	attach();
	EXPECT_EQ(CreateGroup("team", "phrase"), 104u) << "the PIN comes first";
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	ASSERT_EQ(CreateGroup("team", "phrase"), 0u);
	EXPECT_EQ(CreateGroup("team", "other"), 118u);
	ASSERT_EQ(CreateGroup("spare", "phrase"), 0u);
	EXPECT_EQ(list(), list_record("team", 1) + list_record("spare", 1));

	EXPECT_EQ(RenameGroup("nobody", "crew"), 117u);
	EXPECT_EQ(RenameGroup("team", "spare"), 118u);
	EXPECT_EQ(RenameGroup("team", "crew"), 0u);
	EXPECT_EQ(ChangePasPhrGroup("team", "new phrase"), 117u);
	EXPECT_EQ(ChangePasPhrGroup("crew", "new phrase"), 0u);
	EXPECT_EQ(DeleteGroup("spare"), 0u);
	EXPECT_EQ(DeleteGroup("spare"), 117u);
	EXPECT_EQ(list(), list_record("crew", 1));

	for (int i = 1; i < 16; ++i)
		ASSERT_EQ(CreateGroup(("g" + std::to_string(i)).c_str(), "phrase"), 0u);
	EXPECT_EQ(CreateGroup("one too many", "phrase"), 119u);
	EXPECT_EQ(list().size(), 6u + 4 * 9 + 5 * 6) << "16 groups over six answers";
}

TEST_F(GroupToken, JoinExchangeAndWhatOnlyTheAdministratorMayDo)
{
	draxel::sim::Token admin(draxel::sim::issue_token()), member(draxel::sim::issue_token());
	attach_existing(admin);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	ASSERT_EQ(CreateGroup("team", "admin phrase"), 0u);

	attach_existing(member);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	char request[600];
	int len = sizeof request;
	ASSERT_EQ(CreateRequestForGroup("member phrase", request, &len), 0u);
	EXPECT_EQ(len, static_cast<int>(std::strlen(request)) + 1);

	attach_existing(admin);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	char invite[600];
	len = sizeof invite;
	EXPECT_EQ(CreateInviteForGroup("nobody", request, invite, &len), 117u);
	ASSERT_EQ(CreateInviteForGroup("team", request, invite, &len), 0u);

	attach_existing(member);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	EXPECT_EQ(AcceptInviteForGroup(invite, "joined", "wrong phrase"), 113u);
	ASSERT_EQ(AcceptInviteForGroup(invite, "joined", "member phrase"), 0u);
	EXPECT_EQ(GetLastErrorCode(), 0u);
	EXPECT_EQ(list(), list_record("joined", 0));

	len = sizeof invite;
	EXPECT_EQ(CreateInviteForGroup("joined", request, invite, &len), 122u);
	EXPECT_EQ(GetLastErrorCode(), 5u) << "the exchange's own transport code";
	EXPECT_EQ(ChangePasPhrGroup("joined", "mine now"), 122u);
}

} // namespace
