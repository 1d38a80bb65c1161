// A token behind the host transmit handler whose replies a test scripts and
// whose received commands it inspects afterwards.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "draxel_lib.h"
#include "hex.h"

namespace draxel::test {

class ScriptedToken {
public:
	ScriptedToken();
	~ScriptedToken();
	ScriptedToken(const ScriptedToken&) = delete;
	ScriptedToken& operator=(const ScriptedToken&) = delete;

	// Queue a reply (data then SW1 SW2) written as hex.
	void reply(std::string_view hex);
	// Queue a reply whose reported length differs from its bytes.
	void reply_with_length(std::string_view hex, int reported_length);

	// Every command received so far, as hex, in order.
	const std::vector<std::string>& commands() const { return commands_; }
	size_t pending_replies() const { return replies_.size(); }
	// The table to hand to InitTransportLib.
	Type_ReaderFuncStruct* table() { return &table_; }

private:
	struct Reply {
		Bytes bytes;
		std::optional<int> reported_length;
	};
	static unsigned long handler(unsigned char* send, int send_len, unsigned char* recv,
	                             int* recv_len);

	static ScriptedToken* active_;
	Type_ReaderFuncStruct table_{};
	std::deque<Reply> replies_;
	std::vector<std::string> commands_;
};

// Host-handler mode over a ScriptedToken, with a reader record for it.
class HostHandlerTest : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	ScriptedToken token;
	ReaderStructPtr record = nullptr;
};

} // namespace draxel::test
