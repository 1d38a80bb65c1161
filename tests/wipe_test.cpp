// The command buffers that carried passwords, keys or selections are
// overwritten with 0x5A once the exchange is over. The library's wipe hook
// is replaced here to look at the buffer at that moment.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "apdu4u.h"
#include "support/hex.h"
#include "support/scripted_token.h"

using draxel::test::from_hex;

namespace {
int wipes = 0;
bool wiped_whole = false;
} // namespace

extern "C" void apdu_cmd_buf_wiped(const BYTE* buf, size_t len)
{
	++wipes;
	wiped_whole = len >= 260 && std::all_of(buf, buf + len, [](BYTE b) { return b == 0x5A; });
}

namespace {

class WipeTest : public draxel::test::HostHandlerTest {
protected:
	// Runs a builder that must wipe, once with a good and once with a failed
	// exchange.
	void expect_wiped(const char* name, const std::function<unsigned long()>& builder,
	                  const std::vector<const char*>& replies)
	{
		for (const char* reply : replies)
			token.reply(reply);
		wipes = 0;
		wiped_whole = false;
		builder();
		EXPECT_EQ(wipes, 1) << name;
		EXPECT_TRUE(wiped_whole) << name;
	}
};

TEST_F(WipeTest, PasswordKeyAndSelectionCommands)
{
	const BYTE pin[] = {'1', '2', '3', '4'};
	const BYTE key[32] = {1};
	const BYTE fid[] = {0xF2, 0x10};
	BYTE out[256];
	int out_len = 256;
	unsigned long list_len = 256;
	int attempts = 0;
	for (const char* reply : {"9000", "6982"}) {
		expect_wiped("verify", [&] { return APDU_VerifyPassword(record, 5, pin, 4); }, {reply});
		expect_wiped("change", [&] { return APDU_ChangeKey(record, 0x1D, key, 32); }, {reply});
		expect_wiped("unblock", [&] { return APDU_UnblockKey(record, 0x11); }, {reply});
		expect_wiped("attempts", [&] { return APDU_GetKeyAttempts(record, 5, &attempts); }, {reply});
		expect_wiped("select aid", [&] { return APDU_SelectApplication(record); }, {reply});
		expect_wiped("select", [&] { return APDU_Select(record, fid, 2); }, {reply});
		expect_wiped("select fcp",
		             [&] {
			             out_len = 256;
			             return APDU_Select_FCP(record, fid, 2, out, &out_len);
		             },
		             {reply});
		expect_wiped("update", [&] { return APDU_UpdateBinary(record, pin, 4, 0); }, {reply});
	}
	expect_wiped("verify, failed exchange", [&] { return APDU_VerifyPassword(record, 5, pin, 4); },
	             {"90"});
	out_len = 256;
	expect_wiped("read", [&] { return APDU_ReadBinary(record, out, &out_len, 0); },
	             {"5302AABB9000"});
	expect_wiped("group list", [&] { return APDU_GetGroupNameList(record, out, &list_len, 3); },
	             {"AABB9000"});
}

} // namespace
