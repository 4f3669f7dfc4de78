#pragma once

#include <cstdint>
#include <string>

#include "platform/Fd.h"
#include "platform/SysResult.h"

namespace platform {

struct FileStatus {
    bool isDirectory = false;
    bool isRegular = false;  // a plain file: not a directory, device, pipe or socket
    std::uint64_t size = 0;  // bytes of a regular file; 0 for a directory
    // Which file it is: two statuses with the same device and inode are of one file.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// stat(2) of a path.
SysResult<FileStatus> fileStatus(const std::string& path);

// realpath(3): the absolute path of an existing file with every symbolic link, "." and ".."
// resolved.
SysResult<std::string> resolvedPath(const std::string& path);

// open(2) of an existing file for reading: non-blocking, so that a FIFO or a device named
// like a file does not hold the caller up; close-on-exec; never a controlling terminal.
SysResult<Fd> openForReading(const std::string& path);

// Whether a path resolved beneath a directory may pass through symbolic links (those that
// stay beneath it) or must meet none.
enum class LinksBeneath { followed, refused };

// Opens a file for reading as openForReading does, its path resolved by the system beneath
// the directory (openat2 with RESOLVE_BENEATH): the open fails when the resolution would
// leave the directory, through "..", an absolute path or any symbolic link that does (an
// absolute one always counts as leaving), and where the system has no openat2. With links
// refused (RESOLVE_NO_SYMLINKS as well) it fails at any symbolic link on the way, the last
// name's included (see beneathOpenMetLink). A directory of exactly "." or "./" is the
// working directory, opened by nothing.
SysResult<Fd> openForReadingBeneath(const std::string& directory, const std::string& path,
                                    LinksBeneath links = LinksBeneath::followed);

// Whether openForReadingBeneath with links refused failed only because a symbolic link lay
// on the way (ELOOP): followed, the path may still lead to a file beneath the directory.
bool beneathOpenMetLink(int error);

// Whether openForReadingBeneath failed only because the system could not tell that the file
// lies beneath the directory: a symbolic link on the way counts as leaving (an absolute one
// always, even when it leads back in), a ".." on the way could not be followed safely, or
// the system has no openat2 (or refuses it). Such a file may still be opened by name and
// checked by its resolved path; a missing file, a refused permission or any other failure
// is final.
bool beneathOpenLeftUndecided(int error);

// fstat(2) of an open file.
SysResult<FileStatus> descriptorStatus(const Fd& fd);

// The absolute path the open file has now, every symbolic link resolved (the link under
// /proc/self/fd); fails where /proc is not mounted.
SysResult<std::string> descriptorPath(const Fd& fd);

// mkdir(2) of one directory level, mode 0777 before the umask.
SysStatus makeDirectory(const std::string& path);

// getcwd(3).
SysResult<std::string> currentWorkingDirectory();

}  // namespace platform
