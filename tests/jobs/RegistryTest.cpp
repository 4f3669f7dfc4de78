#include "jobs/KrCombinedTask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "JobTestSupport.h"
#include "jobs/KrJob.h"

namespace {

using namespace std::chrono_literals;
using jobtest::EventLog;
using jobtest::flushDeliveries;
using jobtest::kPatience;
using jobtest::RecordingJob;
using jobtest::textMessage;
using Lines = std::vector<std::string>;

KrCombinedTask& registry() { return KrCombinedTask::instance(); }

bool post(const KrJob& target, const std::string& text) {
    return registry().enqueue(target.id(), textMessage(text));
}

TEST(Delivery, EveryPostIsDeliveredWithoutAnotherPostBehindIt) {
    KrJobInstance<RecordingJob> job;
    job.registerJob("one at a time");
    // A wake-up lost between finding the queue empty and sleeping would leave one of these
    // messages waiting for good.
    for (size_t i = 1; i <= 2000; ++i) {
        ASSERT_TRUE(post(job, std::to_string(i)));
        ASSERT_TRUE(job.waitForCount(i)) << "message " << i << " was not delivered";
    }
}

// Half of the messages are posted (delivered at once when nothing waits), half queued: the
// two ways keep one order between them.
TEST(Delivery, MessagesFromSeveralThreadsArriveInEachSendersOrder) {
    constexpr int kSenders = 4;
    constexpr int kEach = 3000;
    KrJobInstance<RecordingJob> job;
    job.registerJob("many senders");
    {
        std::vector<std::jthread> senders;
        for (int s = 0; s < kSenders; ++s) {
            senders.emplace_back([&job, s] {
                for (int i = 0; i < kEach; ++i) {
                    KrJobMessage message = textMessage(std::to_string(s));
                    message.parameters["i"] = std::to_string(i);
                    if ((s + i) % 2 == 0) {
                        registry().post(job.id(), message);
                    } else {
                        registry().enqueue(job.id(), message);
                    }
                }
            });
        }
    }
    ASSERT_TRUE(job.waitForCount(kSenders * kEach));
    std::vector<int> next(kSenders, 0);
    for (const KrJobMessage& message : job.messages()) {
        const int sender = std::stoi(message.text);
        EXPECT_EQ(std::stoi(message.parameters.at("i")), next[sender]++);
    }
}

TEST(Delivery, ABusyTargetHoldsUpLaterMessagesWithoutSpinning) {
    EventLog log;
    KrJobInstance<RecordingJob> first("first", &log);
    KrJobInstance<RecordingJob> second("second", &log);
    first.registerJob("first");
    second.registerJob("second");
    ASSERT_TRUE(flushDeliveries());

    std::uint64_t passesWhileBusy = 0;
    {
        std::lock_guard busy(first.deliveryLock());
        const std::uint64_t before = registry().counters().passes;
        post(first, "1");
        post(first, "2");
        post(second, "3");
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(log.lines().empty());
        passesWhileBusy = registry().counters().passes - before;
    }
    ASSERT_TRUE(log.waitForSize(3));
    EXPECT_EQ(log.lines(), (Lines{"first:1", "first:2", "second:3"}));
    // Spinning would make hundreds of thousands of rounds in 200 ms; the backoff makes a few
    // hundred at most.
    EXPECT_LT(passesWhileBusy, 5000u);
}

TEST(Delivery, AMessageForAnUnknownIdIsDroppedAndTheNextIsDelivered) {
    KrJobInstance<RecordingJob> job;
    job.registerJob("known");
    const KrJobInstance<RecordingJob> neverLinked;
    const std::uint64_t droppedBefore = registry().counters().dropped;

    EXPECT_TRUE(registry().enqueue("_job*000000000000000000", textMessage("lost")));
    EXPECT_TRUE(post(neverLinked, "lost too"));
    EXPECT_TRUE(post(job, "found"));
    ASSERT_TRUE(job.waitForCount(1));
    EXPECT_EQ(job.messages()[0].text, "found");
    EXPECT_EQ(registry().counters().dropped, droppedBefore + 2);
    EXPECT_TRUE(neverLinked.messages().empty());
}

TEST(Delivery, AHandlerThatThrowsDoesNotStopDelivery) {
    class Throwing : public RecordingJob {
    public:
        bool onMessage(const KrJobMessage& message) override {
            RecordingJob::onMessage(message);
            if (message.text == "std") {
                throw std::runtime_error("handler failed");
            }
            if (message.text == "int") {
                throw 42;
            }
            return false;
        }
    };
    KrJobInstance<Throwing> job;
    job.registerJob("throwing");
    post(job, "std");
    post(job, "int");
    post(job, "after");
    ASSERT_TRUE(job.waitForCount(3));
    EXPECT_EQ(job.messages()[2].text, "after");
}

TEST(Delivery, TheQueueRefusesPostsBeyondItsLimit) {
    KrJobInstance<RecordingJob> job;
    job.registerJob("flooded");
    ASSERT_TRUE(flushDeliveries());
    size_t accepted = 0;
    {
        std::lock_guard busy(job.deliveryLock());
        while (post(job, "x")) {
            ++accepted;
            ASSERT_LE(accepted, KrCombinedTask::kQueueLimit);
        }
    }
    EXPECT_EQ(accepted, KrCombinedTask::kQueueLimit);
    ASSERT_TRUE(job.waitForCount(accepted));
    EXPECT_TRUE(post(job, "room again"));
}

TEST(Delivery, AnIdleRegistryMakesNoRounds) {
    ASSERT_TRUE(flushDeliveries());
    const std::uint64_t before = registry().counters().passes;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(registry().counters().passes, before);
}

// post delivers at once only when that keeps the posting order: nothing queued, nothing
// being delivered, the job free.
TEST(Delivery, APostIntoAnIdleRegistryIsDeliveredOnThePostingThread) {
    KrJobInstance<RecordingJob> job;
    job.registerJob("at once");
    // The delivery thread holds its turn a moment after the flush's handler has returned; a
    // post in that moment is queued, rightly. So a few tries, each after a flush.
    bool deliveredAtOnce = false;
    for (std::size_t tries = 0; tries < 50 && !deliveredAtOnce; ++tries) {
        ASSERT_TRUE(flushDeliveries());
        std::this_thread::sleep_for(1ms);
        const std::size_t seen = job.messages().size();
        const std::uint64_t passesBefore = registry().counters().passes;
        ASSERT_TRUE(registry().post(job.id(), textMessage("now")));
        // Delivered before post returned, and the delivery thread was not woken for it.
        deliveredAtOnce = job.messages().size() == seen + 1 &&
                          registry().counters().passes == passesBefore;
        ASSERT_TRUE(job.waitForCount(seen + 1));
        EXPECT_EQ(job.messages().back().text, "now");
    }
    EXPECT_TRUE(deliveredAtOnce);

    const std::uint64_t droppedBefore = registry().counters().dropped;
    EXPECT_TRUE(registry().post("_job*000000000000000000", textMessage("lost")));
    EXPECT_EQ(registry().counters().dropped, droppedBefore + 1);
}

TEST(Delivery, APostBehindQueuedMessagesOrForABusyJobWaitsItsTurn) {
    EventLog log;
    KrJobInstance<RecordingJob> first("first", &log);
    KrJobInstance<RecordingJob> second("second", &log);
    first.registerJob("first");
    second.registerJob("second");
    ASSERT_TRUE(flushDeliveries());
    // Busy on another thread: the delivery lock is recursive, so the posting thread holding
    // it would not find the job busy.
    std::promise<void> held;
    std::promise<void> release;
    std::jthread holder([&] {
        std::lock_guard busy(first.deliveryLock());
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    // For a busy job with nothing queued: queued, not waited for.
    EXPECT_TRUE(registry().post(first.id(), textMessage("1")));
    // For a free job, but behind the message held up: queued behind it.
    EXPECT_TRUE(registry().post(second.id(), textMessage("2")));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(log.lines().empty());
    release.set_value();
    ASSERT_TRUE(log.waitForSize(2));
    EXPECT_EQ(log.lines(), (Lines{"first:1", "second:2"}));
}

// How a member leaves a link, and the note that the last member left behind receives.
struct LeavingCase {
    const char* how;
    bool (*leave)(KrJob& member, const std::string& name);
    std::string_view note;
};

TEST(Links, TheLastMemberLeftBehindIsToldHowItsPartnerLeft) {
    const LeavingCase cases[] = {
        {"unsubscribe", [](KrJob& m, const std::string& n) { return m.unsubscribe(n); },
         KrJobMessage::kPartnerUnsubscribedNote},
        {"unregister", [](KrJob& m, const std::string&) { return m.unregisterJob(); },
         KrJobMessage::kPartnerUnregisteredNote},
    };
    EXPECT_EQ(KrJobMessage::kPartnerUnsubscribedNote.size(), 13u);
    EXPECT_EQ(KrJobMessage::kPartnerUnregisteredNote, "kommt sp\xC3\xA4ter A");
    for (const LeavingCase& c : cases) {
        KrJobInstance<RecordingJob> owner;
        KrJobInstance<RecordingJob> member;
        const std::string name = owner.registerJob("link");
        ASSERT_TRUE(member.subscribe(name));
        EXPECT_TRUE(c.leave(member, name)) << c.how;
        ASSERT_TRUE(owner.waitForCount(1)) << c.how;
        const KrJobMessage notice = owner.messages()[0];
        EXPECT_EQ(notice.type, KrJobMessage::kPartnerLeft) << c.how;
        EXPECT_EQ(notice.text, owner.id()) << c.how;
        EXPECT_EQ(notice.note, c.note) << c.how;
    }
}

TEST(Links, NobodyIsToldWhileTwoMembersRemain) {
    KrJobInstance<RecordingJob> owner;
    KrJobInstance<RecordingJob> first;
    KrJobInstance<RecordingJob> second;
    const std::string name = owner.registerJob("three");
    ASSERT_TRUE(first.subscribe(name));
    ASSERT_TRUE(second.subscribe(name));
    EXPECT_TRUE(first.unsubscribe(name));
    ASSERT_TRUE(flushDeliveries());
    EXPECT_TRUE(owner.messages().empty());
    EXPECT_TRUE(second.messages().empty());

    EXPECT_TRUE(second.unsubscribe(name));
    ASSERT_TRUE(owner.waitForCount(1));
    EXPECT_EQ(owner.messages()[0].note, KrJobMessage::kPartnerUnsubscribedNote);
}

TEST(Links, AnOwnerDissolvingItsNameTellsNobodyAndCutsTheSubscribers) {
    KrJobInstance<RecordingJob> owner;
    KrJobInstance<RecordingJob> member;
    const std::string name = owner.registerJob("dissolved");
    ASSERT_TRUE(member.subscribe(name));
    EXPECT_TRUE(owner.unsubscribe(name));
    post(member, "unreachable");
    ASSERT_TRUE(flushDeliveries());
    EXPECT_TRUE(owner.messages().empty());
    EXPECT_TRUE(member.messages().empty());
    EXPECT_FALSE(member.unsubscribe(name));
    EXPECT_FALSE(member.subscribe(name));
}

TEST(Links, UnknownNamesAndStrangersAreRefused) {
    KrJobInstance<RecordingJob> owner;
    KrJobInstance<RecordingJob> stranger;
    const std::string name = owner.registerJob("mine");
    EXPECT_FALSE(stranger.unsubscribe("joinedtask*000000000000000000"));
    EXPECT_FALSE(stranger.subscribe("joinedtask*000000000000000000"));
    EXPECT_FALSE(stranger.unsubscribe(name));
    EXPECT_FALSE(stranger.unregisterJob());
    // The refusals changed nothing: the owner still receives.
    post(owner, "still here");
    EXPECT_TRUE(owner.waitForCount(1));
}

TEST(Links, ANameWhoseOwnerIsGoneCountsAsDissolved) {
    auto owner = kr::makeUniqueJob<RecordingJob>();
    KrJobInstance<RecordingJob> member;
    KrJobInstance<RecordingJob> latecomer;
    const std::string name = owner->registerJob("short-lived");
    ASSERT_TRUE(member.subscribe(name));
    owner.reset();

    ASSERT_TRUE(member.waitForCount(1));
    EXPECT_EQ(member.messages()[0].note, KrJobMessage::kPartnerUnregisteredNote);
    EXPECT_FALSE(latecomer.subscribe(name));
    EXPECT_TRUE(member.unsubscribe(name));
    EXPECT_FALSE(member.unsubscribe(name));
}

TEST(Links, AJobLeavingSeveralNamesAtOnceEndsEachAsItsMembersRequire) {
    // Its own name (no other member) is registered first, so it is the first one the
    // leaving job's links go through and the first to go, before the others are handled.
    auto leaver = kr::makeUniqueJob<RecordingJob>();
    KrJobInstance<RecordingJob> pairOwner;
    KrJobInstance<RecordingJob> groupOwner;
    KrJobInstance<RecordingJob> groupMember;
    KrJobInstance<RecordingJob> latecomer;
    const std::string own = leaver->registerJob("own");
    const std::string pair = pairOwner.registerJob("pair");
    const std::string group = groupOwner.registerJob("group");
    ASSERT_TRUE(leaver->subscribe(pair));
    ASSERT_TRUE(leaver->subscribe(group));
    ASSERT_TRUE(groupMember.subscribe(group));

    leaver.reset();
    ASSERT_TRUE(pairOwner.waitForCount(1));
    EXPECT_EQ(pairOwner.messages()[0].note, KrJobMessage::kPartnerUnregisteredNote);
    ASSERT_TRUE(flushDeliveries());
    EXPECT_TRUE(groupOwner.messages().empty());
    EXPECT_TRUE(groupMember.messages().empty());
    EXPECT_FALSE(latecomer.subscribe(own));
    // The group goes on with its two members.
    EXPECT_TRUE(latecomer.subscribe(group));
    EXPECT_TRUE(groupMember.unsubscribe(group));
    EXPECT_TRUE(latecomer.unsubscribe(group));
    ASSERT_TRUE(groupOwner.waitForCount(1));
    EXPECT_EQ(groupOwner.messages()[0].note, KrJobMessage::kPartnerUnsubscribedNote);
}

// A base that links itself and posts to itself in its constructor, as servers register in
// theirs, with a derived part that takes a while to build.
class EagerBase : public KrJob {
public:
    EagerBase() {
        registerJob("eager");
        KrCombinedTask::instance().enqueue(id(), textMessage("early"));
    }
};

class SlowDerived : public EagerBase {
public:
    SlowDerived() {
        std::this_thread::sleep_for(50ms);
        ready_ = "complete";
    }

    bool onMessage(const KrJobMessage& message) override {
        seenByHandler_ = ready_;
        log_.add(message.text);
        return true;
    }

    EventLog log_;
    std::string ready_;
    std::string seenByHandler_;
};

TEST(Lifetime, NoMessageReachesAJobBeforeItIsComplete) {
    KrJobInstance<SlowDerived> job;
    ASSERT_TRUE(job.log_.waitForSize(1));
    EXPECT_EQ(job.seenByHandler_, "complete");
}

// A job whose handler blocks until released, then still uses its own members.
class BlockingJob : public KrJob {
public:
    BlockingJob(EventLog& log, std::future<void> release)
        : log_(log), release_(std::move(release)) {}
    ~BlockingJob() override { log_.add("derived part destroyed"); }

    bool onMessage(const KrJobMessage& message) override {
        log_.add("handler entered");
        release_.wait();
        members_.assign(1000, message.text);
        log_.add("handler returned");
        return true;
    }

private:
    EventLog& log_;
    std::future<void> release_;
    std::vector<std::string> members_;
};

TEST(Lifetime, DestroyingAJobWaitsOutADeliveryInProgress) {
    EventLog log;
    std::promise<void> release;
    auto job = kr::makeUniqueJob<BlockingJob>(log, release.get_future());
    job->registerJob("blocking");
    const std::string id = job->id();
    registry().enqueue(id, textMessage("in progress"));
    ASSERT_TRUE(log.waitForSize(1));

    auto destroyed = std::async(std::launch::async, [&job] { job.reset(); });
    EXPECT_EQ(destroyed.wait_for(100ms), std::future_status::timeout);
    release.set_value();
    ASSERT_EQ(destroyed.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(log.lines(),
              (Lines{"handler entered", "handler returned", "derived part destroyed"}));

    // Messages for the destroyed job are dropped.
    const std::uint64_t droppedBefore = registry().counters().dropped;
    registry().enqueue(id, textMessage("too late"));
    ASSERT_TRUE(flushDeliveries());
    EXPECT_EQ(registry().counters().dropped, droppedBefore + 1);
}

TEST(RegistryShutdown, ARegistryThatNeverDeliveredEndsAtOnce) {
    auto ended = std::async(std::launch::async, [] { KrCombinedTask unused; });
    EXPECT_EQ(ended.wait_for(kPatience), std::future_status::ready);
}

TEST(RegistryShutdown, EndsWhileItsThreadWaitsForABusyJob) {
    KrJobInstance<RecordingJob> job;
    std::future<void> ended;
    {
        std::lock_guard busy(job.deliveryLock());
        auto local = std::make_unique<KrCombinedTask>();
        local->registerJob(job, "busy");
        local->enqueue(job.id(), textMessage("never delivered"));
        ended =
            std::async(std::launch::async, [local = std::move(local)]() mutable { local.reset(); });
        EXPECT_EQ(ended.wait_for(kPatience), std::future_status::ready);
    }
    EXPECT_TRUE(job.messages().empty());
}

TEST(RegistryShutdown, WaitsForADeliveryInProgressAndDropsTheRest) {
    EventLog log;
    std::promise<void> release;
    KrJobInstance<BlockingJob> job(log, release.get_future());
    auto local = std::make_unique<KrCombinedTask>();
    local->registerJob(job, "blocking");
    local->enqueue(job.id(), textMessage("first"));
    local->enqueue(job.id(), textMessage("discarded"));
    ASSERT_TRUE(log.waitForSize(1));

    auto ended = std::async(std::launch::async, [&local] { local.reset(); });
    EXPECT_EQ(ended.wait_for(100ms), std::future_status::timeout);
    release.set_value();
    ASSERT_EQ(ended.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(log.lines(), (Lines{"handler entered", "handler returned"}));
}

}  // namespace
