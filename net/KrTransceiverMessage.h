#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/KrJob.h"

// A message as the hub routes it, without knowing its protocol: a request that a server
// layer read from a connection, or the answer made for it. The message classes of the
// protocol layers derive from it (KrXHeader).
//
// A request read by a server layer carries two route entries, the connection's id and the
// reading server's id; its answer carries them in reverse order, so that entry 0 names the
// server and entry 1 the connection. The hub routes answers by them, and requests to other
// hosts by their target address.
class KrTransceiverMessage : public KrJob {
public:
    // Message kinds.
    static constexpr int kUnrecognised = 0;
    static constexpr int kAnswer = 1;   // a status line
    static constexpr int kRequest = 2;  // a request line

    // The protocol number (net/KrProtocol.h), fixed at construction.
    virtual std::uint32_t protocol() const { return protocol_; }

    int messageKind() const { return kind_.load(); }
    void setMessageKind(int kind) { kind_.store(kind); }

    void appendRoute(std::string name);
    // Entry index, or "" beyond the end.
    std::string route(std::size_t index) const;
    std::vector<std::string> routes() const;

    // The name that the connection, the server and a URL hook service subscribe to while
    // they handle the message. The receiving layer sets it for a request; the hub replaces
    // it with the reply name it is given.
    std::string connectionName() const;
    void setConnectionName(std::string name);

    // The target address of a request to another host ("http://host:port"); empty when the
    // message names no host. The hub keys its URL hook services by it.
    virtual std::string addressText() const = 0;
    // The host and port that a URL hook service's worker connects to for this message.
    virtual std::string targetHost() const = 0;
    virtual std::uint64_t targetPort() const = 0;

protected:
    explicit KrTransceiverMessage(std::uint32_t protocol) : protocol_(protocol) {}

private:
    const std::uint32_t protocol_;
    std::atomic<int> kind_{kUnrecognised};

    // Guards the route list and the connection name; no other lock is taken under it.
    mutable std::mutex routeMutex_;
    std::vector<std::string> routes_;
    std::string connectionName_;
};
