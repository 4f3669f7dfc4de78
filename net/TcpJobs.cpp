#include "net/TcpJobs.h"

#include <chrono>
#include <utility>

#include "foundation/Diagnostics.h"
#include "foundation/KrException.h"
#include "foundation/KrLogStreams.h"
#include "jobs/HandOverSpin.h"
#include "net/KrSocketIPvx.h"
#include "net/KrTransceiverConnection.h"
#include "net/ServeHere.h"

namespace kr {

namespace {

platform::WakeEvent openWakeEvent() {
    auto event = platform::WakeEvent::open();
    if (!event.ok()) {
        throw KrException("could not make a wake event: " + platform::errorText(event.error), 3105,
                          "src");
    }
    return std::move(event.value);
}

// An event set that already holds the wake event of its job.
platform::EventPoll openEventSet(const platform::WakeEvent& wake) {
    auto set = platform::EventPoll::open();
    if (!set.ok()) {
        throw KrException("could not make an event set: " + platform::errorText(set.error), 3105,
                          "src");
    }
    const auto added = set.value.add(wake.fd(), platform::kPollReadable, ConnectionTable::kNoToken,
                                     platform::EventPoll::Report::WhileReady);
    if (!added.ok()) {
        throw KrException("could not wait for a wake event: " + platform::errorText(added.error),
                          3105, "src");
    }
    return std::move(set.value);
}

// What the receive job reads a connection for.
constexpr short kReadable = platform::kPollReadable | platform::kPollUrgent;

// Events one wait of a TCP job takes at most; more are taken by the next wait.
constexpr std::size_t kEventsPerWait = 256;

// What a TCP job's set reports: while requests or answers follow each other closely, looked
// for without sleeping for a short while first, so that the next one soon after the last
// costs no wake-up (kr::HandOverSpin); then the job sleeps until something is ready. Work
// that comes another way (other()) ends the wait as well: before the job sleeps, it
// announces that in sleeping, looks at other() once more, and sleeps only when there is
// still none; whoever gives it such work looks at sleeping afterwards and signals the job's
// wake event when it is set. The number of reports (0 after a failed wait, and when other
// work ended it).
template <class Other>
std::size_t waitForEvents(const platform::EventPoll& set, std::vector<platform::PollEvent>& ready,
                          const char* job, kr::HandOverSpin& handOver, const Other& other,
                          std::atomic<bool>& sleeping) {
    std::size_t count = 0;
    const auto look = [&](std::chrono::milliseconds timeout) {
        const auto waited = set.wait(ready, timeout);
        if (!waited.ok()) {
            KrLogStreams::stream(1) << job << " wait failed: " << waited.error << '\n';
        }
        count = waited.ok() ? waited.value : 0;
        return count > 0;
    };
    // A job that will not look for more goes straight to its wait, which returns at once
    // when something is ready: one look fewer.
    const bool looks = handOver.looks();
    if (handOver.spin([&] { return other() || (looks && look(std::chrono::milliseconds(0))); })) {
        return count;
    }
    sleeping.store(true);
    if (!other()) {
        (void)look(platform::kWaitForever);
    }
    sleeping.store(false);
    handOver.woke();
    return count;
}

std::size_t waitForEvents(const platform::EventPoll& set, std::vector<platform::PollEvent>& ready,
                          const char* job, kr::HandOverSpin& handOver) {
    std::atomic<bool> sleeping{false};
    return waitForEvents(
        set, ready, job, handOver, [] { return false; }, sleeping);
}

// Whether the connection is to close once drained and has nothing left to write. The mark is
// read first: whatever was queued before it was set is then seen as pending output. Read the
// other way round, a last answer queued between the two reads would go with the connection.
bool closingAndDrained(const KrTransceiverConnection& connection) {
    const bool closing = connection.closingWhenDrained();
    const bool pending = connection.pendingOutput();
    return closing && !pending;
}

}  // namespace

TcpJobs::TcpJobs(KrRarediScheduler2& scheduler, const ConnectionTable& connections, Removal remove)
    : scheduler_(scheduler),
      connections_(connections),
      remove_(std::move(remove)),
      receiveWake_(openWakeEvent()),
      sendWake_(openWakeEvent()),
      receiveSet_(openEventSet(receiveWake_)),
      sendSet_(openEventSet(sendWake_)) {}

TcpJobs::~TcpJobs() { end(); }

void TcpJobs::start(const std::string& hubId) {
    const auto submit = [this](std::string name, std::atomic<bool>& run,
                               const platform::WakeEvent& wake, void (TcpJobs::*loop)()) {
        run = true;
        return kr::submitLoopJob(
            scheduler_, std::move(name), [this, loop] { (this->*loop)(); },
            [&run, &wake] {
                run = false;
                wake.signal();
            });
    };
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return;
    }
    if (receiveJob_ == 0) {
        receiveJob_ = submit("KrTransceiver_tcp_rcv" + hubId, receiveRun_, receiveWake_,
                             &TcpJobs::receiveLoop);
    }
    if (sendJob_ == 0) {
        sendJob_ = submit("KrTransceiver_tcp_snd" + hubId, sendRun_, sendWake_, &TcpJobs::sendLoop);
    }
}

