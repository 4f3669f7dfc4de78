#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "http/KrXHeader.h"
#include "net/KrServerDescription.h"

// The settings record of a configured server: what the hub builds a server layer from and
// what the listener reads its address from. Its id names the server to the request handler.
class KrXServerHeader : public KrXHeader, public KrServerDescription {
public:
    // serverRole: true for a server that listens and accepts.
    KrXServerHeader(bool serverRole, std::uint32_t protocol);

    // Writes a setting under the message mutex.
    void setParameter(const std::string& key, const std::string& value);

    std::string descriptionId() const override { return id(); }
    std::uint32_t serverProtocol() const override { return protocol(); }
    // The setting, or fallback when it is missing; under the message mutex.
    std::string setting(const std::string& key, const std::string& fallback) const override;
    // True when the attribute "type" ("none" when absent) names one of the server types
    // "HTTP", "HTTPS", "DirectSocket" or "NUXEL", exactly.
    bool acceptsConnection(const Attributes& attributes) const override;
    bool serverRole() const override { return serverRole_; }

private:
    const bool serverRole_;
    std::map<std::string, std::string> settings_;  // guarded by the message mutex
};
