// Files for the tests: a temporary directory of their own, whole files read
// and written, and repeatable pseudo-random contents.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace draxel::test {

// A fresh temporary directory, removed with everything in it.
class TempDir {
public:
	TempDir()
	{
		path_ = (std::filesystem::temp_directory_path() / "draxel-tool-test.XXXXXX")
		                .string();
		if (mkdtemp(path_.data()) == nullptr)
			throw std::runtime_error("mkdtemp");
	}
	~TempDir()
	{
		std::error_code ignored;
		std::filesystem::remove_all(path_, ignored);
	}
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	const std::string &path() const { return path_; }
	std::string operator/(const std::string &name) const { return path_ + "/" + name; }
	// The names in the directory, sorted.
	std::vector<std::string> entries() const
	{
		std::vector<std::string> names;
		for (const auto &entry : std::filesystem::directory_iterator(path_))
			names.push_back(entry.path().filename().string());
		std::sort(names.begin(), names.end());
		return names;
	}

private:
	std::string path_;
};

inline std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

inline void write_file(const std::string &path, const std::string &bytes)
{
	std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// size bytes of a repeatable pseudo-random pattern.
inline std::string pattern(size_t size, unsigned seed = 1)
{
	std::mt19937_64 random(seed);
	std::string bytes(size, '\0');
	for (size_t i = 0; i < size; i += 8) {
		uint64_t word = random();
		for (size_t j = 0; j < 8 && i + j < size; ++j)
			bytes[i + j] = static_cast<char>(word >> (8 * j));
	}
	return bytes;
}

} // namespace draxel::test
