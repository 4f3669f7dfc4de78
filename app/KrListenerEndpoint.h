#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class KrTransceiverClient;

// One listener the application opens: its address, its port (0 lets the operating system
// choose), its scheme number (3 http, 4 https, 6 nuxel, 7 nuxels, 9 socket), options (read
// only for https: "cacertificate", "privatekey") and, once started, the request handler
// registered for it. A copy has no request handler.
struct KrListenerEndpoint {
    KrListenerEndpoint(std::string address, std::uint32_t port, std::uint32_t kind)
        : address(std::move(address)), port(port), kind(kind) {}
    KrListenerEndpoint(const KrListenerEndpoint& other)
        : address(other.address),
          port(other.port),
          kind(other.kind),
          parameters(other.parameters) {}
    KrListenerEndpoint& operator=(const KrListenerEndpoint& other) {
        if (this != &other) {
            address = other.address;
            port = other.port;
            kind = other.kind;
            parameters = other.parameters;
            client.reset();
        }
        return *this;
    }
    KrListenerEndpoint(KrListenerEndpoint&&) noexcept = default;
    KrListenerEndpoint& operator=(KrListenerEndpoint&&) noexcept = default;
    ~KrListenerEndpoint() = default;

    std::string address;
    std::uint32_t port = 0;
    std::uint32_t kind = 0;
    std::map<std::string, std::string> parameters;
    std::shared_ptr<KrTransceiverClient> client;
};
