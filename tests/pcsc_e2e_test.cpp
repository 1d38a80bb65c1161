// The transport end to end: the library in PC/SC mode talking through the
// real pcscd to virtual cards in the two vpcd readers, a T=1 card in the
// first and a T=0 card in the second.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <winscard.h>

#include "draxel_lib.h"
#include "support/hex.h"
#include "support/virtual_card.h"

using draxel::test::Bytes;
using draxel::test::counting;
using draxel::test::from_hex;
using draxel::test::to_hex;
using draxel::test::VirtualCard;

namespace {

// A reader record connected to one of the virtual readers.
class Connection {
public:
	explicit Connection(const std::string &reader) : record_(AllocReaderStruct(reader.c_str()))
	{
		rc_ = OpenReader(nullptr, record_, false);
	}
	~Connection()
	{
		CloseReader(record_);
		FreeReaderStruct(record_);
	}
	unsigned long open_result() const { return rc_; }
	ReaderStructPtr get() const { return record_; }

	// Sends a command written as hex; returns the transport code and keeps the data.
	unsigned long send(std::string_view hex, unsigned long capacity = 256)
	{
		Bytes cmd = from_hex(hex);
		data.assign(capacity, 0xEE);
		size = capacity;
		return Transmit(cmd.data(), cmd.size(), data.data(), &size, record_);
	}
	std::string received() const
	{
		return to_hex(data.data(), std::min<size_t>(size, data.size()));
	}

	Bytes data;
	unsigned long size = 0;

private:
	ReaderStructPtr record_;
	unsigned long rc_;
};

class PcscTransport : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		t1_card = std::make_unique<VirtualCard>(0);
		t0_card = std::make_unique<VirtualCard>(1, std::vector<std::string>{"--t0"});
	}
	static void TearDownTestSuite()
	{
		t1_card.reset();
		t0_card.reset();
	}
	void SetUp() override
	{
		ASSERT_TRUE(t1_card->attached()) << "is pcscd running with the vpcd readers?";
		ASSERT_TRUE(t0_card->attached());
		InitTransportLib(nullptr);
		ASSERT_EQ(OpenReaderContext(0), 0u);
		ASSERT_NE(hSC, 0);
	}
	void TearDown() override
	{
		if (hSC != 0) {
			EXPECT_EQ(CloseReaderContext(), 0u);
		}
	}

	static std::unique_ptr<VirtualCard> t1_card;
	static std::unique_ptr<VirtualCard> t0_card;
};

std::unique_ptr<VirtualCard> PcscTransport::t1_card;
std::unique_ptr<VirtualCard> PcscTransport::t0_card;

TEST_F(PcscTransport, ListReadersReportsTheNeededSize)
{
	unsigned long needed = 0;
	EXPECT_EQ(ListReaders(nullptr, &needed), 0u);
	ASSERT_GT(needed, t1_card->reader().size() + t0_card->reader().size());

	std::vector<char> list(needed + 16, 'x');
	unsigned long size = 4;
	EXPECT_EQ(ListReaders(list.data(), &size),
	          static_cast<unsigned long>(SCARD_E_INSUFFICIENT_BUFFER));
	EXPECT_EQ(size, needed);

	size = list.size();
	ASSERT_EQ(ListReaders(list.data(), &size), 0u);
	EXPECT_EQ(size, needed);
	std::vector<std::string> names;
	for (const char *p = list.data(); *p != '\0'; p += std::string(p).size() + 1)
		names.emplace_back(p);
	EXPECT_NE(std::find(names.begin(), names.end(), t1_card->reader()), names.end());
	EXPECT_NE(std::find(names.begin(), names.end(), t0_card->reader()), names.end());
	EXPECT_EQ(list[needed - 1], '\0');
	EXPECT_EQ(list[needed - 2], '\0') << "the list ends with an empty name";

	EXPECT_EQ(ListReaders(list.data(), nullptr), DRAXEL_TR_BAD_ARGUMENT);
}

