#include "http/RequestPath.h"

#include <errno.h>

#include <algorithm>
#include <utility>

#include "foundation/Paths.h"
#include "platform/FileSystem.h"

namespace kr {

namespace {

// The path a resolved file has of its own beneath the base directory, resolved now, without
// a leading "/"; nothing when it does not lie beneath it.
std::optional<std::string> ownPathBeneath(const std::string& baseDirectory,
                                          const std::string& resolvedFile) {
    const auto resolvedBase = platform::resolvedPath(baseDirectory);
    if (!resolvedBase.ok()) {
        return std::nullopt;
    }
    std::string prefix = resolvedBase.value;
    if (!prefix.ends_with('/')) {
        prefix += '/';
    }
    if (!resolvedFile.starts_with(prefix)) {
        return std::nullopt;
    }
    return resolvedFile.substr(prefix.size());
}

// Whether a file whose own path beneath the base is this may answer a request whose path
// names what it runs: a link must not lead a request to a hidden file, to a program or a
// script sent as it is, or to a program under the CGI directory run as a PHP script.
bool ownPathAnswers(std::string_view ownPath, PathKind requested) {
    const PathKind own = pathKindOf(ownPath);
    switch (requested) {
        case PathKind::plain: return own == PathKind::plain;
        case PathKind::cgiProgram: return own != PathKind::hidden;
        case PathKind::phpScript: return own != PathKind::hidden && own != PathKind::cgiProgram;
        case PathKind::hidden: return false;
    }
    return false;
}

// Whether a resolved file lies beneath the base and its own path there may answer the
// request.
bool resolvedFileAnswers(const std::string& baseDirectory, const std::string& resolvedFile,
                         PathKind requested) {
    const auto own = ownPathBeneath(baseDirectory, resolvedFile);
    return own && ownPathAnswers(*own, requested);
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

// How an open file was reached from the base: by the request's relative path itself, with
// no link on the way, or perhaps through links, which may lead anywhere.
enum class Reached { byItsOwnPath, throughLinks };

// The open file as an answer to a request for a plain file: a regular file, and one reached
// through links lies beneath the base with its own path a plain file's.
std::optional<ServableFile> answerFile(platform::Fd fd, const std::string& baseDirectory,
                                       std::string_view relativePath, Reached reached) {
    const auto status = platform::descriptorStatus(fd);
    if (!status.ok() || !status.value.isRegular) {
        return std::nullopt;
    }
    if (reached == Reached::throughLinks) {
        const auto resolved =
            resolvedPathOf(fd, status.value, joinedPath(baseDirectory, relativePath));
        if (!resolved || !resolvedFileAnswers(baseDirectory, *resolved, PathKind::plain)) {
            return std::nullopt;
        }
    }
    return ServableFile{std::move(fd), status.value.size};
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

PathKind pathKindOf(std::string_view relativePath) {
    if (hasHiddenSegment(relativePath)) {
        return PathKind::hidden;
    }
    if (relativePath.starts_with(kCgiPrefix)) {
        return PathKind::cgiProgram;
    }
    if (relativePath.size() > kPhpSuffix.size() && relativePath.ends_with(kPhpSuffix)) {
        return PathKind::phpScript;
    }
    return PathKind::plain;
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
    // The lexical check keeps "..", the resolved one a symbolic link, from leaving the base
    // or leading where the request's path would not be let.
    const auto resolvedFile = platform::resolvedPath(joined);
    if (!resolvedFile.ok() ||
        !resolvedFileAnswers(baseDirectory, resolvedFile.value, pathKindOf(relativePath))) {
        return false;
    }
    file = std::move(joined);
    return true;
}

platform::SysResult<ServableFile> openServableFile(const std::string& baseDirectory,
                                                   std::string_view relativePath) {
    // The rules refuse it: as if it were not there.
    constexpr int kRefused = ENOENT;
    if (baseDirectory.empty() || !isServableRelativePath(relativePath) ||
        pathKindOf(relativePath) != PathKind::plain) {
        return {.error = kRefused};
    }
    // Resolved beneath the base by the system, the open file lies under it: no check by
    // name is needed. A path that meets no link on the way is the file's own path, checked
    // above; one that meets a link is opened again, through its links, and the path the
    // file has of its own decides. Where the system could not decide (a link that leads
    // elsewhere, even back into the base; no openat2) the checks by name decide, for the
    // same relative path joined to the base; any other failure (a missing file, say) is
    // final.
    const std::string directory = makeDirectoryPath(baseDirectory);
    auto beneath = platform::openForReadingBeneath(directory, std::string(relativePath),
                                                   platform::LinksBeneath::refused);
    const bool linked = !beneath.ok() && platform::beneathOpenMetLink(beneath.error);
    if (linked) {
        beneath = platform::openForReadingBeneath(directory, std::string(relativePath));
    }
    std::optional<ServableFile> answer;
    if (beneath.ok()) {
        answer = answerFile(std::move(beneath.value), baseDirectory, relativePath,
                            linked ? Reached::throughLinks : Reached::byItsOwnPath);
    } else if (!platform::beneathOpenLeftUndecided(beneath.error)) {
        return {.error = beneath.error};
    } else {
        auto opened = platform::openForReading(joinedPath(baseDirectory, relativePath));
        if (!opened.ok()) {
            return {.error = opened.error};
        }
        answer = answerFile(std::move(opened.value), baseDirectory, relativePath,
                            Reached::throughLinks);
    }
    if (!answer) {
        return {.error = kRefused};
    }
    return {.value = std::move(*answer)};
}

}  // namespace kr
