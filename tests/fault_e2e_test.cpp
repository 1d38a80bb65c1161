// Faults through the real stack: software tokens in the vpcd readers that
// leave the reader in the middle of a message, of a token-mode file and of a
// duplication (draxel-token-sim --fault drop:...), that answer with a reply
// cut to one byte, swollen past any buffer, cut short, padded or refused,
// and pcscd itself going away and coming back. Each call then fails with a
// code, never a success with the wrong result, and the next ConnectToMekta
// finds the token again.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/virtual_card.h"

using namespace draxel::test;

// pcscd resets a card under another program's transaction only when a
// program that held the card dies: a race, which this process stands in
// for. Every command the library sends passes through here; at the armed
// one the card is really reset through the library's own handle, the
// command is not sent, and the library is told what pcscd tells a handle
// after such a reset: SCARD_W_RESET_CARD, or, in the window before pcscd
// has renegotiated, SCARD_E_PROTO_MISMATCH.
namespace reset_plan {
int at = 0;            // the command (counting from 1) that finds the reset; 0: none
LONG told = 0;         // what the library is told instead of the reply
int commands = 0;      // commands seen since armed, the armed one included
std::vector<int> sent; // INS of the commands that reached the card since armed

void arm(int command, LONG what)
{
	sent.clear();
	commands = 0;
	told = what;
	at = command;
}
} // namespace reset_plan

extern "C" LONG SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST *send_pci, LPCBYTE send,
                              DWORD send_len, SCARD_IO_REQUEST *recv_pci, LPBYTE recv,
                              LPDWORD recv_len)
{
	using Real = LONG (*)(SCARDHANDLE, const SCARD_IO_REQUEST *, LPCBYTE, DWORD,
	                      SCARD_IO_REQUEST *, LPBYTE, LPDWORD);
	static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "SCardTransmit"));
	if (reset_plan::at > 0 && ++reset_plan::commands == reset_plan::at) {
		DWORD protocol = 0;
		SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
		               SCARD_RESET_CARD, &protocol);
		return reset_plan::told;
	}
	if (reset_plan::at > 0 && send_len > 1)
		reset_plan::sent.push_back(send[1]);
	return real(card, send_pci, send, send_len, recv_pci, recv, recv_len);
}

namespace {

const char *const kPin = "1234";

// A message in mode 1 to its text, and back.
unsigned long encrypt(const std::string &message, std::string &text)
{
	return draxel::test::encrypt(message, 1, "phrase", nullptr, text);
}

unsigned long decrypt(const std::string &text, std::string &message)
{
	return draxel::test::decrypt(text, 1, "phrase", nullptr, message);
}

bool round_trip(const std::string &message)
{
	std::string text, back;
	return encrypt(message, text) == 0 && decrypt(text, back) == 0 && back == message;
}

// One chunk of a token-mode file; its output appended to out.
unsigned long file_chunk(bool encipher, const uint8_t *data, size_t len, int flags, Bytes &out)
{
	Bytes chunk(len + 100);
	int size = static_cast<int>(chunk.size());
	auto op = encipher ? EncryptFileData : DecryptFileData;
	unsigned long rc =
	        op(data, static_cast<int>(len), chunk.data(), &size, 1, "phrase", nullptr, flags);
	if (rc == 0)
		out.insert(out.end(), chunk.begin(), chunk.begin() + size);
	return rc;
}

class FaultsThroughPcscd : public PcscLibraryTest {
protected:
	void TearDown() override
	{
		forget_records();
		PcscLibraryTest::TearDown();
	}
	void forget_records()
	{
		for (ReaderStructPtr record : records)
			FreeReaderStruct(record);
		records.clear();
		cur_context = LogicDLLContext{};
	}
	// The records the connections hand over stay ours to free.
	void keep_records()
	{
		for (ReaderStructPtr record : {cur_context.pCurReader, cur_context.pSecondReader})
			if (record != nullptr &&
			    std::find(records.begin(), records.end(), record) == records.end())
				records.push_back(record);
	}
	unsigned long connect()
	{
		unsigned long rc = ConnectToMekta(false);
		keep_records();
		return rc;
	}
	// The next ConnectToMekta finds the token once it is back in its
	// reader, and the token works: within ten seconds.
	bool reconnects(const std::string &reader)
	{
		wait_for_card(reader, true);
		for (int i = 0; i < 50; ++i) {
			if (connect() == 0 && VerifyPIN(kPin, false) == 0 &&
			    round_trip("back again"))
				return true;
			std::this_thread::sleep_for(std::chrono::milliseconds(200));
		}
		return false;
	}

