#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/KrCombinedTask.h"
#include "jobs/KrJob.h"

namespace jobtest {

// Threaded tests wait this long for something that should happen at once; only a fault
// makes them wait that long.
inline constexpr std::chrono::seconds kPatience{30};

// A list of lines that several threads append to, in the order they do it.
class EventLog {
public:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
        changed_.notify_all();
    }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    bool waitForSize(std::size_t n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return lines_.size() >= n; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// A job that keeps every message it receives, and notes "<label>:<text>" in a shared log.
class RecordingJob : public KrJob {
public:
    explicit RecordingJob(std::string label = "", EventLog* log = nullptr)
        : label_(std::move(label)), log_(log) {}

    bool onMessage(const KrJobMessage& message) override {
        if (log_ != nullptr) {
            log_->add(label_ + ":" + message.text);
        }
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
        changed_.notify_all();
        return true;
    }

    bool waitForCount(std::size_t n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return messages_.size() >= n; });
    }

    std::vector<KrJobMessage> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    const std::string label_;
    EventLog* const log_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<KrJobMessage> messages_;
};

inline KrJobMessage textMessage(std::string text, std::uint32_t type = 0) {
    KrJobMessage message;
    message.text = std::move(text);
    message.type = type;
    return message;
}

// Returns once every message queued before the call has been delivered or dropped: delivery
// keeps posting order, so a marker posted now arrives after all of them.
inline bool flushDeliveries() {
    KrJobInstance<RecordingJob> marker;
    marker.registerJob("marker");
    KrCombinedTask::instance().enqueue(marker.id(), textMessage("flush"));
    return marker.waitForCount(1);
}

}  // namespace jobtest
