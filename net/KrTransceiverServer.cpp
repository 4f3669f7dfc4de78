#include "net/KrTransceiverServer.h"

#include <chrono>
#include <exception>

#include "foundation/Diagnostics.h"
#include "foundation/KrLogStreams.h"
#include "jobs/HandOverSpin.h"
#include "net/KrServerDescription.h"
#include "net/KrTransceiver.h"
#include "net/KrTransceiverConnection.h"
#include "net/KrTransceiverMessage.h"
#include "net/ServeHere.h"

namespace {

// The server whose notice the thread serves where it was received, if any.
thread_local const KrTransceiverServer* servedHereNow = nullptr;

}  // namespace

KrTransceiverServer::KrTransceiverServer(const KrServerSetup& setup,
                                         std::string_view registrationPrefix)
    : KrJobWithTimeout(setup.timeoutMicroseconds),
      name_(setup.name),
      secondText_(setup.secondText),
      linkName_(setup.linkName),
      typeName_(setup.typeName),
      description_(setup.description),
      callback_(setup.callback),
      scheduler_(*setup.scheduler),
      serverRole_(setup.description == nullptr || setup.description->serverRole()),
      hub_(setup.hub) {
    registerJob(std::string(registrationPrefix) + name_);
}

KrTransceiverServer::~KrTransceiverServer() {
    endBufferJob();
    KrServerCallback_t event;
    event.state = KrServerCallback_t::kServerRemoved;
    event.values["ID"] = id();
    event.values["roll"] = serverRole_ ? "server" : "client";
    try {
        report(event);
    } catch (...) {
        KrLogStreams::stream(1) << "the status callback threw for a removed server\n";
    }
}

bool KrTransceiverServer::onMessage(const KrJobMessage& /*message*/) { return true; }

bool KrTransceiverServer::checkTimeout() {
    return serverRole_ ? false : KrJobWithTimeout::checkTimeout();
}

void KrTransceiverServer::receive(const std::string& /*connectionName*/,
                                  const std::string& /*serverName*/) {}

bool KrTransceiverServer::handle(const std::string& /*connectionName*/,
                                 const std::shared_ptr<KrTransceiverMessage>& message) {
    if (message) {
        unsubscribe(message->connectionName());
    }
    return false;
}

void KrTransceiverServer::stop() { kr::outLine("KrTransceiverServer::stop()"); }

bool KrTransceiverServer::attachHub(KrTransceiver* hub) {
    std::lock_guard lock(deliveryLock());
    KrTransceiver* none = nullptr;
    return hub_.compare_exchange_strong(none, hub);
}

void KrTransceiverServer::detachHub(KrTransceiver* hub) {
    std::lock_guard lock(deliveryLock());
    hub_.compare_exchange_strong(hub, nullptr);
}

void KrTransceiverServer::bufferIn(const std::string& /*connectionName*/) {
    bufferWake_.notify_all();
}

void KrTransceiverServer::pushBuffer(const std::string& connectionName,
                                     const std::string& serverName) {
    {
        std::lock_guard lock(bufferMutex_);
        if (bufferEnded_) {
            return;
        }
        // Never beside a notice the buffer job serves: it is asleep, or not started yet.
        const bool bufferIdle = bufferJob_ == 0 || bufferAsleep_;
        if (bufferIdle && !servingHere_ && bufferQueue_.empty() && servesWhereReceived()) {
            if (kr::ServeHere* here = kr::ServeHere::open()) {
                servingHere_ = true;
                here->leave(*this, connectionName, serverName);
                return;
            }
        }
        bufferQueue_.emplace_back(connectionName, serverName);
        kr::HandOverBacklog::process().queued();
        busy_ = true;
        if (bufferJob_ == 0) {
            bufferRun_ = true;
            bufferJob_ = kr::submitLoopJob(
                scheduler_, "KrTransceiverServer_bufferprocess" + id(), [this] { bufferLoop(); },
                [this] {
                    {
                        std::lock_guard stopLock(bufferMutex_);
                        bufferRun_ = false;
                    }
                    bufferWake_.notify_all();
                });
        }
    }
    bufferWake_.notify_all();
}

