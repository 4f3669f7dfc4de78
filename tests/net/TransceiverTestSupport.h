#pragma once

// A small server layer, request handler, message and server description over the network
// layer's seams, for the tests of net/ and its benchmark: the layer hands every buffer it
// takes to the handler as one request, and the handler answers it with the same bytes
// through the hub. Bodies that begin with a command word make the answer do more.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/KrStringBuf.h"
#include "jobs/KrIdGenerator.h"
#include "jobs/KrJobMessage.h"
#include "net/KrProtocol.h"
#include "net/KrRequestHandler.h"
#include "net/KrServerDescription.h"
#include "net/KrSocketIPvx.h"
#include "net/KrTransceiver.h"
#include "net/KrTransceiverConnection.h"
#include "net/KrTransceiverMessage.h"
#include "net/KrTransceiverServerL0Socket.h"
#include "platform/Poll.h"

namespace nettest {

using namespace std::chrono_literals;

// Threaded tests wait this long for something that should happen at once; only a fault
// makes them wait that long.
inline constexpr std::chrono::seconds kPatience{30};

// The protocol number the test layer is installed under.
inline constexpr std::uint32_t kTestProtocol = kr::kProtocolSocket;

// Waits until the condition holds, polling; false after kPatience.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds patience = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Values that several threads append to.
template <class T>
class Log {
public:
    void add(T value) {
        std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }

    std::vector<T> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

    // Waits until some value satisfies the predicate and returns the first that does.
    bool waitFor(const std::function<bool(const T&)>& predicate, T* found = nullptr) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] {
            for (const T& value : values_) {
                if (predicate(value)) {
                    if (found != nullptr) {
                        *found = value;
                    }
                    return true;
                }
            }
            return false;
        });
    }

    std::size_t count(const std::function<bool(const T&)>& predicate) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const T& value : values_) {
            n += predicate(value) ? 1 : 0;
        }
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

// A status callback that keeps every event.
struct EventRecorder {
    Log<KrServerCallback_t> events;

    KrServerStatusCallback callback() {
        return [this](KrServerCallback_t& event) {
            events.add(event);
            return true;
        };
    }

    bool waitForState(int state, KrServerCallback_t* found = nullptr) {
        return events.waitFor([state](const KrServerCallback_t& e) { return e.state == state; },
                              found);
    }

    std::size_t countState(int state) const {
        return events.count([state](const KrServerCallback_t& e) { return e.state == state; });
    }
};

class TestMessage : public KrTransceiverMessage {
public:
    explicit TestMessage(std::uint32_t protocol = kTestProtocol, std::string host = "",
                         std::uint64_t port = 0)
        : KrTransceiverMessage(protocol), host_(std::move(host)), port_(port) {}

    std::string addressText() const override {
        return host_.empty() ? ""
                             : kr::protocolSchemeName(protocol()) + "://" + host_ + ":" +
                                   std::to_string(port_);
    }
    std::string targetHost() const override { return host_; }
    std::uint64_t targetPort() const override { return port_; }

    std::string body;

private:
    const std::string host_;
    const std::uint64_t port_;
};

class TestDescription : public KrServerDescription {
public:
    explicit TestDescription(std::map<std::string, std::string> settings = {},
                             std::uint32_t protocol = kTestProtocol, bool serverRole = true)
        : id_(KrIdGenerator::jobIds().makeUniqueJobId()),
          protocol_(protocol),
          serverRole_(serverRole),
          settings_(std::move(settings)) {}

    std::string descriptionId() const override { return id_; }
    std::uint32_t serverProtocol() const override { return protocol_; }
    std::string setting(const std::string& key, const std::string& fallback) const override {
        std::lock_guard lock(mutex_);
        const auto found = settings_.find(key);
        return found != settings_.end() ? found->second : fallback;
    }
    bool acceptsConnection(const Attributes& attributes) const override {
        accepted.add(attributes);
        return !refuseAll;
    }
    bool serverRole() const override { return serverRole_; }

    std::atomic<bool> refuseAll{false};
    mutable Log<Attributes> accepted;

private:
    const std::string id_;
    const std::uint32_t protocol_;
    const bool serverRole_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> settings_;
};

