// Duplication, key loading and maintenance: records, blob bounds and
// command order against a scripted token; keys, clearing and restoring
// against the software token.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "management_fixture.h"

using namespace draxel::test;

namespace {

using Commands = std::vector<std::string>;

const std::string kVerifyPuk = verify(0x07, "12345678");
const std::string kGetBlob = "9034010000";
const std::string kCloseImport = "8034020000";
const std::string kClearCard = "8038000000";

std::string set_blob(const Bytes& blob)
{
	return "90340200" + hex_byte(blob.size()) + to_hex(blob);
}

class MaintenanceScript : public ScriptedManagement {
protected:
	void TearDown() override
	{
		FreeReaderStruct(second);
		ScriptedManagement::TearDown();
	}
	// A second record on the same scripted token; its commands join the one
	// log.
	void connect_second()
	{
		second = AllocReaderStruct(nullptr);
		cur_context.pSecondReader = second;
	}
	ReaderStructPtr second = nullptr;
};

TEST_F(MaintenanceScript, DuplicateTextOfTwoBlobs)
{
	const std::string text = "0164" + to_hex(counting(100)) + "0132" + to_hex(counting(50, 7));
	for (bool query : {true, false}) {
		replies(2);
		token.reply(to_hex(counting(100)) + "9000");
		token.reply(to_hex(counting(50, 7)) + "9000");
		token.reply("9000");
		std::string buf(309, 'x');
		int size = query ? 0 : 309;
		ASSERT_EQ(GetDublData("12345678", query ? nullptr : buf.data(), &size), 0u);
		EXPECT_EQ(size, 309);
		if (!query) {
			EXPECT_STREQ(buf.c_str(), text.c_str());
		}
	}
	EXPECT_EQ(sent(), (Commands{kSelectApp, kVerifyPuk, kGetBlob, kGetBlob, kGetBlob, kSelectApp,
	                            kVerifyPuk, kGetBlob, kGetBlob, kGetBlob}));

	replies(2);
	token.reply(to_hex(counting(100)) + "9000");
	token.reply(to_hex(counting(50, 7)) + "9000");
	std::string buf(308, 'x');
	int size = 308;
	EXPECT_EQ(GetDublData("12345678", buf.data(), &size), 106u);
	EXPECT_EQ(size, 308);
	EXPECT_EQ(buf.substr(0, 205), text.substr(0, 204) + '\0') << "the first record stays";
}

TEST_F(MaintenanceScript, BlobsLongerThanTheirRecordOrCommandAreRefused)
{
	replies(2);
	token.reply(to_hex(counting(254)) + "9000");
	token.reply(to_hex(counting(255)) + "9000");
	int size = 0;
	EXPECT_EQ(GetDublData("12345678", nullptr, &size), 8u);
	EXPECT_EQ(cur_context.error, 8u);

	connect_second();
	replies(5);
	token.reply(to_hex(counting(255)) + "9000");
	replies(1);
	token.reply(to_hex(counting(256)) + "9000");
	EXPECT_EQ(MakeDublCard("12345678", "87654321"), 8u);
	EXPECT_EQ(sent()[sent().size() - 2], set_blob(counting(255)));
	EXPECT_EQ(sent().back(), kGetBlob) << "the 256-byte blob goes nowhere";
}

TEST_F(MaintenanceScript, RestoreSendsEachBlobThenTheClosingCommand)
{
	replies(5);
	EXPECT_EQ(SetDublData("12345678", "01 03 aa bb cc\t0101DD", 0), 0u);
	EXPECT_EQ(sent(), (Commands{kSelectApp, kVerifyPuk, set_blob(from_hex("AABBCC")),
	                            set_blob(from_hex("DD")), kCloseImport}));
}

TEST_F(MaintenanceScript, RestoreChecksTheWholeTextFirst)
{
	for (const char* text : {"", "  ", "0100", "0203AABBCC", "0103AABB", "0103AABBCC01",
	                         "0103AABBCC0200", "0103AABBCC0101", "0103AABBCX", "0103AABBC"}) {
		EXPECT_EQ(SetDublData("12345678", text, 0), 102u) << text;
	}
	EXPECT_EQ(SetDublData("12345678", nullptr, 0), 102u);
	EXPECT_EQ(SetDublData(nullptr, "0101AA", 0), 102u);
	EXPECT_TRUE(sent().empty());
}

TEST_F(MaintenanceScript, CopyClearsTheSecondTokenOnlyAfterBothPuks)
{
	EXPECT_EQ(MakeDublCard("12345678", "87654321"), 101u) << "no second token";
	EXPECT_EQ(MakeDublCard(nullptr, "87654321"), 102u);
	EXPECT_TRUE(sent().empty());

	connect_second();
	replies(5);
	token.reply("AABB9000");
	replies(3);
	EXPECT_EQ(MakeDublCard("12345678", "87654321"), 0u);
	EXPECT_EQ(sent(), (Commands{kSelectApp, kVerifyPuk, kSelectApp, verify(0x07, "87654321"),
	                            kClearCard, kGetBlob, set_blob(from_hex("AABB")), kGetBlob,
	                            kCloseImport}));

	replies(2);
	token.reply("6982");
	EXPECT_EQ(MakeDublCard("12345678", "87654321"), 104u)
	    << "judged by the second token's status word";
	EXPECT_NE(sent().back(), kClearCard);
}

TEST_F(MaintenanceScript, OverlongPasswordsAreRefusedBeforeAnyCommand)
{
	const std::string puk(256, '7');
	Bytes source(160);
	int size = 0;
	connect_second();
	EXPECT_EQ(GetDublData(puk.c_str(), nullptr, &size), 102u);
	EXPECT_EQ(SetDublData(puk.c_str(), "0101AA", 0), 102u);
	EXPECT_EQ(MakeDublCard("12345678", puk.c_str()), 102u);
	EXPECT_EQ(ChangeKeys(source.data(), 160, puk.c_str()), 102u);
	EXPECT_TRUE(sent().empty());
}

TEST_F(MaintenanceScript, KeySourceFromTheRandomGenerator)
{
	int size = 0;
	EXPECT_EQ(GetKeys(nullptr, &size), 0u);
	EXPECT_EQ(size, 160);
	Bytes source(160);
	size = 159;
	EXPECT_EQ(GetKeys(source.data(), &size), 102u);
	size = 160;
	EXPECT_EQ(GetKeys(nullptr, &size), 102u);
	EXPECT_EQ(GetKeys(source.data(), nullptr), 102u);
	EXPECT_TRUE(sent().empty());

	for (int i = 0; i < 5; ++i)
		token.reply(to_hex(counting(32, static_cast<uint8_t>(32 * i))) + "9000");
	ASSERT_EQ(GetKeys(source.data(), &size), 0u);
	EXPECT_EQ(source, counting(160));
	EXPECT_EQ(sent(), Commands(5, "0084000020"));
}

TEST_F(MaintenanceScript, KeysAreLoadedFromTheSourceInTheirOrder)
{
	Bytes source = counting(160, 3);
	token.reply("9000");
	EXPECT_EQ(ChangeKeys(source.data(), 159, "11111111"), 102u);
	EXPECT_EQ(sent(), Commands{kSelectApp}) << "refused after the selection, before VERIFY";

	replies(6);
	ASSERT_EQ(ChangeKeys(source.data(), 160, "11111111"), 0u);
	ASSERT_EQ(sent().size(), 7u);
	EXPECT_EQ(sent()[2], verify(0x03, "11111111"));
	u32_gost_type key[8];
	ASSERT_EQ(g2814789_set_key(key, source.data(), 32), 0);
	const char* refs[] = {"0D", "1D", "0F", "15"};
	for (int i = 0; i < 4; ++i) {
		std::string command = sent()[3 + static_cast<size_t>(i)];
		ASSERT_EQ(command.substr(0, 10), std::string("002401") + refs[i] + "20");
		Bytes loaded = from_hex(command.substr(10));
		g2814789_decrypt_ecb(key, loaded.data(), 4);
		EXPECT_EQ(loaded, Bytes(source.begin() + 32 + 32 * i, source.begin() + 64 + 32 * i)) << i;
	}
	EXPECT_EQ(ChangeKeys(source.data(), 160, nullptr), 102u);
	EXPECT_EQ(ChangeKeys(nullptr, 160, "11111111"), 102u);
	EXPECT_EQ(MakeKeysFromBuf(nullptr, source.data(), 160), 102u);
	EXPECT_EQ(sent().size(), 7u);
}

TEST_F(MaintenanceScript, VersionRulesOfKeyGenerationAndClearing)
{
	EXPECT_EQ(GenDSKey(17), 125u);
	EXPECT_TRUE(sent().empty());
	replies(2);
	EXPECT_EQ(GenDSKey(18), 0u);
	EXPECT_EQ(sent(), (Commands{kSelectApp, "8038FF0000"}));

	replies(5);
	EXPECT_EQ(CleanCard(4), 0u);
	EXPECT_EQ(Commands(sent().end() - 5, sent().end()),
	          (Commands{kSelectApp, kClearCard, kSelectApp, select_file("F210"),
	                    update_binary(0, Bytes(30, 0))}));
	replies(2);
	EXPECT_EQ(CleanCard(5), 0u);
	EXPECT_EQ(sent().back(), kClearCard);
}

TEST_F(MaintenanceScript, SerialNumberAndVersion)
{
	token.reply("01A2B3C4D5E6F7" "9000");
	char sn[16];
	std::memset(sn, 'x', sizeof sn);
	ASSERT_EQ(GetSN(sn), 0u);
	EXPECT_EQ(std::string(sn, 16), std::string("01A2B3C4D5E6F7") + '\0' + 'x');
	EXPECT_EQ(GetSN(nullptr), 102u);

	replies(2);
	token.reply("00129000");
	int ver = 0;
	ASSERT_EQ(GetCardVer(&ver), 0u);
	EXPECT_EQ(ver, 18);
	EXPECT_EQ(GetCardVer(nullptr), 102u);
}

// ---- against the software token -------------------------------------------

class MaintenanceToken : public InProcessManagement {};

TEST_F(MaintenanceToken, OneKeySourceLoadsTheSameKeysIntoTwoTokens)
{
	draxel::sim::Token first(draxel::sim::issue_token()), second(draxel::sim::issue_token());
	attach_existing(first);
	unsigned char source[160];
	int size = 160;
	ASSERT_EQ(GetKeys(source, &size), 0u);
	EXPECT_EQ(ChangeKeys(source, 160, "00000000"), 149u);
	ASSERT_EQ(ChangeKeys(source, 160, "11111111"), 0u);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	std::string text, back;
	ASSERT_EQ(encrypt("under the loaded key", 2, "phrase", nullptr, text), 0u);

	attach_existing(second);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	EXPECT_EQ(decrypt(text, 2, "phrase", nullptr, back), 113u);
	ASSERT_EQ(ChangeKeys(source, 160, "11111111"), 0u);
	ASSERT_EQ(decrypt(text, 2, "phrase", nullptr, back), 0u);
	EXPECT_EQ(back, "under the loaded key");
}

TEST_F(MaintenanceToken, ClearingNeedsTheErasePasswordAndRestoringThePuk)
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
	ASSERT_EQ(GetDublData("12345678", duplicate.data(), &size), 0u);

	power_cycle();
	EXPECT_EQ(CleanCard(18), 104u) << "neither the erase password nor the PUK";
	ASSERT_EQ(VerifyErasePas("00000000"), 0u);
	ASSERT_EQ(CleanCard(18), 0u);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	EXPECT_EQ(decrypt(text, 3, "phrase", "team", back), 117u) << "the group went";

	ASSERT_EQ(SetDublData("12345678", duplicate.c_str(), size), 0u);
	ASSERT_EQ(decrypt(text, 3, "phrase", "team", back), 0u);
	EXPECT_EQ(back, "kept in the duplicate");
}

TEST_F(MaintenanceToken, DsKeyFromVersion18WithThePin)
{
	attach();
	EXPECT_EQ(GenDSKey(18), 104u);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	EXPECT_EQ(GenDSKey(18), 0u);
	EXPECT_TRUE(state().ds_key.has_value());
	char sn[15];
	ASSERT_EQ(GetSN(sn), 0u);
	EXPECT_EQ(from_hex(sn), Bytes(state().serial.begin(), state().serial.end()));
}

} // namespace
