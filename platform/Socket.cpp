#include "platform/Socket.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cstring>

#include "platform/Poll.h"

namespace platform {

static_assert(sizeof(sockaddr_storage) <= SocketAddress::kCapacity);
static_assert(kMaxBuffersPerSend <= IOV_MAX);

namespace {

const sockaddr* asSockaddr(const SocketAddress& address) {
    return static_cast<const sockaddr*>(address.data());
}

sockaddr* asSockaddr(SocketAddress& address) { return static_cast<sockaddr*>(address.data()); }

int nativeFamily(AddressFamily family) {
    switch (family) {
        case AddressFamily::IPv4: return AF_INET;
        case AddressFamily::IPv6: return AF_INET6;
        case AddressFamily::Other: break;
    }
    return AF_UNSPEC;
}

SysStatus setIntOption(const Fd& socket, int level, int name, int value) {
    if (::setsockopt(socket.get(), level, name, &value, sizeof value) != 0) {
        return {errno};
    }
    return {};
}

int sendFlags(MoreToFollow more) {
    return MSG_NOSIGNAL | MSG_DONTWAIT | (more == MoreToFollow::Yes ? MSG_MORE : 0);
}

// send/recv share this: EINTR is retried, EAGAIN becomes "would block".
template <class Call>
IoResult transfer(Call call) {
    for (;;) {
        const ssize_t n = call();
        if (n >= 0) {
            return {.bytes = static_cast<std::size_t>(n)};
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {.wouldBlock = true};
        }
        return {.error = errno};
    }
}

}  // namespace

AddressFamily SocketAddress::family() const {
    switch (asSockaddr(*this)->sa_family) {
        case AF_INET: return AddressFamily::IPv4;
        case AF_INET6: return AddressFamily::IPv6;
        default: return AddressFamily::Other;
    }
}

std::uint16_t SocketAddress::port() const {
    switch (family()) {
        case AddressFamily::IPv4:
            return ntohs(reinterpret_cast<const sockaddr_in*>(storage_)->sin_port);
        case AddressFamily::IPv6:
            return ntohs(reinterpret_cast<const sockaddr_in6*>(storage_)->sin6_port);
        case AddressFamily::Other: break;
    }
    return 0;
}

void SocketAddress::setPort(std::uint16_t port) {
    switch (family()) {
        case AddressFamily::IPv4:
            reinterpret_cast<sockaddr_in*>(storage_)->sin_port = htons(port);
            break;
        case AddressFamily::IPv6:
            reinterpret_cast<sockaddr_in6*>(storage_)->sin6_port = htons(port);
            break;
        case AddressFamily::Other: break;
    }
}

std::string resolverErrorText(int error, int systemError) {
    if (error == EAI_SYSTEM) {
        return errorText(systemError);
    }
    return ::gai_strerror(error);
}

ResolverResult<std::vector<SocketAddress>> resolveTcp(const std::string& host,
                                                      const std::string& service,
                                                      ResolvePurpose purpose) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = purpose == ResolvePurpose::Listen ? AI_PASSIVE : 0;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(),
                                 service.empty() ? nullptr : service.c_str(), &hints, &list);
    if (rc != 0) {
        return {.error = rc, .systemError = rc == EAI_SYSTEM ? errno : 0};
    }
    ResolverResult<std::vector<SocketAddress>> result;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addrlen > SocketAddress::kCapacity) {
            continue;
        }
        SocketAddress address;
        std::memcpy(address.data(), entry->ai_addr, entry->ai_addrlen);
        address.setSize(entry->ai_addrlen);
        result.value.push_back(address);
    }
    ::freeaddrinfo(list);
    return result;
}

ResolverResult<NumericName> numericName(const SocketAddress& address) {
    std::array<char, NI_MAXHOST> host{};
    std::array<char, NI_MAXSERV> service{};
    const int rc = ::getnameinfo(asSockaddr(address), address.size(), host.data(), host.size(),
                                 service.data(), service.size(), NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0) {
        return {.error = rc, .systemError = rc == EAI_SYSTEM ? errno : 0};
    }
    return {.value = {.host = host.data(), .service = service.data()}};
}

SysResult<Fd> openTcpSocket(AddressFamily family) {
    const int fd = ::socket(nativeFamily(family), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        return {.error = errno};
    }
    return {.value = Fd(fd)};
}

