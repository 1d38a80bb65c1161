// Opening a file to write in a directory that other users may write too
// (/tmp, say): the rules the kernel applies with fs.protected_symlinks,
// protected_fifos and protected_regular, applied here whatever those are
// set to, since many machines and containers leave them at 0.
//
// In a sticky world-writable directory no symbolic link is followed, no FIFO
// written and no regular file opened that belongs to someone other than the
// caller or the directory's owner. Anywhere, a dangling link is not written
// through (its target would be created where another user pointed it), and
// a FIFO or device is written in place only when it is the caller's, a
// terminal, or a data sink such as /dev/null.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <stdexcept>
#include <string>

namespace draxel::sim {

// A target refused by the rules above; what() names the file and the reason.
class OutputRefused : public std::runtime_error {
public:
	OutputRefused(const std::string &path, const std::string &reason, bool usage = false)
	    : std::runtime_error(path + ": " + reason), reason_(reason), usage_(usage)
	{
	}
	const std::string &reason() const { return reason_; }
	// A mistake in the command line (a directory, say) rather than a hazard.
	bool usage() const { return usage_; }

private:
	std::string reason_;
	bool usage_;
};

// Where an output goes once symbolic links are followed: a directory and a
// name within it, and what is there now.
class OutputPlace {
public:
	// Follows what links the rules allow; throws OutputRefused for the rest
	// and for what cannot be looked at.
	explicit OutputPlace(const std::string &path);
	~OutputPlace();
	OutputPlace(const OutputPlace &) = delete;
	OutputPlace &operator=(const OutputPlace &) = delete;

	int dir_fd() const { return dir_fd_; }
	const std::string &dir_path() const { return dir_path_; }
	const std::string &name() const { return name_; }
	bool exists() const { return exists_; }
	bool is_stream() const { return exists_ && !S_ISREG(info_.st_mode); }
	// The existing file's status (the followed one for a link).
	const struct stat &info() const { return info_; }
	// True when the existing file is the caller's own.
	bool owned() const;
	// Opens the FIFO or device that is there, to write in place; O_CLOEXEC,
	// blocking once open.
	int open_stream() const;
	// Opens or creates the regular file that is there (mode 0600 when new),
	// checked again through the descriptor.
	int open_regular(int flags) const;

private:
	// Walks the links to the last directory and name; true when a file is
	// there.
	bool follow_links();
	void open_directory_of(const std::string &current);
	// Where the link at name_ points, as a path; refuses a dangling one.
	std::string link_target(const struct stat &link) const;
	// The rules for what is there now.
	void check_existing() const;

	std::string path_; // as named, for messages
	std::string dir_path_;
	std::string name_;
	int dir_fd_ = -1;
	bool exists_ = false;
	struct stat info_ {};
};

} // namespace draxel::sim
