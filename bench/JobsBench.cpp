// Message traffic through the job registry: how long a posted message takes to reach its
// job's handler, and how many messages per second the delivery thread carries.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "jobs/jobs.h"

namespace {

std::int64_t nowNanoseconds() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// Counts its messages and notes when the last one arrived.
class Receiver : public KrJob {
public:
    bool onMessage(const KrJobMessage& /*message*/) override {
        deliveredAt.store(nowNanoseconds(), std::memory_order_relaxed);
        received.fetch_add(1, std::memory_order_release);
        return true;
    }

    void waitFor(std::uint64_t count) const {
        while (received.load(std::memory_order_acquire) < count) {
            std::this_thread::yield();
        }
    }

    std::atomic<std::uint64_t> received{0};
    std::atomic<std::int64_t> deliveredAt{0};
};

// A data-arrived notice, the registry's most common message.
KrJobMessage dataArrived(const KrJob& connection) {
    KrJobMessage message;
    message.type = KrJobMessage::kDataArrived;
    message.text = connection.id();
    return message;
}

// One message at a time into an idle registry, timed from the post to the start of the
// handler; this includes waking the sleeping delivery thread.
void BM_PostToDeliveryLatency(benchmark::State& state) {
    KrJobInstance<Receiver> job;
    job.registerJob("latency");
    const KrJobMessage message = dataArrived(job);
    std::uint64_t posted = 0;
    for (auto _ : state) {
        const std::int64_t postedAt = nowNanoseconds();
        KrCombinedTask::instance().enqueue(job.id(), message);
        job.waitFor(++posted);
        const std::int64_t latency = job.deliveredAt.load(std::memory_order_relaxed) - postedAt;
        state.SetIterationTime(static_cast<double>(latency) * 1e-9);
    }
}
BENCHMARK(BM_PostToDeliveryLatency)->UseManualTime();

// Bursts of messages to one job per posting thread; each burst is waited for.
void BM_MessagesPerSecond(benchmark::State& state) {
    const auto burst = static_cast<std::uint64_t>(state.range(0));
    KrJobInstance<Receiver> job;
    job.registerJob("throughput");
    const KrJobMessage message = dataArrived(job);
    std::uint64_t posted = 0;
    for (auto _ : state) {
        for (std::uint64_t i = 0; i < burst; ++i) {
            KrCombinedTask::instance().enqueue(job.id(), message);
        }
        posted += burst;
        job.waitFor(posted);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(posted));
}
BENCHMARK(BM_MessagesPerSecond)->Arg(1000)->UseRealTime();
BENCHMARK(BM_MessagesPerSecond)->Arg(1000)->Threads(4)->UseRealTime();

}  // namespace
