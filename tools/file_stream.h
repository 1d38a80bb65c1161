// Streaming a file through the token in bounded memory: wiped buffers, an
// input that reads whole chunks, an output that only appears under its name
// once it is complete, and a progress bar.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "safe_output.h"

namespace draxel::tool {

class SecureBuffer {
public:
	explicit SecureBuffer(size_t size);
	~SecureBuffer();
	SecureBuffer(const SecureBuffer &) = delete;
	SecureBuffer &operator=(const SecureBuffer &) = delete;

	unsigned char *data() { return data_.get(); }
	size_t size() const { return size_; }

private:
	std::unique_ptr<unsigned char[]> data_;
	size_t size_;
};

class InputFile {
public:
	// "-" is standard input.
	explicit InputFile(const std::string &path);
	~InputFile();
	InputFile(const InputFile &) = delete;
	InputFile &operator=(const InputFile &) = delete;

	// Reads until len bytes are in or the file ends; the bytes read.
	size_t read_full(unsigned char *data, size_t len);
	// The whole file as text when it holds at most limit bytes; a longer
	// one is refused with too_long. What was read may be secret: it is
	// wiped on every path that drops it.
	std::string read_at_most(size_t limit, const std::string &too_long);
	// The size of a regular file, for the progress bar.
	std::optional<uint64_t> size() const { return size_; }

private:
	std::string path_;
	int fd_ = -1;
	bool owned_ = false;
	std::optional<uint64_t> size_;
};

// The output is written to a file without a name (O_TMPFILE) in the
// target's directory, or where the file system has none to a hidden
// temporary beside it, and takes the target's name only on commit(): a
// failure (wrong pass phrase, damaged file, pulled card, a signal, even
// SIGKILL) leaves no partial file, and an existing target either stays as it
// was or is replaced whole. The target is checked by sim::OutputPlace: links
// and files another user planted in a shared directory are refused, and so
// is a dangling link. "-" (standard output), a FIFO or a character device is
// written in place as the data comes: there a failure is reported by the
// exit status alone, as with any stream.
class TempOutput {
public:
	// Refuses an existing target unless replace is set. The finished file
	// gets mode, or else the replaced file's mode when it was the caller's
	// (0600 when it was not), or else new_file_mode or the usual one.
	TempOutput(const std::string &target, bool replace, std::optional<unsigned> mode = {},
	           std::optional<unsigned> new_file_mode = {});
	~TempOutput();
	TempOutput(const TempOutput &) = delete;
	TempOutput &operator=(const TempOutput &) = delete;

	void write(const unsigned char *data, size_t len);
	void commit();
	uint64_t written() const { return written_; }
	// True when the target is standard output, by name or by being the same
	// file: the result must then keep off it.
	bool to_stdout() const { return to_stdout_; }

	// With --json standard output is the document's: an output that is the
	// same file is refused.
	static void reserve_stdout(bool reserved);

private:
	void open_temporary();
	void link_into_place();
	void discard();

	std::string target_; // as the user named it, for messages
	std::unique_ptr<sim::OutputPlace> place_;
	std::string temp_; // the hidden temporary's name, without O_TMPFILE
	bool replace_;
	bool in_place_ = false;
	bool owns_fd_ = false; // not for a descriptor the tool was given
	bool to_stdout_ = false;
	int fd_ = -1;
	bool committed_ = false;
	uint64_t written_ = 0;
	std::optional<unsigned> target_mode_;
	std::optional<unsigned> new_file_mode_;
};

struct Result;
// A command's result once its output is written: with the data on stdout,
// the summary goes to stderr (and --json was refused beforehand).
Result written(Result result, const TempOutput &out);
Result written(const std::string &summary, nlohmann::json data, const TempOutput &out);

// A progress bar on stderr, drawn only when stderr is a terminal.
class Progress {
public:
	Progress(std::string label, std::optional<uint64_t> total);
	~Progress();
	Progress(const Progress &) = delete;
	Progress &operator=(const Progress &) = delete;

	void advance(uint64_t bytes);
	void done();

private:
	void draw();

	std::string label_;
	std::optional<uint64_t> total_;
	uint64_t done_bytes_ = 0;
	bool shown_ = false;
	bool finished_ = false;
	std::chrono::steady_clock::time_point start_;
	std::chrono::steady_clock::time_point last_draw_;
};

} // namespace draxel::tool
