// Runs the real draxel-tool binary as a user would: its own process without a
// controlling terminal, a clean environment, standard input fed from a
// string, and its output, exit status and peak memory collected.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace draxel::test {

struct ToolRun {
	int status = -1;     // the exit status; 128 + n after signal n
	std::string out;
	std::string err;
	long max_rss_kb = 0; // peak resident memory of the tool
	nlohmann::json json() const { return nlohmann::json::parse(out); }
};

using Env = std::map<std::string, std::string>;

// The tool with the arguments, the environment variables (nothing else of
// this process's environment but PATH) and the bytes on standard input.
ToolRun run_tool(const std::vector<std::string>& args, const Env& env = {},
                 const std::string& input = {});

// Starts the tool without waiting, its standard input read from in_fd (or
// /dev/null); wait_tool collects it.
struct ToolProcess {
	pid_t pid = -1;
	int out_fd = -1;
	int err_fd = -1;
};
ToolProcess start_tool(const std::vector<std::string>& args, const Env& env = {}, int in_fd = -1);
ToolRun wait_tool(ToolProcess process);

// A fresh temporary directory, removed with everything in it.
class TempDir {
public:
	TempDir();
	~TempDir();
	TempDir(const TempDir&) = delete;
	TempDir& operator=(const TempDir&) = delete;
	const std::string& path() const { return path_; }
	std::string operator/(const std::string& name) const { return path_ + "/" + name; }
	// The names in the directory, sorted.
	std::vector<std::string> entries() const;

private:
	std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
// size bytes of a repeatable pseudo-random pattern.
std::string pattern(size_t size, unsigned seed = 1);

} // namespace draxel::test
