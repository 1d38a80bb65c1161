// One token behind the real pcscd shared by several programs at once: this
// process as a long-running host of the library, draxel-tool runs beside
// it, and a raw PC/SC client that keeps changing the token's security
// environment. No operation may mix with another program's commands, and
// none may report success with a wrong result.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winscard.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "draxel_lib.h"
#include "support/tool_runner.h"
#include "support/virtual_card.h"

using namespace draxel::test;

namespace {

constexpr int kOk = 0, kNoToken = 3;
const Env kPasswords = {{"DRAXEL_PIN", "1234"}, {"DRAXEL_PASS_PHRASE", "phrase"}};

// SELECT of the application, MSE RESET, the enciphering key 0x0D, and a
// session key of its own: everything that would break another program's
// sequence if it came between two of its commands.
const std::vector<std::vector<BYTE>> kDisturbance = {
        {0x00, 0xA4, 0x04, 0x0C, 0x0A, 'M', 'E', 'K', 'T', 'A', '_', 'P', 'S', 'C', 'H'},
        {0x00, 0x22, 0xF3, 0x00},
        {0x00, 0x22, 0xC1, 0xB8, 0x06, 0x83, 0x01, 0x0D, 0x8C, 0x01, 0x03},
        {0x80, 0x36, 0x01, 0x00, 0x01, 'x'},
};

// A child process that sends the disturbance over and over through its own
// PC/SC connection, without transactions, until it is killed.
pid_t start_disturber(const std::string &reader)
{
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	SCARDCONTEXT ctx = 0;
	SCARDHANDLE card = 0;
	DWORD protocol = 0;
	if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS ||
	    SCardConnect(ctx, reader.c_str(), SCARD_SHARE_SHARED,
	                 SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
	                 &protocol) != SCARD_S_SUCCESS)
		_exit(1);
	const SCARD_IO_REQUEST *pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
	for (;;) {
		for (const auto &command : kDisturbance) {
			BYTE reply[258];
			DWORD len = sizeof reply;
			SCardTransmit(card, pci, command.data(), static_cast<DWORD>(command.size()),
			              nullptr, reply, &len);
		}
	}
}

void stop(pid_t pid)
{
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
}

// The library in this process, connected to the one token.
struct Host {
	Host()
	{
		InitLib(nullptr);
		ok = ConnectToMekta(false) == 0 && VerifyPIN("1234", false) == 0;
	}
	~Host()
	{
		CloseReader(cur_context.pCurReader);
		FreeReaderStruct(cur_context.pCurReader);
		cur_context.pCurReader = nullptr;
	}
	bool ok = false;
};

// A message there and back: the code of the first failing step, or 0 when
// the text came back as it went.
unsigned long message_round_trip(const std::string &text)
{
	char cipher[1024];
	char plain[512];
	int cipher_size = sizeof cipher, plain_size = sizeof plain;
	unsigned long rc = EncryptMes(text.c_str(), cipher, &cipher_size, 2, "phrase", nullptr);
	if (rc == 0)
		rc = DecryptMes(cipher, plain, &plain_size, 2, "phrase", nullptr);
	EXPECT_TRUE(rc != 0 || text == plain) << "a wrong result reported as success";
	return rc;
}

// A file through the token in three chunks, or on the host (fast), and back.
unsigned long file_round_trip(const std::vector<unsigned char> &data, bool fast)
{
	const int chunk = static_cast<int>(data.size() / 3);
	const int flags[3] = {DRAXEL_FILE_FIRST, 0, DRAXEL_FILE_LAST};
	std::vector<unsigned char> file(data.size() + 128), back(data.size() + 128);
	int file_len = 0, back_len = 0;
	unsigned long rc = 0;
	for (int i = 0; rc == 0 && i < 3; ++i) {
		int len = i < 2 ? chunk : static_cast<int>(data.size()) - 2 * chunk;
		int size = static_cast<int>(file.size()) - file_len;
		rc = EncryptFileData(data.data() + i * chunk, len, file.data() + file_len, &size, 1,
		                     "phrase", nullptr, flags[i] | (fast ? DRAXEL_FILE_FAST : 0));
		file_len += size;
	}
	int size = static_cast<int>(back.size());
	if (rc == 0)
		rc = DecryptFileData(file.data(), file_len, back.data(), &size, 1, "phrase",
		                     nullptr, DRAXEL_FILE_FIRST | DRAXEL_FILE_LAST);
	back_len = size;
	EXPECT_TRUE(rc != 0 ||
	            std::equal(data.begin(), data.end(), back.begin(), back.begin() + back_len))
	        << "a wrong result reported as success";
	return rc;
}

