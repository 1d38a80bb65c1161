#include "tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#ifndef DRAXEL_TOOL_PATH
#error "DRAXEL_TOOL_PATH must name draxel-tool"
#endif

namespace draxel::test {
namespace {

struct Pipe {
	int read = -1;
	int write = -1;
	Pipe()
	{
		int fds[2];
		if (pipe2(fds, O_CLOEXEC) != 0)
			throw std::runtime_error("pipe");
		read = fds[0];
		write = fds[1];
	}
};

std::vector<std::string> environment(const Env& env)
{
	std::vector<std::string> vars;
	if (const char* path = std::getenv("PATH"))
		vars.push_back(std::string("PATH=") + path);
	for (const auto& [name, value] : env)
		vars.push_back(name + "=" + value);
	return vars;
}

// Spawns the tool; in_fd becomes its standard input.
ToolProcess spawn(const std::vector<std::string>& args, const Env& env, int in_fd)
{
	std::vector<std::string> argv_text = {DRAXEL_TOOL_PATH};
	argv_text.insert(argv_text.end(), args.begin(), args.end());
	std::vector<std::string> env_text = environment(env);
	std::vector<char*> argv, envp;
	for (auto& a : argv_text)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	for (auto& e : env_text)
		envp.push_back(e.data());
	envp.push_back(nullptr);

	Pipe out, err;
	pid_t pid = fork();
	if (pid == 0) {
		// no controlling terminal: a prompt must fail, not wait for a user
		setsid();
		dup2(in_fd, STDIN_FILENO);
		dup2(out.write, STDOUT_FILENO);
		dup2(err.write, STDERR_FILENO);
		execve(argv[0], argv.data(), envp.data());
		_exit(127);
	}
	close(out.write);
	close(err.write);
	return {pid, out.read, err.read};
}

void drain(ToolProcess& process, ToolRun& run, const std::string& input, int in_fd)
{
	size_t written = 0;
	if (in_fd >= 0 && input.empty()) {
		close(in_fd);
		in_fd = -1;
	}
	for (int open_fds = 2; open_fds > 0;) {
		pollfd fds[3] = {{process.out_fd, POLLIN, 0}, {process.err_fd, POLLIN, 0},
		                 {in_fd, POLLOUT, 0}};
		if (poll(fds, in_fd >= 0 ? 3 : 2, -1) < 0 && errno != EINTR)
			break;
		for (int i = 0; i < 2; ++i) {
			if (fds[i].fd < 0 || fds[i].revents == 0)
				continue;
			char buf[65536];
			ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n > 0) {
				(i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(n));
			} else {
				close(fds[i].fd);
				(i == 0 ? process.out_fd : process.err_fd) = -1;
				--open_fds;
			}
		}
		if (in_fd >= 0 && fds[2].revents != 0) {
			ssize_t n = fds[2].revents & POLLOUT
			                ? write(in_fd, input.data() + written, input.size() - written)
			                : -1;
			written += n > 0 ? static_cast<size_t>(n) : 0;
			if (n < 0 || written == input.size()) {
				close(in_fd);
				in_fd = -1;
			}
		}
	}
	if (in_fd >= 0)
		close(in_fd);
}


void collect(pid_t pid, ToolRun& run)
{
	int status = 0;
	rusage usage{};
	wait4(pid, &status, 0, &usage);
	run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	run.max_rss_kb = usage.ru_maxrss;
}

} // namespace

ToolProcess start_tool(const std::vector<std::string>& args, const Env& env, int in_fd)
{
	int null_fd = in_fd >= 0 ? -1 : open("/dev/null", O_RDONLY | O_CLOEXEC);
	ToolProcess process = spawn(args, env, in_fd >= 0 ? in_fd : null_fd);
	if (null_fd >= 0)
		close(null_fd);
	return process;
}

ToolRun wait_tool(ToolProcess process)
{
	ToolRun run;
	drain(process, run, {}, -1);
	collect(process.pid, run);
	return run;
}

ToolRun run_tool(const std::vector<std::string>& args, const Env& env, const std::string& input)
{
	Pipe in;
	signal(SIGPIPE, SIG_IGN);
	ToolProcess process = spawn(args, env, in.read);
	close(in.read);
	ToolRun run;
	drain(process, run, input, in.write);
	collect(process.pid, run);
	return run;
}

TempDir::TempDir()
{
	std::string templ = (std::filesystem::temp_directory_path() / "draxel-tool-test.XXXXXX").string();
	if (mkdtemp(templ.data()) == nullptr)
		throw std::runtime_error("mkdtemp");
	path_ = templ;
}

TempDir::~TempDir()
{
	std::error_code ignored;
	std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::entries() const
{
	std::vector<std::string> names;
	for (const auto& entry : std::filesystem::directory_iterator(path_))
		names.push_back(entry.path().filename().string());
	std::sort(names.begin(), names.end());
	return names;
}

std::string read_file(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

void write_file(const std::string& path, const std::string& bytes)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string pattern(size_t size, unsigned seed)
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
