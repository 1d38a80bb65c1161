// The connection operations in host-handler mode, where the host's token is
// the only one and no PC/SC function may be called.
#include <gtest/gtest.h>

#include "draxel_lib.h"
#include "support/scripted_token.h"

namespace {

class HostConnect : public draxel::test::HostHandlerTest {
protected:
	void SetUp() override
	{
		HostHandlerTest::SetUp();
		InitLib(token.table());
		cur_context = LogicDLLContext{};
	}
	void TearDown() override
	{
		FreeReaderStruct(cur_context.pCurReader);
		cur_context = LogicDLLContext{};
		HostHandlerTest::TearDown();
	}
};

TEST_F(HostConnect, TheHandlersTokenAnswersTheSelect)
{
	token.reply("6A82");
	EXPECT_EQ(ConnectToMekta(true), static_cast<unsigned long>(DRAXEL_E_NO_TOKEN));
	EXPECT_EQ(cur_context.pCurReader, nullptr);

	token.reply("9000");
	EXPECT_EQ(ConnectToMekta(false), 0u);
	ASSERT_NE(cur_context.pCurReader, nullptr);
	EXPECT_EQ(hSC, 0);
	EXPECT_EQ(token.commands().back(), "00A4040C0A4D454B54415F50534348");
	EXPECT_EQ(CheckCurrentReader(), 0u);

	EXPECT_EQ(ConnectToSecondMekta(), static_cast<unsigned long>(DRAXEL_E_NO_TOKEN));
	EXPECT_EQ(cur_context.pSecondReader, nullptr);
	EXPECT_EQ(token.commands().size(), 2u);
}

TEST_F(HostConnect, SelectReaderTakesAnyName)
{
	EXPECT_EQ(SelectReader("whatever"), 0u);
	EXPECT_TRUE(IsCurrentReader(cur_context.pCurReader, "whatever"));
	EXPECT_TRUE(token.commands().empty()) << "the application is not selected";
	EXPECT_EQ(NewReaderStruct(nullptr), nullptr);
	ReaderStructPtr fresh = NewReaderStruct("named");
	EXPECT_TRUE(IsCurrentReader(fresh, "named"));
	EXPECT_NE(fresh, cur_context.pCurReader);
	FreeReaderStruct(fresh);
}

} // namespace
