// The soak: message and file round trips through the real pcscd, in one
// process, with the resident memory and the open descriptors flat from
// start to end. A ctest of the plain build; make soak runs it alone
// (SOAK_MESSAGES, SOAK_FILES and SOAK_MAX_SECONDS set the counts and a time
// limit).
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "support/fixtures.h"
#include "support/virtual_card.h"

using namespace draxel::test;

namespace {

using Clock = std::chrono::steady_clock;

long env_number(const char *name, long fallback)
{
	const char *text = std::getenv(name);
	return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

long resident_kib()
{
	std::ifstream statm("/proc/self/statm");
	long size = 0, resident = 0;
	statm >> size >> resident;
	return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int open_descriptors()
{
	int count = 0;
	if (DIR *dir = opendir("/proc/self/fd")) {
		while (readdir(dir) != nullptr)
			++count;
		closedir(dir);
	}
	return count - 3; // ".", ".." and the directory itself
}

struct Sample {
	long rss_kib;
	int fds;
};

Sample sample()
{
	return {resident_kib(), open_descriptors()};
}

class Soak : public PcscLibraryTest {
protected:
	void SetUp() override
	{
		PcscLibraryTest::SetUp();
		deadline = Clock::now() +
		           std::chrono::seconds(env_number("SOAK_MAX_SECONDS", 1L << 30));
	}
	bool out_of_time() const { return Clock::now() >= deadline; }
	// Growth allowed between the sample after the warm-up and the last one.
	static void expect_flat(const char *what, const Sample &warm, const Sample &last)
	{
		std::printf(
		        "%s: resident %ld KiB after the warm-up, %ld KiB at the end (%+ld KiB); "
		        "descriptors %d and %d\n",
		        what, warm.rss_kib, last.rss_kib, last.rss_kib - warm.rss_kib, warm.fds,
		        last.fds);
		EXPECT_LE(last.rss_kib - warm.rss_kib, 1024) << what << ": resident memory grows";
		EXPECT_EQ(last.fds, warm.fds) << what << ": descriptors leak";
	}

	Clock::time_point deadline;
};

TEST_F(Soak, MessagesAndFilesThroughPcscd)
{
	const long messages = env_number("SOAK_MESSAGES", 10000);
	const long files = env_number("SOAK_FILES", 1000);
	VirtualCard card = VirtualCard::token(0);
	ASSERT_TRUE(card.attached());
	ASSERT_EQ(ConnectToMekta(false), 0u);
	ASSERT_EQ(VerifyPIN("1234", false), 0u);
	ASSERT_EQ(CreateGroup("soak", "soak phrase"), 0u);
	std::mt19937 rng(8);

	Sample warm = sample();
	auto began = Clock::now();
	long done = 0;
	for (; done < messages && !out_of_time(); ++done) {
		if (done == 100)
			warm = sample();
		int mode = 1 + static_cast<int>(done % 3);
		const char *group = mode == 3 ? "soak" : nullptr;
		const char *phrase = mode == 3 ? "soak phrase" : "phrase";
		std::string message(1 + rng() % 600, 'a' + static_cast<char>(done % 26)), text,
		        back;
		ASSERT_EQ(encrypt(message, mode, phrase, group, text), 0u) << done;
		ASSERT_EQ(decrypt(text, mode, phrase, group, back), 0u) << done;
		ASSERT_EQ(back, message) << done;
	}
	double seconds = std::chrono::duration<double>(Clock::now() - began).count();
	std::printf("%ld message round trips in %.1f s: %.1f per second, %.1f ms each\n", done,
	            seconds, static_cast<double>(done) / seconds,
	            1000 * seconds / static_cast<double>(done));
	if (done > 100)
		expect_flat("messages", warm, sample());
	EXPECT_EQ(done, messages) << "stopped by SOAK_MAX_SECONDS";

	warm = sample();
	began = Clock::now();
	long files_done = 0;
	for (; files_done < files && !out_of_time(); ++files_done) {
		if (files_done == 20)
			warm = sample();
		int fast = files_done % 2 == 0 ? 0x001 : 0;
		int mode = 1 + static_cast<int>(files_done % 3);
		const char *group = mode == 3 ? "soak" : nullptr;
		const char *phrase = mode == 3 ? "soak phrase" : "phrase";
		Bytes data(1 + rng() % (fast ? 20000 : 1500)), file, back;
		for (auto &b : data)
			b = static_cast<uint8_t>(rng());
		ASSERT_EQ(file_op(true, data, {data.size()}, mode, phrase, group, fast, file), 0u);
		ASSERT_EQ(file_op(false, file, {file.size()}, mode, phrase, group, 0, back), 0u);
		ASSERT_EQ(back, data) << files_done;
	}
	seconds = std::chrono::duration<double>(Clock::now() - began).count();
	std::printf("%ld file round trips in %.1f s: %.1f per second\n", files_done, seconds,
	            static_cast<double>(files_done) / seconds);
	if (files_done > 20)
		expect_flat("files", warm, sample());
	EXPECT_EQ(files_done, files) << "stopped by SOAK_MAX_SECONDS";
}

} // namespace
