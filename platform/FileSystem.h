#pragma once

#include <cstdint>
#include <string>

#include "platform/SysResult.h"

namespace platform {

struct FileStatus {
    bool isDirectory = false;
    bool isRegular = false;  // a plain file: not a directory, device, pipe or socket
    std::uint64_t size = 0;  // bytes of a regular file; 0 for a directory
};

// stat(2) of a path.
SysResult<FileStatus> fileStatus(const std::string& path);

// realpath(3): the absolute path of an existing file with every symbolic link, "." and ".."
// resolved.
SysResult<std::string> resolvedPath(const std::string& path);

// mkdir(2) of one directory level, mode 0777 before the umask.
SysStatus makeDirectory(const std::string& path);

// getcwd(3).
SysResult<std::string> currentWorkingDirectory();

}  // namespace platform