// The server layer: each notice's bytes become one request for the handler; an answer is
// queued on its connection as it stands. Keeps what it saw.
class TestLayer : public KrTransceiverServerL0Socket {
public:
    explicit TestLayer(const KrServerSetup& setup) : KrTransceiverServerL0Socket(setup) {}

    static KrServerLayer layer() {
        return KrServerLayer{
            .typeName = "DirectSocket",
            .protocolText = "DirectSocket",
            .make = [](const KrServerSetup& setup) { return kr::makeJob<TestLayer>(setup); }};
    }

    bool onMessage(const KrJobMessage& message) override {
        messages.add(message);
        return KrTransceiverServerL0Socket::onMessage(message);
    }

    void bufferIn(const std::string& connectionName) override {
        pushBuffer(connectionName, name());
    }

    void receive(const std::string& connectionName, const std::string& serverName) override {
        KrTransceiver* owner = hub();
        if (owner == nullptr) {
            return;
        }
        const auto connection = owner->findConnection(connectionName);
        const auto handler = owner->findClient(serverName);
        if (!connection || !handler) {
            received.add({connectionName, ""});
            return;
        }
        KrStringBuf input;
        connection->takeInput(input);
        std::string bytes;
        input.copyUnread(bytes);
        received.add({connectionName, bytes});
        if (bytes.empty()) {
            return;
        }
        auto request = kr::makeJob<TestMessage>();
        request->setMessageKind(KrTransceiverMessage::kRequest);
        request->appendRoute(connectionName);
        request->appendRoute(id());
        request->body = std::move(bytes);
        handler->handleMessage(secondText(), request);
    }

    bool handle(const std::string& connectionName,
                const std::shared_ptr<KrTransceiverMessage>& message) override {
        KrTransceiver* owner = hub();
        const auto answer = std::dynamic_pointer_cast<TestMessage>(message);
        const auto connection = owner ? owner->findConnection(connectionName) : nullptr;
        if (!answer || !connection) {
            unsubscribe(message->connectionName());
            return true;
        }
        handled.add(answer->body);
        std::size_t queued = 0;
        connection->queueOutput(answer->body.data(), answer->body.size(), queued);
        if (answer->body.rfind("close", 0) == 0) {
            connection->closeWhenDrained();
        }
        unsubscribe(message->connectionName());
        return true;
    }

    Log<KrJobMessage> messages;
    Log<std::pair<std::string, std::string>> received;  // connection id, bytes
    Log<std::string> handled;
};

// The request handler: answers every request with its own bytes, except that a body
// beginning "flood" is answered with floodSize bytes and "close" makes the layer close the
// connection after the answer (the body's tail follows a 1 MiB filler then).
class EchoHandler : public KrRequestHandler {
public:
    static constexpr std::size_t kFloodSize = std::size_t{16} << 20;

    EchoHandler() { replyName_ = registerJob("receive_test"); }

    bool attachSender(KrTransceiver* hub) override {
        KrTransceiver* none = nullptr;
        return hub_.compare_exchange_strong(none, hub);
    }
    void detachSender(KrTransceiver* hub) override { hub_.compare_exchange_strong(hub, nullptr); }

    bool handleMessage(const std::string& serverName,
                       const std::shared_ptr<KrTransceiverMessage>& message) override {
        const auto request = std::dynamic_pointer_cast<TestMessage>(message);
        if (!request) {
            return false;
        }
        requests.add({serverName, request->body});
        KrTransceiver* sender = hub_.load();
        if (sender == nullptr || !answer) {
            return true;
        }
        auto reply = kr::makeJob<TestMessage>(request->protocol());
        reply->setMessageKind(KrTransceiverMessage::kAnswer);
        reply->appendRoute(request->route(1));
        reply->appendRoute(request->route(0));
        if (request->body.rfind("flood", 0) == 0) {
            reply->body.assign(kFloodSize, 'f');
        } else if (request->body.rfind("close", 0) == 0) {
            reply->body = "close" + std::string(std::size_t{1} << 20, '.') + "end";
        } else {
            reply->body = request->body;
        }
        sender->sendMessage(this, reply, nullptr, replyName_);
        return true;
    }

    std::atomic<bool> answer{true};
    Log<std::pair<std::string, std::string>> requests;  // server name, body

private:
    std::atomic<KrTransceiver*> hub_{nullptr};
    std::string replyName_;
};

