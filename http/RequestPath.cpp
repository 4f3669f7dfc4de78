#include "http/RequestPath.h"

#include "foundation/Paths.h"
#include "platform/FileSystem.h"

namespace kr {

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
    std::string joined = makeDirectoryPath(baseDirectory);
    joined += relativePath;
    const auto status = platform::fileStatus(joined);
    if (!status.ok() || !status.value.isRegular) {
        return false;
    }
    // The lexical check keeps "..", the resolved one a symbolic link, from leaving the base.
    const auto resolvedBase = platform::resolvedPath(baseDirectory);
    const auto resolvedFile = platform::resolvedPath(joined);
    if (!resolvedBase.ok() || !resolvedFile.ok()) {
        return false;
    }
    std::string prefix = resolvedBase.value;
    if (!prefix.ends_with('/')) {
        prefix += '/';
    }
    if (!resolvedFile.value.starts_with(prefix)) {
        return false;
    }
    file = std::move(joined);
    size = status.value.size;
    return true;
}

}  // namespace kr
