#include "platform/FileSystem.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace platform {

namespace {

FileStatus statusOf(const struct stat& st) {
    FileStatus status;
    status.isDirectory = S_ISDIR(st.st_mode);
    status.isRegular = S_ISREG(st.st_mode);
    status.size = status.isDirectory ? 0 : static_cast<std::uint64_t>(st.st_size);
    status.device = static_cast<std::uint64_t>(st.st_dev);
    status.inode = static_cast<std::uint64_t>(st.st_ino);
    return status;
}

// Flags of every file opened for reading: no wait for a writer (a FIFO), no controlling
// terminal, not inherited by children.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// Runs an open-like call (a descriptor, or -1 with errno) again while a signal cuts it short.
template <class Open>
SysResult<Fd> openUninterrupted(Open open) {
    for (;;) {
        const long fd = open();
        if (fd >= 0) {
            return {.value = Fd(static_cast<int>(fd))};
        }
        if (errno != EINTR) {
            return {.error = errno};
        }
    }
}

}  // namespace

SysResult<FileStatus> fileStatus(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {.error = errno};
    }
    return {.value = statusOf(st)};
}

SysResult<Fd> openForReading(const std::string& path) {
    return openUninterrupted([&] { return ::open(path.c_str(), kReadFlags); });
}

SysResult<Fd> openForReadingBeneath(const std::string& directory, const std::string& path,
                                    LinksBeneath links) {
    SysResult<Fd> opened;
    int base = AT_FDCWD;
    if (directory != "." && directory != "./") {
        opened = openUninterrupted(
            [&] { return ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); });
        if (!opened.ok()) {
            return opened;
        }
        base = opened.value.get();
    }
    open_how how{};
    how.flags = kReadFlags;
    how.resolve = RESOLVE_BENEATH | (links == LinksBeneath::refused ? RESOLVE_NO_SYMLINKS : 0);
    return openUninterrupted(
        [&] { return ::syscall(SYS_openat2, base, path.c_str(), &how, sizeof how); });
}

bool beneathOpenMetLink(int error) { return error == ELOOP; }

bool beneathOpenLeftUndecided(int error) {
    // EPERM: a seccomp filter that refuses system calls it does not know.
    return error == EXDEV || error == EAGAIN || error == ENOSYS || error == EPERM;
}

SysResult<FileStatus> descriptorStatus(const Fd& fd) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return {.error = errno};
    }
    return {.value = statusOf(st)};
}

SysResult<std::string> descriptorPath(const Fd& fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd.get());
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
        if (length < 0) {
            return {.error = errno};
        }
        // A result that fills the buffer may have been cut: try again with more room.
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return {.value = std::move(target)};
        }
        target.resize(target.size() * 2);
    }
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