	std::vector<ReaderStructPtr> records;
};

// A T=0 token that leaves the reader at its 2nd and 6th PSO command: in the
// middle of a message of three blocks, and in the middle of a token-mode
// file of three chunks.
TEST_F(FaultsThroughPcscd, CardLeavesInTheMiddleOfAMessageAndOfAFile)
{
	VirtualCard card =
	        VirtualCard::token(1, {"--t0", "--fault", "drop:2A:2", "--fault", "drop:2A:6"});
	ASSERT_TRUE(card.attached());
	ASSERT_EQ(connect(), 0u);
	ASSERT_EQ(VerifyPIN(kPin, false), 0u);

	std::string text;
	EXPECT_EQ(encrypt(std::string(600, 'x'), text), 116u) << "PSO 2 of 3: the card left";
	EXPECT_EQ(GetLastErrorCode(), 0u);
	ASSERT_TRUE(reconnects(card.reader())); // PSO 3 and 4

	Bytes data = draxel::test::counting(696, 5), file;
	ASSERT_EQ(file_chunk(true, data.data(), 232, kFirst, file), 0u); // PSO 5
	EXPECT_EQ(file_chunk(true, data.data() + 232, 232, 0, file), 116u)
	        << "PSO 6: the card left";
	EXPECT_TRUE(file_state_wiped()) << "the failing chunk ended the file";
	EXPECT_EQ(file_chunk(true, data.data() + 464, 232, kLast, file), 102u)
	        << "no file in progress";
	ASSERT_TRUE(reconnects(card.reader()));
}

// The second token leaves the reader at the second duplicate blob it is
// given: the copy fails, and once it is back the copy can be made again; a
// note then goes to it through the second reader.
TEST_F(FaultsThroughPcscd, CardLeavesInTheMiddleOfADuplication)
{
	VirtualCard first = VirtualCard::token(0);
	VirtualCard second =
	        VirtualCard::token(1, {"--t0", "--puk", "87654321", "--fault", "drop:34:2"});
	ASSERT_TRUE(first.attached() && second.attached());
	ASSERT_EQ(connect(), 0u);
	ASSERT_EQ(ConnectToSecondMekta(), 0u);
	keep_records();
	ASSERT_EQ(VerifyPIN(kPin, false), 0u);
	std::string text, back;
	ASSERT_EQ(encrypt("made by the first token", text), 0u);

	EXPECT_EQ(MakeDublCard("12345678", "87654321"), 116u);
	wait_for_card(second.reader(), true);
	bool found = false;
	for (int i = 0; i < 50 && !found; ++i) {
		found = connect() == 0 && ConnectToSecondMekta() == 0;
		keep_records();
		if (!found)
			std::this_thread::sleep_for(std::chrono::milliseconds(200));
	}
	ASSERT_TRUE(found);
	ASSERT_EQ(MakeDublCard("12345678", "87654321"), 0u);
	ReaderStructPtr original = cur_context.pCurReader;
	cur_context.pCurReader = cur_context.pSecondReader;
	ASSERT_EQ(VerifyPIN(kPin, false), 0u);
	EXPECT_EQ(decrypt(text, back), 0u);
	EXPECT_EQ(back, "made by the first token") << "the copy has the first token's keys";

	// a note goes across separately, written through the second reader,
	// which answers for its own version and policy
	ASSERT_EQ(ChangeNotePolicy(18), 0u);
	ASSERT_EQ(VerifyNotePas("4321", false), 0u);
	cur_context.pCurReader = original;
	Bytes note = draxel::test::counting(200, 5), read(200);
	ASSERT_EQ(WriteNote(note.data(), 200, 100, true), 0u);
	int len = 0, policy = 0;
	ASSERT_EQ(GetNoteInf(&len, &policy, 0, true), 0u);
	EXPECT_EQ(len, 65280);
	EXPECT_EQ(policy, 2);
	len = 200;
	ASSERT_EQ(ReadNote(read.data(), &len, 100), 0u);
	EXPECT_EQ(read, Bytes(200, 0)) << "not on the first token";
	cur_context.pCurReader = cur_context.pSecondReader;
	len = 200;
	ASSERT_EQ(ReadNote(read.data(), &len, 100), 0u);
	EXPECT_EQ(read, note);
}

// A T=1 token whose PSO replies come back cut to one byte, longer than any
// reader buffer, refused, one byte short and one byte long.
TEST_F(FaultsThroughPcscd, MalformedRepliesFailTheCallAndTheTokenStaysUsable)
{
	VirtualCard card = VirtualCard::token(0, {"--fault", "short:2A:1", "--fault", "long:2A:3",
	                                          "--fault", "status:2A:5", "--fault", "cut:2A:7",
	                                          "--fault", "extra:2A:8"});
	ASSERT_TRUE(card.attached());
	ASSERT_EQ(connect(), 0u);
	ASSERT_EQ(VerifyPIN(kPin, false), 0u);
	std::string text, six, back;
	// pcscd's driver may pass the one byte on (116) or make a status word
	// of it (120): a failure either way
	unsigned long rc = encrypt("one", back);
	EXPECT_TRUE(rc == 116u || rc == 120u)
	        << rc << ": PSO 1, a reply without a whole status word";
	ASSERT_EQ(encrypt("two", text), 0u); // PSO 2
	EXPECT_EQ(decrypt(text, back), 116u) << "PSO 3: a reply longer than the buffer";
	EXPECT_EQ(decrypt(text, back), 0u); // PSO 4
	EXPECT_EQ(back, "two");
	EXPECT_EQ(encrypt("five", back), 120u) << "PSO 5: refused";
	ASSERT_EQ(encrypt("six", six), 0u); // PSO 6
	EXPECT_EQ(encrypt("seven", back), 101u) << "PSO 7: a block one byte short";
	EXPECT_EQ(decrypt(six, back), 101u) << "PSO 8: a block one byte long";
	ASSERT_TRUE(reconnects(card.reader()));
}

// ---- pcscd goes away and comes back ---------------------------------------

bool is_pcscd(pid_t pid)
{
	std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
	std::string name;
	return std::getline(comm, name) && name == "pcscd";
}

// Gone, or a zombie not yet reaped.
bool gone(pid_t pid)
{
	std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
	std::string text;
	if (!std::getline(stat, text))
		return true;
	size_t paren = text.rfind(')');
	return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z';
}

TEST_F(FaultsThroughPcscd, PcscdRestartedUnderAConnection)
{
	const char *pidfile = std::getenv("DRAXEL_PCSCD_PIDFILE");
	if (pidfile == nullptr)
		GTEST_SKIP()
		        << "pcscd was not started by scripts/with-pcscd.sh for this run, so it is "
		           "not this test's to restart (run the tests through make test or "
		           "scripts/with-pcscd.sh with no pcscd running)";
	pid_t pid = 0;
	{
		std::ifstream in(pidfile);
		in >> pid;
	}
	ASSERT_GT(pid, 0);
	ASSERT_TRUE(is_pcscd(pid)) << "the PID file names no pcscd";

	VirtualCard card = VirtualCard::token(0);
	ASSERT_TRUE(card.attached());
	ASSERT_EQ(connect(), 0u);
	ASSERT_EQ(VerifyPIN(kPin, false), 0u);
	ASSERT_TRUE(round_trip("before"));

	// scripts/with-pcscd.sh starts pcscd again once the hold file is gone
	const std::string hold = std::string(pidfile) + ".hold";
	std::ofstream(hold).put('\n');
	ASSERT_EQ(kill(pid, SIGTERM), 0);
	for (int i = 0; i < 100 && !gone(pid); ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
	if (!gone(pid))
		std::remove(hold.c_str());
	ASSERT_TRUE(gone(pid)) << "pcscd did not stop";

	std::string text;
	EXPECT_EQ(encrypt("while pcscd is away", text), 116u);
	EXPECT_NE(CheckCurrentReader(), 0u);
	EXPECT_NE(connect(), 0u) << "no service";

	std::remove(hold.c_str());
	auto readers_up = [] { return virtual_reader_names().size() == 2; };
	for (int i = 0; i < 100 && !readers_up(); ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
	ASSERT_TRUE(readers_up()) << "the new pcscd shows no vpcd readers";
	// the token daemon finds the new reader by itself
	ASSERT_TRUE(reconnects(card.reader()));
}

// Another program's reset found by a command: the first command of an
// operation is sent again on the reset card, and the operation goes as far
// as the fresh token lets it; a later one is not, and no command after it
// reaches the card. Either way the operation reports 104, which a host
// answers by verifying again, never 116, which would have it reconnect; and
// its next operation works on the same connection.
TEST_F(FaultsThroughPcscd, AResetUnderAnOperationAsksForThePasswordAgain)
{
	VirtualCard card = VirtualCard::token(0);
	ASSERT_TRUE(card.attached());
	ASSERT_EQ(connect(), 0u);
	const int kSelect = 0xA4, kMse = 0x22, kSessionKey = 0x36;
	struct Case {
		int at;
		LONG told;
		std::vector<int> sent; // a message's commands up to the token's refusal
	} cases[] = {
	        {1, SCARD_W_RESET_CARD, {kSelect, kMse, kMse, kSessionKey}},
	        {1, SCARD_E_PROTO_MISMATCH, {kSelect, kMse, kMse, kSessionKey}},
	        {3, SCARD_W_RESET_CARD, {kSelect, kMse}},
	        {3, SCARD_E_PROTO_MISMATCH, {kSelect, kMse}},
	        {4, SCARD_W_UNPOWERED_CARD, {kSelect, kMse, kMse}},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(testing::Message()
		             << "command " << c.at << " told " << std::hex << c.told);
		ASSERT_EQ(VerifyPIN(kPin, false), 0u);
		reset_plan::arm(c.at, c.told);
		std::string text;
		EXPECT_EQ(encrypt("under a reset", text), 104u);
		reset_plan::at = 0;
		EXPECT_EQ(reset_plan::sent, c.sent);
		ASSERT_EQ(VerifyPIN(kPin, false), 0u);
		EXPECT_TRUE(round_trip("after the reset"));
	}

	// a password presented under the reset is not taken for verified
	reset_plan::arm(2, SCARD_W_RESET_CARD);
	EXPECT_EQ(VerifyPIN(kPin, false), 104u);
	reset_plan::at = 0;
	EXPECT_EQ(reset_plan::sent, std::vector<int>{kSelect});
	EXPECT_EQ(VerifyPIN(nullptr, false), 143u) << "the PIN's state: not verified, 3 tries";

	// a token-mode file keeps the token between its chunks: a reset there
	// fails the next chunk before its first block, and ends the file
	ASSERT_EQ(VerifyPIN(kPin, false), 0u);
	Bytes data = draxel::test::counting(464, 1), file;
	ASSERT_EQ(file_chunk(true, data.data(), 232, kFirst, file), 0u);
	reset_plan::arm(1, SCARD_W_RESET_CARD);
	EXPECT_EQ(file_chunk(true, data.data() + 232, 232, kLast, file), 104u);
	reset_plan::at = 0;
	EXPECT_EQ(reset_plan::sent, std::vector<int>{});
	EXPECT_TRUE(file_state_wiped());
	ASSERT_EQ(VerifyPIN(kPin, false), 0u);
	EXPECT_TRUE(round_trip("and after the file"));
}

} // namespace
