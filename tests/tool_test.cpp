// draxel-tool end to end against its built-in software token: the real
// binary in its own process, as a script would run it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "support/tool_runner.h"

using namespace draxel::test;

namespace {

constexpr size_t kMiB = 1 << 20;
constexpr size_t kHeader = 48;
constexpr size_t kCrc = 4;
constexpr size_t kFileKey = 32;

enum Status {
	kOk = 0,
	kUsage = 2,
	kNoToken = 3,
	kWrong = 4,
	kBlocked = 5,
	kIntegrity = 6,
	kRefused = 7
};

class ToolSim : public ::testing::Test {
protected:
	// The tool on the token in state file `token`, with env added to the
	// usual passwords (an empty value removes one).
	ToolRun tool(std::vector<std::string> args, const Env &extra = {},
	             const std::string &input = {}, const std::string &token = "a")
	{
		Env env = {{"DRAXEL_PIN", "1234"},
		           {"DRAXEL_PUK", "12345678"},
		           {"DRAXEL_PASS_PHRASE", "phrase"}};
		for (const auto &[name, value] : extra) {
			if (value.empty())
				env.erase(name);
			else
				env[name] = value;
		}
		args.insert(args.begin(), {"--sim", dir / token, "--issue"});
		return run_tool(args, env, input);
	}
	ToolRun on(const std::string &token, std::vector<std::string> args, const Env &extra = {})
	{
		return tool(std::move(args), extra, {}, token);
	}
	std::string encrypt_message(const std::string &text,
	                            std::vector<std::string> cipher = {"-m", "1"},
	                            const Env &extra = {}, const std::string &token = "a")
	{
		cipher.insert(cipher.begin(), {"msg", "encrypt"});
		cipher.push_back(text);
		ToolRun run = tool(cipher, extra, {}, token);
		EXPECT_EQ(run.status, kOk) << run.err;
		return run.out.substr(0, run.out.find('\n'));
	}
	ToolRun on_terminal(std::vector<std::string> args, const Env &env,
	                    const std::vector<std::string> &typed)
	{
		args.insert(args.begin(), {"--sim", dir / "a"});
		return run_on_terminal(args, env, typed);
	}
	// The directory's names other than the tokens' states and locks.
	std::vector<std::string> files() const
	{
		std::vector<std::string> names;
		for (const std::string &name : dir.entries()) {
			bool state = name.size() == 1 || (name.size() > 2 && name[1] == '.');
			if (!state)
				names.push_back(name);
		}
		return names;
	}