// A T=1 card answers at once; behind a T=0 card the data wait for GET
// RESPONSE and a wrong Le is corrected by the header sent again. The
// library's trace is off: none of it prints anything.
TEST_F(PcscTransport, ExchangesWithT1AndT0Cards)
{
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	Connection t1(t1_card->reader()), t0(t0_card->reader()), missing("no such reader");
	ASSERT_EQ(t1.open_result(), 0u);
	ASSERT_EQ(t0.open_result(), 0u);
	EXPECT_FALSE(IsReaderProtocolT0(t1.get()));
	EXPECT_TRUE(IsReaderProtocolT0(t0.get()));
	EXPECT_EQ(IsCardPowered(t1.get()), 0u);
	EXPECT_TRUE(IsCurrentReader(t1.get(), t1_card->reader().c_str()));

	EXPECT_EQ(t1.send("80F2050005"), 0u);
	EXPECT_EQ(t1.received(), "0001020304");
	EXPECT_EQ(t1.send("80F09000"), 0u) << "a header-only command";
	EXPECT_EQ(t1.size, 0u);
	EXPECT_EQ(t1.send("80F06110"), 0u);
	EXPECT_EQ(t1.received(), to_hex(counting(16)));
	EXPECT_EQ(t1.send("80F06110", 8), 0u);
	EXPECT_EQ(t1.received(), to_hex(counting(8)));

	EXPECT_EQ(t0.send("80F0900003AABBCC"), 0u);
	EXPECT_EQ(t0.received(), "AABBCC");
	EXPECT_EQ(GetSW(t0.get()), 0x9000);
	EXPECT_EQ(t0.send("80F0900003AABBCC", 2), 0u) << "the rest stays waiting on the card";
	EXPECT_EQ(t0.received(), "AABB");
	EXPECT_EQ(GetSW(t0.get()), 0x6101);
	std::string longest = "80F09000FF" + to_hex(counting(255));
	EXPECT_EQ(t0.send(longest), 0u);
	EXPECT_EQ(t0.received(), to_hex(counting(255)));

	EXPECT_EQ(t0.send("80F2200000"), 0u);
	EXPECT_EQ(t0.received(), to_hex(counting(0x20)));
	EXPECT_EQ(t0.send("80F2200010"), 0u);
	EXPECT_EQ(t0.size, 0x20u);
	EXPECT_EQ(t0.send("80F2200000", 0x10), DRAXEL_TR_STATUS_WORD)
	        << "a header limited by the caller meets 6C20 again; there is no third command";
	EXPECT_EQ(GetSW(t0.get()), 0x6C20);

	// each record keeps its own status word
	EXPECT_EQ(t1.send("80F06A82"), DRAXEL_TR_STATUS_WORD);
	EXPECT_EQ(t0.send("80F2010001"), 0u);
	EXPECT_EQ(GetSW(t1.get()), 0x6A82);
	EXPECT_EQ(GetSW(t0.get()), 0x9000);
	EXPECT_EQ(t1.send("80F0628302AABB"), DRAXEL_TR_STATUS_WORD) << "data with a warning";
	EXPECT_EQ(GetSW(t1.get()), 0x6283);
	EXPECT_EQ(t1.data[0], 0xEE);
	EXPECT_EQ(t1.send("80F2040003", 3), DRAXEL_TR_BAD_ARGUMENT) << "one byte too small";
	EXPECT_EQ(t1.size, 3u);
	std::fflush(stdout);
	std::string out = testing::internal::GetCapturedStdout();
	EXPECT_EQ(out + testing::internal::GetCapturedStderr(), "");
}

TEST_F(PcscTransport, RecordsCloseReopenAndKeepTheirNames)
{
	ReaderStructPtr record = AllocReaderStruct(t1_card->reader().c_str());
	ASSERT_EQ(OpenReader(nullptr, record, false), 0u);
	EXPECT_EQ(CloseReader(record), 0u);
	EXPECT_EQ(CloseReader(record), 0u);
	BYTE cmd[] = {0x80, 0xF2, 0x01, 0x00, 0x01};
	EXPECT_EQ(Transmit(cmd, sizeof cmd, nullptr, nullptr, record), DRAXEL_TR_NOT_CONNECTED);
	ASSERT_EQ(OpenReader(t0_card->reader().c_str(), record, false), 0u) << "reopen elsewhere";
	EXPECT_TRUE(IsCurrentReader(record, t0_card->reader().c_str()));
	EXPECT_EQ(Transmit(cmd, sizeof cmd, nullptr, nullptr, record), 0u);
	EXPECT_EQ(CloseReader(record), 0u);

	std::string long_name(120, 'R');
	EXPECT_EQ(OpenReader(long_name.c_str(), record, false), DRAXEL_TR_UNKNOWN_READER);
	EXPECT_EQ(ReaderGetLastError(record), static_cast<unsigned long>(SCARD_E_UNKNOWN_READER));
	EXPECT_TRUE(IsCurrentReader(record, long_name.c_str())) << "the new name is kept";
	EXPECT_EQ(IsCardPowered(record), DRAXEL_TR_NOT_CONNECTED);
	EXPECT_EQ(OpenReader(t1_card->reader().c_str(), record, false), 0u)
	        << "the record recovers";
	EXPECT_EQ(CloseReader(record), 0u);

	// a released context refuses new connections; a second one overwrites
	// the handle, as documented
	EXPECT_EQ(CloseReaderContext(), 0u);
	EXPECT_EQ(hSC, 0);
	EXPECT_EQ(OpenReader(nullptr, record, false), DRAXEL_TR_NOT_CONNECTED);
	FreeReaderStruct(record);
	ASSERT_EQ(OpenReaderContext(0), 0u);
	long first = hSC;
	ASSERT_EQ(OpenReaderContext(0), 0u);
	EXPECT_NE(hSC, 0);
	EXPECT_EQ(CloseReaderContext(), 0u);
	hSC = first;
}

} // namespace
