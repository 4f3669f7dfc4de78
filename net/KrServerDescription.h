#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class KrTransceiverServer;

// What the hub and the listener read of a configured server: its protocol, its settings and
// whom it accepts. The message family implements it (KrXServerHeader); the hub builds one
// server per description and request handler.
class KrServerDescription {
public:
    // The attributes of an accepted connection: "type" (the server's type name), "hoststring"
    // and "port" (the peer's).
    using Attributes = std::map<std::string, std::string>;

    KrServerDescription() = default;
    KrServerDescription(const KrServerDescription&) = delete;
    KrServerDescription& operator=(const KrServerDescription&) = delete;
    virtual ~KrServerDescription() = default;

    // The name under which the hub and the request handler know this description and the
    // server built for it (a KrXServerHeader answers its job id).
    virtual std::string descriptionId() const = 0;

    // The protocol number (net/KrProtocol.h) that selects the server layer.
    virtual std::uint32_t serverProtocol() const = 0;

    // The value of a setting ("tcp_port", "tcp_address"; "hoststring" and "port" for a
    // client), or fallback when the key is missing. Safe from any thread.
    virtual std::string setting(const std::string& key, const std::string& fallback) const = 0;

    // Whether the listener keeps a connection with these attributes; a refused one is closed.
    virtual bool acceptsConnection(const Attributes& attributes) const = 0;

    // True for a server that listens and accepts, false for a client that connects out.
    virtual bool serverRole() const = 0;

    // The server built for this description, if it still exists. Held weakly: the server
    // holds its description, so a strong reference here would keep both alive for ever.
    std::shared_ptr<KrTransceiverServer> server() const;
    void setServer(std::weak_ptr<KrTransceiverServer> server);

private:
    // Guards server_; no other lock is taken under it.
    mutable std::mutex serverMutex_;
    std::weak_ptr<KrTransceiverServer> server_;
};
