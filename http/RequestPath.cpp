#include "http/RequestPath.h"

#include <utility>

#include "foundation/Paths.h"
#include "platform/FileSystem.h"

namespace kr {

namespace {

// Whether a resolved path lies under the base directory, resolved now.
bool liesUnderBase(const std::string& baseDirectory, const std::string& resolvedFile) {
    const auto resolvedBase = platform::resolvedPath(baseDirectory);
    if (!resolvedBase.ok()) {
        return false;
    }
    std::string prefix = resolvedBase.value;
    if (!prefix.ends_with('/')) {
        prefix += '/';
    }
    return resolvedFile.starts_with(prefix);
}

std::string joinedPath(const std::string& baseDirectory, std::string_view relativePath) {
    std::string joined = makeDirectoryPath(baseDirectory);
    joined += relativePath;
    return joined;
}

// The resolved path of the open file: the descriptor's own, or, where /proc is missing, the
// joined path resolved, as long as that still names the open file.
std::optional<std::string> resolvedPathOf(const platform::Fd& fd,
                                          const platform::FileStatus& status,
                                          const std::string& joined) {
    if (auto path = platform::descriptorPath(fd); path.ok()) {
        return std::move(path.value);
    }
    auto path = platform::resolvedPath(joined);
    if (!path.ok()) {
        return std::nullopt;
    }
    const auto named = platform::fileStatus(path.value);
    if (!named.ok() || named.value.device != status.device || named.value.inode != status.inode) {
        return std::nullopt;
    }
    return std::move(path.value);
}

}  // namespace

bool isPlainRequestPath(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return false;
    }
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = path.find_first_of("/\\", begin);
        if (path.substr(begin, end == std::string_view::npos ? end : end - begin) == "..") {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        begin = end + 1;
    }
}

bool findServableFile(const std::string& baseDirectory, std::string_view relativePath,
                      std::string& file, std::uint64_t& size) {
    if (baseDirectory.empty() || !isPlainRequestPath(relativePath)) {
        return false;
    }
    std::string joined = joinedPath(baseDirectory, relativePath);
    const auto status = platform::fileStatus(joined);
    if (!status.ok() || !status.value.isRegular) {
        return false;
    }
    // The lexical check keeps "..", the resolved one a symbolic link, from leaving the base.
    const auto resolvedFile = platform::resolvedPath(joined);
    if (!resolvedFile.ok() || !liesUnderBase(baseDirectory, resolvedFile.value)) {
        return false;
    }
    file = std::move(joined);
    size = status.value.size;
    return true;
}

std::optional<ServableFile> openServableFile(const std::string& baseDirectory,
                                             std::string_view relativePath) {
    if (baseDirectory.empty() || !isPlainRequestPath(relativePath)) {
        return std::nullopt;
    }
    // Resolved beneath the base by the system, the open file lies under it: no check by
    // name is needed. Where that open fails (a link that leads elsewhere, even back into
    // the base; a missing file; no openat2), the checks by name below decide as ever.
    if (auto beneath = platform::openForReadingBeneath(makeDirectoryPath(baseDirectory),
                                                       std::string(relativePath));
        beneath.ok()) {
        const auto status = platform::descriptorStatus(beneath.value);
        if (!status.ok() || !status.value.isRegular) {
            return std::nullopt;
        }
        return ServableFile{std::move(beneath.value), status.value.size};
    }
    const std::string joined = joinedPath(baseDirectory, relativePath);
    auto opened = platform::openForReading(joined);
    if (!opened.ok()) {
        return std::nullopt;
    }
    const auto status = platform::descriptorStatus(opened.value);
    if (!status.ok() || !status.value.isRegular) {
        return std::nullopt;
    }
    const auto resolved = resolvedPathOf(opened.value, status.value, joined);
    if (!resolved || !liesUnderBase(baseDirectory, *resolved)) {
        return std::nullopt;
    }
    return ServableFile{std::move(opened.value), status.value.size};
}

}  // namespace kr
