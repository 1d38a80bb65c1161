#include "safe_output.h"

#include <fcntl.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace draxel::sim {
namespace {

constexpr int kMaxLinks = 40;          // as the kernel's own bound
constexpr unsigned kMemoryDevices = 1; // the major number of /dev/null, /dev/zero, /dev/full

bool shared_directory(const struct stat &dir)
{
	return (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & S_IWOTH) != 0;
}

// Another user's file in a shared directory, unless that user owns the
// directory too (as the kernel's protected_* rules allow).
bool planted(const struct stat &dir, const struct stat &file)
{
	return shared_directory(dir) && file.st_uid != geteuid() && file.st_uid != dir.st_uid;
}

// A device that swallows what it is given and shows it to nobody.
bool data_sink(const struct stat &info)
{
	unsigned minor_number = minor(info.st_rdev);
	return S_ISCHR(info.st_mode) && major(info.st_rdev) == kMemoryDevices &&
	       (minor_number == 3 || minor_number == 5 || minor_number == 7);
}

void split(const std::string &path, std::string &dir, std::string &name)
{
	size_t slash = path.rfind('/');
	if (slash == std::string::npos) {
		dir = ".";
		name = path;
	} else {
		dir = slash == 0 ? "/" : path.substr(0, slash);
		name = path.substr(slash + 1);
	}
}

std::string reason(int error)
{
	return strerror(error);
}

} // namespace

OutputPlace::OutputPlace(const std::string &path) : path_(path)
{
	if (path.empty())
		throw OutputRefused("''", "an empty name", true);
	// a refusal leaves no directory open: the destructor does not run then
	try {
		if (follow_links())
			check_existing();
	} catch (...) {
		if (dir_fd_ >= 0)
			close(dir_fd_);
		throw;
	}
}

bool OutputPlace::follow_links()
{
	std::string current = path_;
	for (int hops = 0;; ++hops) {
		open_directory_of(current);
		struct stat dir {};
		struct stat link {};
		if (fstat(dir_fd_, &dir) != 0)
			throw OutputRefused(path_, reason(errno));
		if (fstatat(dir_fd_, name_.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) {
			if (errno != ENOENT)
				throw OutputRefused(path_, reason(errno));
			return false; // a new file
		}
		if (!S_ISLNK(link.st_mode)) {
			exists_ = true;
			info_ = link;
			return true;
		}
		if (planted(dir, link))
			throw OutputRefused(path_,
			                    "is a symbolic link that another user made in the "
			                    "shared directory " +
			                            dir_path_);
		if (hops == kMaxLinks)
			throw OutputRefused(path_, "too many levels of symbolic links");
		current = link_target(link);
	}
}

void OutputPlace::open_directory_of(const std::string &current)
{
	split(current, dir_path_, name_);
	// "dir/", ".": the directory itself, never a file within it
	if (name_.empty() || name_ == "." || name_ == "..")
		throw OutputRefused(path_, "is a directory", true);
	if (dir_fd_ >= 0)
		close(dir_fd_);
	dir_fd_ = open(dir_path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (dir_fd_ < 0)
		throw OutputRefused(path_, "cannot open its directory " + dir_path_ + ": " +
		                                   reason(errno));
}

std::string OutputPlace::link_target(const struct stat &link) const
{
	struct stat followed {};
	if (fstatat(dir_fd_, name_.c_str(), &followed, 0) != 0 && errno == ENOENT)
		throw OutputRefused(path_, "is a dangling symbolic link; name its target "
		                           "instead");
	std::string target(static_cast<size_t>(link.st_size > 0 ? link.st_size : 4096) + 1, '\0');
	ssize_t len = readlinkat(dir_fd_, name_.c_str(), target.data(), target.size());
	if (len <= 0 || static_cast<size_t>(len) >= target.size())
		throw OutputRefused(path_, "cannot read the symbolic link");
	target.resize(static_cast<size_t>(len));
	return target[0] == '/' ? target : dir_path_ + "/" + target;
}

void OutputPlace::check_existing() const
{
	struct stat dir {};
	fstat(dir_fd_, &dir);
	if (S_ISDIR(info_.st_mode))
		throw OutputRefused(path_, "is a directory", true);
	if (S_ISREG(info_.st_mode) && planted(dir, info_))
		throw OutputRefused(path_, "belongs to another user, in the shared directory " +
		                                   dir_path_);
	if (S_ISFIFO(info_.st_mode) && !owned())
		throw OutputRefused(path_, "is a FIFO that belongs to another user");
	if (S_ISCHR(info_.st_mode) && !owned() && !data_sink(info_)) {
		// a terminal shows what it is given to whoever sits at it: the caller
		int fd = open_stream();
		bool terminal = isatty(fd) != 0;
		close(fd);
		if (!terminal)
			throw OutputRefused(path_, "is a device that belongs to another user");
	}
	if (!S_ISREG(info_.st_mode) && !S_ISFIFO(info_.st_mode) && !S_ISCHR(info_.st_mode))
		throw OutputRefused(path_, "is neither a regular file nor a stream", true);
}

OutputPlace::~OutputPlace()
{
	if (dir_fd_ >= 0)
		close(dir_fd_);
}

bool OutputPlace::owned() const
{
	return info_.st_uid == geteuid();
}

int OutputPlace::open_stream() const
{
	constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
	int fd = openat(dir_fd_, name_.c_str(), kFlags | O_NONBLOCK);
	// a FIFO without a reader yet: it is the caller's (checked), so wait for one
	if (fd < 0 && errno == ENXIO && S_ISFIFO(info_.st_mode))
		fd = openat(dir_fd_, name_.c_str(), kFlags);
	if (fd < 0)
		throw OutputRefused(path_, reason(errno));
	struct stat opened {};
	if (fstat(fd, &opened) != 0 || opened.st_dev != info_.st_dev ||
	    opened.st_ino != info_.st_ino) {
		close(fd);
		throw OutputRefused(path_, "was replaced while it was being opened");
	}
	fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
	return fd;
}

int OutputPlace::open_regular(int flags) const
{
	flags |= O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
	int fd = exists_ ? openat(dir_fd_, name_.c_str(), flags & ~O_CREAT)
	                 : openat(dir_fd_, name_.c_str(), flags | O_CREAT | O_EXCL, 0600);
	if (fd < 0)
		throw OutputRefused(path_, reason(errno));
	struct stat opened {};
	bool same = fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
	            (!exists_ || (opened.st_dev == info_.st_dev && opened.st_ino == info_.st_ino));
	if (!same) {
		close(fd);
		throw OutputRefused(path_, "was replaced while it was being opened");
	}
	fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
	return fd;
}

} // namespace draxel::sim
