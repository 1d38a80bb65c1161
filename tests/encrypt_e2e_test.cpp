// Messages and files through the real pcscd: a T=1 token in the first vpcd
// reader, a T=0 token (61xx behind every reply with data) in the second.
// Every mode, token and fast, in chunks that cross the 232-byte blocks; the
// many other splits run in-process (file_test.cpp), where they cost less.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "draxel_lib.h"
#include "support/hex.h"
#include "support/virtual_card.h"

using draxel::test::Bytes;
using draxel::test::VirtualCard;

namespace {

constexpr int kFirst = 0x100, kLast = 0x200, kFast = 0x001;
const char* const kGroup = "crew";
const char* const kGroupPhrase = "crew phrase";

const char* group_of(int mode) { return mode == 3 ? kGroup : nullptr; }
const char* phrase_of(int mode) { return mode == 3 ? kGroupPhrase : "pcsc phrase"; }

Bytes field(const std::string& text)
{
	Bytes f(64, 0);
	std::memcpy(f.data(), text.data(), text.size());
	return f;
}

class EncryptThroughPcscd : public ::testing::Test {
protected:
	void SetUp() override
	{
		InitLib(nullptr);
		cur_context = LogicDLLContext{};
	}
	void TearDown() override
	{
		FreeReaderStruct(cur_context.pCurReader);
		cur_context = LogicDLLContext{};
		if (hSC != 0)
			CloseReaderContext();
	}

	// Connects, verifies the PIN and makes the group.
	void prepare(bool t0)
	{
		ASSERT_EQ(ConnectToMekta(false), 0u);
		ReaderStructPtr prs = cur_context.pCurReader;
		ASSERT_EQ(IsReaderProtocolT0(prs), t0);
		ASSERT_EQ(APDU_SelectApplication(prs), 0u);
		ASSERT_EQ(APDU_VerifyPassword(prs, 0x05, reinterpret_cast<const BYTE*>("1234"), 4), 0u);
		Bytes name = field(kGroup), phrase = field(kGroupPhrase);
		ASSERT_EQ(APDU_CreateGroup(prs, name.data(), 64, phrase.data(), 64), 0u);
	}

	void messages()
	{
		for (int mode = 1; mode <= 3; mode++) {
			for (size_t len : {233}) {
				std::string message(len, static_cast<char>('a' + mode));
				std::string text(2 * (36 + len) + 1, '#');
				int size = static_cast<int>(text.size());
				ASSERT_EQ(EncryptMes(message.c_str(), text.data(), &size, mode, phrase_of(mode),
				                     group_of(mode)),
				          0u)
				    << mode << "/" << len;
				std::string plain(len + 1, '#');
				size = static_cast<int>(plain.size());
				ASSERT_EQ(DecryptMes(text.c_str(), plain.data(), &size, mode, phrase_of(mode),
				                     group_of(mode)),
				          0u)
				    << mode << "/" << len;
				EXPECT_EQ(plain.c_str(), message);
			}
		}
	}

	// Chunk by chunk, each call's output taken whole.
	static Bytes run(bool encipher, const Bytes& in, const std::vector<size_t>& pieces, int mode,
	                 int fast)
	{
		Bytes result;
		size_t at = 0;
		for (size_t i = 0; i < pieces.size(); at += pieces[i++]) {
			int flags = (i == 0 ? kFirst : 0) | (i + 1 == pieces.size() ? kLast : 0) | fast;
			Bytes out(pieces[i] + 84);
			int size = static_cast<int>(out.size());
			auto op = encipher ? EncryptFileData : DecryptFileData;
			unsigned long rc = op(in.data() + at, static_cast<int>(pieces[i]), out.data(), &size,
			                      mode, phrase_of(mode), group_of(mode), flags);
			EXPECT_EQ(rc, 0u) << "piece " << i;
			if (rc != 0)
				return {};
			result.insert(result.end(), out.begin(), out.begin() + size);
		}
		return result;
	}

	void files()
	{
		std::mt19937 rng(2024);
		Bytes data(600);
		std::generate(data.begin(), data.end(), [&rng] { return static_cast<uint8_t>(rng()); });
		for (int mode = 1; mode <= 3; mode++) {
			for (int fast : {0, kFast}) {
				SCOPED_TRACE(testing::Message() << "mode " << mode << " fast " << fast);
				std::vector<size_t> chunks = {248, 248, 104};
				Bytes file = run(true, data, chunks, mode, fast);
				size_t head = fast && mode == 3 ? 80 : 48;
				ASSERT_EQ(file.size(), head + data.size() + 4);
				chunks.front() += head;
				chunks.back() += 4;
				EXPECT_EQ(run(false, file, chunks, mode, 0), data);
			}
		}
	}
};

TEST_F(EncryptThroughPcscd, T1Token)
{
	VirtualCard token = VirtualCard::token(0);
	ASSERT_TRUE(token.attached());
	ASSERT_NO_FATAL_FAILURE(prepare(false));
	messages();
	files();
}

TEST_F(EncryptThroughPcscd, T0Token)
{
	VirtualCard token = VirtualCard::token(1, {"--t0"});
	ASSERT_TRUE(token.attached());
	ASSERT_NO_FATAL_FAILURE(prepare(true));
	messages();
	files();
}

} // namespace
