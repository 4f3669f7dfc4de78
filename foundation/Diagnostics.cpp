#include "foundation/Diagnostics.h"

#include <mutex>

namespace kr {

namespace {

// Standard output's lines held back. Every line for standard output is written under the
// lock, so held-back lines always go out before a later one; nothing is locked under it but
// the stream's own lock.
class HeldBackLines {
public:
    ~HeldBackLines() { flush(); }  // at exit: none is lost

    void add(std::string_view line) {
        std::lock_guard lock(mutex_);
        held_.append(line);
        held_ += '\n';
        pending_.store(true, std::memory_order_relaxed);
        if (held_.size() >= kHeldBackBytes) {
            writeLocked("");
        }
    }

    void write(const std::string& line) {
        std::lock_guard lock(mutex_);
        writeLocked(line);
    }

    void flush() {
        if (!pending_.load(std::memory_order_relaxed)) {
            return;
        }
        std::lock_guard lock(mutex_);
        writeLocked("");
    }

private:
    void writeLocked(const std::string& line) {
        if (!held_.empty()) {
            held_ += line;
            std::cout.write(held_.data(), static_cast<std::streamsize>(held_.size()));
            held_.clear();
            pending_.store(false, std::memory_order_relaxed);
        } else if (!line.empty()) {
            std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
        }
        std::cout.flush();
    }

    std::mutex mutex_;
    std::string held_;
    // Whether held_ holds a line: looked at without the lock by those who flush, so that a
    // flush with nothing held back costs no lock. A line added at the same time is flushed
    // by the next one at the latest.
    std::atomic<bool> pending_{false};
};

HeldBackLines& heldBackLines() {
    // Made when first used, after the standard streams: gone before them at exit.
    static HeldBackLines lines;
    return lines;
}

}  // namespace

namespace detail {

void writeOut(const std::string& line) { heldBackLines().write(line); }

}  // namespace detail

void outLineSoon(std::string_view line) {
    if (diagnosticsShown()) {
        heldBackLines().add(line);
    }
}

void flushOutLines() { heldBackLines().flush(); }

}  // namespace kr
