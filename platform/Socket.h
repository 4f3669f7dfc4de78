#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Fd.h"
#include "platform/SysResult.h"

// TCP sockets over the POSIX socket interface. Every descriptor made here is close-on-exec,
// and data transfer never blocks and never raises SIGPIPE.
namespace platform {

enum class AddressFamily { IPv4, IPv6, Other };

// One IPv4 or IPv6 socket address, as the resolver or the kernel gave it.
class SocketAddress {
public:
    static constexpr std::size_t kCapacity = 128;  // sizeof(sockaddr_storage)

    AddressFamily family() const;
    // The port in host order; 0 for an address that is neither IPv4 nor IPv6.
    std::uint16_t port() const;
    void setPort(std::uint16_t port);

    // The raw sockaddr, for the wrappers in this folder.
    const void* data() const { return storage_; }
    void* data() { return storage_; }
    unsigned size() const { return size_; }
    void setSize(unsigned size) { size_ = size; }

private:
    alignas(8) unsigned char storage_[kCapacity] = {};
    unsigned size_ = 0;
};

// The text of a getaddrinfo/getnameinfo code (gai_strerror), or of systemError
// (strerror_r) when the code is EAI_SYSTEM.
std::string resolverErrorText(int error, int systemError);

// The outcome of a resolver call: a value, or the EAI_* code that kept it from being
// produced (with errno in systemError for EAI_SYSTEM).
template <class T>
struct [[nodiscard]] ResolverResult {
    T value{};
    int error = 0;
    int systemError = 0;

    bool ok() const { return error == 0; }
    explicit operator bool() const { return ok(); }
    std::string errorText() const { return resolverErrorText(error, systemError); }
};

// Passive resolution gives addresses to bind; active ones to connect to.
enum class ResolvePurpose { Listen, Connect };

// getaddrinfo(3) for TCP, any family, in the resolver's order. An empty host means "no
// node": the wildcard addresses to listen on, or the loopback addresses to connect to.
ResolverResult<std::vector<SocketAddress>> resolveTcp(const std::string& host,
                                                      const std::string& service,
                                                      ResolvePurpose purpose);

struct NumericName {
    std::string host;     // at most 1025 bytes (NI_MAXHOST)
    std::string service;  // at most 32 bytes (NI_MAXSERV)
};

// getnameinfo(3) with a numeric host and a numeric service.
ResolverResult<NumericName> numericName(const SocketAddress& address);

// socket(2) of a TCP stream socket in blocking mode, close-on-exec.
SysResult<Fd> openTcpSocket(AddressFamily family);

SysStatus setReuseAddress(const Fd& socket);             // SO_REUSEADDR on
SysStatus setIPv6Only(const Fd& socket, bool ipv6Only);  // IPV6_V6ONLY, set explicitly
SysStatus setNoDelay(const Fd& socket);                  // TCP_NODELAY on
SysStatus bindSocket(const Fd& socket, const SocketAddress& address);
SysStatus listenSocket(const Fd& socket, int backlog);

// The largest listen backlog the system names (SOMAXCONN). A burst of connects beyond the
// backlog has its SYNs dropped, and each dropped one is sent again only after 1 s, 3 s, 7 s.
int maxListenBacklog();

// getsockname(2).
SysResult<SocketAddress> localAddress(const Fd& socket);

struct AcceptedConnection {
    Fd socket;  // close-on-exec, blocking mode
    SocketAddress peer;
};

// accept4(2). On a non-blocking listener with nobody waiting the error is EAGAIN; a peer
// that gave up before it was accepted gives ECONNABORTED. Both only mean "nothing now".
SysResult<AcceptedConnection> acceptConnection(const Fd& listener);

// connect(2) on a blocking socket. An interrupted connect goes on in the kernel; it is
// waited for and its own outcome reported, never EINTR.
SysStatus connectSocket(const Fd& socket, const SocketAddress& address);

// shutdown(2) in both directions.
SysStatus shutdownSocket(const Fd& socket);

// At most this many buffers go out in one sendBuffers (IOV_MAX); the caller sends the
// rest with another call.
inline constexpr std::size_t kMaxBuffersPerSend = 1024;

// Whether more bytes follow at once the ones being sent (MSG_MORE): the system then holds a
// part-filled last segment back for them instead of sending it by itself, so that an
// answer's head and the first bytes of a file sent behind it share a segment although
// TCP_NODELAY is on. The next send without it pushes what was held.
enum class MoreToFollow { No, Yes };

// One send(2), non-blocking, MSG_NOSIGNAL, EINTR retried.
IoResult sendBytes(const Fd& socket, std::string_view bytes, MoreToFollow more = MoreToFollow::No);

// Several buffers, in order, in one sendmsg(2) (a gathering write), non-blocking,
// MSG_NOSIGNAL, EINTR retried. bytes counts across the buffers.
IoResult sendBuffers(const Fd& socket, std::span<const std::string_view> buffers,
                     MoreToFollow more = MoreToFollow::No);

// One sendfile(2): up to count (above 0) bytes of the file from offset to the socket, in the
// kernel, without a copy through the process; the file's own position does not move. EINTR
// retried. The socket must be in non-blocking mode (setNonBlocking), since sendfile takes no
// flag for it: a full socket buffer is then wouldBlock. 0 bytes that are neither an error nor
// wouldBlock: the file ends at offset.
IoResult sendFileBytes(const Fd& socket, const Fd& file, std::uint64_t offset, std::size_t count);

// One recv(2) into buffer (which must not be empty), non-blocking, EINTR retried.
IoResult receiveBytes(const Fd& socket, std::span<char> buffer);

// One recv(2) of out-of-band (urgent) data, non-blocking, EINTR retried.
IoResult receiveUrgentBytes(const Fd& socket, std::span<char> buffer);

}  // namespace platform
