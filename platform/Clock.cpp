#include "platform/Clock.h"

#include <time.h>

namespace platform {

std::int64_t steadyNanoseconds() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string localTimeText(std::chrono::system_clock::time_point time) {
    const time_t seconds = std::chrono::system_clock::to_time_t(time);
    struct tm local {};
    if (::localtime_r(&seconds, &local) == nullptr) {
        return {};
    }
    char text[64];
    const size_t length = ::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local);
    return std::string(text, length);
}

}  // namespace platform