	TempDir dir;
};

TEST_F(ToolSim, MessagesRoundTripInEveryModeFromArgumentsAndStandardInput)
{
	ASSERT_EQ(tool({"group", "create", "team"}).status, kOk);
	for (std::vector<std::string> mode :
	     {std::vector<std::string>{"-m", "1"}, {"-m", "2"}, {"-g", "team"}}) {
		std::string cipher = encrypt_message("Привет, token", mode);
		EXPECT_EQ(cipher.size(), 72 + 2 * std::string("Привет, token").size());
		std::vector<std::string> args = {"msg", "decrypt"};
		args.insert(args.end(), mode.begin(), mode.end());
		ToolRun plain = tool(args, {}, cipher + "\n"); // a pasted line
		EXPECT_EQ(plain.status, kOk) << plain.err;
		EXPECT_EQ(plain.out, "Привет, token");
	}
	ToolRun piped = tool({"--json", "msg", "encrypt", "-m", "2"}, {}, "line one\nline two\n");
	ASSERT_EQ(piped.status, kOk) << piped.err;
	ToolRun back = tool({"--json", "msg", "decrypt", "-m", "2", piped.json()["encrypted"]});
	EXPECT_EQ(back.json()["message"], "line one\nline two\n");
	EXPECT_EQ(back.json()["mode"], 2);
}

TEST_F(ToolSim, AMessageRefusedForItsPhraseModeOrGroupGivesTheLibrarysTextAndCode)
{
	std::string cipher = encrypt_message("secret");
	ToolRun wrong = tool({"--json", "msg", "decrypt", "-m", "1", cipher},
	                     {{"DRAXEL_PASS_PHRASE", "other"}});
	EXPECT_EQ(wrong.status, kWrong);
	EXPECT_EQ(wrong.json()["failure"]["code"], 113);
	EXPECT_NE(wrong.json()["failure"]["library_text"].get<std::string>().find("Ошибка"),
	          std::string::npos);
	EXPECT_NE(wrong.err.find("code 113"), std::string::npos) << wrong.err;
	EXPECT_EQ(tool({"msg", "decrypt", "-m", "2", cipher}).status, kWrong);
	EXPECT_EQ(tool({"msg", "decrypt", "-g", "nosuch", cipher}).status, kRefused);
	EXPECT_EQ(tool({"msg", "decrypt", "-m", "3", cipher}).status, kUsage);
	EXPECT_EQ(tool({"msg", "decrypt", "-m", "1", "-g", "team", cipher}).status, kUsage);
	EXPECT_EQ(tool({"msg", "decrypt", "-m", "1", "ABC"}).status, kUsage);
	EXPECT_EQ(tool({"msg", "encrypt"}, {}, "").status, kUsage);
}

TEST_F(ToolSim, FilesRoundTripAcrossChunkBoundariesInFastAndTokenMode)
{
	ASSERT_EQ(tool({"group", "create", "team"}).status, kOk);
	struct Case {
		std::vector<std::string> options;
		size_t key_bytes;
	};
	const Case cases[] = {{{"--fast"}, 0},
	                      {{"--fast", "-g", "team"}, kFileKey},
	                      {{}, 0},
	                      {{"-g", "team"}, 0}};
	for (const Case &c : cases) {
		bool fast = !c.options.empty() && c.options[0] == "--fast";
		for (size_t size :
		     {size_t{0}, size_t{1}, kMiB - 1, kMiB, kMiB + 13, 2 * kMiB + 7}) {
			if (!fast && (size == kMiB - 1 || size == 2 * kMiB + 7))
				continue; // a PSO every 232 bytes: the boundary once is enough
			SCOPED_TRACE(testing::Message()
			             << "size " << size
			             << (c.options.empty() ? "" : " " + c.options[0]));
			std::string data = pattern(size, static_cast<unsigned>(size));
			write_file(dir / "plain", data);
			std::vector<std::string> args = {"file", "encrypt", dir / "plain", "-f"};
			args.insert(args.end(), c.options.begin(), c.options.end());
			ToolRun enc = tool(args);
			ASSERT_EQ(enc.status, kOk) << enc.err;
			EXPECT_EQ(read_file(dir / "plain.drx").size(),
			          kHeader + c.key_bytes + size + kCrc);

			std::vector<std::string> back = {"file", "decrypt",    dir / "plain.drx",
			                                 "-o",   dir / "back", "-f"};
			if (c.options.size() > 1)
				back.insert(back.end(), {"-g", "team"});
			ToolRun dec = tool(back);
			ASSERT_EQ(dec.status, kOk) << dec.err;
			EXPECT_TRUE(read_file(dir / "back") == data);
		}
	}
	// without -o the suffix comes off again
	std::remove((dir / "plain").c_str());
	ToolRun dec = tool({"--json", "file", "decrypt", dir / "plain.drx", "-g", "team"});
	ASSERT_EQ(dec.status, kOk) << dec.err;
	EXPECT_EQ(dec.json()["output"], dir / "plain");
	EXPECT_EQ(dec.json()["bytes_out"], kMiB + 13);
}

// (The tool's way with a failed file is the same in either mode; the
// library's failures in token mode are encrypt_test.cpp's.)
TEST_F(ToolSim, AFailedDecryptionLeavesNoPlaintextAndAnExistingTargetUntouched)
{
	write_file(dir / "plain", pattern(3 * kMiB + 5));
	ASSERT_EQ(
	        tool({"file", "encrypt", dir / "plain", "-o", dir / "enc", "-f", "--fast"}).status,
	        kOk);
	std::string encrypted = read_file(dir / "enc");
	const std::vector<std::string> before = files();
	const std::vector<std::string> decrypt = {"file", "decrypt", dir / "enc", "-o",
	                                          dir / "out"};

	EXPECT_EQ(tool(decrypt, {{"DRAXEL_PASS_PHRASE", "wrong"}}).status, kWrong);
	EXPECT_EQ(files(), before);

	// a byte of the last megabyte: the whole file deciphered before the
	// checksum fails
	std::string tampered = encrypted;
	tampered[tampered.size() - 100] ^= 0x01;
	write_file(dir / "enc", tampered);
	ToolRun damaged = tool(decrypt);
	EXPECT_EQ(damaged.status, kIntegrity) << damaged.err;
	EXPECT_NE(damaged.err.find("code 121"), std::string::npos) << damaged.err;
	EXPECT_EQ(files(), before);

	write_file(dir / "enc", encrypted.substr(0, 40));
	EXPECT_EQ(tool(decrypt).status, kIntegrity);
	EXPECT_EQ(files(), before);

	write_file(dir / "out", "the old contents");
	write_file(dir / "enc", tampered);
	std::vector<std::string> forced = decrypt;
	forced.push_back("-f");
	EXPECT_EQ(tool(forced).status, kIntegrity);
	EXPECT_EQ(tool(forced, {{"DRAXEL_PASS_PHRASE", "wrong"}}).status, kWrong);
	EXPECT_EQ(tool(decrypt).status, kUsage); // exists, no -f
	EXPECT_EQ(read_file(dir / "out"), "the old contents");
	std::remove((dir / "out").c_str());
	EXPECT_EQ(files(), before);
}

// -o names a place to write to: a link's target (replaced whole), standard
// output, a new file private to its owner; and errors name it, not the
// hidden temporary.
TEST_F(ToolSim, OutputGoesWhereItsNamePointsAndStaysPrivate)
{
	const std::string data = pattern(300 * 1024, 5);
	write_file(dir / "plain", data);
	ToolRun piped = tool({"file", "encrypt", dir / "plain", "-o", "-"});
	ASSERT_EQ(piped.status, kOk) << piped.err;
	EXPECT_EQ(piped.out.size(), kHeader + data.size() + kCrc);
	ToolRun back = tool({"file", "decrypt", "-", "-o", "-"}, {}, piped.out);
	ASSERT_EQ(back.status, kOk) << back.err;
	EXPECT_TRUE(back.out == data);

	write_file(dir / "enc", piped.out);
	const std::vector<std::string> decrypt = {"file", "decrypt", dir / "enc", "-f", "-o"};
	auto decrypt_to = [&](const std::string &out, std::vector<std::string> more = {}) {
		std::vector<std::string> args = decrypt;
		args.push_back(out);
		args.insert(args.end(), more.begin(), more.end());
		return tool(args);
	};
	write_file(dir / "real", "old");
	chmod((dir / "real").c_str(), 0644);
	symlink("real", (dir / "link").c_str());
	ASSERT_EQ(decrypt_to(dir / "link").status, kOk);
	struct stat info {};
	ASSERT_EQ(lstat((dir / "link").c_str(), &info), 0);
	EXPECT_TRUE(S_ISLNK(info.st_mode));
	EXPECT_TRUE(read_file(dir / "real") == data);
	ASSERT_EQ(stat((dir / "real").c_str(), &info), 0);
	EXPECT_EQ(info.st_mode & 0777, 0644u) << "the caller's own target keeps its mode";

	ASSERT_EQ(decrypt_to(dir / "new").status, kOk);
	ASSERT_EQ(stat((dir / "new").c_str(), &info), 0);
	EXPECT_EQ(info.st_mode & 0777, 0600u) << "plaintext is private";
	ASSERT_EQ(decrypt_to(dir / "shared", {"--file-mode", "0640"}).status, kOk);
	ASSERT_EQ(stat((dir / "shared").c_str(), &info), 0);
	EXPECT_EQ(info.st_mode & 0777, 0640u);

	ToolRun full =
	        run_tool({"--sim", dir / "a", "file", "decrypt", dir / "enc", "-o", dir / "out"},
	                 {{"DRAXEL_PIN", "1234"}, {"DRAXEL_PASS_PHRASE", "phrase"}}, {}, [] {
		                 signal(SIGXFSZ, SIG_IGN);
		                 rlimit limit{200 * 1024, 200 * 1024};
		                 setrlimit(RLIMIT_FSIZE, &limit);
	                 });
	EXPECT_EQ(full.status, 1);
	EXPECT_NE(full.err.find("cannot write " + dir / "out:"), std::string::npos) << full.err;
	const std::vector<std::string> left = files();
	EXPECT_EQ(std::count(left.begin(), left.end(), "out"), 0);
}

// Root writing into a sticky world-writable directory where another user
// has been first: every command that writes a file, and the trace file,
// either write where they should or refuse naming the file and the reason,
// and nothing lands anywhere else.
TEST_F(ToolSim, NoOutputFollowsWhatAnotherUserPlantedInASharedDirectory)
{
	const passwd *other = getpwnam("nobody");
	const std::string setpriv = other == nullptr
	                                    ? ""
	                                    : "setpriv --reuid=" + std::to_string(other->pw_uid) +
	                                              " --regid=" + std::to_string(other->pw_gid) +
	                                              " --clear-groups ";
	if (geteuid() != 0 || other == nullptr || std::system((setpriv + "true").c_str()) != 0)
		GTEST_SKIP()
		        << "needs root, the user nobody and setpriv to plant another user's files";
	auto as_other = [&](const std::string &script) {
		ASSERT_EQ(std::system((setpriv + "sh -c '" + script + "'").c_str()), 0) << script;
	};
	chmod(dir.path().c_str(), 0755);
	const std::string shared = dir / "shared";
	ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
	chmod(shared.c_str(), 01777);
	write_file(dir / "plain", "plain text");
	ASSERT_EQ(tool({"file", "encrypt", dir / "plain", "-o", dir / "enc"}).status, kOk);
	ASSERT_EQ(tool({"note", "write"}, {}, "a note").status, kOk);

	enum Outcome { kWritten, kDenied, kMistake };
	struct Target {
		const char *what;
		std::function<std::string(const std::string &)> plant; // the -o path
		Outcome outcome;
		const char *reason;
	};
	const Target targets[] = {
	        {"a dangling link of another user's",
	         [&](const std::string &t) {
		         as_other("ln -s " + t + ".victim " + t);
		         return t;
	         },
	         kDenied, "symbolic link that another user made"},
	        {"another user's link to their file",
	         [&](const std::string &t) {
		         as_other("echo theirs > " + t + ".theirs && ln -s " + t + ".theirs " + t);
		         return t;
	         },
	         kDenied, "symbolic link that another user made"},
	        {"another user's FIFO",
	         [&](const std::string &t) {
		         as_other("mkfifo -m 666 " + t);
		         return t;
	         },
	         kDenied, "FIFO that belongs to another user"},
	        {"another user's file",
	         [&](const std::string &t) {
		         as_other("echo theirs > " + t + " && chmod 666 " + t);
		         return t;
	         },
	         kDenied, "belongs to another user"},
	        {"a directory",
	         [&](const std::string &t) {
		         mkdir(t.c_str(), 0700);
		         return t;
	         },
	         kMistake, "is a directory"},
	        {"a dangling link of the caller's",
	         [&](const std::string &t) {
		         symlink((t + ".nowhere").c_str(), t.c_str());
		         return t;
	         },
	         kDenied, "dangling symbolic link"},
	        {"the caller's FIFO",
	         [&](const std::string &t) {
		         mkfifo(t.c_str(), 0600);
		         return t;
	         },
	         kWritten, ""},
	        {"/dev/null", [](const std::string &) { return std::string("/dev/null"); },
	         kWritten, ""},
	        {"standard output under --json",
	         [](const std::string &) { return std::string("/dev/stdout"); }, kMistake,
	         "standard output, which --json needs"},
	        {"another user's file outside a shared directory",
	         [&](const std::string &t) {
		         std::string mine = dir / ("o" + t.substr(t.rfind('/') + 1));
		         write_file(mine, "theirs");
		         chown(mine.c_str(), other->pw_uid, other->pw_gid);
		         chmod(mine.c_str(), 0666);
		         return mine;
	         },
	         kWritten, ""},
	};
	using Command = std::function<std::vector<std::string>(const std::string &)>;
	const std::pair<const char *, Command> commands[] = {
	        {"decrypt",
	         [&](auto t) {
		         return std::vector<std::string>{"file", "decrypt", dir / "enc",
		                                         "-f",   "-o",      t};
	         }},
	        {"encrypt",
	         [&](auto t) {
		         return std::vector<std::string>{"file", "encrypt", dir / "plain",
		                                         "-f",   "-o",      t};
	         }},
	        {"dup",
	         [](auto t) {
		         return std::vector<std::string>{"dup", "export", "-f", "-o", t};
	         }},
	        {"keys",
	         [](auto t) {
		         return std::vector<std::string>{"keys", "generate", "-f", "-o", t};
	         }},
	        {"note",
	         [](auto t) {
		         return std::vector<std::string>{"note", "read", "-f", "-o", t};
	         }},
	        {"trace",
	         [](auto t) {
		         return std::vector<std::string>{"--debug", "2:" + t, "info"};
	         }},
	};
	// everything in both directories, but the tokens' states
	auto snapshot = [&] {
		std::map<std::string, std::string> seen;
		for (const std::string &where : {dir.path(), shared})
			for (const auto &entry : std::filesystem::directory_iterator(where))
				if (entry.is_regular_file() &&
				    entry.path().filename().string().size() > 2)
					seen[entry.path()] = read_file(entry.path());
		return seen;
	};
	int n = 0;
	for (const Target &target : targets) {
		for (const auto &[name, command] : commands) {
			std::string path = target.plant(shared + "/t" + std::to_string(n++));
			bool trace = std::string(name) == "trace";
			// the trace takes nothing but a regular file of the caller's
			Outcome expected = trace ? kDenied : target.outcome;
			int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
			struct stat info {};
			bool fifo = lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
			auto before = snapshot();
			std::vector<std::string> args = command(path);
			if (target.outcome == kMistake &&
			    std::string(target.reason).find("json") != std::string::npos)
				args.insert(args.begin(), "--json");
			ToolRun run = tool(args);
			std::string label = std::string(target.what) + ", " + name + ": " + run.err;
			char byte = 0;
			bool streamed = fifo && read(reader, &byte, 1) == 1;
			if (reader >= 0)
				close(reader);
			auto after = snapshot();
			after.erase(path); // checked below
			before.erase(path);
			EXPECT_EQ(after, before) << label;
			if (expected == kWritten) {
				EXPECT_EQ(run.status, kOk) << label;
				EXPECT_TRUE(streamed || !fifo) << label;
				if (path.find("/o") != std::string::npos) {
					ASSERT_EQ(stat(path.c_str(), &info), 0) << label;
					EXPECT_EQ(info.st_mode & 0777, 0600u) << label;
					EXPECT_EQ(info.st_uid, 0u) << label;
				}
				continue;
			}
			EXPECT_FALSE(streamed) << label;
			EXPECT_NE(run.err.find(trace && expected == kDenied ? "ignored"
			                                                    : target.reason),
			          std::string::npos)
			        << label;
			EXPECT_EQ(run.status, trace                  ? kOk
			                      : expected == kMistake ? kUsage
			                                             : 1)
			        << label;
			EXPECT_TRUE(trace || run.err.find(path) != std::string::npos) << label;
		}
	}
	// a fresh name: the trace is created for its owner alone
	ASSERT_EQ(tool({"--debug", "2:" + shared + "/trace", "info"}).status, kOk);
	struct stat info {};
	ASSERT_EQ(stat((shared + "/trace").c_str(), &info), 0);
	EXPECT_EQ(info.st_mode & 0777, 0600u);
	EXPECT_GT(info.st_size, 0);
}

// However the decryption ends, no plaintext is left under any name: a
// signal it handles, and SIGKILL, which no handler sees.
TEST_F(ToolSim, AKilledDecryptionLeavesNoFile)
{
	write_file(dir / "plain", pattern(4 * kMiB));
	ASSERT_EQ(tool({"file", "encrypt", dir / "plain", "-o", dir / "enc"}).status, kOk);
	std::string encrypted = read_file(dir / "enc");
	signal(SIGPIPE, SIG_IGN);
	for (int sig : {SIGINT, SIGKILL}) {
		int fds[2];
		ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
		ToolProcess process = start_tool(
		        {"--sim", dir / "a", "file", "decrypt", "-", "-o", dir / "out"},
		        {{"DRAXEL_PIN", "1234"}, {"DRAXEL_PASS_PHRASE", "phrase"}}, fds[0]);
		close(fds[0]);
		// once the pipe took this much, the first megabyte is deciphered and
		// written: the tool writes a chunk before it reads the next
		ASSERT_EQ(write(fds[1], encrypted.data(), 2 * kMiB + 100),
		          static_cast<ssize_t>(2 * kMiB + 100));
		kill(process.pid, sig);
		ToolRun run = wait_tool(process);
		close(fds[1]);
		EXPECT_EQ(run.status, 128 + sig);
		EXPECT_EQ(files(), (std::vector<std::string>{"enc", "plain"})) << sig;
	}
}

// A tool that crashes while it holds the PIN, a pass phrase and plaintext
// writes no core, whatever core limit it was started with.
TEST_F(ToolSim, ACrashHoldingSecretsLeavesNoCore)
{
	write_file(dir / "plain", pattern(2 * kMiB));
	ASSERT_EQ(tool({"file", "encrypt", dir / "plain", "-o", dir / "enc"}).status, kOk);
	std::string encrypted = read_file(dir / "enc");
	int fds[2];
	ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
	const std::string cwd = dir.path();
	ToolProcess process = start_tool(
	        {"--sim", dir / "a", "file", "decrypt", "-", "-o", "/dev/null"},
	        {{"DRAXEL_PIN", "1234"}, {"DRAXEL_PASS_PHRASE", "phrase"}}, fds[0], [cwd] {
		        rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
		        setrlimit(RLIMIT_CORE, &unlimited);
		        if (chdir(cwd.c_str()) != 0)
			        _exit(127);
	        });
	close(fds[0]);
	ASSERT_EQ(write(fds[1], encrypted.data(), kMiB + 200), static_cast<ssize_t>(kMiB + 200));
	kill(process.pid, SIGABRT);
	int status = 0;
	waitpid(process.pid, &status, 0);
	close(fds[1]);
	close(process.out_fd);
	close(process.err_fd);
	ASSERT_TRUE(WIFSIGNALED(status));
	EXPECT_EQ(WTERMSIG(status), SIGABRT);
	EXPECT_FALSE(WCOREDUMP(status));
	for (const std::string &name : files())
		EXPECT_EQ(name.rfind("core", 0), std::string::npos) << name;
}

TEST_F(ToolSim, WrongAndBlockedPinHaveTheirOwnStatusesAndThePukUnblocks)
{
	ToolRun wrong = tool({"--json", "pin", "verify"}, {{"DRAXEL_PIN", "0000"}});
	EXPECT_EQ(wrong.status, kWrong);
	EXPECT_EQ(wrong.json()["failure"]["code"], 142);
	EXPECT_NE(wrong.err.find("2 attempts left"), std::string::npos) << wrong.err;
	EXPECT_EQ(tool({"--json", "info"}).json()["attempts"],
	          nlohmann::json::parse(
	                  R"({"pin":2,"puk":10,"erase_password":10,"note_password":3})"));
	ToolRun last = tool({"pin", "verify"}, {{"DRAXEL_PIN", "0000"}});
	EXPECT_EQ(last.status, kWrong);
	EXPECT_NE(last.err.find("1 attempt left)"), std::string::npos) << last.err;
	ToolRun blocking = tool({"pin", "verify"}, {{"DRAXEL_PIN", "0000"}});
	EXPECT_EQ(blocking.status, kWrong);
	EXPECT_NE(blocking.err.find("draxel-tool pin unblock"), std::string::npos) << blocking.err;
	EXPECT_EQ(tool({"pin", "verify"}).status, kBlocked); // the right PIN, too late
	EXPECT_EQ(tool({"--json", "info"}).json()["attempts"]["pin"], 0);

	// a new PIN the token would refuse after the reset: nothing is sent
	EXPECT_EQ(tool({"pin", "unblock"}, {{"DRAXEL_NEW_PIN", "12"}}).status, kUsage);
	EXPECT_EQ(tool({"pin", "verify"}).status, kBlocked);
	EXPECT_EQ(tool({"pin", "unblock"}, {{"DRAXEL_PUK", "87654321"}, {"DRAXEL_NEW_PIN", "5678"}})
	                  .status,
	          kWrong);
	EXPECT_EQ(tool({"pin", "unblock"}, {{"DRAXEL_NEW_PIN", "5678"}}).status, kOk);
	EXPECT_EQ(tool({"pin", "verify"}).status, kWrong);

	// a descriptor at its end, and an empty variable: no PIN at all
	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	close(fds[1]);
	ToolRun empty =
	        tool({"pin", "verify", "--pin-fd", std::to_string(fds[0])}, {{"DRAXEL_PIN", ""}});
	EXPECT_EQ(empty.status, kUsage);
	EXPECT_NE(empty.err.find("no PIN given"), std::string::npos) << empty.err;
	close(fds[0]);
	EXPECT_EQ(run_tool({"--sim", dir / "a", "pin", "verify"}, {{"DRAXEL_PIN", ""}}).status,
	          kUsage);
	// no descriptor, no variable and no terminal to ask on
	ToolRun none = tool({"pin", "verify"}, {{"DRAXEL_PIN", ""}});
	EXPECT_EQ(none.status, kUsage);
	EXPECT_NE(none.err.find("DRAXEL_PIN"), std::string::npos) << none.err;
}

// A secret at the longest length the tool keeps (255 bytes) and one byte
// more, by each way a secret comes in: a variable, a descriptor, the
// terminal. The longest reaches the token, which refuses a PIN longer than
// it keeps (115) without counting a try; one byte more is refused before
// any command. A pass phrase of 219 bytes, the longest a message takes,
// goes there and back; one of 220 is refused.
TEST_F(ToolSim, SecretsAtTheLongestLengthAndOneByteMoreByEachWayIn)
{
	ASSERT_EQ(tool({"info"}).status, kOk);
	enum Way { kVariable, kDescriptor, kTerminal };
	auto run = [&](Way way, std::vector<std::string> args, const char *var, const char *option,
	               const std::string &secret) {
		if (way == kVariable)
			return tool(args, {{var, secret}});
		if (way == kDescriptor) {
			args.insert(args.end(), {option, "0"});
			return tool(args, {{var, ""}}, secret + "\n");
		}
		Env env = {{"DRAXEL_PIN", "1234"}};
		env.erase(var);
		return on_terminal(args, env, {secret, secret}); // a new one is asked twice
	};
	// on the terminal both streams are the terminal's: what it shows
	auto shown = [](const ToolRun &result) { return result.out + result.err; };
	auto last_line = [](std::string text) {
		text.erase(text.find_last_not_of("\r\n") + 1);
		return text.substr(text.find_last_of('\n') + 1);
	};
	for (Way way : {kVariable, kDescriptor, kTerminal}) {
		SCOPED_TRACE(way);
		ToolRun longest = run(way, {"--json", "pin", "verify"}, "DRAXEL_PIN", "--pin-fd",
		                      std::string(255, '7'));
		EXPECT_EQ(longest.status, kRefused) << longest.err;
		EXPECT_NE(shown(longest).find("code 115"), std::string::npos) << shown(longest);
		ToolRun over = run(way, {"pin", "verify"}, "DRAXEL_PIN", "--pin-fd",
		                   std::string(256, '7'));
		EXPECT_EQ(over.status, kUsage);
		EXPECT_NE(shown(over).find("longer than 255 bytes"), std::string::npos)
		        << shown(over);

		const std::string phrase(219, 'p');
		ToolRun cipher = run(way, {"msg", "encrypt", "-m", "2", "long phrase"},
		                     "DRAXEL_PASS_PHRASE", "--pass-phrase-fd", phrase);
		ASSERT_EQ(cipher.status, kOk) << cipher.err;
		ToolRun plain = tool({"msg", "decrypt", "-m", "2", last_line(cipher.out)},
		                     {{"DRAXEL_PASS_PHRASE", phrase}});
		EXPECT_EQ(plain.out, "long phrase") << plain.err;
		for (size_t len : {220, 256}) {
			ToolRun refused =
			        run(way, {"msg", "encrypt", "-m", "2", "x"}, "DRAXEL_PASS_PHRASE",
			            "--pass-phrase-fd", std::string(len, 'p'));
			EXPECT_EQ(refused.status, kUsage) << len << ": " << shown(refused);
			EXPECT_NE(shown(refused).find(len > 255 ? "longer than 255" : "code 102"),
			          std::string::npos)
			        << len << ": " << shown(refused);
		}
	}
	EXPECT_EQ(tool({"--json", "info"}).json()["attempts"]["pin"], 3) << "no try counted";
}

// Each password changed, then verified under its new value and refused
// under its old one; the PUK's flag; the note password blocked and unblocked.
TEST_F(ToolSim, EveryPasswordVerifiesAndChanges)
{
	EXPECT_EQ(tool({"--json", "info"}).json()["default_puk"], true);
	const struct {
		const char *command, *variable, *old_value, *new_value;
	} passwords[] = {{"pin", "PIN", "1234", "2468"},
	                 {"puk", "PUK", "12345678", "11223344"},
	                 {"erase-pas", "ERASE_PAS", "00000000", "99999999"},
	                 {"note-pas", "NOTE_PAS", "4321", "8765"}};
	for (const auto &p : passwords) {
		const std::string name = std::string("DRAXEL_") + p.variable;
		const std::string fresh = std::string("DRAXEL_NEW_") + p.variable;
		EXPECT_EQ(tool({p.command, "change"}, {{name, p.old_value}, {fresh, p.new_value}})
		                  .status,
		          kOk)
		        << p.command;
		EXPECT_EQ(tool({p.command, "verify"}, {{name, p.new_value}}).status, kOk)
		        << p.command;
		EXPECT_EQ(tool({p.command, "verify"}, {{name, p.old_value}}).status, kWrong)
		        << p.command;
	}
	EXPECT_EQ(tool({"--json", "info"}).json()["default_puk"], false);
	for (int i = 0; i < 2; ++i)
		tool({"note-pas", "verify"}, {{"DRAXEL_NOTE_PAS", "4321"}});
	EXPECT_EQ(tool({"note-pas", "verify"}, {{"DRAXEL_NOTE_PAS", "8765"}}).status, kBlocked);
	EXPECT_EQ(
	        tool({"note-pas", "unblock", "--reset-only"}, {{"DRAXEL_PUK", "11223344"}}).status,
	        kOk);
	EXPECT_EQ(tool({"note-pas", "verify"}, {{"DRAXEL_NOTE_PAS", "8765"}}).status, kOk);
	EXPECT_EQ(tool({"pin", "change"}, {{"DRAXEL_PIN", "2468"}, {"DRAXEL_NEW_PIN", "1"}}).status,
	          kUsage);
}

TEST_F(ToolSim, GroupsChangeAndASecondTokenJoinsByRequestAndInvite)
{
	ASSERT_EQ(tool({"group", "create", "team"}).status, kOk);
	EXPECT_EQ(tool({"group", "create", "team"}).status, kRefused);
	ASSERT_EQ(tool({"group", "rename", "team", "crew"}).status, kOk);
	ASSERT_EQ(tool({"group", "passphrase", "crew"}, {{"DRAXEL_NEW_PASS_PHRASE", "crew phrase"}})
	                  .status,
	          kOk);
	EXPECT_EQ(tool({"--json", "group", "list"}).json(),
	          nlohmann::json::parse(R"({"ok":true,"groups":[{"name":"crew","admin":true}]})"));

	// a request that a newer one replaced, or an invite meant for another
	// token: the wrong token, named as such
	std::string superseded =
	        on("b", {"group", "request"}, {{"DRAXEL_PASS_PHRASE", "join phrase"}}).out;
	std::string request =
	        on("b", {"group", "request"}, {{"DRAXEL_PASS_PHRASE", "join phrase"}}).out;
	ToolRun stale = tool({"group", "invite", "crew"}, {}, superseded);
	ASSERT_EQ(stale.status, kOk) << stale.err;
	ToolRun refused = tool({"group", "accept", "ours"}, {{"DRAXEL_PASS_PHRASE", "join phrase"}},
	                       stale.out, "b");
	EXPECT_EQ(refused.status, kWrong);
	EXPECT_NE(refused.err.find("newer `group request` replaced"), std::string::npos)
	        << refused.err;
	ToolRun invite = tool({"group", "invite", "crew"}, {}, request);
	ASSERT_EQ(invite.status, kOk) << invite.err;
	EXPECT_EQ(tool({"group", "accept", "ours"}, {{"DRAXEL_PASS_PHRASE", "join phrase"}},
	               invite.out, "c")
	                  .status,
	          kWrong);
	ASSERT_EQ(tool({"group", "accept", "ours"}, {{"DRAXEL_PASS_PHRASE", "join phrase"}},
	               invite.out, "b")
	                  .status,
	          kOk);
	EXPECT_EQ(on("b", {"--json", "group", "list"}).json()["groups"][0]["admin"], false);

	std::string cipher = encrypt_message("to the crew", {"-g", "crew"},
	                                     {{"DRAXEL_PASS_PHRASE", "crew phrase"}});
	ToolRun there = on("b", {"msg", "decrypt", "-g", "ours", cipher},
	                   {{"DRAXEL_PASS_PHRASE", "join phrase"}});
	EXPECT_EQ(there.out, "to the crew") << there.err;
	EXPECT_EQ(
	        on("b", {"group", "passphrase", "ours"}, {{"DRAXEL_NEW_PASS_PHRASE", "x"}}).status,
	        kRefused);

	ASSERT_EQ(tool({"group", "delete", "crew"}).status, kOk);
	EXPECT_EQ(tool({"--json", "group", "list"}).json()["groups"], nlohmann::json::array());

	// a name that is not UTF-8 stays usable in JSON; control bytes never
	// reach the terminal raw
	const std::string odd = "x\x1B[2J\xFF";
	ASSERT_EQ(tool({"group", "create", odd}).status, kOk);
	EXPECT_EQ(tool({"--json", "group", "list"}).json()["groups"][0]["name_hex"],
	          "781B5B324AFF");
	EXPECT_EQ(tool({"group", "list"}).out, "x\\x1B[2J\xFF  (administrator)\n");

	// a pass phrase chosen at a prompt is typed twice, but a group's, which
	// the token checks, once
	const Env pin = {{"DRAXEL_PIN", "1234"}};
	EXPECT_EQ(on_terminal({"msg", "encrypt", "-m", "2", "hi"}, pin, {"one", "two"}).status,
	          kUsage);
	ToolRun twice = on_terminal({"msg", "encrypt", "-m", "2", "hi"}, pin, {"one", "one"});
	EXPECT_EQ(twice.status, kOk) << twice.out;
	ASSERT_EQ(tool({"group", "create", "g"}).status, kOk);
	EXPECT_EQ(on_terminal({"msg", "encrypt", "-g", "g", "hi"}, pin, {"phrase"}).status, kOk);
}

TEST_F(ToolSim, TheNoteIsReadAndWrittenUnderItsPolicy)
{
	EXPECT_EQ(tool({"--json", "note", "info"}).json(),
	          nlohmann::json::parse(R"({"ok":true,"size":65280,"policy":"pin"})"));
	ASSERT_EQ(tool({"note", "write"}, {}, "hello note").status, kOk);
	EXPECT_EQ(tool({"note", "read"}).out, "hello note");
	EXPECT_EQ(tool({"note", "read", "--offset", "6", "--length", "4"}).out, "note");
	write_file(dir / "piece", "NOTE");
	ASSERT_EQ(tool({"note", "write", dir / "piece", "--offset", "6"}).status, kOk);
	ASSERT_EQ(tool({"note", "read", "-o", dir / "saved"}).status, kOk);
	EXPECT_EQ(read_file(dir / "saved"), "hello NOTE");
	EXPECT_EQ(tool({"note", "write", "--offset", "65278"}, {}, "abc").status, kUsage);

	ASSERT_EQ(tool({"note", "policy", "note-pas"}).status, kOk);
	EXPECT_EQ(tool({"note", "read"}).status, kUsage); // no note password given
	EXPECT_EQ(tool({"note", "read"}, {{"DRAXEL_NOTE_PAS", "4321"}}).out, "hello NOTE");
	ASSERT_EQ(tool({"note", "clear"}, {{"DRAXEL_NOTE_PAS", "4321"}}).status, kOk);
	EXPECT_EQ(tool({"note", "read"}, {{"DRAXEL_NOTE_PAS", "4321"}}).out, "");
	EXPECT_EQ(tool({"note", "policy", "pin"}).out, "the note is guarded by the PIN\n");
	ToolRun exists = tool({"note", "create"});
	EXPECT_EQ(exists.status, kRefused);
	EXPECT_NE(exists.err.find("has a note already"), std::string::npos) << exists.err;
	EXPECT_EQ(tool({"note", "repair-trace"}).status, kOk);
}

TEST_F(ToolSim, TheTokenIsCopiedExportedImportedRekeyedAndCleared)
{
	ASSERT_EQ(tool({"group", "create", "team"}).status, kOk);
	std::string cipher = encrypt_message("copied", {"-g", "team"});
	ASSERT_EQ(tool({"--second-reader", dir / "b", "dup", "copy"},
	               {{"DRAXEL_SECOND_PUK", "12345678"}})
	                  .status,
	          kOk);
	EXPECT_EQ(on("b", {"msg", "decrypt", "-g", "team", cipher}).out, "copied");
	EXPECT_EQ(tool({"--second-reader", dir / "a", "dup", "copy"},
	               {{"DRAXEL_SECOND_PUK", "12345678"}})
	                  .status,
	          kUsage);

	ASSERT_EQ(tool({"dup", "export", "-o", dir / "dup"}).status, kOk);
	struct stat info {};
	ASSERT_EQ(stat((dir / "dup").c_str(), &info), 0);
	EXPECT_EQ(info.st_mode & 0777, 0600u);
	ToolRun imported = on("c", {"--json", "dup", "import", dir / "dup"});
	EXPECT_EQ(imported.status, kOk);
	EXPECT_EQ(imported.json()["passwords_replaced"], true);
	EXPECT_EQ(on("c", {"msg", "decrypt", "-g", "team", cipher}).out, "copied");
	std::string garbled = read_file(dir / "dup");
	garbled[0] = 'Z';
	write_file(dir / "dup", garbled);
	EXPECT_EQ(on("c", {"dup", "import", dir / "dup"}).status, kUsage);

	// one key source loaded into two tokens gives them the same keys
	ToolRun source = tool({"keys", "generate"});
	ASSERT_EQ(source.out.size(), 321u);
	for (const char *token : {"d", "e"})
		ASSERT_EQ(
		        tool({"keys", "load"}, {{"DRAXEL_KEY_PAS", "11111111"}}, source.out, token)
		                .status,
		        kOk);
	std::string keyed = encrypt_message("rekeyed", {"-m", "2"}, {}, "d");
	EXPECT_EQ(on("e", {"msg", "decrypt", "-m", "2", keyed}).out, "rekeyed");
	EXPECT_EQ(tool({"keys", "load"}, {{"DRAXEL_KEY_PAS", "11111111"}}, "00FF").status, kUsage);

	EXPECT_EQ(tool({"gen-ds-key"}).status, kOk);
	EXPECT_EQ(tool({"clean"}, {{"DRAXEL_ERASE_PAS", "12121212"}}).status, kWrong);
	// on a terminal clearing is asked about first, and "n" keeps the token
	EXPECT_EQ(on_terminal({"clean"}, {{"DRAXEL_ERASE_PAS", "00000000"}}, {"n"}).status, 1);
	EXPECT_EQ(tool({"--json", "group", "list"}).json()["groups"].size(), 1u);
	ASSERT_EQ(tool({"clean"}, {{"DRAXEL_ERASE_PAS", "00000000"}}).status, kOk);
	EXPECT_EQ(tool({"--json", "group", "list"}).json()["groups"], nlohmann::json::array());
	EXPECT_EQ(tool({"msg", "decrypt", "-m", "1", encrypt_message("gone", {"-m", "1"}, {}, "b")})
	                  .status,
	          kWrong);
}

TEST_F(ToolSim, ReadersInfoHelpAndUsage)
{
	ToolRun readers = tool({"--json", "readers"});
	ASSERT_EQ(readers.status, kOk) << readers.err;
	ASSERT_EQ(readers.json()["readers"].size(), 1u);
	EXPECT_EQ(readers.json()["readers"][0]["token"], true);
	EXPECT_EQ(readers.json()["readers"][0]["serial"],
	          tool({"--json", "info"}).json()["serial"]);
	EXPECT_EQ(tool({"--json", "info"}).json()["version"], 18);

	EXPECT_EQ(tool({"--reader", "0", "info"}).status, kUsage);
	EXPECT_EQ(tool({}).status, kUsage);
	EXPECT_EQ(tool({"msg"}).status, kUsage);
	ToolRun typo = tool({"msg", "encrpyt", "hi"});
	EXPECT_EQ(typo.status, kUsage);
	EXPECT_NE(typo.err.find("unknown subcommand \"encrpyt\""), std::string::npos) << typo.err;
	EXPECT_NE(typo.err.find("did you mean \"encrypt\""), std::string::npos) << typo.err;
	ToolRun unknown = tool({"--json", "frobnicate"});
	EXPECT_EQ(unknown.status, kUsage);
	EXPECT_EQ(unknown.json()["failure"]["exit_status"], kUsage);
	for (std::vector<std::string> asked :
	     {std::vector<std::string>{"msg", "encrypt", "--help"}, {"help", "msg", "encrypt"}}) {
		ToolRun help = run_tool(asked);
		EXPECT_EQ(help.status, kOk);
		EXPECT_NE(help.out.find("Usage: draxel-tool msg encrypt"), std::string::npos)
		        << help.out;
	}
	EXPECT_EQ(run_tool({"help", "msg", "nosuch"}).status, kUsage);
	EXPECT_EQ(run_tool({"--version"}).out.rfind("draxel-tool 1.", 0), 0u);

	// completion, from the command tree, run by bash itself
	write_file(dir / "completion", run_tool({"completion", "bash"}).out);
	auto complete = [&](const std::string &words) {
		std::string script = "source '" + dir / "completion" + "'; COMP_WORDS=(" + words +
		                     "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _draxel_tool; echo "
		                     "\"${COMPREPLY[*]}\"";
		return run_tool({}, {}, {},
		                [&] { execl("/bin/bash", "bash", "-c", script.c_str(), nullptr); })
		        .out;
	};
	EXPECT_EQ(complete("draxel-tool msg enc"), "encrypt\n");
	EXPECT_EQ(complete("draxel-tool --sim S no"), "note-pas note\n");
	EXPECT_EQ(complete("draxel-tool file decrypt x --fo"), "--force\n");
	EXPECT_EQ(run_tool({"completion", "zsh"}).out.rfind("#compdef draxel-tool\n", 0), 0u);
}

// A mistyped or empty --sim must neither reach a real card nor become a new
// token whose files the real one can never decipher.
TEST_F(ToolSim, OnlyAnExplicitRequestIssuesASoftwareToken)
{
	EXPECT_EQ(run_tool({"--sim", "", "info"}).status, kUsage);
	ToolRun missing = run_tool({"--sim", dir / "typo", "msg", "encrypt", "hi"});
	EXPECT_EQ(missing.status, kNoToken);
	EXPECT_NE(missing.err.find("no such token state"), std::string::npos) << missing.err;
	EXPECT_EQ(run_tool({"--sim", dir / "missing-dir/x", "info"}).status, kNoToken);
	EXPECT_TRUE(dir.entries().empty());

	ToolRun init = run_tool({"--json", "--sim", dir / "new", "init"});
	ASSERT_EQ(init.status, kOk) << init.err;
	EXPECT_EQ(init.json()["pin"], "1234");
	EXPECT_EQ(run_tool({"--sim", dir / "new", "init"}).status, kUsage);
	EXPECT_EQ(run_tool({"--sim", dir / "new", "--json", "info"}).json()["serial"],
	          init.json()["serial"]);
}

// The software token's state as a user's disk treats it: full, or left
// with a temporary by a killed run.
TEST_F(ToolSim, TheSoftwareTokenFailsClosedAndSweepsItsLeftovers)
{
	ASSERT_EQ(tool({"pin", "verify"}).status, kOk);
	const std::string state = read_file(dir / "a");
	auto full_disk = [] {
		signal(SIGXFSZ, SIG_IGN);
		rlimit limit{4096, 4096};
		setrlimit(RLIMIT_FSIZE, &limit);
	};
	// (that the token then counts nothing is token_state_test.cpp's)
	ToolRun refused = run_tool({"--sim", dir / "a", "pin", "verify"}, {{"DRAXEL_PIN", "0000"}},
	                           {}, full_disk);
	EXPECT_EQ(refused.status, kRefused) << refused.err;
	EXPECT_NE(refused.err.find("cannot save the software token's state"), std::string::npos)
	        << refused.err;
	EXPECT_EQ(read_file(dir / "a"), state);
	// what changes nothing works on a full disk all the same
	EXPECT_EQ(run_tool({"--sim", dir / "a", "info"}, {}, {}, full_disk).status, kOk);

	// a run killed while saving; a user's own file of a like name stays
	write_file(dir / "a.k1LLed", state);
	write_file(dir / "a.backup", "mine");
	EXPECT_EQ(tool({"info"}).status, kOk);
	EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a", "a.backup", "a.lock"}));
	// runs killed at every moment of their first milliseconds leave no copy
	// of the state behind: a save holds the signal back until it is done. (A
	// run killed between VERIFY's two saves keeps the attempt counted, as a
	// card does; the run after it restores the count.)
	for (int delay_us = 0; delay_us < 30000; delay_us += 750) {
		ToolProcess run =
		        start_tool({"--sim", dir / "a", "pin", "verify"}, {{"DRAXEL_PIN", "1234"}});
		usleep(static_cast<useconds_t>(delay_us));
		kill(run.pid, SIGTERM);
		wait_tool(run);
		ASSERT_EQ(dir.entries(), (std::vector<std::string>{"a", "a.backup", "a.lock"}))
		        << delay_us;
		ASSERT_EQ(tool({"pin", "verify"}).status, kOk) << delay_us;
	}

	// with stdout closed the result must not land in the first file opened
	ToolRun closed = run_tool({"--sim", dir / "a", "msg", "encrypt", "hi"},
	                          {{"DRAXEL_PIN", "1234"}, {"DRAXEL_PASS_PHRASE", "x"}}, {},
	                          [] { close(STDOUT_FILENO); });
	EXPECT_NE(closed.status, kOk);
	EXPECT_EQ(read_file(dir / "a.lock"), "");
}

// What a new user meets first: secrets pasted with their line end, empty
// and overlong arguments, a path that would forge output lines, --json
// everywhere, and a lock file another program pointed elsewhere.
TEST_F(ToolSim, RoughEdgesANewUserMeets)
{
	EXPECT_EQ(tool({"pin", "verify"}, {{"DRAXEL_PIN", "1234\r\n"}}).status, kOk);
	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	ASSERT_EQ(write(fds[1], "1234\r\n", 6), 6);
	close(fds[1]);
	EXPECT_EQ(tool({"pin", "verify", "--pin-fd", std::to_string(fds[0])}, {{"DRAXEL_PIN", ""}})
	                  .status,
	          kOk);
	close(fds[0]);
	ToolRun control = tool({"pin", "verify"}, {{"DRAXEL_PIN", "12\t34"}});
	EXPECT_EQ(control.status, kUsage);
	EXPECT_NE(control.err.find("control character"), std::string::npos) << control.err;
	EXPECT_EQ(tool({"--json", "info"}).json()["attempts"]["pin"], 3) << "nothing was sent";

	write_file(dir / "plain", "text");
	for (const std::vector<std::string> &args :
	     {std::vector<std::string>{"file", "encrypt", dir / "plain", "-o", ""},
	      {"msg", "encrypt", "-g", "", "hi"},
	      {"keys", "generate", "-o", ""},
	      {"note", "read", "--length", "0"},
	      {"group", "create", std::string(64, 'g')}}) {
		ToolRun run = tool(args);
		EXPECT_EQ(run.status, kUsage) << args[1];
		EXPECT_EQ(run.err.find("179769"), std::string::npos) << run.err;
	}
	EXPECT_NE(tool({"group", "create", std::string(64, 'g')}).err.find("at most 63"),
	          std::string::npos);
	EXPECT_NE(tool({"file", "decrypt", dir / "nosuch"}).err.find("No such file"),
	          std::string::npos);

	ToolRun forged = tool({"file", "encrypt", dir / "plain", "-o", dir / "x\nok"});
	EXPECT_EQ(forged.status, kOk);
	EXPECT_EQ(std::count(forged.out.begin(), forged.out.end(), '\n'), 1) << forged.out;
	ToolRun odd = tool({"--json", "file", "encrypt", dir / "plain", "-o", dir / "\xff"});
	EXPECT_EQ(odd.json()["ok"], true);
	EXPECT_TRUE(odd.json()["output_hex"].get<std::string>().ends_with("2FFF")) << odd.out;
	ToolRun help = tool({"--json", "help", "nosuch"});
	EXPECT_EQ(help.status, kUsage);
	EXPECT_EQ(help.json()["ok"], false);

	ToolRun issued = run_tool({"--sim", dir / "fresh", "init"});
	EXPECT_NE(issued.out.find("PIN 1234"), std::string::npos);
	EXPECT_EQ(issued.err.find("1234"), std::string::npos) << issued.err;

	std::remove((dir / "fresh.lock").c_str());
	ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "fresh.lock").c_str()), 0);
	EXPECT_EQ(on("fresh", {"info"}).status, kNoToken);
	EXPECT_FALSE(std::filesystem::exists(dir / "victim"));
}