SysStatus setReuseAddress(const Fd& socket) {
    return setIntOption(socket, SOL_SOCKET, SO_REUSEADDR, 1);
}

SysStatus setIPv6Only(const Fd& socket, bool ipv6Only) {
    return setIntOption(socket, IPPROTO_IPV6, IPV6_V6ONLY, ipv6Only ? 1 : 0);
}

SysStatus setNoDelay(const Fd& socket) { return setIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1); }

SysStatus bindSocket(const Fd& socket, const SocketAddress& address) {
    if (::bind(socket.get(), asSockaddr(address), address.size()) != 0) {
        return {errno};
    }
    return {};
}

SysStatus listenSocket(const Fd& socket, int backlog) {
    if (::listen(socket.get(), backlog) != 0) {
        return {errno};
    }
    return {};
}

int maxListenBacklog() { return SOMAXCONN; }

SysResult<SocketAddress> localAddress(const Fd& socket) {
    SocketAddress address;
    socklen_t size = SocketAddress::kCapacity;
    if (::getsockname(socket.get(), asSockaddr(address), &size) != 0) {
        return {.error = errno};
    }
    address.setSize(size);
    return {.value = address};
}

SysResult<AcceptedConnection> acceptConnection(const Fd& listener) {
    for (;;) {
        AcceptedConnection accepted;
        socklen_t size = SocketAddress::kCapacity;
        const int fd = ::accept4(listener.get(), asSockaddr(accepted.peer), &size, SOCK_CLOEXEC);
        if (fd >= 0) {
            accepted.socket.reset(fd);
            accepted.peer.setSize(size);
            return {.value = std::move(accepted)};
        }
        if (errno == EINTR) {
            continue;
        }
        return {.error = errno == EWOULDBLOCK ? EAGAIN : errno};
    }
}

SysStatus connectSocket(const Fd& socket, const SocketAddress& address) {
    if (::connect(socket.get(), asSockaddr(address), address.size()) == 0) {
        return {};
    }
    if (errno != EINTR) {
        return {errno};
    }
    // The connection attempt goes on after the interruption; its end makes the socket
    // writable, and SO_ERROR then holds its outcome.
    const auto ready = pollOne(socket.get(), kPollWritable, kWaitForever);
    if (!ready.ok()) {
        return {ready.error};
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return {errno};
    }
    return {error};
}

SysStatus shutdownSocket(const Fd& socket) {
    if (::shutdown(socket.get(), SHUT_RDWR) != 0) {
        return {errno};
    }
    return {};
}

IoResult sendBytes(const Fd& socket, std::string_view bytes, MoreToFollow more) {
    return transfer(
        [&] { return ::send(socket.get(), bytes.data(), bytes.size(), sendFlags(more)); });
}

IoResult sendBuffers(const Fd& socket, std::span<const std::string_view> buffers,
                     MoreToFollow more) {
    std::array<iovec, kMaxBuffersPerSend> vectors;
    const std::size_t count = std::min(buffers.size(), vectors.size());
    for (std::size_t i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<char*>(buffers[i].data());
        vectors[i].iov_len = buffers[i].size();
    }
    msghdr message{};
    message.msg_iov = vectors.data();
    message.msg_iovlen = count;
    return transfer([&] { return ::sendmsg(socket.get(), &message, sendFlags(more)); });
}

IoResult sendFileBytes(const Fd& socket, const Fd& file, std::uint64_t offset, std::size_t count) {
    // The kernel moves the offset it is given, never the file's position: the file may be
    // sent to several sockets at once.
    auto position = static_cast<off_t>(offset);
    return transfer([&] { return ::sendfile(socket.get(), file.get(), &position, count); });
}

IoResult receiveBytes(const Fd& socket, std::span<char> buffer) {
    return transfer(
        [&] { return ::recv(socket.get(), buffer.data(), buffer.size(), MSG_DONTWAIT); });
}

IoResult receiveUrgentBytes(const Fd& socket, std::span<char> buffer) {
    return transfer(
        [&] { return ::recv(socket.get(), buffer.data(), buffer.size(), MSG_OOB | MSG_DONTWAIT); });
}

}  // namespace platform
