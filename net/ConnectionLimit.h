#pragma once

#include <cstddef>
#include <cstdint>

// How many connections a hub serves at once by default: what the process's descriptor limit
// leaves after a reserve for everything else that takes descriptors (the files it sends, the
// pipes of the CGI and PHP children it runs, its own listeners, event sets and streams), so
// that these keep working when the connections are at their limit.
namespace kr {

// Descriptors kept back from connections: one in kDescriptorReserveShare of the limit, so
// that the reserve grows with the traffic the limit admits, and at least kDescriptorReserve
// (or half the limit, when that is smaller).
inline constexpr std::uint64_t kDescriptorReserve = 128;
inline constexpr std::uint64_t kDescriptorReserveShare = 8;
// Below this many connections the share gives way to the least reserve, where the
// descriptor limit allows: a limit just above it still admits that many keep-alive
// connections.
inline constexpr std::size_t kKeepAliveConnections = 10'000;
// The most connections a hub serves, whatever the descriptor limit: each costs memory
// (about 5 KB idle), and a hard limit of 1 048 576 descriptors would otherwise admit some
// 900 000 of them.
inline constexpr std::size_t kMaxConnections = 20'000;
// Taken when the descriptor limit cannot be read: the common default.
inline constexpr std::uint64_t kAssumedDescriptorLimit = 1024;

// The connection limit for a process that may hold descriptorLimit descriptors: at least 1,
// at most kMaxConnections.
std::size_t connectionLimitFor(std::uint64_t descriptorLimit);

// The connection limit for this process, made once from its soft RLIMIT_NOFILE on first use.
std::size_t defaultConnectionLimit();

}  // namespace kr
