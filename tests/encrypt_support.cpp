#include "encrypt_support.h"

#include <algorithm>
#include <cstring>

namespace draxel::test {

namespace {

Bytes field(const std::string& text)
{
	Bytes f(64, 0);
	std::memcpy(f.data(), text.data(), text.size());
	return f;
}

} // namespace

std::string text_hex(const std::string& s)
{
	return to_hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string mse_set(int mode)
{
	static const char* keys[] = {"", "0B", "0D", "0F"};
	return std::string("0022C1B806" "8301") + keys[mode] + "8C0103";
}

std::string select_group(const std::string& name)
{
	return "803A040040" + to_hex(field(name));
}

std::vector<std::string> opening(int mode)
{
	return {kSelectApp, kMseReset, mse_set(mode)};
}

void ScriptedDialogue::SetUp()
{
	HostHandlerTest::SetUp();
	cur_context = LogicDLLContext{};
	cur_context.pCurReader = record;
}

void ScriptedDialogue::TearDown()
{
	cur_context = LogicDLLContext{};
	HostHandlerTest::TearDown();
}

void ScriptedDialogue::accept_opening(int mode)
{
	for (int i = 0; i < (mode == 3 ? 4 : 3); i++)
		token.reply("9000");
}

std::vector<std::string> ScriptedDialogue::sent() const
{
	const std::vector<std::string>& all = token.commands();
	return std::vector<std::string>(all.begin() + static_cast<long>(std::min(mark_, all.size())),
	                                all.end());
}

bool ScriptedDialogue::no_cipher_command() const
{
	for (const std::string& c : sent())
		if (c.compare(2, 2, "36") == 0 || c.compare(2, 2, "2A") == 0)
			return false;
	return true;
}

std::vector<uint8_t> RecordingCard::process(std::span<const uint8_t> apdu)
{
	std::vector<uint8_t> reply = inner_.process(apdu);
	exchanges.emplace_back(Bytes(apdu.begin(), apdu.end()), reply);
	return reply;
}

Bytes RecordingCard::last_reply(uint8_t ins, uint8_t p1) const
{
	for (auto it = exchanges.rbegin(); it != exchanges.rend(); ++it)
		if (it->first.size() >= 4 && it->first[1] == ins && it->first[2] == p1)
			return Bytes(it->second.begin(), it->second.end() - 2);
	return {};
}

SoftToken::SoftToken() : token(sim::issue_token()), card(token), attached(card) {}

void SoftToken::SetUp()
{
	InitLib(attached.table());
	cur_context = LogicDLLContext{};
	ASSERT_EQ(ConnectToMekta(false), 0u);
	ReaderStructPtr prs = cur_context.pCurReader;
	ASSERT_EQ(APDU_SelectApplication(prs), 0u);
	ASSERT_EQ(APDU_VerifyPassword(prs, 0x05, reinterpret_cast<const BYTE*>("1234"), 4), 0u);
	Bytes name = field(kGroup), phrase = field(kGroupPhrase);
	ASSERT_EQ(APDU_CreateGroup(prs, name.data(), 64, phrase.data(), 64), 0u);
	card.exchanges.clear();
}

void SoftToken::TearDown()
{
	FreeReaderStruct(cur_context.pCurReader);
	cur_context = LogicDLLContext{};
	InitLib(nullptr);
}

} // namespace draxel::test
