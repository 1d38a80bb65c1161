#include "scripted_token.h"

#include <cstring>

namespace draxel::test {

ScriptedToken* ScriptedToken::active_ = nullptr;

ScriptedToken::ScriptedToken()
{
	table_.handlerScardTransmit = &ScriptedToken::handler;
	active_ = this;
}

ScriptedToken::~ScriptedToken()
{
	if (active_ == this)
		active_ = nullptr;
}

void ScriptedToken::reply(std::string_view hex)
{
	replies_.push_back({from_hex(hex), std::nullopt});
}

void ScriptedToken::reply_with_length(std::string_view hex, int reported_length)
{
	replies_.push_back({from_hex(hex), reported_length});
}

unsigned long ScriptedToken::handler(unsigned char* send, int send_len, unsigned char* recv,
                                     int* recv_len)
{
	ScriptedToken* self = active_;
	if (self == nullptr || send_len < 0) {
		ADD_FAILURE() << "handler called without a scripted token";
		*recv_len = 0;
		return 1;
	}
	self->commands_.push_back(to_hex(send, static_cast<size_t>(send_len)));
	if (self->replies_.empty()) {
		ADD_FAILURE() << "no reply scripted for command " << self->commands_.back();
		*recv_len = 0;
		return 1;
	}
	Reply next = std::move(self->replies_.front());
	self->replies_.pop_front();
	EXPECT_EQ(*recv_len, DRAXEL_MAX_REPLY) << "the library must offer its full receive buffer";
	size_t copied = std::min<size_t>(next.bytes.size(), static_cast<size_t>(*recv_len));
	std::memcpy(recv, next.bytes.data(), copied);
	*recv_len = next.reported_length.value_or(static_cast<int>(next.bytes.size()));
	return 0;
}

void HostHandlerTest::SetUp()
{
	InitTransportLib(token.table());
	record = AllocReaderStruct(nullptr);
	ASSERT_NE(record, nullptr);
}

void HostHandlerTest::TearDown()
{
	FreeReaderStruct(record);
	InitTransportLib(nullptr);
	EXPECT_EQ(token.pending_replies(), 0u) << "scripted replies left unused";
}

} // namespace draxel::test
