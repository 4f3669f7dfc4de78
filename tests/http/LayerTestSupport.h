#pragma once

// A hub with the HTTP side's server layers installed and a small request handler, for tests
// of the layers over real loopback connections. The handler answers every request at once
// through the hub, as the system's own handler does; a test decides what the answer holds.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "../net/TransceiverTestSupport.h"
#include "foundation/KrException.h"
#include "http/KrXHeader.h"
#include "http/KrXResponseHeader.h"
#include "http/KrXServerHeader.h"
#include "http/ServerLayers.h"
#include "net/KrProtocol.h"
#include "net/KrRequestHandler.h"
#include "net/KrTransceiver.h"

namespace layertest {

using nettest::Client;
using nettest::EventRecorder;
using nettest::eventually;
using nettest::Log;

// Path, method, parameters and header fields of a request, one per line.
inline std::string describe(KrXHeader& request) {
    std::string text =
        "method " + std::to_string(request.methodCode()) + " path " + request.path() + "\n";
    for (const auto& [name, block] : request.parameters()) {
        text += "parameter " + name + "=" + block->text() + "\n";
    }
    for (const auto& [name, values] : request.headerMap()) {
        if (name != KrXHeader::kFirstLineKey) {
            text += "field " + name + "=" + values.front() + "\n";
        }
    }
    return text;
}

// Takes every request and answers it: by default with status 200 and describe(request) as
// the body; the path "/throw" makes it throw instead. A raw-socket request is answered with
// its own bytes. Messages of other kinds are refused, unless takeAnswer is set: then a
// status line the peer sent is taken and marked received, as the system's handler takes it.
class TestHandler : public KrRequestHandler {
public:
    using Respond = std::function<void(KrXHeader& request, KrXResponseHeader& answer)>;

    bool attachSender(KrTransceiver* hub) override {
        KrTransceiver* none = nullptr;
        return hub_.compare_exchange_strong(none, hub);
    }
    void detachSender(KrTransceiver* hub) override { hub_.compare_exchange_strong(hub, nullptr); }

    bool acceptHead(KrTransceiverMessage& /*message*/) override { return acceptHeads.load(); }

    bool answersAtOnce(const KrTransceiverMessage& message) const override {
        const auto* request = dynamic_cast<const KrXHeader*>(&message);
        return atOnce && request != nullptr && atOnce(*request);
    }

    bool handleMessage(const std::string& /*serverName*/,
                       const std::shared_ptr<KrTransceiverMessage>& message) override {
        const auto request = std::dynamic_pointer_cast<KrXHeader>(message);
        if (!request) {
            return false;
        }
        requests.add(request);
        if (request->messageKind() == KrXHeader::kAnswer && takeAnswer) {
            takeAnswer(*request);
            request->setAnswerReceived(true);
            return true;
        }
        if (request->messageKind() != KrXHeader::kRequest) {
            return false;
        }
        if (request->path() == "/throw") {
            throw KrException("the handler failed", 1, "src");
        }
        auto answer = request->createAnswer();
        if (request->protocol() == kr::kProtocolSocket) {
            std::string bytes;
            request->body().copyUnread(bytes);
            answer->body().write(bytes);
        } else {
            request->parseBody();
            if (respond) {
                respond(*request, *answer);
            } else {
                answer->writeAnswer(describe(*request));
            }
        }
        if (KrTransceiver* sender = hub_.load()) {
            sender->sendMessage(this, answer, nullptr, request->connectionName());
        }
        return true;
    }

    std::atomic<bool> acceptHeads{true};
    Respond respond;  // set before any traffic
    // Called with every status line the peer sent, which is then taken; set before any traffic.
    std::function<void(KrXHeader& answer)> takeAnswer;
    // Which requests it says it answers at once (none without); set before any traffic.
    std::function<bool(const KrXHeader& request)> atOnce;
    Log<std::shared_ptr<KrXHeader>> requests;

private:
    std::atomic<KrTransceiver*> hub_{nullptr};
};

// A scheduler and a hub with the layers installed and one handler added; listen() builds
// the server of a description on the IPv4 loopback.
class LayerFixture {
public:
    explicit LayerFixture(KrTransceiver::Timing timing = {}, KrTransceiver::Limits limits = {})
        : hub(kr::makeUniqueJob<KrTransceiver>(scheduler, timing, limits)),
          handler(kr::makeJob<TestHandler>()) {
        kr::installServerLayers(*hub);
        hub->addClient(handler);
    }

    // Builds the server for the protocol on the address and waits for it to listen; the
    // port, or 0.
    std::uint16_t listen(std::uint32_t protocol = kr::kProtocolHTTP,
                         const std::string& address = "127.0.0.1") {
        description = kr::makeJob<KrXServerHeader>(true, protocol);
        description->setParameter("tcp_address", address);
        description->setParameter("tcp_port", "0");
        hub->createServer(handler.get(), description, recorder.callback());
        KrServerCallback_t listening;
        if (!recorder.waitForState(KrServerCallback_t::kListening, &listening)) {
            return 0;
        }
        return static_cast<std::uint16_t>(std::stoul(listening.values["port"]));
    }

    // A client connected to the server.
    std::unique_ptr<Client> connect(std::uint16_t port) {
        auto client = std::make_unique<Client>();
        return client->connect(port) ? std::move(client) : nullptr;
    }

    template <class Layer>
    std::shared_ptr<Layer> layer() const {
        return std::dynamic_pointer_cast<Layer>(description->server());
    }

    // The access-log lines reported so far.
    std::vector<std::string> logLines() const {
        std::vector<std::string> lines;
        for (const auto& event : recorder.events.values()) {
            if (event.state == KrServerCallback_t::kAccessLog) {
                lines.push_back(event.values.at("logging"));
            }
        }
        return lines;
    }

    KrRarediScheduler2 scheduler;
    EventRecorder recorder;
    std::unique_ptr<KrTransceiver> hub;
    std::shared_ptr<TestHandler> handler;
    std::shared_ptr<KrXServerHeader> description;
};

// The answer head the layer writes for a body of that size.
inline std::string answerHead(std::size_t bodySize, const std::string& statusLine = "200 OK") {
    return "HTTP/1.1 " + statusLine +
           "\r\nServer: brantel/1.28.1(96)\r\nContent-Length: " + std::to_string(bodySize) +
           "\r\n\r\n";
}

// A POST of body with its content type and length.
inline std::string postRequest(const std::string& path, const std::string& contentType,
                               const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline std::string answerTo(const std::string& body) { return answerHead(body.size()) + body; }

}  // namespace layertest
