#include "net/KrProtocol.h"

namespace kr {

std::string protocolSchemeName(std::uint32_t protocol) {
    switch (protocol) {
        case kProtocolHTTP: return "http";
        case kProtocolHTTPS: return "https";
        case kProtocolNUXEL: return "nuxel";
        case kProtocolNUXELS: return "nuxels";
        case kProtocolSocket: return "socket";
        default: return "unknown";
    }
}

}  // namespace kr
