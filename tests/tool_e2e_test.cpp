// draxel-tool and a C host through the real pcscd: software tokens in the
// two vpcd readers, found by index, name and serial number, one started again
// from its state file, one pulled out in the middle of a file, and the host
// example built against an installed copy of the library with pkg-config.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "draxel_lib.h"
#include "support/tool_runner.h"
#include "support/virtual_card.h"

using namespace draxel::test;

namespace {

constexpr int kOk = 0, kUsage = 2, kNoToken = 3;

const Env kPasswords = {{"DRAXEL_PIN", "1234"},
                        {"DRAXEL_PUK", "12345678"},
                        {"DRAXEL_SECOND_PUK", "87654321"},
                        {"DRAXEL_PASS_PHRASE", "phrase"}};

ToolRun tool(std::vector<std::string> args)
{
	return run_tool(args, kPasswords);
}

// VERIFY without data for the PUK, by a program of its own: 0 while an
// earlier program's PUK still holds on the card, 140 + tries left when not.
unsigned long puk_state(const std::string &reader)
{
	InitLib(nullptr);
	ReaderStructPtr record = AllocReaderStruct(reader.c_str());
	unsigned long rc = OpenReaderContext(0);
	if (rc == 0)
		rc = OpenReader(nullptr, record, false);
	if (rc == 0)
		rc = APDU_SelectApplication(record);
	if (rc == 0)
		rc = APDU_VerifyPassword(record, 0x07, nullptr, 0);
	CloseReader(record);
	FreeReaderStruct(record);
	CloseReaderContext();
	return rc;
}

// Starting a daemon and waiting for pcscd to see it takes most of the time,
// so each test starts its token daemons once and does all it can with them.
TEST(ToolThroughPcscd, FindsTokensByIndexNameAndSerialAndCopiesOneOntoTheOther)
{
	TempDir dir;
	VirtualCard first = VirtualCard::token(0, {"--state", dir / "state"});
	// the second token refuses the first duplicate piece it is given
	VirtualCard second =
	        VirtualCard::token(1, {"--t0", "--puk", "87654321", "--fault", "status:34:1"});
	ASSERT_TRUE(first.attached() && second.attached());

	ToolRun readers = tool({"--json", "--debug", "2:" + dir / "trace", "readers"});
	ASSERT_EQ(readers.status, kOk) << readers.err;
	EXPECT_NE(read_file(dir / "trace").find("ATR:\n3B "), std::string::npos)
	        << "the trace shows the card's own ATR";
	std::string serial[2];
	const nlohmann::json listed = readers.json();
	for (const auto &reader : listed["readers"]) {
		for (int i = 0; i < 2; ++i)
			if (reader["name"] == (i == 0 ? first : second).reader()) {
				EXPECT_EQ(reader["token"], true);
				serial[i] = reader["serial"];
			}
	}
	ASSERT_EQ(serial[0].size(), 14u);
	ASSERT_EQ(serial[1].size(), 14u);
	for (const std::string &which :
	     {first.reader(), second.reader().substr(second.reader().size() - 5), serial[1],
	      serial[0]}) {
		ToolRun info = tool({"--json", "--reader", which, "info"});
		ASSERT_EQ(info.status, kOk) << which << ": " << info.err;
		EXPECT_EQ(info.json()["serial"],
		          which == first.reader() || which == serial[0] ? serial[0] : serial[1]);
	}
	EXPECT_EQ(tool({"info"}).status, kNoToken); // two tokens: no guessing
	EXPECT_EQ(tool({"--reader", "Virtual PCD", "info"}).status, kUsage);
	EXPECT_EQ(tool({"--reader", "00000000000000", "info"}).status, kNoToken);

	// a file in fast mode (a token-mode one: below, pulled out in the middle)
	write_file(dir / "big", pattern(3 * (1 << 20) + 3));
	ASSERT_EQ(tool({"--reader", serial[0], "file", "encrypt", "--fast", dir / "big"}).status,
	          kOk);
	ASSERT_EQ(tool({"--reader", serial[0], "file", "decrypt", dir / "big.drx", "-o",
	                dir / "big.out"})
	                  .status,
	          kOk);
	EXPECT_TRUE(read_file(dir / "big.out") == read_file(dir / "big"));

	// the copy: the second token (its own PUK) then deciphers the first's
	ASSERT_EQ(tool({"--reader", serial[0], "group", "create", "team"}).status, kOk);
	ToolRun cipher =
	        tool({"--reader", serial[0], "msg", "encrypt", "-g", "team", "over pcscd"});
	ASSERT_EQ(cipher.status, kOk) << cipher.err;
	// a copy that fails on the second token after both PUKs, then one that
	// succeeds: each time both tokens are closed and neither PUK holds on
	// its card afterwards
	ToolRun copy;
	for (int status : {7, kOk}) {
		copy = tool(
		        {"--reader", serial[0], "--second-reader", second.reader(), "dup", "copy"});
		EXPECT_EQ(copy.status, status) << copy.err;
		for (const VirtualCard *card : {&first, &second})
			EXPECT_GE(puk_state(card->reader()), 140u) << card->reader();
	}
	ASSERT_EQ(copy.status, kOk) << copy.err;
	ToolRun there = tool({"--reader", serial[1], "msg", "decrypt", "-g", "team", cipher.out});
	EXPECT_EQ(there.out, "over pcscd") << there.err;
	EXPECT_EQ(
	        tool({"--reader", serial[1], "file", "decrypt", dir / "big.drx", "-o", dir / "b2"})
	                .status,
	        kOk);

	// the first token's daemon started again from its state file: a new PIN,
	// a spent try, the group and the keys are still there
	Env env = kPasswords;
	env["DRAXEL_NEW_PIN"] = "2468";
	ASSERT_EQ(run_tool({"--reader", serial[0], "pin", "change"}, env).status, kOk);
	env["DRAXEL_PIN"] = "0000";
	EXPECT_EQ(run_tool({"--reader", serial[0], "pin", "verify"}, env).status, 4);
	first.pull();
	VirtualCard again = VirtualCard::token(0, {"--state", dir / "state"});
	ASSERT_TRUE(again.attached());
	env["DRAXEL_PIN"] = "2468";
	EXPECT_EQ(
	        run_tool({"--json", "--reader", serial[0], "info"}, env).json()["attempts"]["pin"],
	        2);
	there = run_tool({"--reader", serial[0], "msg", "decrypt", "-g", "team", cipher.out}, env);
	EXPECT_EQ(there.out, "over pcscd") << there.err;
}

TEST(ToolThroughPcscd, APulledCardLeavesNoPlaintextAndTheOldFileInPlace)
{
	TempDir dir;
	// token mode: a PSO command every 232 bytes, about 100 each way; the
	// card leaves the reader at the 150th, in the middle of the decryption,
	// and comes back a moment later
	VirtualCard card = VirtualCard::token(0, {"--fault", "drop:2A:150"});
	ASSERT_TRUE(card.attached());
	write_file(dir / "plain", pattern(24000, 3));
	ASSERT_EQ(tool({"file", "encrypt", dir / "plain", "-o", dir / "enc"}).status, kOk);
	write_file(dir / "out", "the old contents");

	ToolRun run = tool({"file", "decrypt", dir / "enc", "-o", dir / "out", "-f"});
	EXPECT_TRUE(run.status == 8 || run.status == kNoToken) << run.status << " " << run.err;
	EXPECT_TRUE(read_file(dir / "out") == "the old contents");
	EXPECT_EQ(dir.entries(), (std::vector<std::string>{"enc", "out", "plain"}));

	// back in the reader, the token deciphers the file
	bool back = false;
	for (int i = 0; i < 50 && !back; ++i) {
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
		back = tool({"--reader", card.reader(), "info"}).status == kOk;
	}
	ASSERT_TRUE(back);
	EXPECT_EQ(tool({"file", "decrypt", dir / "enc", "-o", dir / "out", "-f"}).status, kOk);
	EXPECT_TRUE(read_file(dir / "out") == pattern(24000, 3));
}

// The host example from the README, compiled as a user would: against a
// `cmake --install` into a fresh prefix, with pkg-config.
TEST(HostExample, BuildsWithPkgConfigAndRunsAgainstATokenBehindPcscd)
{
	TempDir prefix;
	std::string install =
	        std::string("'" CMAKE_COMMAND "' --install '" DRAXEL_BUILD_DIR "' --prefix '") +
	        prefix.path() + "' >/dev/null";
	ASSERT_EQ(std::system(install.c_str()), 0);
	std::string compile =
	        "export PKG_CONFIG_PATH='" + prefix.path() + "/" DRAXEL_LIBDIR "/pkgconfig'; " +
	        "'" C_COMPILER "' -std=c99 -Wall -Werror -pedantic '" DRAXEL_SOURCE_DIR
	        "/examples/host_example.c' $(pkg-config --cflags --libs draxel_lib) " +
	        "-Wl,-rpath,'" + prefix.path() + "/" DRAXEL_LIBDIR "' -o '" +
	        (prefix / "host_example") + "'";
	ASSERT_EQ(std::system(compile.c_str()), 0) << compile;

	VirtualCard card = VirtualCard::token(0);
	ASSERT_TRUE(card.attached());
	std::string output = prefix / "output";
	std::string run = "DRAXEL_PIN=1234 '" + (prefix / "host_example") +
	                  "' 'from the README' >'" + output + "'";
	EXPECT_EQ(std::system(run.c_str()), 0);
	EXPECT_NE(read_file(output).find("deciphered: from the README"), std::string::npos)
	        << read_file(output);
}

} // namespace
