#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "jobs/KrJobMessage.h"

// The base of every active object: the hub, servers, connections, request handlers and
// messages. A job has a unique id (the address under which the registry delivers messages to
// it), a delivery lock that the registry holds while it runs onMessage, a small state machine
// with a change callback, and operations to join and leave the registry by name.
//
// A job object is always a KrJobInstance<T> (below), made with kr::makeJob or declared as a
// member of that type; KrJob and every class derived from it stay abstract. The instance
// closes the job to deliveries until it is fully constructed, and in its destructor, which
// runs before that of any other part, takes the job out of the registry and waits out a
// delivery in progress. So onMessage never runs on half an object.
//
// A job must not destroy itself from its own onMessage.
class KrJob {
public:
    using StateChangeCallback = std::function<bool()>;

    KrJob(const KrJob&) = delete;
    KrJob& operator=(const KrJob&) = delete;
    virtual ~KrJob();

    // Handles one message on the registry's delivery thread, with the delivery lock held.
    // The base does nothing; the result is ignored by the registry.
    virtual bool onMessage(const KrJobMessage& message);

    // Hands a message to the registry for the job with that id. The base refuses (false);
    // the hub forwards to the registry.
    virtual bool postTo(const std::string& targetId, const KrJobMessage& message);

    // Registers this job under a fresh registration name, which it then owns, and returns
    // the name.
    virtual std::string registerJob(std::string_view description);
    virtual std::string registerJobDefault(std::string_view description);

    // Remembers name as this job's subscription and links the job with it; false when the
    // registry knows no such name.
    virtual bool subscribe(const std::string& name);

    // Leaves the link of that name; when this job owns the name, the name is dissolved.
    virtual bool unsubscribe(const std::string& name);

    // With a name, the same as unsubscribe. With an empty one, forgets the remembered
    // subscription and leaves it.
    virtual bool unsubscribeLast(const std::string& name);

    // A copy of the remembered subscription name.
    virtual std::string subscription() const;

    // Leaves every link of the registry; messages to this job are dropped from then on.
    virtual bool unregisterJob();

    // Asks for a new state. Nothing happens (false) when the state is already current or
    // asked for. Otherwise the change callback runs, without any lock, and the state becomes
    // current when it agrees; its answer is returned.
    virtual bool setState(std::uint32_t state);

    const std::string& id() const { return id_; }
    std::uint32_t state() const { return current_.load(); }
    std::uint32_t requestedState() const { return requested_.load(); }
    void setStateChangeCallback(StateChangeCallback callback);

    // The registry only try-locks it; a job's own code may hold it to keep messages out.
    // Recursive, so a handler may re-enter its own operations. Held long, it stalls every
    // message of the process, since delivery keeps posting order.
    std::recursive_mutex& deliveryLock() { return deliveryLock_; }

    // The number of job objects alive in the process.
    static std::int64_t liveCount();

protected:
    KrJob();

private:
    template <class T>
    friend class KrJobInstance;
    friend class KrCombinedTask;  // marks a job it links (linked_)

    // Called when the most-derived object is complete.
    void openForDelivery();

    // Takes the job out of the registry, then waits until a delivery that began before has
    // returned. Called before any derived part is destroyed, and again by ~KrJob (harmless).
    void leaveRegistry();

    // Only KrJobInstance implements it: no other job class can be instantiated.
    virtual void onlyKrJobInstanceIsConcrete() = 0;

    // Keeps messages out: held while onMessage runs, by the constructing thread until the
    // object is complete, and by a job's own code while a message must not come between.
    // A handler runs under it, so other locks follow it; nobody waits for it while holding
    // the registry's lock, under which it is only try-locked.
    std::recursive_mutex deliveryLock_;
    bool openForDelivery_ = false;  // written by the constructing thread before publication
    const std::string id_;
    // Set by the registry when it first links the job: one that never was (most messages
    // never are) has nothing to leave, and its end costs no look-up in the registry.
    std::atomic<bool> linked_{false};

    // Guards the change callback and the subscription name, and serialises writes of the
    // state words. No other lock is taken under it.
    mutable std::mutex stateMutex_;
    std::atomic<std::uint32_t> current_{0};
    std::atomic<std::uint32_t> requested_{0};
    StateChangeCallback stateChange_;
    std::string subscription_;
};

// The concrete form of a job class T. Its constructor completes the object before a message
// can reach it; its destructor runs first and takes the job out of the registry, so the
// parts of T are destroyed only after the last delivery to them has returned.
template <class T>
class KrJobInstance final : public T {
public:
    template <class... Args>
    explicit KrJobInstance(Args&&... args) : T(std::forward<Args>(args)...) {
        this->openForDelivery();
    }

    ~KrJobInstance() override { this->leaveRegistry(); }

private:
    void onlyKrJobInstanceIsConcrete() override {}
};

namespace kr {

// A job of class T, shared (servers, connections, messages) or owned alone.
template <class T, class... Args>
std::shared_ptr<T> makeJob(Args&&... args) {
    return std::make_shared<KrJobInstance<T>>(std::forward<Args>(args)...);
}

template <class T, class... Args>
std::unique_ptr<T> makeUniqueJob(Args&&... args) {
    return std::make_unique<KrJobInstance<T>>(std::forward<Args>(args)...);
}

}  // namespace kr
