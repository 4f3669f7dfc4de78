#include "platform/SysResult.h"

#include <errno.h>
#include <string.h>

namespace platform {

bool lacksResources(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }

std::string errorText(int error) {
    char buffer[256];
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text;
}

}  // namespace platform