// A blocking-style loopback client over KrSocketIPvx.
class Client {
public:
    bool connect(std::uint16_t port, const std::string& host = "127.0.0.1") {
        return socket.connect(host, port) == KrSocketIPvx::kSuccess;
    }

    bool send(std::string_view bytes) {
        std::size_t offset = 0;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (offset < bytes.size()) {
            std::size_t sent = 0;
            const int code = socket.send(bytes.data() + offset, bytes.size() - offset, sent);
            if (code == KrSocketIPvx::kSendFailed || std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            offset += sent;
            if (offset < bytes.size()) {
                (void)platform::pollOne(socket.handle(), platform::kPollWritable, 100ms);
            }
        }
        return true;
    }

    // Receives until count bytes came, the peer closed, or patience ran out.
    std::string receive(std::size_t count) {
        std::string received;
        std::vector<char> buffer(64 * 1024);
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
            const auto ready = platform::pollOne(socket.handle(), platform::kPollReadable, 100ms);
            if (!ready.ok() || ready.value == 0) {
                continue;
            }
            std::size_t n = 0;
            (void)socket.receive(buffer.data(), buffer.size(), n);
            received.append(buffer.data(), n);
            if (n == 0 && (socket.closed() || socket.lastError() != 0)) {
                break;
            }
        }
        return received;
    }

    // Sends unit after unit, pause apart, until the peer closes (true) or patience runs out:
    // a peer that trickles what it sends.
    bool trickleUntilClosed(std::string_view unit, std::chrono::milliseconds pause) {
        std::vector<char> buffer(64 * 1024);
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            std::size_t sent = 0;
            if (socket.send(unit.data(), unit.size(), sent) == KrSocketIPvx::kSendFailed) {
                return true;  // reset by the peer, which has closed
            }
            if (readShowsClose(buffer, pause)) {
                return true;
            }
        }
        return false;
    }

    // Reads and drops everything until the peer closes; true when it did.
    bool waitForClose() {
        std::vector<char> buffer(64 * 1024);
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            if (readShowsClose(buffer, 100ms)) {
                return true;
            }
        }
        return false;
    }

    // Waits up to the pause for bytes and drops what came; true when the peer has closed.
    bool readShowsClose(std::vector<char>& buffer, std::chrono::milliseconds pause) {
        const auto ready = platform::pollOne(socket.handle(), platform::kPollReadable, pause);
        if (!ready.ok() || ready.value == 0) {
            return false;
        }
        std::size_t n = 0;
        (void)socket.receive(buffer.data(), buffer.size(), n);
        return n == 0 && (socket.closed() || socket.lastError() != 0);
    }

    KrSocketIPvx socket;
};

// A scheduler and a hub with the test layer installed, one echo handler added, and (after
// listen()) one listener on the IPv4 loopback.
class HubFixture {
public:
    explicit HubFixture(KrTransceiver::Timing timing = {}, KrTransceiver::Limits limits = {})
        : hub(kr::makeUniqueJob<KrTransceiver>(scheduler, timing, limits)),
          handler(kr::makeJob<EchoHandler>()) {
        hub->setServerLayer(kTestProtocol, TestLayer::layer());
        hub->addClient(handler);
    }

    // Creates the server of a description and waits for state 4; the listening port, or 0.
    std::uint16_t listen(std::map<std::string, std::string> settings = {
                             {"tcp_address", "127.0.0.1"}, {"tcp_port", "0"}}) {
        description = std::make_shared<TestDescription>(std::move(settings));
        hub->createServer(handler.get(), description, recorder.callback());
        KrServerCallback_t listening;
        if (!recorder.waitForState(KrServerCallback_t::kListening, &listening)) {
            return 0;
        }
        return static_cast<std::uint16_t>(std::stoul(listening.values["port"]));
    }

    std::shared_ptr<TestLayer> layer() const {
        return std::dynamic_pointer_cast<TestLayer>(description->server());
    }

    KrRarediScheduler2 scheduler;
    EventRecorder recorder;
    std::unique_ptr<KrTransceiver> hub;
    std::shared_ptr<EchoHandler> handler;
    std::shared_ptr<TestDescription> description;
};

}  // namespace nettest
