#include "foundation/Paths.h"

#include <algorithm>

#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"

namespace kr {

namespace {

constexpr std::string_view kSeparators = "/\\";

bool isSeparator(char c) { return kSeparators.find(c) != std::string_view::npos; }

}  // namespace

std::string fileNameOf(std::string_view path) {
    const size_t last = path.find_last_of(kSeparators);
    if (last == std::string_view::npos) {
        return std::string(path);
    }
    if (last + 1 < path.size()) {
        return std::string(path.substr(last + 1));
    }
    if (last == 0) {
        return {};
    }
    const size_t previous = path.find_last_of(kSeparators, last - 1);
    if (previous == std::string_view::npos) {
        return {};
    }
    return std::string(path.substr(previous + 1, last - previous - 1));
}

std::string toNativeSeparators(std::string_view path, bool convert) {
    std::string result(path);
    if (convert) {
        std::replace(result.begin(), result.end(), '\\', '/');
    }
    return result;
}

std::string makeDirectoryPath(std::string_view path) {
    std::string result(path);
    if (!result.empty() && !isSeparator(result.back())) {
        result += '/';
    }
    return toNativeSeparators(result, true);
}

std::string makeDirectoryPathFrom(std::string path) { return makeDirectoryPath(path); }

std::string makeDirectoryPathOf(const std::string& path) { return makeDirectoryPath(path); }

std::string applicationBaseDirectory(std::string_view /*name*/) { return "."; }

std::string projectBaseDirectory(std::string_view /*name*/) { return "."; }

std::string currentDirectory() {
    auto directory = platform::currentWorkingDirectory();
    return directory.ok() ? directory.value : ".";
}

bool ensureDirectory(const std::string& path, bool create) {
    const auto status = platform::fileStatus(path);
    if (status.ok()) {
        return status.value.isDirectory;
    }
    return create && platform::makeDirectory(path).ok();
}

bool fileExists(const std::string& path, std::uint64_t* size) {
    const auto status = platform::fileStatus(path);
    if (!status.ok()) {
        return false;
    }
    if (size != nullptr) {
        *size = status.value.size;
    }
    return true;
}

void setEnvironmentVariable(const std::string& name, const std::string& value) {
    // A name the platform refuses (empty, or holding "=") leaves the environment as it is.
    (void)platform::setEnvironment(name, value);
}

std::string timeStampText(std::chrono::system_clock::time_point time) {
    return platform::localTimeText(time);
}

}  // namespace kr
