// The exchange trace at its most detailed level, through every kind of
// operation of the tool on software tokens: it must show the exchanges and
// never a password, pass phrase, key source, duplicate, message, file or
// note byte.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "support/tool_runner.h"

using namespace draxel::test;

namespace {

constexpr int kOk = 0;

// The forms a secret could take in the trace: as it is, and as hex with or
// without blanks between the bytes, either case.
std::vector<std::string> forms(const std::string &secret)
{
	std::string spaced, packed;
	static const char *digits = "0123456789ABCDEF";
	for (unsigned char c : secret) {
		std::string byte = {digits[c >> 4], digits[c & 15]};
		spaced += (spaced.empty() ? "" : " ") + byte;
		packed += byte;
	}
	return {secret, spaced, packed};
}

bool contains_any(const std::string &haystack, const std::string &secret)
{
	std::string upper = haystack;
	for (char &c : upper)
		c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
	for (const std::string &form : forms(secret))
		if (haystack.find(form) != std::string::npos ||
		    upper.find(form) != std::string::npos)
			return true;
	return false;
}

TEST(Trace, ShowsEveryExchangeAndNoSecret)
{
	TempDir dir;
	const std::string trace = dir / "trace";
	const Env secrets = {{"DRAXEL_PIN", "4321"},         {"DRAXEL_NEW_PIN", "8642"},
	                     {"DRAXEL_PUK", "12345678"},     {"DRAXEL_PASS_PHRASE", "quiet phrase"},
	                     {"DRAXEL_KEY_PAS", "11111111"}, {"DRAXEL_NOTE_PAS", "notepass"}};
	auto on = [&](const std::string &token, std::vector<std::string> args,
	              const std::string &input = {}, Env env = {}) {
		args.insert(args.begin(), {"--sim", dir / token, "--debug", "2:" + trace});
		for (const auto &[name, value] : secrets)
			env.emplace(name, value);
		ToolRun run = run_tool(args, env, input);
		EXPECT_EQ(run.status, kOk) << args[5] << " " << args[6] << ": " << run.err;
		return run;
	};
	ASSERT_EQ(run_tool({"--sim", dir / "a", "init"}).status, kOk);
	ASSERT_EQ(run_tool({"--sim", dir / "b", "init"}).status, kOk);
	// the issued PIN is changed first, so that the new one is a secret too
	on("a", {"pin", "change"}, {}, {{"DRAXEL_PIN", "1234"}, {"DRAXEL_NEW_PIN", "4321"}});
	on("b", {"pin", "change"}, {}, {{"DRAXEL_PIN", "1234"}, {"DRAXEL_NEW_PIN", "4321"}});

	const std::string message = "attack at dawn";
	ToolRun cipher = on("a", {"msg", "encrypt", message});
	EXPECT_EQ(on("a", {"msg", "decrypt", cipher.out}).out, message);

	const std::string plain = pattern(5000, 7);
	write_file(dir / "plain", plain);
	on("a", {"file", "encrypt", dir / "plain", "-o", dir / "token.drx"});
	on("a", {"file", "decrypt", dir / "token.drx", "-o", dir / "back1"});
	on("a", {"file", "encrypt", "--fast", dir / "plain", "-o", dir / "fast.drx"});
	on("a", {"file", "decrypt", dir / "fast.drx", "-o", dir / "back2"});

	on("a", {"group", "create", "team"});
	std::string request =
	        on("b", {"group", "request"}, {}, {{"DRAXEL_PASS_PHRASE", "join phrase"}}).out;
	std::string invite = on("a", {"group", "invite", "team"}, request).out;
	on("b", {"group", "accept", "team"}, invite, {{"DRAXEL_PASS_PHRASE", "join phrase"}});

	const std::string note = "the note says nothing";
	on("a", {"note", "write"}, note);
	EXPECT_EQ(on("a", {"note", "read"}).out.substr(0, note.size()), note);

	std::string source = on("a", {"keys", "generate"}).out;
	on("a", {"keys", "load"}, source);
	std::string duplicate = on("a", {"dup", "export"}).out;
	on("b", {"dup", "import"}, duplicate);
	on("a", {"pin", "change"}, {}, {{"DRAXEL_PIN", "4321"}, {"DRAXEL_NEW_PIN", "8642"}});

	std::string text = read_file(trace);
	EXPECT_NE(text.find("CLA=00 INS=A4"), std::string::npos) << "the trace is on";
	EXPECT_NE(text.find("bytes, not shown"), std::string::npos);
	auto pieces = [](const std::string &whole, size_t size) {
		std::vector<std::string> out;
		std::string compact;
		for (char c : whole)
			if (!std::isspace(static_cast<unsigned char>(c)))
				compact += c;
		for (size_t at = 0; at + size <= compact.size(); at += size)
			out.push_back(compact.substr(at, size));
		return out;
	};
	std::vector<std::string> secret_texts = {"4321",     "8642",         "1234",
	                                         "12345678", "quiet phrase", "join phrase",
	                                         "11111111", message,        note};
	for (const std::string &secret : secret_texts)
		EXPECT_FALSE(contains_any(text, secret)) << secret;
	for (const std::string &piece : pieces(plain, 12))
		EXPECT_FALSE(contains_any(text, piece)) << "file data";
	// texts the tool prints as hex: a stretch of any of them is enough
	for (const std::string &hex : {source, duplicate, request, invite})
		for (const std::string &piece : pieces(hex, 24))
			EXPECT_EQ(text.find(piece), std::string::npos) << "hex text";
}

} // namespace
