// Fixtures for the password, group, note and maintenance operations: a
// scripted token that is the library's current reader, and a software token
// attached in-process.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "draxel_lib.h"
#include "support/hex.h"
#include "support/scripted_token.h"
#include "token.h"
#include "token_handler.h"

namespace draxel::test {

// ---- commands as the library frames them, in hex --------------------------

inline std::string hex_byte(size_t value)
{
	char buf[3];
	std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(value & 0xFF));
	return buf;
}

inline std::string hex16(size_t value)
{
	return hex_byte(value >> 8) + hex_byte(value);
}

inline std::string hex_text(std::string_view text)
{
	return to_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

inline const std::string kSelectApp = "00A4040C0A" + hex_text("MEKTA_PSCH");

inline std::string select_file(const std::string& fid)
{
	return "00A4000C02" + fid;
}

inline std::string verify(uint8_t ref, std::string_view password)
{
	return "002000" + hex_byte(ref) + hex_byte(password.size()) + hex_text(password);
}

inline std::string update_binary(size_t offset, const Bytes& data)
{
	std::string length = data.size() < 0x80 ? hex_byte(data.size()) : "81" + hex_byte(data.size());
	size_t lc = 4 + 1 + length.size() / 2 + data.size();
	return "00D70000" + hex_byte(lc) + "5402" + hex16(offset) + "53" + length + to_hex(data);
}

inline std::string read_binary(size_t offset)
{
	return "00B10000045402" + hex16(offset);
}

// A READ BINARY answer carrying data, then 9000.
inline std::string read_answer(const Bytes& data)
{
	std::string length = data.size() < 0x80 ? hex_byte(data.size()) : "81" + hex_byte(data.size());
	return "53" + length + to_hex(data) + "9000";
}

// ---- messages through the library, for checking a token's keys ------------

// EncryptMes into text; 0 or the code.
inline unsigned long encrypt(const std::string& message, int mode, const char* phrase,
                             const char* group, std::string& text)
{
	int size = 0;
	unsigned long rc = EncryptMes(message.c_str(), nullptr, &size, mode, phrase, group);
	std::string out(static_cast<size_t>(size), '\0');
	if (rc == 0)
		rc = EncryptMes(message.c_str(), out.data(), &size, mode, phrase, group);
	text = out.c_str();
	return rc;
}

// DecryptMes into message; 0 or the code.
inline unsigned long decrypt(const std::string& text, int mode, const char* phrase,
                             const char* group, std::string& message)
{
	int size = 0;
	unsigned long rc = DecryptMes(text.c_str(), nullptr, &size, mode, phrase, group);
	std::string out(static_cast<size_t>(size), '\0');
	if (rc == 0)
		rc = DecryptMes(text.c_str(), out.data(), &size, mode, phrase, group);
	message = out.c_str();
	return rc;
}

// ---- fixtures --------------------------------------------------------------

// The scripted token as the current reader (and, where a test sets it, the
// second reader too: both then share one command log).
class ScriptedManagement : public HostHandlerTest {
protected:
	void SetUp() override
	{
		HostHandlerTest::SetUp();
		cur_context = LogicDLLContext{record, nullptr, 0};
	}
	void TearDown() override
	{
		cur_context = LogicDLLContext{};
		HostHandlerTest::TearDown();
	}
	void replies(int count, const char* reply = "9000")
	{
		for (int i = 0; i < count; ++i)
			token.reply(reply);
	}
	const std::vector<std::string>& sent() const { return token.commands(); }
};

// A software token behind the host transmit handler, connected as the
// current reader.
class InProcessManagement : public ::testing::Test {
protected:
	void attach(const sim::IssueOptions& options = {})
	{
		token_ = std::make_unique<sim::Token>(sim::issue_token(options));
		attach_existing(*token_);
	}
	// Makes another token (kept by the caller) the one the library talks to.
	void attach_existing(sim::Token& token)
	{
		handler_ = std::make_unique<sim::InProcessToken>(token);
		InitLib(handler_->table());
		FreeReaderStruct(cur_context.pCurReader);
		cur_context = LogicDLLContext{};
		ASSERT_EQ(ConnectToMekta(false), 0u);
	}
	void power_cycle() { handler_->power_cycle(); }
	const sim::TokenState& state() const { return token_->state(); }
	void TearDown() override
	{
		FreeReaderStruct(cur_context.pCurReader);
		cur_context = LogicDLLContext{};
		InitLib(nullptr);
		handler_.reset();
		token_.reset();
	}

private:
	std::unique_ptr<sim::Token> token_;
	std::unique_ptr<sim::InProcessToken> handler_;
};

} // namespace draxel::test
