// Finding the token through the real pcscd: tokens (cards that accept the
// application's SELECT) and foreign cards in the two vpcd readers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <winscard.h>

#include "draxel_lib.h"
#include "support/virtual_card.h"

using draxel::test::VirtualCard;

namespace {

const std::vector<std::string> kToken = {};
const std::vector<std::string> kForeign = {"--refuse-select"};

class Connect : public draxel::test::PcscLibraryTest {
protected:
	// Attaches one card per reader; false when the rig is missing.
	bool attach(const std::vector<std::string> &first, const std::vector<std::string> &second)
	{
		cards.push_back(std::make_unique<VirtualCard>(0, first));
		cards.push_back(std::make_unique<VirtualCard>(1, second));
		return cards[0]->attached() && cards[1]->attached();
	}
	// Releases a record that the library handed over.
	static void forget(ReaderStructPtr &record)
	{
		FreeReaderStruct(record);
		record = nullptr;
	}
	const char *reader(int i) const { return cards[static_cast<size_t>(i)]->reader().c_str(); }
	bool current_token_answers() const
	{
		return APDU_SelectApplication(cur_context.pCurReader) == 0;
	}

	std::vector<std::unique_ptr<VirtualCard>> cards;
};

// A foreign card before the token; the token pulled out from under its
// connection; then no token at all, only the foreign card and an empty
// reader.
TEST_F(Connect, ForeignCardThenTokenThenNone)
{
	EXPECT_EQ(CheckCurrentReader(), static_cast<unsigned long>(DRAXEL_E_NO_READER));
	EXPECT_EQ(cur_context.error, static_cast<unsigned long>(DRAXEL_E_NO_READER));
	ASSERT_TRUE(attach(kForeign, kToken));
	for (bool only_one : {false, true}) {
		ReaderStructPtr previous = cur_context.pCurReader;
		ASSERT_EQ(ConnectToMekta(only_one), 0u) << only_one;
		EXPECT_TRUE(IsCurrentReader(cur_context.pCurReader, reader(1)));
		EXPECT_TRUE(current_token_answers());
		FreeReaderStruct(previous);
	}
	EXPECT_EQ(CheckCurrentReader(), 0u);

	cards[1]->pull();
	EXPECT_EQ(CheckCurrentReader(), static_cast<unsigned long>(SCARD_W_REMOVED_CARD));
	EXPECT_EQ(APDU_SelectApplication(cur_context.pCurReader), 116u);
	forget(cur_context.pCurReader);
	cur_context.error = 0;
	for (bool only_one : {false, true})
		EXPECT_EQ(ConnectToMekta(only_one), static_cast<unsigned long>(DRAXEL_E_NO_TOKEN));
	EXPECT_EQ(cur_context.pCurReader, nullptr);
	EXPECT_EQ(hSC, 0);
	EXPECT_EQ(cur_context.error, 0u) << "searches do not record their codes";
}

// Two tokens: the first in list order wins, unless exactly one is wanted;
// the other is the second token; a current reader that is no token leaves
// two candidates for the second.
TEST_F(Connect, TwoTokens)
{
	ASSERT_TRUE(attach(kToken, kToken));
	ASSERT_EQ(ConnectToMekta(false), 0u);
	EXPECT_TRUE(IsCurrentReader(cur_context.pCurReader, reader(0))) << "first in list order";

	ReaderStructPtr current = cur_context.pCurReader;
	EXPECT_EQ(ConnectToMekta(true), static_cast<unsigned long>(DRAXEL_E_SEVERAL_TOKENS));
	EXPECT_EQ(cur_context.pCurReader, current);
	EXPECT_EQ(hSC, 0) << "the failed search released its context";
	EXPECT_TRUE(current_token_answers()) << "the current card was not reset by the probe";

	ASSERT_EQ(ConnectToSecondMekta(), 0u);
	EXPECT_TRUE(IsCurrentReader(cur_context.pSecondReader, reader(1)));
	EXPECT_EQ(APDU_SelectApplication(cur_context.pSecondReader), 0u);
	EXPECT_TRUE(current_token_answers());
	forget(cur_context.pCurReader);
	forget(cur_context.pSecondReader);

	ASSERT_EQ(OpenReaderContext(0), 0u);
	ASSERT_EQ(SelectReader("a reader elsewhere"),
	          static_cast<unsigned long>(DRAXEL_E_COMMUNICATION));
	EXPECT_EQ(ConnectToSecondMekta(), static_cast<unsigned long>(DRAXEL_E_SEVERAL_TOKENS));
	EXPECT_EQ(cur_context.pSecondReader, nullptr);
}

// A token in the first reader and a foreign card in the second.
TEST_F(Connect, TokenThenForeignCard)
{
	ASSERT_TRUE(attach(kToken, kForeign));
	for (int i = 0; i < 300; ++i) {
		ReaderStructPtr previous = cur_context.pCurReader;
		ASSERT_EQ(ConnectToMekta(i % 2 == 0), 0u) << "connection " << i;
		FreeReaderStruct(previous);
	}
	EXPECT_TRUE(current_token_answers());
	SCARDCONTEXT other = 0;
	EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &other),
	          SCARD_S_SUCCESS)
	        << "pcscd still serves other programs";
	SCardReleaseContext(other);

	EXPECT_EQ(ConnectToSecondMekta(), static_cast<unsigned long>(DRAXEL_E_NO_TOKEN));
	EXPECT_EQ(cur_context.pSecondReader, nullptr);
	EXPECT_TRUE(current_token_answers()) << "a failed second search leaves the token working";

	// a reader chosen by name is not probed
	forget(cur_context.pCurReader);
	ASSERT_EQ(OpenReaderContext(0), 0u);
	EXPECT_EQ(SelectReader(reader(1)), 0u);
	EXPECT_TRUE(IsCurrentReader(cur_context.pCurReader, reader(1)));
	EXPECT_EQ(APDU_SelectApplication(cur_context.pCurReader), 5u) << "a foreign card";
	forget(cur_context.pCurReader);
	EXPECT_EQ(SelectReader("no such reader"),
	          static_cast<unsigned long>(DRAXEL_E_COMMUNICATION));
	EXPECT_TRUE(IsCurrentReader(cur_context.pCurReader, "no such reader"));
	EXPECT_EQ(cur_context.error, static_cast<unsigned long>(DRAXEL_E_COMMUNICATION));
	EXPECT_EQ(CheckCurrentReader(), static_cast<unsigned long>(DRAXEL_TR_NOT_CONNECTED));
	forget(cur_context.pCurReader);
	EXPECT_EQ(SelectReader(nullptr), static_cast<unsigned long>(DRAXEL_E_BAD_ARGUMENT));
	EXPECT_EQ(CloseReaderContext(), 0u);
	EXPECT_EQ(SelectReader(reader(0)), static_cast<unsigned long>(DRAXEL_E_COMMUNICATION))
	        << "no context";
}

} // namespace
