#include "net/Housekeeping.h"

#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/Diagnostics.h"
#include "foundation/KrLogStreams.h"
#include "jobs/KrCombinedTask.h"
#include "net/ConnectionTable.h"
#include "net/KrTransceiverConnection.h"
#include "net/KrTransceiverServer.h"
#include "net/ServerRegistry.h"
#include "platform/Clock.h"

namespace kr {

namespace {

void post(const std::string& targetId, std::uint32_t type, const std::string& text) {
    KrJobMessage message;
    message.type = type;
    message.text = text;
    KrCombinedTask::instance().enqueue(targetId, message);
}

}  // namespace

Housekeeping::Housekeeping(std::chrono::milliseconds period, ServerRegistry& servers,
                           ConnectionTable& connections, Removal remove)
    : period_(period),
      servers_(servers),
      connections_(connections),
      remove_(std::move(remove)),
      thread_([this] { loop(); }) {}

Housekeeping::~Housekeeping() { stop(); }

void Housekeeping::stop() {
    {
        std::lock_guard lock(mutex_);
        run_ = false;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Housekeeping::loop() {
    std::unique_lock lock(mutex_);
    while (run_) {
        if (wake_.wait_for(lock, period_, [this] { return !run_; })) {
            return;
        }
        lock.unlock();
        try {
            pass();
        } catch (const std::exception& e) {
            KrLogStreams::stream(1) << "housekeeping pass failed: " << e.what() << '\n';
        }
        lock.lock();
    }
}

void Housekeeping::pass() {
    expireServers();
    expireIdleConnections();
    // Access-log lines of a server whose buffer job never ran out of work wait no longer.
    kr::flushOutLines();
}

void Housekeeping::expireServers() {
    for (const auto& server : servers_.servers()) {
        if (!server->checkTimeout()) {
            continue;
        }
        post(server->linkName(), KrJobMessage::kExpired, server->id());
        post(server->id(), KrJobMessage::kServerExpired, server->id());
        server->shutdown();
        (void)servers_.takeServer(server->id());
    }
}

void Housekeeping::expireIdleConnections() {
    // Only connections filed under a deadline that has passed can have expired; the others
    // cost the pass nothing, however many they are. A head waiting unread for a busy layer
    // is filed now, so that its time limit counts from its first byte.
    connections_.fileAskedDeadlines();
    for (const auto& connection : connections_.due(platform::steadyNanoseconds())) {
        if (!connection->checkTimeout()) {
            connections_.refile(*connection);  // active since: filed under its new deadline
            continue;
        }
        post(connection->target(), KrJobMessage::kExpired, connection->id());
        connections_.unlist(connection->id());
        try {
            connection->expire();
        } catch (const std::exception&) {
            // Without an expiry callback the connection would stay served for ever.
            remove_(connection->id());
        }
    }
}

}  // namespace kr
