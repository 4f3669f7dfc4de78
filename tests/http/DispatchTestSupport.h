#pragma once

// The request dispatch over real loopback connections: a hub with the server layers, the
// dispatch (KrTransceiverClient) with a fake application, and a base directory of files and
// programs made for each test.

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LayerTestSupport.h"
#include "http/KrCommandTarget.h"
#include "http/KrTransceiverClient.h"
#include "http/KrXResponseHeader.h"

namespace dispatchtest {

namespace fs = std::filesystem;
using layertest::answerHead;
using nettest::Client;
using nettest::EventRecorder;
using nettest::eventually;
using nettest::Log;

// The session the fake application knows; any other identifier is unknown to it.
inline const std::string kKnownSession = "nuxelid000000000000000042";

// A new session's context: answers with its command and path.
class FakeContext : public KrCommandContext {
public:
    void handleRequest(KrXHeader& request, KrXResponseHeader& response,
                       const std::string& command) override {
        response.writeAnswer("new session, command " + command + ", path " + request.path());
    }
};

// The application as the dispatch sees it. Every call is logged.
class FakeApplication : public KrCommandTarget {
public:
    void dispatchToContext(const std::string& sessionId, KrXHeader& /*request*/,
                           KrXResponseHeader& response, const std::string& command) override {
        calls.add("dispatch " + sessionId + " " + command);
        if (sessionId == kKnownSession) {
            response.writeAnswer("session " + sessionId + ", command " + command);
        }
    }

    KrCommandContext* createContext(const std::string& keyName) override {
        calls.add("create " + keyName);
        return makesContexts ? &context : nullptr;
    }

    bool hasBuiltInFile(const std::string& name) override { return builtIns.contains(name); }

    bool serveBuiltInFile(const std::string& name, KrXHeader& response) override {
        calls.add("built-in " + name);
        response.body().write(builtIns.at(name));
        response.setStatus(200);
        return true;
    }

    std::atomic<bool> makesContexts{true};
    Log<std::string> calls;
    const std::map<std::string, std::string> builtIns{
        {"kreuz.png", std::string("\x89PNG\r\n\x1a\n\0\x01", 10)}};
    FakeContext context;
};

// The dispatch, keeping whether it took each message.
class RecordingClient : public KrTransceiverClient {
public:
    using KrTransceiverClient::KrTransceiverClient;

    bool handleMessage(const std::string& serverName,
                       const std::shared_ptr<KrTransceiverMessage>& message) override {
        const bool taken = KrTransceiverClient::handleMessage(serverName, message);
        results.add(taken);
        return taken;
    }

    Log<bool> results;
};

// An answer as it came over the wire: the head up to its first empty line, then the body.
struct Answer {
    std::string head;
    std::string body;
};

// The exact 404 page.
inline const std::string kNotFoundPage =
    "<!DOCTYPE html>\n<html>\n<head>\n<title>Error 404 - not found</title>\n</head>\n"
    "<body><h1>Error 404 - not found</h1>The requested page was not found or the project "
    "was timed out.<br />\n<a href=\"/\">Startseite</a>\n</body>\n</html>";

inline std::string notFoundAnswer() {
    return answerHead(kNotFoundPage.size(), "404 Not Found") + kNotFoundPage;
}

inline std::string okAnswer(const std::string& body) { return answerHead(body.size()) + body; }

class DispatchTest : public testing::Test {
protected:
    using Settings = KrTransceiverClient::Settings;

    void SetUp() override {
        directory = fs::temp_directory_path() /
                    ("gridlo-dispatch-" + std::to_string(::getpid()) + "-" +
                     testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory);
        base = directory / "www";
        fs::create_directories(base / "cgi-bin");
        fs::create_directories(base / "sub");
        hub = kr::makeUniqueJob<KrTransceiver>(scheduler);
        kr::installServerLayers(*hub);
    }

    void TearDown() override {
        hub.reset();  // every job that could still touch the files or the application
        fs::remove_all(directory);
    }

    // The base directory and the command URL "/".
    Settings siteSettings() const {
        return {{std::string(KrTransceiverClient::kBaseDirectorySetting), base.string()},
                {std::string(KrTransceiverClient::kCommandUrlSetting), "/"}};
    }

    // Makes the dispatch with the settings and starts one server of the protocol for it;
    // the server's port, or 0.
    std::uint16_t serve(const Settings& settings, std::uint32_t protocol = kr::kProtocolHTTP) {
        client = kr::makeJob<RecordingClient>(recorder.callback(), settings, &application);
        hub->addClient(client);
        return addServer(protocol);
    }

    // One more server for the dispatch; its port, or 0.
    std::uint16_t addServer(std::uint32_t protocol = kr::kProtocolHTTP) {
        auto description = kr::makeJob<KrXServerHeader>(true, protocol);
        description->setParameter("tcp_address", "127.0.0.1");
        description->setParameter("tcp_port", "0");
        descriptions.push_back(description);
        if (client->createServer(description) != description->descriptionId()) {
            return 0;
        }
        const auto server = description->server();
        KrServerCallback_t listening;
        const bool listens = recorder.events.waitFor(
            [&server](const KrServerCallback_t& event) {
                return server && event.state == KrServerCallback_t::kListening &&
                       event.values.at("ID") == server->id();
            },
            &listening);
        return listens ? static_cast<std::uint16_t>(std::stoul(listening.values.at("port"))) : 0;
    }

    // Sends the bytes on a new connection and receives count bytes of answer.
    static std::string ask(std::uint16_t port, const std::string& wire, std::size_t count) {
        Client peer;
        if (!peer.connect(port) || !peer.send(wire)) {
            return "no connection";
        }
        return peer.receive(count);
    }

    // Sends the bytes on a new connection and receives one whole answer, as long as its
    // Content-Length says.
    static Answer askAnswer(std::uint16_t port, const std::string& wire) {
        Client peer;
        if (!peer.connect(port) || !peer.send(wire)) {
            return {"no connection", ""};
        }
        std::string received;
        std::size_t headEnd = std::string::npos;
        while ((headEnd = received.find("\r\n\r\n")) == std::string::npos) {
            const std::string more = peer.receive(1);
            if (more.empty()) {
                return {received, ""};
            }
            received += more;
        }
        headEnd += 4;
        const std::string lengthField = "Content-Length: ";
        const std::size_t at = received.find(lengthField);
        const std::size_t length =
            at < headEnd ? std::stoul(received.substr(at + lengthField.size())) : 0;
        if (received.size() - headEnd < length) {
            received += peer.receive(length - (received.size() - headEnd));
        }
        return {received.substr(0, headEnd), received.substr(headEnd)};
    }

    // A file under the base directory.
    std::string file(const std::string& relative, const std::string& content) const {
        const fs::path path = base / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    // A shell script, executable, at a path under the test's directory.
    std::string script(const std::string& relative, const std::string& body) const {
        const fs::path path = directory / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
        return path.string();
    }

    fs::path directory;
    fs::path base;

    KrRarediScheduler2 scheduler;
    EventRecorder recorder;
    FakeApplication application;
    std::unique_ptr<KrTransceiver> hub;
    std::shared_ptr<RecordingClient> client;
    std::vector<std::shared_ptr<KrXServerHeader>> descriptions;
};

}  // namespace dispatchtest
