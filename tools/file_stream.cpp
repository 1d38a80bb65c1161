#include "file_stream.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "cleanup.h"
#include "tool.h"

namespace draxel::tool {
namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;

[[noreturn]] void file_error(const std::string &doing, const std::string &path)
{
	throw ToolError(Exit::kFailure, "cannot " + doing + " " + path + ": " + strerror(errno));
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

bool is_stdout(const struct stat &info)
{
	struct stat out {};
	return fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == info.st_dev &&
	       out.st_ino == info.st_ino;
}

bool stdout_reserved = false;

// Where a file without a name can be given one: linkat through /proc.
std::string fd_path(int fd)
{
	return "/proc/self/fd/" + std::to_string(fd);
}

// A run killed where the file system has no O_TMPFILE leaves its hidden
// temporary behind; the next output to the same name removes it. Only names
// of the tool's own shape, and only the caller's files.
constexpr const char *kTempTag = ".draxel-";

void sweep_leftovers(const sim::OutputPlace &place)
{
	std::string prefix = "." + place.name() + kTempTag;
	std::error_code error;
	for (const auto &entry : std::filesystem::directory_iterator(place.dir_path(), error)) {
		std::string name = entry.path().filename().string();
		struct stat info {};
		if (name.size() == prefix.size() + 6 &&
		    name.compare(0, prefix.size(), prefix) == 0 &&
		    fstatat(place.dir_fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
		    S_ISREG(info.st_mode) && info.st_uid == geteuid())
			unlinkat(place.dir_fd(), name.c_str(), 0);
	}
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

void TempOutput::reserve_stdout(bool reserved)
{
	stdout_reserved = reserved;
}

TempOutput::TempOutput(const std::string &target, bool replace, std::optional<unsigned> mode,
                       std::optional<unsigned> new_file_mode)
    : target_(target), replace_(replace), target_mode_(mode), new_file_mode_(new_file_mode)
{
	struct stat info {};
	if (std::optional<int> fd = descriptor_named(target)) {
		// stdout redirected to a file names that file: writing a copy
		// beside it and renaming would cut the shell's redirection off
		in_place_ = true;
		fd_ = *fd;
		to_stdout_ = fd_ == STDOUT_FILENO || (fstat(fd_, &info) == 0 && is_stdout(info));
	} else {
		try {
			place_ = std::make_unique<sim::OutputPlace>(target);
		} catch (const sim::OutputRefused &refused) {
			throw ToolError(refused.usage() ? Exit::kUsage : Exit::kFailure,
			                "refusing to write " + escaped(target) + ": " +
			                        refused.reason());
		}
		to_stdout_ = place_->exists() && is_stdout(place_->info());
	}
	if (to_stdout_ && stdout_reserved)
		throw ToolError(Exit::kUsage, "-o " + escaped(target) +
		                                      " is standard output, which --json needs");
	if (in_place_)
		return;
	if (place_->is_stream()) {
		try {
			fd_ = place_->open_stream();
		} catch (const sim::OutputRefused &refused) {
			throw ToolError(Exit::kFailure,
			                "cannot open " + escaped(target) + ": " + refused.reason());
		}
		in_place_ = true;
		owns_fd_ = true;
		return;
	}
	if (place_->exists() && !replace)
		throw ToolError(Exit::kUsage,
		                escaped(target) + " exists; use --force to replace it");
	// another user's file, replaced, must not hand its new contents to
	// whoever could read the old ones
	if (place_->exists() && !target_mode_)
		target_mode_ = place_->owned() ? place_->info().st_mode & 07777 : 0600;
	open_temporary();
}

void TempOutput::open_temporary()
{
	sweep_leftovers(*place_);
	if (access("/proc/self/fd", X_OK) == 0) {
		fd_ = openat(place_->dir_fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
		if (fd_ >= 0)
			return;
		if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
			file_error("create a file in the directory of", escaped(target_));
	}
	std::string path = place_->dir_path() + "/." + place_->name() + kTempTag + "XXXXXX";
	fd_ = mkostemp(path.data(), O_CLOEXEC);
	if (fd_ < 0)
		file_error("create a temporary file beside", escaped(target_));
	temp_ = path.substr(path.rfind('/') + 1);
	cleanup::arm_temp_file(path.c_str());
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
	if (!temp_.empty()) {
		unlinkat(place_->dir_fd(), temp_.c_str(), 0);
		cleanup::disarm_temp_file();
	}
}

void TempOutput::write(const unsigned char *data, size_t len)
{
	size_t done = 0;
	while (done < len) {
		ssize_t n = ::write(fd_, data + done, len - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			file_error("write", escaped(target_));
		done += static_cast<size_t>(n);
	}
	written_ += len;
}

// The complete file takes the target's name; without replace, never over a
// file that appeared meanwhile.
void TempOutput::link_into_place()
{
	int dir = place_->dir_fd();
	const char *name = place_->name().c_str();
	if (temp_.empty()) {
		if (!replace_) {
			if (linkat(AT_FDCWD, fd_path(fd_).c_str(), dir, name, AT_SYMLINK_FOLLOW) !=
			    0)
				file_error("name the output", escaped(target_));
			return;
		}
		// rename replaces a name whole; a file without a name needs one first
		cleanup::SignalsHeld held;
		std::string path = place_->dir_path() + "/." + place_->name() + kTempTag + "XXXXXX";
		int probe = mkostemp(path.data(), O_CLOEXEC);
		if (probe < 0)
			file_error("create a temporary file beside", escaped(target_));
		close(probe);
		temp_ = path.substr(path.rfind('/') + 1);
		unlinkat(dir, temp_.c_str(), 0);
		if (linkat(AT_FDCWD, fd_path(fd_).c_str(), dir, temp_.c_str(), AT_SYMLINK_FOLLOW) !=
		    0)
			file_error("name the output", escaped(target_));
	}
	bool moved = false;
	if (replace_) {
		moved = renameat(dir, temp_.c_str(), dir, name) == 0;
	} else {
		moved = renameat2(dir, temp_.c_str(), dir, name, RENAME_NOREPLACE) == 0;
		// a file system without RENAME_NOREPLACE: link() refuses an existing name
		if (!moved && (errno == EINVAL || errno == ENOSYS) &&
		    linkat(dir, temp_.c_str(), dir, name, 0) == 0) {
			unlinkat(dir, temp_.c_str(), 0);
			moved = true;
		}
	}
	if (!moved)
		file_error("rename the output to", escaped(target_));
}

void TempOutput::commit()
{
	if (in_place_) {
		committed_ = true;
		int fd = fd_;
		fd_ = -1;
		if (owns_fd_ && close(fd) != 0)
			file_error("write", escaped(target_));
		return;
	}
	// plaintext stays private until it is complete; then the usual mode
	if (fchmod(fd_, target_mode_.value_or(new_file_mode_.value_or(default_mode()))) != 0)
		file_error("set the mode of", escaped(target_));
	if (fsync(fd_) != 0)
		file_error("write", escaped(target_));
	link_into_place();
	int fd = fd_;
	fd_ = -1;
	if (close(fd) != 0)
		file_error("write", escaped(target_));
	committed_ = true;
	cleanup::disarm_temp_file();
	sync_directory(place_->dir_path());
}

Result written(Result result, const TempOutput &out)
{
	if (out.to_stdout()) {
		std::fputs(result.text.c_str(), stderr);
		result.text.clear();
	}
	return result;
}

Result written(const std::string &summary, nlohmann::json data, const TempOutput &out)
{
	Result result;
	result.data = std::move(data);
	result.text = summary + "\n";
	return written(std::move(result), out);
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
