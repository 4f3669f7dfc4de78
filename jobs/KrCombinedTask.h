#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "jobs/KrJobMessage.h"

class KrJob;

// The process-wide job registry. It keeps the links between jobs (registration names that
// a job owns, and the jobs subscribed to them) and carries messages to jobs by id through a
// queue that one delivery thread of its own empties, strictly in posting order.
//
// While messages follow each other closely, the delivery thread looks for new ones for a
// short while (kr::HandOverSpin) before it sleeps, so that a message posted soon after the
// last one costs its poster no wake-up; not while the servers' buffer jobs, where the
// connections' notices go on to, are behind (kr::HandOverBacklog).
//
// A post (post) that finds nothing queued and nothing being delivered is delivered at once
// on the posting thread, which spares the delivery thread a wake-up per message at an
// everyday rate; enqueue always leaves the message to the delivery thread.
//
// Delivery only try-locks a job's delivery lock. A busy job keeps its message at the front
// of the queue, holding up every later message until it is free; meanwhile the thread yields
// a few times, then sleeps with a growing pause of at most 1 ms. An idle registry sleeps
// without a time limit.
//
// The registry does not own jobs. A job leaves it before it is destroyed (KrJobInstance);
// messages for ids that are not registered are dropped without a report.
class KrCombinedTask {
public:
    // Messages that may wait in the queue; a post beyond it is refused.
    static constexpr std::size_t kQueueLimit = 100'000;

    struct Counters {
        std::uint64_t delivered = 0;  // onMessage calls, whatever they returned or threw
        std::uint64_t dropped = 0;    // messages whose target was not registered
        std::uint64_t passes = 0;     // rounds of the delivery thread, idle or not
    };

    // The one registry of the process, built on first use.
    static KrCombinedTask& instance();

    // Jobs only ever use instance(); a registry of its own serves tests of shutdown.
    KrCombinedTask();
    ~KrCombinedTask();

    KrCombinedTask(const KrCombinedTask&) = delete;
    KrCombinedTask& operator=(const KrCombinedTask&) = delete;

    // Links the job with a fresh registration name, which it owns, and returns the name.
    std::string registerJob(KrJob& job, std::string_view description);

    // Links the job with an existing name. False for an unknown name, and for a name whose
    // owner has left the registry: such a name only lingers for the subscribers still on it.
    bool subscribe(const std::string& name, KrJob& job);

    // The owner dissolves its name: every member loses the link, nobody is told. A
    // subscriber leaves it: when one member is left, that member gets a type-6 message
    // ("kommt später"); when none is left, the name goes. False when the name is unknown or
    // the id is not linked with it.
    bool unsubscribe(const std::string& name, const std::string& id);

    // Takes the id out of every link; each link with one member left sends that member a
    // type-6 message ("kommt später A"). False when the id has no links.
    bool unregister(const std::string& id);

    // Queues a copy of the message for the job with that id. False only when the queue is
    // full.
    bool enqueue(const std::string& targetId, const KrJobMessage& message);

    // As enqueue, but when nothing is queued or being delivered, and the job is free, the
    // message is delivered at once on the calling thread: in posting order still, and
    // without waking the delivery thread, which for a notice that comes every millisecond or
    // so costs more than handling it. Only for a caller that holds no lock a handler may
    // take, and whose job can wait for a short handler (a connection's data notice, whose
    // handler queues it for the server's buffer job).
    bool post(const std::string& targetId, const KrJobMessage& message);

    Counters counters() const;

private:
    // The links hold views, not copies: a member's id is its job's own, and a job is linked
    // only while it lives (it leaves before it is destroyed); a name lies in names_, which
    // keeps it while any job is linked with it. So linking and unlinking copy no text.
    struct NameLinks {
        std::string ownerId;  // compared by id: the owner may be gone
        std::string description;
        std::set<std::string_view> memberIds;  // the owner and every subscriber
    };
    struct JobLinks {
        KrJob* job = nullptr;
        std::set<std::string_view> names;  // keys of names_
    };
    struct Entry {
        std::string targetId;
        KrJobMessage message;
    };

    void deliveryLoop();
    // Whether the message was delivered (or dropped) here; false leaves it to enqueue.
    bool deliverHere(const std::string& targetId, const KrJobMessage& message);
    using NameEntry = std::pair<const std::string, NameLinks>;  // an entry of names_
    void linkLocked(NameEntry& name, KrJob& job);
    void unlinkLocked(std::string_view id, std::string_view name);
    void noticeLocked(std::string_view targetId, std::string_view note);

    // Guards the links (names_, jobs_). Under it only queueMutex_ (to queue a link notice)
    // and a try-lock of a job's delivery lock, which never waits; onMessage runs without it.
    mutable std::mutex mutex_;
    // Hashed: every message, and every request's link, looks them up.
    // Looked up by a view as well as by a string.
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>{}(text);
        }
    };
    std::unordered_map<std::string, NameLinks, TextHash, std::equal_to<>> names_;  // by name
    // By job id (the job's own, as above); exactly the ids messages reach.
    std::unordered_map<std::string_view, JobLinks> jobs_;

    // Guards the queue, stopping_ and the counters, apart from the links: a post does not
    // wait for a request that links or unlinks a job. Nothing is locked under it.
    mutable std::mutex queueMutex_;
    std::condition_variable wake_;  // the delivery thread waits on it for stopping_ or a message
    bool stopping_ = false;
    // Only the delivery thread takes entries out, so the front entry stays where it is
    // while it looks its target up without this lock (a deque keeps its elements in place).
    std::deque<Entry> queue_;
    // The length of queue_, for the delivery thread to look at without the lock before it
    // sleeps; written under queueMutex_.
    std::atomic<std::size_t> queued_{0};
    Counters counters_;

    // Held by whoever delivers: the delivery thread from the queue's front to the end of its
    // handler, and a post that delivers at once, which only try-locks it and delivers only
    // while the queue is empty. So one message is delivered at a time, strictly in posting
    // order. Taken before mutex_ and queueMutex_, never under them.
    std::mutex turn_;

    std::thread delivery_;  // last: it starts once everything it uses exists
};