std::vector<unsigned char> bytes(size_t size)
{
	std::string text = pattern(size);
	return {text.begin(), text.end()};
}

// What the host does after another program cleared the PIN: verify again.
unsigned long retried(const std::function<unsigned long()> &operation)
{
	unsigned long rc = operation();
	if (rc == DRAXEL_E_ACCESS_DENIED && VerifyPIN("1234", false) == 0)
		rc = operation();
	return rc;
}

TEST(SharedToken, NoOperationMixesWithAnotherProgramsCommands)
{
	VirtualCard card = VirtualCard::token(0);
	ASSERT_TRUE(card.attached());
	pid_t disturber = start_disturber(card.reader());
	{
		Host host;
		ASSERT_TRUE(host.ok);
		const auto data = bytes(2400); // chunks of a whole number of blocks
		for (int round = 0; round < 15; ++round) {
			EXPECT_EQ(message_round_trip("round " + std::to_string(round)), 0u);
			EXPECT_EQ(file_round_trip(data, false), 0u);
			EXPECT_EQ(file_round_trip(data, true), 0u);
		}
	}
	stop(disturber);
}

// Two message loops and a token-mode file loop of the tool, each run its own
// process, beside a host that verified once: every tool run succeeds, and
// the host's operations succeed or, once a tool run has cleared the PIN on
// its way out, fail with 104 and succeed after a new VerifyPIN.
TEST(SharedToken, ToolLoopsBesideAHostThatVerifiedOnce)
{
	VirtualCard card = VirtualCard::token(0, {"--t0"});
	ASSERT_TRUE(card.attached());
	Host host;
	ASSERT_TRUE(host.ok);
	TempDir dir;
	write_file(dir / "data", pattern(30000));
	std::atomic<int> tools_running{3}, tool_failures{0};
	auto message_loop = [&](int loop) {
		for (int round = 0; round < 4; ++round) {
			std::string text =
			        "loop " + std::to_string(loop) + " round " + std::to_string(round);
			ToolRun cipher = run_tool({"msg", "encrypt", "-m", "2", text}, kPasswords);
			ToolRun plain =
			        run_tool({"msg", "decrypt", "-m", "2", cipher.out}, kPasswords);
			if (cipher.status != kOk || plain.status != kOk || plain.out != text)
				++tool_failures;
		}
		--tools_running;
	};
	auto file_loop = [&] {
		for (int round = 0; round < 3; ++round) {
			ToolRun cipher = run_tool(
			        {"file", "encrypt", "-f", dir / "data", "-o", dir / "data.drx"},
			        kPasswords);
			ToolRun plain = run_tool(
			        {"file", "decrypt", "-f", dir / "data.drx", "-o", dir / "back"},
			        kPasswords);
			if (cipher.status != kOk || plain.status != kOk ||
			    read_file(dir / "back") != read_file(dir / "data"))
				++tool_failures;
		}
		--tools_running;
	};
	std::vector<std::thread> loops;
	loops.emplace_back(message_loop, 1);
	loops.emplace_back(message_loop, 2);
	loops.emplace_back(file_loop);
	const auto data = bytes(1200);
	int host_rounds = 0;
	while (tools_running > 0) {
		EXPECT_EQ(retried([] { return message_round_trip("host"); }), 0u);
		EXPECT_EQ(retried([&] { return file_round_trip(data, false); }), 0u);
		++host_rounds;
		// pcscd hands a released card to a waiting program only at its next
		// poll: a host that never pauses would keep the card to itself
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	}
	for (auto &loop : loops)
		loop.join();
	EXPECT_EQ(tool_failures, 0);
	EXPECT_GT(host_rounds, 0);
}

