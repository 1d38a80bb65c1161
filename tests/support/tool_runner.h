// Runs the real draxel-tool binary as a user would: its own process without a
// controlling terminal (a prompt must fail, not wait for a user), a clean
// environment, standard input fed from a string, and its output, exit status
// and peak memory collected.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "files.h"

#ifndef DRAXEL_TOOL_PATH
#error "DRAXEL_TOOL_PATH must name draxel-tool"
#endif

namespace draxel::test {

struct ToolRun {
	int status = -1; // the exit status; 128 + n after signal n
	std::string out;
	std::string err;
	long max_rss_kb = 0; // peak resident memory of the tool
	nlohmann::json json() const { return nlohmann::json::parse(out); }
};

using Env = std::map<std::string, std::string>;

struct ToolProcess {
	pid_t pid = -1;
	int out_fd = -1;
	int err_fd = -1;
};

// A temporary file without a name, as a descriptor.
inline int temporary_fd()
{
	FILE *file = std::tmpfile();
	if (file == nullptr)
		throw std::runtime_error("tmpfile");
	int fd = dup(fileno(file));
	std::fclose(file);
	return fd;
}

// The tool's argv and environment (nothing of this process's environment
// but PATH), kept alive for execve.
struct ToolCommand {
	std::vector<std::string> argv_text, env_text;
	std::vector<char *> argv, envp;

	ToolCommand(const std::vector<std::string> &args, const Env &env)
	{
		argv_text = {DRAXEL_TOOL_PATH};
		argv_text.insert(argv_text.end(), args.begin(), args.end());
		if (const char *path = std::getenv("PATH"))
			env_text.push_back(std::string("PATH=") + path);
		for (const auto &[name, value] : env)
			env_text.push_back(name + "=" + value);
		for (auto &a : argv_text)
			argv.push_back(a.data());
		for (auto &e : env_text)
			envp.push_back(e.data());
		argv.push_back(nullptr);
		envp.push_back(nullptr);
	}
	[[noreturn]] void exec()
	{
		execve(argv[0], argv.data(), envp.data());
		_exit(127);
	}
};

// Starts the tool with the arguments and the environment variables, its
// standard input read from in_fd (or /dev/null), its output and errors going
// to temporary files; wait_tool collects it. child_setup, when given, runs
// in the child just before the tool starts (closing a descriptor, limiting
// the file size).
inline ToolProcess start_tool(const std::vector<std::string> &args, const Env &env = {},
                              int in_fd = -1, const std::function<void()> &child_setup = {})
{
	ToolCommand command(args, env);
	ToolProcess process{-1, temporary_fd(), temporary_fd()};
	int input = in_fd >= 0 ? in_fd : open("/dev/null", O_RDONLY | O_CLOEXEC);
	process.pid = fork();
	if (process.pid == 0) {
		setsid();
		dup2(input, STDIN_FILENO);
		dup2(process.out_fd, STDOUT_FILENO);
		dup2(process.err_fd, STDERR_FILENO);
		if (child_setup)
			child_setup();
		command.exec();
	}
	if (in_fd < 0)
		close(input);
	return process;
}

// The tool on a terminal of its own (a pseudo-terminal for its controlling
// terminal and standard streams), typing each answer once a prompt (a line
// ending in ": " or "] ") shows; what the terminal showed goes to out.
inline ToolRun run_on_terminal(const std::vector<std::string> &args, const Env &env,
                               const std::vector<std::string> &answers)
{
	ToolCommand command(args, env);
	int terminal = -1;
	pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
	if (pid == 0)
		command.exec();
	ToolRun run;
	size_t typed = 0;
	char buffer[512];
	// a bound, not a timing: a prompt that never comes must not hang the suite
	for (pollfd ready{terminal, POLLIN, 0}; poll(&ready, 1, 20000) > 0;) {
		ssize_t n = read(terminal, buffer, sizeof buffer);
		if (n <= 0)
			break; // the tool ended and closed the terminal
		run.out.append(buffer, static_cast<size_t>(n));
		bool prompted =
		        run.out.size() > 2 && (run.out.ends_with(": ") || run.out.ends_with("] "));
		if (prompted && typed < answers.size()) {
			std::string line = answers[typed++] + "\n";
			if (write(terminal, line.data(), line.size()) !=
			    static_cast<ssize_t>(line.size()))
				break;
		}
	}
	kill(pid, SIGKILL); // only if it still waits
	int status = 0;
	waitpid(pid, &status, 0);
	close(terminal);
	run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	return run;
}

inline ToolRun wait_tool(ToolProcess process)
{
	auto contents = [](int fd) {
		std::string text;
		char buf[65536];
		lseek(fd, 0, SEEK_SET);
		for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
			text.append(buf, static_cast<size_t>(n));
		close(fd);
		return text;
	};
	ToolRun run;
	int status = 0;
	rusage usage{};
	wait4(process.pid, &status, 0, &usage);
	run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	run.max_rss_kb = usage.ru_maxrss;
	run.out = contents(process.out_fd);
	run.err = contents(process.err_fd);
	return run;
}

// The tool run to its end with the bytes on standard input.
inline ToolRun run_tool(const std::vector<std::string> &args, const Env &env = {},
                        const std::string &input = {},
                        const std::function<void()> &child_setup = {})
{
	int in = temporary_fd();
	if (write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
		throw std::runtime_error("write");
	lseek(in, 0, SEEK_SET);
	ToolProcess process = start_tool(args, env, in, child_setup);
	close(in);
	return wait_tool(process);
}

} // namespace draxel::test
