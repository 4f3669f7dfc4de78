#pragma once

#include <errno.h>
#include <sys/resource.h>

#include <algorithm>
#include <vector>

#include "platform/Fd.h"
#include "platform/FileSystem.h"

namespace nettest {

// Takes every descriptor the process may still open, its soft limit lowered to at most
// limit first (so that taking them is quick), so that the next open fails with EMFILE; gives
// them and the limit back on release or when it goes. lastError is the errno of the open
// that found none left (EMFILE unless something else stopped it).
class DescriptorsTaken {
public:
    explicit DescriptorsTaken(rlim_t limit) {
        if (::getrlimit(RLIMIT_NOFILE, &before_) != 0) {
            lastError_ = errno;
            return;
        }
        struct rlimit few = before_;
        few.rlim_cur = std::min(before_.rlim_cur, limit);
        if (::setrlimit(RLIMIT_NOFILE, &few) != 0) {
            lastError_ = errno;
            return;
        }
        lowered_ = true;
        // No allocation needs a descriptor, but none should happen while they are taken.
        taken_.reserve(few.rlim_cur);
        for (;;) {
            auto fd = platform::openForReading("/dev/null");
            if (!fd.ok()) {
                lastError_ = fd.error;
                return;
            }
            taken_.push_back(std::move(fd.value));
        }
    }
    ~DescriptorsTaken() { release(); }
    DescriptorsTaken(const DescriptorsTaken&) = delete;
    DescriptorsTaken& operator=(const DescriptorsTaken&) = delete;

    void release() {
        taken_.clear();
        if (lowered_) {
            (void)::setrlimit(RLIMIT_NOFILE, &before_);
            lowered_ = false;
        }
    }

    int lastError() const { return lastError_; }

private:
    struct rlimit before_ {};
    bool lowered_ = false;
    int lastError_ = 0;
    std::vector<platform::Fd> taken_;
};

}  // namespace nettest
