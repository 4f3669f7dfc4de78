#include "platform/Environment.h"

#include <errno.h>
#include <stdlib.h>

extern char** environ;

namespace platform {

SysStatus setEnvironment(const std::string& name, const std::string& value) {
    const int rc =
        value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
    if (rc != 0) {
        return {errno};
    }
    return {};
}

std::string environmentValue(const std::string& name) {
    const char* value = ::getenv(name.c_str());
    return value ? value : "";
}

std::vector<std::string> environmentSnapshot() {
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}

}  // namespace platform
