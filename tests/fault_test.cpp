// A token that answers badly, in-process: the software token runs every
// command, but one reply on its way back is lost, cut short, swollen or
// replaced. Every operation is run with each kind of fault at each of its
// exchanges in turn, over T=0 and T=1. A lost or broken reply must fail the
// operation; a reply that is merely odd may leave it succeeding, but then
// with the right result, checked against the token. Afterwards the next
// ConnectToMekta finds the token again and it works.
//
// Below them, the faults that fuzzing found, each pinned down.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "draxel_lib.h"
#include "faulty_card.h"
#include "support/fixtures.h"
#include "t0_card.h"

using namespace draxel::test;
namespace sim = draxel::sim;

namespace {

const char *const kPin = "1234";
const char *const kPuk = "12345678";
const char *const kGroup = "team";
const char *const kGroupPhrase = "group phrase";
const char *const kJoinPhrase = "join phrase";

// A message's text or a text's message; "" after a failure.
std::string encrypt_text(const std::string &message, int mode, const char *phrase,
                         const char *group, unsigned long &rc)
{
	std::string text;
	return rc = encrypt(message, mode, phrase, group, text), text;
}

std::string decrypt_text(const std::string &text, int mode, const char *phrase, const char *group,
                         unsigned long &rc)
{
	std::string message;
	return rc = decrypt(text, mode, phrase, group, message), message;
}

std::vector<std::string> group_names()
{
	unsigned long len = 0;
	std::vector<std::string> names;
	if (GetGroupList(nullptr, &len) != 0)
		return {"(unreadable)"};
	std::vector<char> list(len + 1);
	if (GetGroupList(list.data(), &len) != 0)
		return {"(unreadable)"};
	for (size_t at = 0; at + 1 < len; at += std::strlen(list.data() + at + 1) + 2)
		names.emplace_back(list.data() + at + 1);
	return names;
}

bool listed(const std::string &name)
{
	auto names = group_names();
	return std::find(names.begin(), names.end(), name) != names.end();
}

bool is_hex_text(const std::string &text)
{
	return !text.empty() && text.size() % 2 == 0 &&
	       std::all_of(text.begin(), text.end(),
	                   [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

// The library's host handler over a card, passing on whatever the card
// answers: a reply of one byte or one longer than the buffer reaches the
// library as it is (InProcessToken would turn both into 6F00), and a card
// that leaves the reader answers nothing.
class RawHandler {
public:
	explicit RawHandler(sim::Card &card) : card_(card)
	{
		active_ = this;
		table_.handlerScardTransmit = &RawHandler::transmit;
	}
	~RawHandler() { active_ = nullptr; }
	Type_ReaderFuncStruct *table() { return &table_; }

private:
	static unsigned long transmit(unsigned char *send, int send_len, unsigned char *recv,
	                              int *recv_len)
	{
		std::vector<uint8_t> reply = active_->card_.process(
		        std::span<const uint8_t>(send, static_cast<size_t>(send_len)));
		if (active_->card_.pull_requested()) {
			*recv_len = 0;
			return 1;
		}
		std::memcpy(recv, reply.data(),
		            std::min<size_t>(reply.size(), static_cast<size_t>(*recv_len)));
		*recv_len = static_cast<int>(reply.size());
		return 0;
	}
	static RawHandler *active_;
	sim::Card &card_;
	Type_ReaderFuncStruct table_{};
};
RawHandler *RawHandler::active_ = nullptr;

// One operation: runs it and sets rc, and hands back the check of what it
// reported, run once the operation's own exchanges are counted (a failed
// operation reports nothing and is right by definition).
using Check = std::function<bool()>;
using Operation = std::function<Check(unsigned long &)>;
struct Scenario {
	const char *name;
	Operation run;
	// Faults that the operation may take for an answer it is documented to
	// accept: a status word where a file is optional, say.
	std::vector<sim::Fault> accepted = {};
};

struct Outcome {
	unsigned long rc = 0;
	bool right = false;
	size_t commands = 0; // the operation's own
	bool recovered = false;
};

// The token every run starts from: a group, a pending join request, a
// written note; and the texts and files made by it that the scenarios read.
class FaultRig {
public:
	FaultRig()
	{
		sim::IssueOptions options;
		options.st23l80_chip = true; // the smaller note: copied for every run
		base_ = sim::issue_token(options);
		serial_ = to_hex(base_.serial.data(), base_.serial.size());
		data_.resize(700);
		for (size_t i = 0; i < data_.size(); ++i)
			data_[i] = static_cast<uint8_t>(i * 31 + 7);
		message_.assign(500, 'm');
		run(true, {}, [this](unsigned long &rc) -> Check {
			rc = CreateGroup(kGroup, kGroupPhrase);
			if (rc == 0)
				rc = WriteNote(data_.data(), 600, 0, false);
			std::string request(200, '\0');
			int size = static_cast<int>(request.size());
			if (rc == 0)
				rc = CreateRequestForGroup(kJoinPhrase, request.data(), &size);
			request_ = request.c_str();
			std::string invite(200, '\0');
			size = static_cast<int>(invite.size());
			if (rc == 0)
				rc = CreateInviteForGroup(kGroup, request_.c_str(), invite.data(),
				                          &size);
			invite_ = invite.c_str();
			if (rc == 0)
				text1_ = encrypt_text(message_, 1, "phrase", nullptr, rc);
			if (rc == 0)
				text3_ = encrypt_text(message_, 3, kGroupPhrase, kGroup, rc);
			if (rc == 0)
				rc = file_op(true, data_, {300, 300, 100}, 1, "phrase", nullptr, 0,
				             token_file_);
			if (rc == 0)
				rc = file_op(true, data_, {300, 400}, 3, kGroupPhrase, kGroup,
				             kFast, fast3_file_);
			if (rc == 0)
				rc = file_op(true, data_, {300, 400}, 1, "phrase", nullptr, kFast,
				             fast1_file_);
			dubl_size_ = 0;
			if (rc == 0)
				rc = GetDublData(kPuk, nullptr, &dubl_size_);
			dubl_.assign(static_cast<size_t>(dubl_size_), '\0');
			if (rc == 0)
				rc = GetDublData(kPuk, dubl_.data(), &dubl_size_);
			dubl_ = dubl_.c_str();
			return [] { return true; };
		});
		EXPECT_EQ(last_rc_, 0u) << "the rig's token could not be prepared";
		base_ = prepared_;
	}

	// The fault is played on the wire: over T=0 behind the T=0 adapter, so
	// that GET RESPONSE and the reissued commands can meet it too.
	Outcome run(bool t1, sim::FaultPlan plan, const Operation &op)
	{
		sim::Token token(base_);
		RecordingCard recorder(token);
		sim::T0Card t0(recorder);
		sim::FaultyCard faulty(t1 ? static_cast<sim::Card &>(recorder) : t0, plan);
		RawHandler attached(faulty);
		InitLib(attached.table());
		ReaderStructPtr record = AllocReaderStruct(nullptr);
		cur_context = LogicDLLContext{record, nullptr, 0};
		Outcome outcome;
		EXPECT_EQ(VerifyPIN(kPin, false), 0u);
		size_t before = faulty.commands();
		setup_commands_ = before;
		recorder_ = &recorder;
		Check check = op(outcome.rc);
		outcome.commands = faulty.commands() - before;
		outcome.right = outcome.rc != 0 || check();
		last_rc_ = outcome.rc;
		prepared_ = token.state();
		// the next ConnectToMekta finds the token and it works again
		unsigned long found = ConnectToMekta(false);
		if (cur_context.pCurReader != record)
			FreeReaderStruct(record);
		char sn[15] = {0};
		outcome.recovered = found == 0 && GetSN(sn) == 0 && serial_ == sn;
		FreeReaderStruct(cur_context.pCurReader);
		cur_context = LogicDLLContext{};
		InitLib(nullptr);
		return outcome;
	}

	size_t setup_commands() const { return setup_commands_; }

	std::vector<Scenario> scenarios()
	{
		std::vector<Scenario> all;
		auto add = [&all](const char *name, Operation run,
		                  std::vector<sim::Fault> accepted = {}) {
			all.push_back({name, std::move(run), std::move(accepted)});
		};
		// an operation whose check reads the token afterwards
		auto then = [&add](const char *name, std::function<unsigned long()> op,
		                   Check check) {
			add(name, [op, check](unsigned long &rc) {
				rc = op();
				return check;
			});
		};
		const Check nothing = [] { return true; };
		add("EncryptMes mode 1", [this](unsigned long &rc) -> Check {
			std::string text = encrypt_text(message_, 1, "phrase", nullptr, rc);
			return [this, text] {
				unsigned long back;
				return decrypt_text(text, 1, "phrase", nullptr, back) == message_;
			};
		});
		add("EncryptMes mode 3", [this](unsigned long &rc) -> Check {
			std::string text = encrypt_text(message_, 3, kGroupPhrase, kGroup, rc);
			return [this, text] {
				unsigned long back;
				return decrypt_text(text, 3, kGroupPhrase, kGroup, back) ==
				       message_;
			};
		});
		add("DecryptMes mode 1", [this](unsigned long &rc) -> Check {
			std::string message = decrypt_text(text1_, 1, "phrase", nullptr, rc);
			return [this, message] { return message == message_; };
		});
		add("DecryptMes mode 3", [this](unsigned long &rc) -> Check {
			std::string message = decrypt_text(text3_, 3, kGroupPhrase, kGroup, rc);
			return [this, message] { return message == message_; };
		});
		add("EncryptFileData token mode", [this](unsigned long &rc) -> Check {
			Bytes file;
			rc = file_op(true, data_, {300, 300, 100}, 1, "phrase", nullptr, 0, file);
			return [this, file] {
				Bytes back;
				return file_op(false, file, {348, 300, 104}, 1, "phrase", nullptr,
				               0, back) == 0 &&
				       back == data_;
			};
		});
		add("EncryptFileData fast mode 3", [this](unsigned long &rc) -> Check {
			Bytes file;
			rc = file_op(true, data_, {300, 400}, 3, kGroupPhrase, kGroup, kFast, file);
			return [this, file] {
				Bytes back;
				return file_op(false, file, {380, 404}, 3, kGroupPhrase, kGroup, 0,
				               back) == 0 &&
				       back == data_;
			};
		});
		add("DecryptFileData token mode", [this](unsigned long &rc) -> Check {
			Bytes back;
			rc = file_op(false, token_file_, {348, 300, 104}, 1, "phrase", nullptr, 0,
			             back);
			return [this, back] { return back == data_; };
		});
		add("DecryptFileData fast mode 3", [this](unsigned long &rc) -> Check {
			Bytes back;
			rc = file_op(false, fast3_file_, {380, 404}, 3, kGroupPhrase, kGroup, 0,
			             back);
			return [this, back] { return back == data_; };
		});
		add("DecryptFileData fast mode 1", [this](unsigned long &rc) -> Check {
			Bytes back;
			rc = file_op(false, fast1_file_, {348, 404}, 1, "phrase", nullptr, 0, back);
			return [this, back] { return back == data_; };
		});
		then(
		        "VerifyPIN with the trace buffer", [] { return VerifyPIN(kPin, true); },
		        nothing);
		then(
		        "ChangePIN", [] { return ChangePIN(kPin, "5678"); },
		        [] { return VerifyPIN("5678", false) == 0; });
		then(
		        "ChangePUK", [] { return ChangePUK(kPuk, "87654321"); },
		        [] { return VerifyPUK("87654321") == 0; });
		then(
		        "UnblockPIN", [] { return UnblockPIN(kPuk, "9999"); },
		        [] { return VerifyPIN("9999", false) == 0; });
		add("GetPUKFlag",
		    [](unsigned long &rc) -> Check {
			    bool flag = false;
			    rc = GetPUKFlag(&flag);
			    return [flag] { return flag; };
		    },
		    {sim::Fault::kStatus,
		     sim::Fault::kCut}); // no readable flag: "not the issued PUK"
		add("GetGroupList", [](unsigned long &rc) -> Check {
			unsigned long len = 300;
			std::vector<char> list(len);
			rc = GetGroupList(list.data(), &len);
			return [len, list] {
				return len == 1 + std::strlen(kGroup) + 1 &&
				       std::string(list.data() + 1) == kGroup;
			};
		});
		then(
		        "CreateGroup", [] { return CreateGroup("second", "second phrase"); },
		        [] { return listed("second"); });
		add("CreateRequestForGroup", [](unsigned long &rc) -> Check {
			std::string request(200, '\0');
			int size = static_cast<int>(request.size());
			rc = CreateRequestForGroup("another phrase", request.data(), &size);
			// the blob is the token's: only its form can be checked here, the
			// other token checks the rest
			return [request, size] {
				return is_hex_text(request.c_str()) &&
				       std::strlen(request.c_str()) + 1 ==
				               static_cast<size_t>(size);
			};
		});
		add("CreateInviteForGroup", [this](unsigned long &rc) -> Check {
			std::string invite(200, '\0');
			int size = static_cast<int>(invite.size());
			rc = CreateInviteForGroup(kGroup, request_.c_str(), invite.data(), &size);
			return [invite, size] {
				return is_hex_text(invite.c_str()) &&
				       std::strlen(invite.c_str()) + 1 == static_cast<size_t>(size);
			};
		});
		then(
		        "AcceptInviteForGroup",
		        [this] {
			        return AcceptInviteForGroup(invite_.c_str(), "joined", kJoinPhrase);
		        },
		        [] { return listed("joined"); });
		add("ReadNote", [this](unsigned long &rc) -> Check {
			Bytes note(600);
			int size = 600;
			rc = ReadNote(note.data(), &size, 0);
			return [this, note, size] {
				return size == 600 &&
				       std::equal(note.begin(), note.end(), data_.begin());
			};
		});
		add("WriteNote", [this](unsigned long &rc) -> Check {
			Bytes piece(data_.rbegin(), data_.rbegin() + 500);
			rc = WriteNote(piece.data(), 500, 1000, false);
			return [piece] {
				Bytes back(500);
				int size = 500;
				return ReadNote(back.data(), &size, 1000) == 0 && back == piece;
			};
		});
		add("GetNoteInf", [](unsigned long &rc) -> Check {
			int size = 0, policy = 0;
			rc = GetNoteInf(&size, &policy, 18, false);
			return [size, policy] { return size == 12448 && policy == 1; };
		});
		add("GetDublData", [this](unsigned long &rc) -> Check {
			std::string text(static_cast<size_t>(dubl_size_), '\0');
			int size = dubl_size_;
			rc = GetDublData(kPuk, text.data(), &size);
			// the blobs are the token's: a cut one is caught by the token that
			// takes it back, not here
			return [text, size] {
				return is_hex_text(text.c_str()) &&
				       std::strlen(text.c_str()) + 1 == static_cast<size_t>(size);
			};
		});
		then(
		        "SetDublData",
		        [this] { return SetDublData(kPuk, dubl_.c_str(), dubl_size_); }, nothing);
		add("GetKeys", [this](unsigned long &rc) -> Check {
			Bytes source(160, 0xEE);
			int size = 160;
			rc = GetKeys(source.data(), &size);
			RecordingCard *recorder = recorder_;
			// the key source is exactly what the token's generator gave
			return [source, recorder] { return source == recorder->data_of(0x84); };
		});
		then(
		        "ChangeKeys",
		        [] { return ChangeKeys(counting(160, 3).data(), 160, "11111111"); },
		        nothing);
		add("GetSN", [this](unsigned long &rc) -> Check {
			char sn[15] = {0};
			rc = GetSN(sn);
			std::string got = sn;
			return [this, got] { return got == serial_; };
		});
		add("GetCardVer",
		    [](unsigned long &rc) -> Check {
			    int ver = -1;
			    rc = GetCardVer(&ver);
			    return [ver] { return ver == 18; };
		    },
		    {sim::Fault::kStatus}); // a refused version file is version 0
		then("RepareTracBuf", RepareTracBuf, nothing);
		then(
		        "CleanCard",
		        [] {
			        unsigned long rc = VerifyErasePas("00000000");
			        return rc == 0 ? CleanCard(18) : rc;
		        },
		        [] { return group_names().empty(); });
		return all;
	}

private:
	sim::TokenState base_, prepared_;
	std::string serial_, message_, text1_, text3_, request_, invite_, dubl_;
	int dubl_size_ = 0;
	Bytes data_, token_file_, fast3_file_, fast1_file_;
	unsigned long last_rc_ = 0;
	size_t setup_commands_ = 0;
	RecordingCard *recorder_ = nullptr; // the run's, for the checks
};

TEST(FaultAtEveryExchange, EveryOperationFailsOrIsRightAndTheTokenIsFoundAgain)
{
	FaultRig rig;
	const std::pair<sim::Fault, const char *> faults[] = {
	        {sim::Fault::kDrop, "drop"},   {sim::Fault::kShort, "short"},
	        {sim::Fault::kLong, "long"},   {sim::Fault::kCut, "cut"},
	        {sim::Fault::kExtra, "extra"}, {sim::Fault::kStatus, "status"}};
	size_t runs = 0;
	for (const Scenario &scenario : rig.scenarios()) {
		for (bool t1 : {false, true}) {
			SCOPED_TRACE(testing::Message()
			             << scenario.name << (t1 ? ", T=1" : ", T=0"));
			Outcome clean = rig.run(t1, {}, scenario.run);
			ASSERT_EQ(clean.rc, 0u);
			ASSERT_TRUE(clean.right);
			size_t setup = rig.setup_commands();
			for (size_t k = 1; k <= clean.commands; ++k) {
				for (const auto &[fault, name] : faults) {
					SCOPED_TRACE(testing::Message()
					             << name << " at exchange " << k);
					Outcome o = rig.run(t1, {fault, std::nullopt, setup + k},
					                    scenario.run);
					++runs;
					bool broken = fault == sim::Fault::kDrop ||
					              fault == sim::Fault::kShort ||
					              fault == sim::Fault::kLong;
					if (broken) {
						EXPECT_NE(o.rc, 0u) << "a lost or broken reply is "
						                       "reported as success";
					}
					bool accepted = std::find(scenario.accepted.begin(),
					                          scenario.accepted.end(),
					                          fault) != scenario.accepted.end();
					if (!accepted) {
						EXPECT_TRUE(o.right)
						        << "success with the wrong result";
					}
					EXPECT_TRUE(o.recovered) << "the token is not found again";
				}
			}
		}
	}
	std::printf("%zu faulty runs\n", runs);
}

// ---- faults that fuzzing found -------------------------------------------

class InProcessToken : public InProcessTest {
protected:
	void SetUp() override
	{
		ASSERT_NO_FATAL_FAILURE(attach());
		ASSERT_EQ(VerifyPIN(kPin, false), 0u);
	}
};

// A chunk of no bytes may come as a null pointer; fast mode copied from it
// all the same (undefined behaviour, caught by the sanitizers).
TEST_F(InProcessToken, EmptyFastChunkMayComeAsNull)
{
	Bytes file(100);
	int size = static_cast<int>(file.size());
	ASSERT_EQ(EncryptFileData(nullptr, 0, file.data(), &size, 1, "p", nullptr,
	                          kFirst | kLast | kFast),
	          0u);
	ASSERT_EQ(size, 52);
	Bytes plain(10);
	int plain_size = static_cast<int>(plain.size());
	EXPECT_EQ(DecryptFileData(file.data(), size, plain.data(), &plain_size, 1, "p", nullptr,
	                          kFirst | kLast),
	          0u);
	EXPECT_EQ(plain_size, 0);
}

// A chunk refused for its arguments is a failing chunk: it ends the file
// and wipes its key, as any other failure does.
TEST_F(InProcessToken, ChunkRefusedForItsArgumentsEndsTheFile)
{
	Bytes data = counting(64), out(200);
	int size = static_cast<int>(out.size());
	ASSERT_EQ(EncryptFileData(data.data(), 64, out.data(), &size, 1, "p", nullptr,
	                          kFirst | kFast),
	          0u);
	ASSERT_FALSE(file_state_wiped());
	size = static_cast<int>(out.size());
	EXPECT_EQ(EncryptFileData(data.data(), -1, out.data(), &size, 1, "p", nullptr, kFast),
	          102u);
	EXPECT_TRUE(file_state_wiped());
	EXPECT_EQ(
	        EncryptFileData(data.data(), 64, out.data(), &size, 1, "p", nullptr, kLast | kFast),
	        102u)
	        << "the file ended";

	// a size query is no chunk: the file goes on
	size = static_cast<int>(out.size());
	ASSERT_EQ(EncryptFileData(data.data(), 64, out.data(), &size, 1, "p", nullptr,
	                          kFirst | kFast),
	          0u);
	EXPECT_EQ(EncryptFileData(data.data(), -1, nullptr, &size, 1, "p", nullptr, kFast), 102u);
	size = static_cast<int>(out.size());
	EXPECT_EQ(
	        EncryptFileData(data.data(), 64, out.data(), &size, 1, "p", nullptr, kLast | kFast),
	        0u);
}

using ScriptedFaults = ScriptedTest;

// A bare 9000 where a duplicate, a request or an invite is due was reported
// as success with an empty text.
TEST_F(ScriptedFaults, AnEmptyAnswerWhereDataIsDueIsAFailure)
{
	for (int i = 0; i < 3; ++i)
		token.reply("9000"); // select, verify, the empty blob
	char text[4] = {'#', '#', '#', '#'};
	int size = sizeof text;
	EXPECT_EQ(GetDublData(kPuk, text, &size), 101u);
	EXPECT_EQ(size, 4) << "nothing reported";

	token.reply("9000"); // select
	token.reply("9000"); // the request, without one
	EXPECT_EQ(CreateRequestForGroup("phrase", text, &size), 101u);
	for (int i = 0; i < 3; ++i)
		token.reply("9000"); // select, select the group, the invite without one
	EXPECT_EQ(CreateInviteForGroup("team", "0102", text, &size), 101u);
}

// Fewer random bytes than asked for left the rest of the key source as the
// stack held it, reported as success.
TEST_F(ScriptedFaults, ShortChallengeIsAFailure)
{
	BYTE buf[32];
	token.reply(to_hex(counting(31)) + "9000");
	EXPECT_EQ(APDU_GetChallenge(record, buf, 32), DRAXEL_TR_FAILURE);
	token.reply(to_hex(counting(32)) + "9000");
	token.reply(to_hex(counting(20)) + "9000");
	Bytes source(160);
	int size = 160;
	EXPECT_NE(GetKeys(source.data(), &size), 0u);
}

// A token that no longer answers is no token without the file.
TEST_F(ScriptedFaults, LostTokenAtAnOptionalFileIsAFailure)
{
	token.reply("9000");                // select application
	token.reply_with_length("9000", 1); // select F141: the exchange fails
	bool flag = true;
	EXPECT_EQ(GetPUKFlag(&flag), 116u);
	token.reply("9000");
	token.reply("6A82");
	EXPECT_EQ(GetPUKFlag(&flag), 0u) << "a missing file is still no failure";
	EXPECT_FALSE(flag);

	token.reply("9000");                // select application
	token.reply("9000");                // select F140
	token.reply("00129000");            // version 18
	token.reply("9000");                // select 3F00
	token.reply_with_length("9000", 1); // select F190: the exchange fails
	EXPECT_EQ(RepareTracBuf(), 116u);
}

} // namespace