bool TcpJobs::addToSendSet(int socket, Token token) const {
    return socket >= 0 && sendSet_.add(socket, 0, token, platform::EventPoll::Report::Once).ok();
}

bool TcpJobs::addToReceiveSet(int socket, Token token) const {
    return receiveSet_.add(socket, kReadable, token, platform::EventPoll::Report::WhileReady).ok();
}

void TcpJobs::forget(int socket) const {
    if (socket >= 0) {
        (void)receiveSet_.remove(socket);
        (void)sendSet_.remove(socket);
    }
}

void TcpJobs::writeWhenReady(int socket, Token token) const {
    (void)sendSet_.change(socket, platform::kPollWritable, token,
                          platform::EventPoll::Report::Once);
}

void TcpJobs::writeSoon(Token token) {
    {
        std::lock_guard lock(mutex_);
        writeSoon_.push_back(token);
        writeSoonQueued_.store(true);
    }
    // Read after the store above: the send job either sees the token before it sleeps, or
    // has announced its sleep by now (see waitForEvents).
    if (sendJobSleeps_.load()) {
        sendWake_.signal();
    }
}

void TcpJobs::resumeReading(Token token) {
    {
        std::lock_guard lock(mutex_);
        resumed_.push_back(token);
    }
    receiveWake_.signal();
}

void TcpJobs::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        receiveRun_ = false;
        sendRun_ = false;
    }
    receiveWake_.signal();
    sendWake_.signal();
}

void TcpJobs::end() {
    stop();
    JobId receiveJob;
    JobId sendJob;
    {
        std::lock_guard lock(mutex_);
        receiveJob = std::exchange(receiveJob_, 0);
        sendJob = std::exchange(sendJob_, 0);
    }
    kr::waitForJob(scheduler_, receiveJob);
    kr::waitForJob(scheduler_, sendJob);
}

TcpJobs::JobId TcpJobs::receiveJobId() const {
    std::lock_guard lock(mutex_);
    return receiveJob_;
}

TcpJobs::JobId TcpJobs::sendJobId() const {
    std::lock_guard lock(mutex_);
    return sendJob_;
}

// ---- the receive job ------------------------------------------------------------------

