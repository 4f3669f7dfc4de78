#pragma once

#include <cstddef>

#include "platform/SysResult.h"

namespace platform {

// Fills the buffer from the kernel's random source (getrandom(2), blocking only until the
// source is first seeded). A call cut short by a signal is continued; any other failure
// leaves the buffer's rest unfilled and reports its errno.
SysStatus fillRandom(void* buffer, std::size_t length);

}  // namespace platform
