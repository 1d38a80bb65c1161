// A token behind the host transmit handler whose replies a test scripts and
// whose received commands it inspects afterwards.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "draxel_lib.h"
#include "hex.h"

namespace draxel::test {

class ScriptedToken {
public:
	ScriptedToken() { active_ = this; }
	~ScriptedToken()
	{
		if (active_ == this)
			active_ = nullptr;
	}
	ScriptedToken(const ScriptedToken &) = delete;
	ScriptedToken &operator=(const ScriptedToken &) = delete;

	// Queue a reply (data then SW1 SW2) written as hex; optionally with a
	// reported length that differs from its bytes.
	void reply(std::string_view hex) { replies_.push_back({from_hex(hex), std::nullopt}); }
	void reply_with_length(std::string_view hex, int reported_length)
	{
		replies_.push_back({from_hex(hex), reported_length});
	}

	// Every command received so far, as hex, in order.
	const std::vector<std::string> &commands() const { return commands_; }
	size_t pending_replies() const { return replies_.size(); }
	// Called as each command arrives, to look at the library's state then.
	std::function<void()> on_command;
	// The table to hand to InitTransportLib.
	Type_ReaderFuncStruct *table() { return &table_; }

private:
	struct Reply {
		Bytes bytes;
		std::optional<int> reported_length;
	};
	static unsigned long handler(unsigned char *send, int send_len, unsigned char *recv,
	                             int *recv_len)
	{
		ScriptedToken *self = active_;
		if (self == nullptr || send_len < 0 || self->replies_.empty()) {
			ADD_FAILURE()
			        << "no scripted token or reply for "
			        << (send_len < 0 ? ""
			                         : to_hex(send, static_cast<size_t>(send_len)));
			*recv_len = 0;
			return 1;
		}
		self->commands_.push_back(to_hex(send, static_cast<size_t>(send_len)));
		if (self->on_command)
			self->on_command();
		Reply next = std::move(self->replies_.front());
		self->replies_.pop_front();
		EXPECT_EQ(*recv_len, DRAXEL_MAX_REPLY)
		        << "the library must offer its full receive buffer";
		std::memcpy(recv, next.bytes.data(),
		            std::min<size_t>(next.bytes.size(), *recv_len));
		*recv_len = next.reported_length.value_or(static_cast<int>(next.bytes.size()));
		return 0;
	}

	static inline ScriptedToken *active_ = nullptr;
	Type_ReaderFuncStruct table_{&ScriptedToken::handler};
	std::deque<Reply> replies_;
	std::vector<std::string> commands_;
};

// A call of the library with its text, for tables of calls; CALL and NAMED
// make them from an expression over the test's own locals and members.
struct Call {
	std::string name;
	std::function<unsigned long()> run;
};
#define CALL(...) [&]() -> unsigned long { return __VA_ARGS__; }
#define NAMED(...)                                                                                 \
	Call                                                                                       \
	{                                                                                          \
#__VA_ARGS__, CALL(__VA_ARGS__)                                                    \
	}

// Host-handler mode over a ScriptedToken, with a reader record for it.
class HostHandlerTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		InitTransportLib(token.table());
		record = AllocReaderStruct(nullptr);
		ASSERT_NE(record, nullptr);
	}
	void TearDown() override
	{
		FreeReaderStruct(record);
		InitTransportLib(nullptr);
		EXPECT_EQ(token.pending_replies(), 0u) << "scripted replies left unused";
	}

	ScriptedToken token;
	ReaderStructPtr record = nullptr;
};

} // namespace draxel::test