void TcpJobs::receiveLoop() {
    std::vector<platform::PollEvent> ready(kEventsPerWait);
    std::vector<std::string> dead;
    kr::HandOverSpin handOver(&kr::HandOverBacklog::process());
    while (receiveRun_) {
        const std::size_t count = waitForEvents(receiveSet_, ready, "receive", handOver);
        // Requests in close succession are handed over, so that reading the next overlaps
        // serving this one; between requests far apart, this job serves them itself.
        const bool serveHere = !handOver.looks();
        bool served = false;
        dead.clear();
        for (std::size_t i = 0; i < count; ++i) {
            if (ready[i].token == ConnectionTable::kNoToken) {
                // Drained first: a resume filed meanwhile signals it again.
                receiveWake_.drain();
                resumePausedReading();
                continue;
            }
            const ConnectionTable::Entry entry = connections_.entry(ready[i].token);
            if (entry.connection && !serveInput(entry, ready[i].ready, serveHere, served)) {
                dead.push_back(entry.connection->id());
            }
        }
        for (const std::string& id : dead) {
            remove_(id);
        }
        if (served) {
            // Out of work, as a buffer job is after it: the access-log lines go out now.
            kr::flushOutLines();
        }
    }
}

bool TcpJobs::serveInput(const ConnectionTable::Entry& entry, short ready, bool serveHere,
                         bool& served) {
    KrSocketIPvx& socket = *entry.socket;
    KrTransceiverConnection& connection = *entry.connection;
    if (connection.wantsInput()) {
        if ((ready & platform::kPollUrgent) != 0) {
            char urgent;
            std::size_t received = 0;
            (void)socket.receiveUrgent(&urgent, 1, received);
            if (received != 1) {
                return false;
            }
        }
        if ((ready & (platform::kPollReadable | platform::kPollError | platform::kPollHangUp)) !=
            0) {
            kr::ServeHere here(serveHere);
            if (connection.readFromSocket(socket) < 0) {
                return false;
            }
            served = here.serve() || served;
        }
        if (connection.wantsInput()) {
            return true;
        }
    }
    // Over its limits, or at the end of the peer's stream: out of the set until the
    // connection resumes, so that a socket that stays readable does not keep the job awake.
    (void)receiveSet_.remove(socket.handle());
    return true;
}

void TcpJobs::resumePausedReading() {
    std::vector<Token> resumed;
    {
        std::lock_guard lock(mutex_);
        resumed.swap(resumed_);
    }
    for (const Token token : resumed) {
        const ConnectionTable::Entry entry = connections_.entry(token);
        // A connection that paused again stays out; it asks once more when it resumes.
        if (entry.connection && entry.connection->wantsInput()) {
            (void)receiveSet_.add(entry.socket->handle(), kReadable, token,
                                  platform::EventPoll::Report::WhileReady);
        }
    }
}

// ---- the send job ---------------------------------------------------------------------

void TcpJobs::sendLoop() {
    std::vector<platform::PollEvent> ready(kEventsPerWait);
    std::vector<Token> soon;
    std::vector<std::string> done;
    const auto write = [&](Token token) {
        const ConnectionTable::Entry entry = connections_.entry(token);
        if (!entry.connection) {
            return;
        }
        // Writes what the socket takes, and asks for this job again while output remains.
        const int code = entry.connection->writeToSocket(*entry.socket);
        if (code == KrSocketIPvx::kSendFailed || closingAndDrained(*entry.connection)) {
            done.push_back(entry.connection->id());
        }
    };
    // Not held back by a backlog at the buffer jobs: the wake-up of a sleeping send job falls on
    // the buffer job that hands it an answer, the busy stage.
    kr::HandOverSpin handOver;
    while (sendRun_) {
        const std::size_t count = waitForEvents(
            sendSet_, ready, "send", handOver, [this] { return writeSoonQueued_.load(); },
            sendJobSleeps_);
        done.clear();
        {
            std::lock_guard lock(mutex_);
            soon.swap(writeSoon_);
            writeSoonQueued_.store(false);
        }
        for (const Token token : soon) {
            write(token);
        }
        soon.clear();
        for (std::size_t i = 0; i < count; ++i) {
            if (ready[i].token == ConnectionTable::kNoToken) {
                sendWake_.drain();
                continue;
            }
            write(ready[i].token);
        }
        for (const std::string& id : done) {
            remove_(id);
        }
    }
}

}  // namespace kr
