// The software token end to end through the library's command builders:
// in-process behind the host transmit handler, and as draxel-token-sim
// daemons behind the real pcscd (a T=1 token in the first reader, a T=0
// token in the second).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "draxel_lib.h"
#include "support/hex.h"
#include "support/virtual_card.h"
#include "token.h"
#include "token_handler.h"

using draxel::test::Bytes;
using draxel::test::VirtualCard;

namespace {

constexpr size_t kBlock = 232;

// One token dialogue over a reader record, as the library's entry points
// chain the builders.
struct Dialogue {
	ReaderStructPtr prs;

	unsigned long verify(BYTE reference, const std::string& password)
	{
		unsigned long rc = APDU_SelectApplication(prs);
		if (rc == 0)
			rc = APDU_VerifyPassword(prs, reference,
			                         reinterpret_cast<const BYTE*>(password.data()),
			                         static_cast<BYTE>(password.size()));
		return rc;
	}
	unsigned long environment(int mode)
	{
		unsigned long rc = APDU_SelectApplication(prs);
		if (rc == 0)
			rc = APDU_MSEReset(prs);
		if (rc == 0)
			rc = APDU_MSESetEnc(prs, 0x83, static_cast<BYTE>(0x09 + 2 * mode));
		return rc;
	}
	unsigned long chain(bool encipher, const Bytes& in, Bytes& out)
	{
		out.assign(in.size(), 0);
		for (size_t at = 0; at < in.size(); at += kBlock) {
			size_t n = std::min(kBlock, in.size() - at);
			bool last = at + n == in.size();
			unsigned long rc =
			    encipher ? APDU_PSO_Enc(prs, in.data() + at, static_cast<BYTE>(n), out.data() + at, last)
			             : APDU_PSO_Dec(prs, in.data() + at, static_cast<BYTE>(n), out.data() + at, last);
			if (rc != 0)
				return rc;
		}
		return 0;
	}
	unsigned long encipher(const std::string& phrase, const Bytes& plain, Bytes& cryptogram,
	                       Bytes& cipher)
	{
		unsigned long rc = environment(1);
		cryptogram.assign(36, 0);
		unsigned long len = cryptogram.size();
		if (rc == 0)
			rc = APDU_GenSesKey(prs, reinterpret_cast<const BYTE*>(phrase.data()),
			                    static_cast<BYTE>(phrase.size()), 1, cryptogram.data(), &len);
		return rc != 0 ? rc : chain(true, plain, cipher);
	}
	unsigned long decipher(const std::string& phrase, const Bytes& cryptogram, const Bytes& cipher,
	                       Bytes& plain)
	{
		unsigned long rc = environment(1);
		if (rc == 0)
			rc = APDU_SetSesKey(prs, reinterpret_cast<const BYTE*>(phrase.data()),
			                    static_cast<BYTE>(phrase.size()), cryptogram.data(), 36, 1,
			                    nullptr, nullptr);
		return rc != 0 ? rc : chain(false, cipher, plain);
	}
};

TEST(InProcessToken, MessageRoundTripAndRefusals)
{
	draxel::sim::Token token(draxel::sim::issue_token());
	draxel::sim::InProcessToken attached(token);
	InitLib(attached.table());
	cur_context = LogicDLLContext{};
	ASSERT_EQ(ConnectToMekta(false), 0u);
	Dialogue d{cur_context.pCurReader};

	Bytes plain = draxel::test::counting(500), cryptogram, cipher, back;
	EXPECT_EQ(d.encipher("phrase", plain, cryptogram, cipher), 5u) << "the PIN comes first";
	EXPECT_EQ(GetSW(d.prs), 0x6982);

	EXPECT_EQ(d.verify(0x05, "0000"), 142u);
	ASSERT_EQ(d.verify(0x05, "1234"), 0u);
	ASSERT_EQ(d.encipher("phrase", plain, cryptogram, cipher), 0u);
	ASSERT_EQ(d.decipher("phrase", cryptogram, cipher, back), 0u);
	EXPECT_EQ(back, plain);

	EXPECT_EQ(d.decipher("other", cryptogram, cipher, back), 5u);
	EXPECT_EQ(GetSW(d.prs), 0x63C0);

	attached.power_cycle();
	EXPECT_EQ(d.encipher("phrase", plain, cryptogram, cipher), 5u) << "a new card session";
	FreeReaderStruct(cur_context.pCurReader);
	cur_context = LogicDLLContext{};
	InitLib(nullptr);
}

class TokenReaders : public ::testing::Test {
protected:
	void SetUp() override
	{
		InitLib(nullptr);
		cur_context = LogicDLLContext{};
	}
	void TearDown() override
	{
		FreeReaderStruct(cur_context.pCurReader);
		FreeReaderStruct(cur_context.pSecondReader);
		cur_context = LogicDLLContext{};
		if (hSC != 0)
			CloseReaderContext();
	}
};

TEST_F(TokenReaders, DuplicateOfOneTokenDeciphersItsMessages)
{
	VirtualCard first = VirtualCard::token(0);
	VirtualCard second = VirtualCard::token(1, {"--t0"});
	ASSERT_TRUE(first.attached() && second.attached());
	EXPECT_EQ(ConnectToMekta(true), static_cast<unsigned long>(DRAXEL_E_SEVERAL_TOKENS));
	ASSERT_EQ(ConnectToMekta(false), 0u);
	ASSERT_EQ(ConnectToSecondMekta(), 0u);
	Dialogue original{cur_context.pCurReader}, copy{cur_context.pSecondReader};
	ASSERT_FALSE(IsReaderProtocolT0(original.prs));
	ASSERT_TRUE(IsReaderProtocolT0(copy.prs));

	ASSERT_EQ(original.verify(0x05, "1234"), 0u);
	Bytes plain = draxel::test::counting(300), cryptogram, cipher, back;
	ASSERT_EQ(original.encipher("phrase", plain, cryptogram, cipher), 0u);
	ASSERT_EQ(copy.verify(0x05, "1234"), 0u);
	EXPECT_EQ(copy.decipher("phrase", cryptogram, cipher, back), 5u) << "not yet a copy";

	ASSERT_EQ(original.verify(0x07, "12345678"), 0u);
	ASSERT_EQ(copy.verify(0x07, "12345678"), 0u);
	ASSERT_EQ(APDU_ClearCard(copy.prs), 0u);
	int pieces = 0;
	for (;;) {
		BYTE blob[256];
		unsigned long len = sizeof blob;
		ASSERT_EQ(APDU_GetDublBlob(original.prs, blob, &len), 0u);
		ASSERT_EQ(APDU_SetDublBlob(copy.prs, blob, static_cast<BYTE>(len)), 0u);
		if (len == 0)
			break;
		++pieces;
	}
	EXPECT_GT(pieces, 0);
	ASSERT_EQ(copy.verify(0x05, "1234"), 0u);
	ASSERT_EQ(copy.decipher("phrase", cryptogram, cipher, back), 0u);
	EXPECT_EQ(back, plain);
}

TEST_F(TokenReaders, StateSurvivesARestartOfTheDaemon)
{
	char dir_template[] = "/tmp/draxel-token-XXXXXX";
	ASSERT_NE(mkdtemp(dir_template), nullptr);
	std::string state = std::string(dir_template) + "/token.state";
	{
		VirtualCard token = VirtualCard::token(0, {"--state", state});
		ASSERT_TRUE(token.attached());
		ASSERT_EQ(ConnectToMekta(false), 0u);
		Dialogue d{cur_context.pCurReader};
		ASSERT_EQ(d.verify(0x05, "1234"), 0u);
		const std::string new_pin = "98765";
		ASSERT_EQ(APDU_ChangeKey(d.prs, 0x05, reinterpret_cast<const BYTE*>(new_pin.data()), 5), 0u);
		EXPECT_EQ(d.verify(0x05, "0000"), 142u);
	}
	VirtualCard again = VirtualCard::token(0, {"--state", state});
	ASSERT_TRUE(again.attached());
	FreeReaderStruct(cur_context.pCurReader);
	cur_context.pCurReader = nullptr;
	ASSERT_EQ(ConnectToMekta(false), 0u);
	Dialogue d{cur_context.pCurReader};
	EXPECT_EQ(d.verify(0x05, "1234"), 141u) << "the new PIN and the spent try were kept";
	EXPECT_EQ(d.verify(0x05, "98765"), 0u);
	unlink(state.c_str());
	rmdir(dir_template);
}

} // namespace