void KrTransceiverServer::bufferLoop() {
    kr::HandOverSpin handOver;
    // A notice left with a kr::ServeHere goes first: what was queued behind it waits.
    const auto ready = [this] { return !bufferRun_ || (!bufferQueue_.empty() && !servingHere_); };
    std::unique_lock lock(bufferMutex_);
    for (;;) {
        bool slept = false;
        if (bufferQueue_.empty() && bufferRun_) {
            lock.unlock();
            // Out of work: the access-log lines of what was done go out now, together.
            kr::flushOutLines();
            slept = !handOver.spin([this] { return busy_.load(std::memory_order_relaxed); });
            lock.lock();
        }
        if (!ready()) {
            bufferAsleep_ = true;
            bufferWake_.wait(lock, ready);
            bufferAsleep_ = false;
        }
        if (slept) {
            handOver.woke();
        }
        if (!bufferRun_) {
            return;
        }
        const auto [connectionName, serverName] = std::move(bufferQueue_.front());
        bufferQueue_.pop_front();
        kr::HandOverBacklog::process().taken();
        if (bufferQueue_.empty()) {
            busy_ = false;
        }
        lock.unlock();
        serveNotice(connectionName, serverName);
        lock.lock();
    }
}

void KrTransceiverServer::serveLeftHere(const std::string& connectionName,
                                        const std::string& serverName) {
    bool serve;
    {
        std::lock_guard lock(bufferMutex_);
        serve = !bufferEnded_;  // shut down meanwhile: the notice goes as the queued ones do
    }
    if (serve) {
        servedHereNow = this;
        serveNotice(connectionName, serverName);
        servedHereNow = nullptr;
    }
    bool waited;
    {
        std::lock_guard lock(bufferMutex_);
        servingHere_ = false;
        // Only a queued notice or the end waits for this one: a sleeping buffer job woken
        // for nothing would cost what serving here saved.
        waited = !bufferQueue_.empty() || bufferEnded_;
    }
    if (waited) {
        bufferWake_.notify_all();
    }
}

bool KrTransceiverServer::servingWhereReceived() const { return servedHereNow == this; }

void KrTransceiverServer::serveNotice(const std::string& connectionName,
                                      const std::string& serverName) {
    const auto started = std::chrono::steady_clock::now();
    restartTimeout();
    // A failing layer loses this notice, not the server.
    try {
        receive(connectionName, serverName);
    } catch (const std::exception& e) {
        KrLogStreams::stream(1) << "receive of " << id() << " threw: " << e.what() << '\n';
    } catch (...) {
        KrLogStreams::stream(1) << "receive of " << id() << " threw\n";
    }
    closeIfPeerFinished(connectionName);
    kr::HandOverBacklog::process().served(std::chrono::steady_clock::now() - started);
}

void KrTransceiverServer::closeIfPeerFinished(const std::string& connectionName) const {
    KrTransceiver* owner = hub();
    if (owner == nullptr) {
        return;
    }
    if (const auto connection = owner->findConnection(connectionName)) {
        connection->closeIfInputFinished();
    }
}

void KrTransceiverServer::shutdown() {
    endTransport();
    endBufferJob();
}

void KrTransceiverServer::endBufferJob() {
    KrRarediScheduler2::JobId job;
    {
        std::lock_guard lock(bufferMutex_);
        bufferEnded_ = true;
        bufferRun_ = false;
        job = std::exchange(bufferJob_, 0);
        // Never taken now: out of the count, so that it does not keep the other stages
        // from looking.
        kr::HandOverBacklog::process().taken(bufferQueue_.size());
        bufferQueue_.clear();
    }
    bufferWake_.notify_all();
    kr::waitForJob(scheduler_, job);
    // A notice being served where it was received is over before the layer may go.
    std::unique_lock lock(bufferMutex_);
    bufferWake_.wait(lock, [this] { return !servingHere_ || servingWhereReceived(); });
}

KrRarediScheduler2::JobId KrTransceiverServer::bufferJobId() const {
    std::lock_guard lock(bufferMutex_);
    return bufferJob_;
}

void KrTransceiverServer::report(KrServerCallback_t& event) const {
    if (callback_) {
        (void)callback_(event);
    }
}
