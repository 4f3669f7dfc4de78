#include "http/RequestPath.h"

#include <algorithm>
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

// A path below the base directory as the file functions take it: a form without its
// leading "/" and without hidden segments. An absolute path in particular would name
// another file to the system than the same path joined to the base directory does.
bool isServableRelativePath(std::string_view relativePath) {
    return !relativePath.starts_with('/') && isPlainRequestPath(relativePath) &&
           !hasHiddenSegment(relativePath);
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

std::optional<std::string> requestPathForm(std::string_view path) {
    if (!path.starts_with('/') || !isPlainRequestPath(path)) {
        return std::nullopt;
    }
    std::string form;
    form.reserve(path.size());
    for (std::size_t begin = 0; begin < path.size();) {
        const std::size_t end = std::min(path.find('/', begin), path.size());
        if (const std::string_view segment = path.substr(begin, end - begin);
            !segment.empty() && segment != ".") {
            form += '/';
            form += segment;
        }
        begin = end + 1;
    }
    // A path that ends at a separator names a directory, and so does its form.
    if (form.empty() || path.ends_with('/') || path.ends_with("/.")) {
        form += '/';
    }
    return form;
}

bool hasHiddenSegment(std::string_view path) {
    for (std::size_t begin = 0;;) {
        if (begin < path.size() && path[begin] == '.') {
            return true;
        }
        const std::size_t end = path.find_first_of("/\\", begin);
        if (end == std::string_view::npos) {
            return false;
        }
        begin = end + 1;
    }
}

bool findServableFile(const std::string& baseDirectory, std::string_view relativePath,
                      std::string& file) {
    if (baseDirectory.empty() || !isServableRelativePath(relativePath)) {
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
    return true;
}

std::optional<ServableFile> openServableFile(const std::string& baseDirectory,
                                             std::string_view relativePath) {
    if (baseDirectory.empty() || !isServableRelativePath(relativePath)) {
        return std::nullopt;
    }
    // Resolved beneath the base by the system, the open file lies under it: no check by
    // name is needed. Only where the system could not decide (a link that leads elsewhere,
    // even back into the base; no openat2) do the checks by name below decide, for the
    // same relative path joined to the base; any other failure (a missing file, say) is
    // final.
    auto beneath = platform::openForReadingBeneath(makeDirectoryPath(baseDirectory),
                                                   std::string(relativePath));
    if (beneath.ok()) {
        const auto status = platform::descriptorStatus(beneath.value);
        if (!status.ok() || !status.value.isRegular) {
            return std::nullopt;
        }
        return ServableFile{std::move(beneath.value), status.value.size};
    }
    if (!platform::beneathOpenLeftUndecided(beneath.error)) {
        return std::nullopt;
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
