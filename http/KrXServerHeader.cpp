#include "http/KrXServerHeader.h"

#include <mutex>

#include "foundation/Strings.h"

KrXServerHeader::KrXServerHeader(bool serverRole, std::uint32_t protocol)
    : KrXHeader(kMethodPost, false, protocol), serverRole_(serverRole) {}

void KrXServerHeader::setParameter(const std::string& key, const std::string& value) {
    std::lock_guard lock(messageMutex());
    settings_[key] = value;
}

std::string KrXServerHeader::setting(const std::string& key, const std::string& fallback) const {
    std::lock_guard lock(messageMutex());
    return kr::valueOrDefault(settings_, key, fallback);
}

bool KrXServerHeader::acceptsConnection(const Attributes& attributes) const {
    const std::string type = kr::valueOrDefault(attributes, "type", "none");
    return type == "HTTP" || type == "HTTPS" || type == "DirectSocket" || type == "NUXEL";
}
