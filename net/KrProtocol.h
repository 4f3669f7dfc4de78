#pragma once

#include <cstdint>
#include <string>

// The protocol (scheme) numbers that servers, messages and server descriptions carry.
namespace kr {

inline constexpr std::uint32_t kProtocolHTTP = 3;
inline constexpr std::uint32_t kProtocolHTTPS = 4;
inline constexpr std::uint32_t kProtocolFile = 5;
inline constexpr std::uint32_t kProtocolNUXEL = 6;
inline constexpr std::uint32_t kProtocolNUXELS = 7;
inline constexpr std::uint32_t kProtocolSocket = 9;

// 3 "http", 4 "https", 6 "nuxel", 7 "nuxels", 9 "socket"; anything else "unknown". A fixed
// mapping that knows no "file": the listener reports it as "protocolstring".
std::string protocolSchemeName(std::uint32_t protocol);

}  // namespace kr
