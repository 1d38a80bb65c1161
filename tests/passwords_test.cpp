// The password operations: their exact command sequences and refusals
// against a scripted token, and their codes against the software token.
#include <functional>
#include <string>
#include <vector>

#include "management_fixture.h"

using namespace draxel::test;

namespace {

using Commands = std::vector<std::string>;

const std::string kLong(256, 'p');

class PasswordScript : public ScriptedManagement {};

TEST_F(PasswordScript, VerifyFillsTheTraceBufferFirstWhenAsked)
{
	replies(6);
	EXPECT_EQ(VerifyPIN("1234", true), 0u);
	Commands expected = {select_file("3F00"), select_file("F190"),
	                     update_binary(0, Bytes(112, 0x01)), update_binary(0, Bytes(112, 0x01)),
	                     kSelectApp, verify(0x05, "1234")};
	EXPECT_EQ(sent(), expected);

	replies(5);
	EXPECT_EQ(VerifyNotePas("4321", true), 0u);
	Commands note(sent().end() - 5, sent().end());
	EXPECT_EQ(note, (Commands{select_file("3F00"), select_file("F190"),
	                          update_binary(0, Bytes(80, 0x01)), kSelectApp,
	                          verify(0x11, "4321")}));
}

TEST_F(PasswordScript, NullPinAsksForTheStateAndWritesNothing)
{
	token.reply("9000");
	token.reply("63C2");
	EXPECT_EQ(VerifyPIN(nullptr, true), 142u);
	EXPECT_EQ(sent(), (Commands{kSelectApp, "0020000500"}));
	EXPECT_EQ(cur_context.error, 142u);
}

TEST_F(PasswordScript, MissingTraceBufferStopsBeforeTheVerify)
{
	token.reply("9000");
	token.reply("6A82");
	EXPECT_EQ(VerifyPIN("1234", true), 120u);
	EXPECT_EQ(sent().size(), 2u);
}

TEST_F(PasswordScript, BadArgumentsAreRefusedBeforeAnyCommand)
{
	const std::vector<std::pair<const char*, std::function<unsigned long()>>> calls = {
		{"VerifyPIN long", [] { return VerifyPIN(kLong.c_str(), false); }},
		{"VerifyNotePas long", [] { return VerifyNotePas(kLong.c_str(), true); }},
		{"VerifyPUK null", [] { return VerifyPUK(nullptr); }},
		{"VerifyPUK long", [] { return VerifyPUK(kLong.c_str()); }},
		{"VerifyErasePas null", [] { return VerifyErasePas(nullptr); }},
		{"UnblockPIN null", [] { return UnblockPIN(nullptr, "1234"); }},
		{"UnblockPIN empty", [] { return UnblockPIN("", "1234"); }},
		{"UnblockNotePas long new", [] { return UnblockNotePas("12345678", kLong.c_str()); }},
		{"ChangePIN empty", [] { return ChangePIN("", "5678"); }},
		{"ChangePIN null new", [] { return ChangePIN("1234", nullptr); }},
		{"ChangePUK long", [] { return ChangePUK(kLong.c_str(), "87654321"); }},
		{"ChangeErasePas long new", [] { return ChangeErasePas("00000000", kLong.c_str()); }},
		{"ChangeNotePas empty new", [] { return ChangeNotePas("4321", ""); }},
		{"GetPUKFlag null", [] { return GetPUKFlag(nullptr); }},
	};
	for (const auto& [name, call] : calls) {
		cur_context.error = 0;
		EXPECT_EQ(call(), 102u) << name;
		EXPECT_EQ(cur_context.error, 102u) << name;
	}
	cur_context.pCurReader = nullptr;
	EXPECT_EQ(VerifyPIN("1234", false), 101u);
	EXPECT_TRUE(sent().empty());
}

TEST_F(PasswordScript, PasswordsUpTo255BytesGoOutWhole)
{
	const std::string longest(255, 'p');
	replies(2);
	EXPECT_EQ(VerifyPUK(longest.c_str()), 0u);
	EXPECT_EQ(sent().back(), verify(0x07, longest));
	EXPECT_EQ(sent().back().substr(8, 2), "FF");
}

TEST_F(PasswordScript, EmptyPukIsRefusedByTheCommandLayerAfterSelection)
{
	token.reply("9000");
	EXPECT_EQ(VerifyPUK(""), 3u);
	EXPECT_EQ(sent(), Commands{kSelectApp});
}

TEST_F(PasswordScript, UnblockWithoutNewValueOnlyResetsTheCounter)
{
	replies(3);
	EXPECT_EQ(UnblockPIN("12345678", nullptr), 0u);
	EXPECT_EQ(sent(), (Commands{kSelectApp, verify(0x07, "12345678"), "002C030500"}));

	replies(4);
	EXPECT_EQ(UnblockNotePas("12345678", "9999"), 0u);
	EXPECT_EQ(sent().back(), "0024011104" + hex_text("9999"));
}

TEST_F(PasswordScript, ChangePukSetsTheFlagWhereTheTokenKeepsOne)
{
	replies(5);
	EXPECT_EQ(ChangePUK("12345678", "87654321"), 0u);
	EXPECT_EQ(sent(), (Commands{kSelectApp, verify(0x07, "12345678"),
	                            "0024010708" + hex_text("87654321"), select_file("F141"),
	                            update_binary(0, Bytes{0x01})}));

	replies(3);
	token.reply("6A82");
	EXPECT_EQ(ChangePUK("87654321", "12345678"), 0u) << "no flag file: nothing to write";
	EXPECT_EQ(sent().back(), select_file("F141"));
}

TEST_F(PasswordScript, PukFlagIsTrueOnlyForAZeroByte)
{
	cur_context.error = 117;
	replies(2);
	token.reply("5301009000");
	bool flag = false;
	EXPECT_EQ(GetPUKFlag(&flag), 0u);
	EXPECT_TRUE(flag);
	EXPECT_EQ(sent().back(), read_binary(0));

	replies(2);
	token.reply("5301019000");
	EXPECT_EQ(GetPUKFlag(&flag), 0u);
	EXPECT_FALSE(flag);

	flag = true;
	token.reply("9000");
	token.reply("6A82");
	EXPECT_EQ(GetPUKFlag(&flag), 0u);
	EXPECT_FALSE(flag);
	EXPECT_EQ(cur_context.error, 117u) << "a missing flag file is not recorded";
}

// ---- against the software token -------------------------------------------

class PasswordToken : public InProcessManagement {};

TEST_F(PasswordToken, WrongBlockedAndUnblockedPin)
{
	attach();
	EXPECT_EQ(VerifyPIN("0000", false), 142u);
	char text[256];
	int len = sizeof text;
	ASSERT_EQ(GetError(text, &len), 0u);
	EXPECT_EQ(std::string(text), "Ошибка: Неверный пароль. Осталось попыток:  2");
	EXPECT_EQ(VerifyPIN(nullptr, false), 142u) << "the state query reports the tries left";
	EXPECT_EQ(VerifyPIN("0000", true), 141u);
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

TEST_F(PasswordToken, ErasePasswordAndNotePassword)
{
	attach();
	EXPECT_EQ(VerifyErasePas("11111111"), 149u);
	EXPECT_EQ(ChangeErasePas("00000000", "abcdefgh"), 0u);
	EXPECT_EQ(VerifyErasePas("abcdefgh"), 0u);

	EXPECT_EQ(VerifyNotePas("0000", true), 142u);
	EXPECT_EQ(ChangeNotePas("4321", "8765"), 0u);
	EXPECT_EQ(VerifyNotePas("8765", true), 0u);
	EXPECT_EQ(UnblockNotePas("12345678", nullptr), 0u);
	EXPECT_EQ(VerifyNotePas("8765", false), 0u) << "the value survives an unblock";
}

TEST_F(PasswordToken, PukChangeClearsTheIssuedFlag)
{
	attach();
	bool issued = false;
	ASSERT_EQ(GetPUKFlag(&issued), 0u);
	EXPECT_TRUE(issued);
	EXPECT_EQ(ChangePUK("12345678", "abcdefgh"), 0u);
	ASSERT_EQ(GetPUKFlag(&issued), 0u);
	EXPECT_FALSE(issued);
	EXPECT_EQ(VerifyPUK("12345678"), 149u);
	EXPECT_EQ(VerifyPUK("abcdefgh"), 0u);
}

} // namespace
