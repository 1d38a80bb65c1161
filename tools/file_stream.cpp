#include "file_stream.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "cleanup.h"
#include "tool_error.h"

namespace draxel::tool {
namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;

[[noreturn]] void file_error(const std::string &doing, const std::string &path)
{
	throw ToolError(Exit::kFailure, "cannot " + doing + " " + path + ": " + strerror(errno));
}

std::string directory_of(const std::string &path)
{
	std::string dir = std::filesystem::path(path).parent_path().string();
	return dir.empty() ? "." : dir;
}

void sync_directory(const std::string &dir)
{
	int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd >= 0) {
		fsync(fd);
		close(fd);
	}
}

unsigned default_mode()
{
	mode_t mask = umask(0);
	umask(mask);
	return 0666 & ~mask;
}

// Puts the finished file under the target's name without ever replacing a
// file that appeared meanwhile, unless replacing was asked for.
bool move_into_place(const std::string &temp, const std::string &target, bool replace)
{
	if (replace)
		return rename(temp.c_str(), target.c_str()) == 0;
	if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
		return true;
	if (errno != EINVAL && errno != ENOSYS)
		return false;
	// a file system without RENAME_NOREPLACE: link() refuses an existing name
	if (link(temp.c_str(), target.c_str()) != 0)
		return false;
	unlink(temp.c_str());
	return true;
}

// "-" and the names of an open descriptor (/dev/stdout, /dev/fd/N).
std::optional<int> descriptor_named(const std::string &path)
{
	if (path == "-" || path == "/dev/stdout")
		return STDOUT_FILENO;
	if (path == "/dev/stderr")
		return STDERR_FILENO;
	for (const char *prefix : {"/dev/fd/", "/proc/self/fd/"}) {
		size_t len = strlen(prefix);
		if (path.compare(0, len, prefix) != 0 || path.size() == len ||
		    path.size() > len + 6 ||
		    path.find_first_not_of("0123456789", len) != std::string::npos)
			continue;
		int fd = std::stoi(path.substr(len));
		if (fcntl(fd, F_GETFD) == -1)
			return std::nullopt;
		return fd;
	}
	return std::nullopt;
}

// Where a chain of symbolic links ends, whether or not a file is there yet.
std::string link_target(std::string path)
{
	constexpr int kMaxLinks = 40; // as the kernel's own bound
	for (int hop = 0; hop < kMaxLinks; ++hop) {
		struct stat info {};
		std::error_code error;
		if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
			return path;
		std::filesystem::path next = std::filesystem::read_symlink(path, error);
		if (error)
			return path;
		path = next.is_absolute()
		               ? next.string()
		               : (std::filesystem::path(path).parent_path() / next).string();
	}
	return path;
}

std::string megabytes(double bytes)
{
	char text[32];
	std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
	return text;
}

} // namespace

SecureBuffer::SecureBuffer(size_t size) : data_(new unsigned char[size]()), size_(size) {}

SecureBuffer::~SecureBuffer()
{
	wipe({data_.get(), size_});
}

InputFile::InputFile(const std::string &path) : path_(path)
{
	if (path == "-") {
		fd_ = STDIN_FILENO;
	} else {
		fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
		if (fd_ < 0)
			file_error("open", path);
		owned_ = true;
	}
	struct stat info {};
	if (fstat(fd_, &info) == 0 && S_ISDIR(info.st_mode))
		throw ToolError(Exit::kUsage, path + " is a directory");
	if (fstat(fd_, &info) == 0 && S_ISREG(info.st_mode))
		size_ = static_cast<uint64_t>(info.st_size);
}

InputFile::~InputFile()
{
	if (owned_)
		close(fd_);
}

size_t InputFile::read_full(unsigned char *data, size_t len)
{
	size_t got = 0;
	while (got < len) {
		ssize_t n = read(fd_, data + got, len - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			file_error("read", path_);
		if (n == 0)
			break;
		got += static_cast<size_t>(n);
	}
	return got;
}

std::string InputFile::read_at_most(size_t limit, const std::string &too_long)
{
	std::string text(limit + 1, '\0');
	WipeOnExit wipe_read(text);
	text.resize(read_full(reinterpret_cast<unsigned char *>(text.data()), text.size()));
	if (text.size() > limit)
		throw ToolError(Exit::kUsage, too_long);
	return std::string(text);
}

TempOutput::TempOutput(const std::string &target, bool replace, std::optional<unsigned> mode,
                       std::optional<unsigned> new_file_mode)
    : target_(target), path_(target), replace_(replace), target_mode_(mode),
      new_file_mode_(new_file_mode)
{
	if (std::optional<int> fd = descriptor_named(target)) {
		// stdout redirected to a file names that file: writing a copy
		// beside it and renaming would cut the shell's redirection off
		in_place_ = true;
		fd_ = *fd;
		to_stdout_ = fd_ == STDOUT_FILENO;
		return;
	}
	struct stat info {};
	if (stat(target.c_str(), &info) != 0) {
		open_temporary();
		return;
	}
	if (S_ISDIR(info.st_mode))
		throw ToolError(Exit::kUsage, target + " is a directory");
	if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
		open_in_place(target);
		return;
	}
	if (!S_ISREG(info.st_mode))
		throw ToolError(Exit::kUsage, target + " is neither a regular file nor a stream");
	if (!replace)
		throw ToolError(Exit::kUsage, target + " exists; use --force to replace it");
	if (!target_mode_)
		target_mode_ = info.st_mode & 07777;
	open_temporary();
}

