#include "platform/Clock.h"

#include <time.h>

namespace platform {

std::int64_t steadyNanoseconds() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string localTimeText(std::chrono::system_clock::time_point time) {
    const time_t seconds = std::chrono::system_clock::to_time_t(time);
    // The access log asks for the time of every request, mostly for the same second as
    // before: each thread keeps the text of the last second it made.
    struct Last {
        time_t seconds = 0;
        bool valid = false;
        std::string text;
    };
    thread_local Last last;
    if (last.valid && last.seconds == seconds) {
        return last.text;
    }
    struct tm local {};
    if (::localtime_r(&seconds, &local) == nullptr) {
        return {};
    }
    char text[64];
    const size_t length = ::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local);
    last.seconds = seconds;
    last.valid = true;
    last.text.assign(text, length);
    return last.text;
}

}  // namespace platform
