#include "platform/Random.h"

#include <errno.h>
#include <sys/random.h>

namespace platform {

SysStatus fillRandom(void* buffer, std::size_t length) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t filled = 0;
    while (filled < length) {
        const ssize_t got = ::getrandom(bytes + filled, length - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {errno};
        }
        filled += static_cast<std::size_t>(got);
    }
    return {};
}

}  // namespace platform
