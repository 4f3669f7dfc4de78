#pragma once

#include <string>
#include <vector>

#include "platform/SysResult.h"

namespace platform {

// Sets a variable of this process's environment; an empty value removes it. The process
// environment is not thread-safe: only the start-up path may change it, and code that
// runs on worker threads builds explicit environment arrays from environmentSnapshot().
SysStatus setEnvironment(const std::string& name, const std::string& value);

// getenv(3); empty when the variable is unset.
std::string environmentValue(const std::string& name);

// A copy of the whole environment as "NAME=value" entries.
std::vector<std::string> environmentSnapshot();

}  // namespace platform