TEST(ToolReadme, ShowsTheHostExampleTheTestsCompile)
{
	std::string readme = read_file(DRAXEL_SOURCE_DIR "/README.md");
	std::string example = read_file(DRAXEL_SOURCE_DIR "/examples/host_example.c");
	ASSERT_FALSE(example.empty());
	EXPECT_NE(readme.find("```c\n" + example + "```"), std::string::npos);
}

// Peak memory of a large round trip, bounded by the chunk size and not the
// file's: 256 MiB here to keep `make test` quick (1 GiB by hand, likewise).
TEST_F(ToolSim, ALargeFileRoundTripStaysUnder64MiB)
{
	const size_t size = 256 * kMiB;
	{
		std::ofstream out(dir / "large", std::ios::binary);
		std::string block = pattern(kMiB, 7);
		for (size_t done = 0; done < size; done += block.size()) {
			block[0] = static_cast<char>(done / kMiB);
			out.write(block.data(), static_cast<std::streamsize>(block.size()));
		}
	}
	ToolRun enc = tool({"file", "encrypt", "--fast", dir / "large"});
	ASSERT_EQ(enc.status, kOk) << enc.err;
	ToolRun dec = tool({"file", "decrypt", dir / "large.drx", "-o", dir / "back"});
	ASSERT_EQ(dec.status, kOk) << dec.err;
	EXPECT_LT(enc.max_rss_kb, 64 * 1024);
	EXPECT_LT(dec.max_rss_kb, 64 * 1024);
	RecordProperty("encrypt_max_rss_kb", std::to_string(enc.max_rss_kb));
	RecordProperty("decrypt_max_rss_kb", std::to_string(dec.max_rss_kb));

	std::ifstream a(dir / "large", std::ios::binary), b(dir / "back", std::ios::binary);
	std::string x(kMiB, '\0'), y(kMiB, '\0');
	size_t compared = 0;
	while (a.read(x.data(), static_cast<std::streamsize>(x.size())) &&
	       b.read(y.data(), static_cast<std::streamsize>(y.size()))) {
		ASSERT_TRUE(x == y) << "at " << compared;
		compared += kMiB;
	}
	EXPECT_EQ(compared, size);
}

} // namespace