TEST(SharedToken, HoldsKeepTheTokenAndWaitsForItAreBounded)
{
	VirtualCard card = VirtualCard::token(0);
	ASSERT_TRUE(card.attached());
	auto busy = [] {
		ToolRun info = run_tool({"--wait", "1", "info"}, kPasswords);
		return info.status == kNoToken && info.err.find("token busy") != std::string::npos;
	};
	Host host;
	ASSERT_TRUE(host.ok);

	// the host's own holds nest, and only its own can be ended
	EXPECT_EQ(EndTokenTransaction(), static_cast<unsigned long>(DRAXEL_E_BAD_ARGUMENT));
	ASSERT_EQ(BeginTokenTransaction(), 0u);
	ASSERT_EQ(BeginTokenTransaction(), 0u);
	EXPECT_EQ(message_round_trip("held"), 0u);
	EXPECT_TRUE(busy());
	EXPECT_EQ(EndTokenTransaction(), 0u);
	EXPECT_TRUE(busy());
	EXPECT_EQ(EndTokenTransaction(), 0u);

	// a run that presents no password (its probe included) leaves the card
	// as it was: the host's PIN still holds
	ASSERT_EQ(run_tool({"info"}, kPasswords).status, kOk);
	EXPECT_EQ(message_round_trip("still verified"), 0u);
	// one that presented the PIN clears it on its way out
	ASSERT_EQ(run_tool({"msg", "encrypt", "x"}, kPasswords).status, kOk);
	EXPECT_EQ(message_round_trip("cleared"),
	          static_cast<unsigned long>(DRAXEL_E_ACCESS_DENIED));
	ASSERT_EQ(VerifyPIN("1234", false), 0u);

	// a token-mode file keeps the token from its first chunk until it ends
	// (its last chunk, a failing chunk, or the host giving it up)
	const auto data = bytes(600);
	std::vector<unsigned char> out(1024);
	int size = static_cast<int>(out.size());
	ASSERT_EQ(EncryptFileData(data.data(), 300, out.data(), &size, 1, "p", nullptr,
	                          DRAXEL_FILE_FIRST),
	          0u);
	EXPECT_TRUE(busy());
	AbandonFileData();
	EXPECT_EQ(run_tool({"info"}, kPasswords).status, kOk);

	// a program killed while it holds the token: pcscd frees and resets the
	// card, and the others go on
	TempDir dir;
	write_file(dir / "big", pattern(3 << 20));
	ToolProcess holder = start_tool({"file", "encrypt", dir / "big"}, kPasswords);
	std::this_thread::sleep_for(std::chrono::milliseconds(400));
	kill(holder.pid, SIGKILL);
	wait_tool(holder);
	EXPECT_EQ(retried([] { return message_round_trip("after the kill"); }), 0u);
	EXPECT_EQ(run_tool({"msg", "encrypt", "x"}, kPasswords).status, kOk);
}

// The software token's state file is shared the same way, through a lock:
// a reader waiting on its input holds nothing, and a wait is bounded.
TEST(SharedSoftwareToken, APipelineIntoItselfRunsAndAHeldStateIsReportedBusy)
{
	TempDir dir;
	const std::string state = dir / "token";
	ASSERT_EQ(run_tool({"--sim", state, "--issue", "info"}, kPasswords).status, kOk);

	// `encrypt | decrypt`, with the decrypting end started first
	int pipe_fds[2];
	ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
	ToolProcess reader =
	        start_tool({"--sim", state, "msg", "decrypt"}, kPasswords, pipe_fds[0]);
	close(pipe_fds[0]);
	std::this_thread::sleep_for(std::chrono::milliseconds(200));
	ToolRun writer = run_tool(
	        {"--sim", state, "--wait", "2", "msg", "encrypt", "through a pipe"}, kPasswords);
	ASSERT_EQ(writer.status, kOk) << writer.err;
	ASSERT_EQ(write(pipe_fds[1], writer.out.data(), writer.out.size()),
	          static_cast<ssize_t>(writer.out.size()));
	close(pipe_fds[1]);
	ToolRun deciphered = wait_tool(reader);
	EXPECT_EQ(deciphered.status, kOk) << deciphered.err;
	EXPECT_EQ(deciphered.out, "through a pipe");

	int lock = open((state + ".lock").c_str(), O_RDWR | O_CLOEXEC);
	ASSERT_EQ(flock(lock, LOCK_EX), 0);
	ToolRun busy = run_tool({"--sim", state, "--wait", "1", "info"}, kPasswords);
	EXPECT_EQ(busy.status, kNoToken);
	EXPECT_NE(busy.err.find("token busy"), std::string::npos) << busy.err;
	close(lock);
}

} // namespace
