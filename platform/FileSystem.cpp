#include "platform/FileSystem.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace platform {

SysResult<FileStatus> fileStatus(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {.error = errno};
    }
    FileStatus status;
    status.isDirectory = S_ISDIR(st.st_mode);
    status.isRegular = S_ISREG(st.st_mode);
    status.size = status.isDirectory ? 0 : static_cast<std::uint64_t>(st.st_size);
    return {.value = status};
}

SysResult<std::string> resolvedPath(const std::string& path) {
    char* const resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return {.error = errno};
    }
    std::string text(resolved);
    std::free(resolved);
    return {.value = std::move(text)};
}

SysStatus makeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) != 0) {
        return {errno};
    }
    return {};
}

SysResult<std::string> currentWorkingDirectory() {
    std::vector<char> buffer(256);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            return {.value = std::string(buffer.data())};
        }
        if (errno != ERANGE) {
            return {.error = errno};
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace platform