void TempOutput::open_in_place(const std::string &path)
{
	fd_ = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
	if (fd_ < 0)
		file_error("open", target_);
	in_place_ = true;
	owns_fd_ = true;
}

// Beside the file that is finally replaced: through a symbolic link, that
// is the link's target, so that the rename stays on one file system and the
// link keeps pointing where it did.
void TempOutput::open_temporary()
{
	path_ = link_target(target_);
	std::filesystem::path name(path_);
	temp_ = directory_of(path_) + "/." + name.filename().string() + ".XXXXXX";
	fd_ = mkostemp(temp_.data(), O_CLOEXEC);
	if (fd_ < 0)
		file_error("create a temporary file beside", target_);
	cleanup::arm_temp_file(temp_.c_str());
}

TempOutput::~TempOutput()
{
	if (!committed_)
		discard();
}

void TempOutput::discard()
{
	if (in_place_) {
		if (owns_fd_)
			close(fd_);
		fd_ = -1;
		return;
	}
	if (fd_ >= 0)
		close(fd_);
	fd_ = -1;
	unlink(temp_.c_str());
	cleanup::disarm_temp_file();
}

void TempOutput::write(const unsigned char *data, size_t len)
{
	size_t done = 0;
	while (done < len) {
		ssize_t n = ::write(fd_, data + done, len - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			file_error("write", target_);
		done += static_cast<size_t>(n);
	}
	written_ += len;
}

void TempOutput::commit()
{
	if (in_place_) {
		committed_ = true;
		int fd = fd_;
		fd_ = -1;
		if (owns_fd_ && close(fd) != 0)
			file_error("write", target_);
		return;
	}
	// plaintext stays private until it is complete; then the usual mode
	if (fchmod(fd_, target_mode_.value_or(new_file_mode_.value_or(default_mode()))) != 0)
		file_error("set the mode of", target_);
	if (fsync(fd_) != 0)
		file_error("write", target_);
	int fd = fd_;
	fd_ = -1;
	if (close(fd) != 0)
		file_error("write", target_);
	if (!move_into_place(temp_, path_, replace_))
		file_error("rename the output to", target_);
	committed_ = true;
	cleanup::disarm_temp_file();
	sync_directory(directory_of(path_));
}

Progress::Progress(std::string label, std::optional<uint64_t> total)
    : label_(std::move(label)), total_(total), shown_(isatty(STDERR_FILENO) != 0),
      start_(std::chrono::steady_clock::now()), last_draw_(start_)
{
	if (shown_)
		draw();
}

Progress::~Progress()
{
	// a failure's message starts on a line of its own
	if (shown_ && !finished_)
		std::fputs("\n", stderr);
}

void Progress::advance(uint64_t bytes)
{
	done_bytes_ += bytes;
	auto now = std::chrono::steady_clock::now();
	if (shown_ && now - last_draw_ >= kRedrawEvery) {
		last_draw_ = now;
		draw();
	}
}

void Progress::done()
{
	if (!shown_ || finished_)
		return;
	draw();
	std::fputs("\n", stderr);
	finished_ = true;
}

void Progress::draw()
{
	double seconds =
	        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
	double rate = seconds > 0 ? static_cast<double>(done_bytes_) / seconds : 0;
	std::string line = "\r" + label_ + " ";
	if (total_ && *total_ > 0) {
		double fraction = static_cast<double>(done_bytes_) / static_cast<double>(*total_);
		fraction = fraction > 1 ? 1 : fraction;
		int filled = static_cast<int>(fraction * kBarWidth);
		line += "[" + std::string(static_cast<size_t>(filled), '#') +
		        std::string(static_cast<size_t>(kBarWidth - filled), '.') + "] ";
		char percent[8];
		std::snprintf(percent, sizeof percent, "%3d%% ", static_cast<int>(fraction * 100));
		line += percent;
	}
	line += megabytes(static_cast<double>(done_bytes_)) + "  " + megabytes(rate) + "/s  ";
	std::fputs(line.c_str(), stderr);
	std::fflush(stderr);
}

} // namespace draxel::tool
