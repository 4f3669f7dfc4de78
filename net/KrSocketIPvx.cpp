#include "net/KrSocketIPvx.h"

#include <errno.h>

#include <array>
#include <chrono>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <vector>

#include "foundation/Diagnostics.h"
#include "foundation/KrLogStreams.h"
#include "platform/FileSystem.h"
#include "platform/Poll.h"
#include "platform/Socket.h"
#include "platform/SysResult.h"

std::atomic<std::uint32_t> KrSocketIPvx::objectCount_{0};

namespace {

// The descriptor a listener keeps for a peer that comes when no other is left.
platform::Fd openSpareDescriptor() {
    auto spare = platform::openForReading("/dev/null");
    return spare.ok() ? std::move(spare.value) : platform::Fd();
}

bool isWildcardAddress(const std::string& address) {
    return address.empty() || address == "*" || address == "0.0.0.0" || address == "::";
}

// A listening socket bound to address, or an empty one when any step fails. dualStack
// makes an IPv6 socket take IPv4 peers too; any other IPv6 socket takes IPv6 peers only,
// so that an IPv4 socket can share its port.
platform::Fd openListener(const platform::SocketAddress& address, bool dualStack, int backlog) {
    auto socket = platform::openTcpSocket(address.family());
    if (!socket.ok()) {
        return {};
    }
    platform::Fd fd = std::move(socket.value);
    if (!platform::setReuseAddress(fd).ok()) {
        return {};
    }
    if (address.family() == platform::AddressFamily::IPv6) {
        // Set explicitly either way: the system default (net.ipv6.bindv6only) varies.
        // Should the option be refused, the socket stays as the system made it and the
        // IPv4 socket covers what it does not.
        (void)platform::setIPv6Only(fd, !dualStack);
    }
    // Non-blocking, so that a peer that gives up between the wait and the accept never
    // leaves the accept hanging.
    if (!platform::setNonBlocking(fd).ok() || !platform::bindSocket(fd, address).ok() ||
        !platform::listenSocket(fd, backlog).ok()) {
        return {};
    }
    return fd;
}

void closeSocket(platform::Fd& fd) {
    if (fd.valid()) {
        (void)platform::shutdownSocket(fd);
        fd.reset();
    }
}

}  // namespace

KrSocketIPvx::KrSocketIPvx() { objectCount_.fetch_add(1); }

KrSocketIPvx::~KrSocketIPvx() {
    closeSocket(primary_);
    closeSocket(ipv4Listener_);
    objectCount_.fetch_sub(1);
}

std::uint32_t KrSocketIPvx::objectCount() { return objectCount_.load(); }

int KrSocketIPvx::handle() const { return primary_.valid() ? primary_.get() : ipv4Listener_.get(); }

int KrSocketIPvx::send(const char* bytes, std::size_t length, std::size_t& sent) {
    const std::string_view buffer(bytes, length);
    return sendBuffers(std::span(&buffer, 1), sent);
}

int KrSocketIPvx::sendBuffers(std::span<const std::string_view> buffers, std::size_t& sent,
                              platform::MoreToFollow more) {
    if (!primary_.valid()) {
        kr::errLine("no socket");
        return kSendFailed;
    }
    const auto result = buffers.size() == 1 ? platform::sendBytes(primary_, buffers[0], more)
                                            : platform::sendBuffers(primary_, buffers, more);
    if (!result.ok()) {
        sent = 0;
        return kSendFailed;
    }
    sent = result.bytes;
    std::size_t total = 0;
    for (const auto& buffer : buffers) {
        total += buffer.size();
    }
    return sent == total ? kSuccess : kPartialSend;
}

int KrSocketIPvx::sendFile(const platform::Fd& file, std::uint64_t offset, std::size_t count,
                           std::size_t& sent) {
    sent = 0;
    if (!primary_.valid()) {
        kr::errLine("no socket");
        return kSendFailed;
    }
    if (!nonBlocking_.load()) {
        if (!platform::setNonBlocking(primary_).ok()) {
            return kSendFailed;
        }
        nonBlocking_.store(true);
    }
    const auto result = platform::sendFileBytes(primary_, file, offset, count);
    if (!result.ok()) {
        return kSendFailed;
    }
    if (result.wouldBlock) {
        return kPartialSend;
    }
    if (result.bytes == 0 && count > 0) {
        return kSendFailed;  // the file ends before the bytes it was to hold
    }
    sent = result.bytes;
    return sent == count ? kSuccess : kPartialSend;
}

int KrSocketIPvx::receive(char* buffer, std::size_t capacity, std::size_t& received) {
    received = 0;
    lastError_ = 0;
    if (capacity == 0) {
        return 0;
    }
    const auto result = platform::receiveBytes(primary_, std::span(buffer, capacity));
    if (!result.ok()) {
        kr::errLine("KrSocketIPvx::Receive(): error in read (errno=", result.error, ") ",
                    platform::errorText(result.error));
        lastError_ = result.error;
        return 0;
    }
    if (!result.wouldBlock && result.bytes == 0) {
        closed_ = true;
    }
    received = result.bytes;
    return 0;
}

int KrSocketIPvx::receiveWhenReady(char* buffer, std::size_t capacity, std::size_t& received) {
    if (waitReadable(1, primary_.get())) {
        return receive(buffer, capacity, received);
    }
    received = 0;
    return 0;
}

int KrSocketIPvx::receiveUrgent(char* buffer, std::size_t capacity, std::size_t& received) {
    const auto result = platform::receiveUrgentBytes(primary_, std::span(buffer, capacity));
    received = result.ok() ? result.bytes : 0;
    return 0;
}

bool KrSocketIPvx::waitReadable(int timeoutMilliseconds, int socket) {
    const auto ready = platform::pollOne(socket, platform::kPollReadable | platform::kPollUrgent,
                                         std::chrono::milliseconds(timeoutMilliseconds));
    lastWait_ = !ready.ok() || ready.value != 0;
    return ready.ok() && ready.value != 0;
}

int KrSocketIPvx::listen(const std::string& address, std::uint16_t& port, int backlog) {
    const bool wildcard = isWildcardAddress(address);
    const auto resolved = platform::resolveTcp(
        wildcard ? std::string() : address, std::to_string(port), platform::ResolvePurpose::Listen);
    if (!resolved.ok()) {
        kr::errLine("getaddrinfo: ", resolved.errorText());
        return kListenFailed;
    }
    // IPv6 first; the IPv4 socket then takes the port the IPv6 one was given, so that both
    // families reach the server on the one port reported.
    std::uint16_t boundPort = port;
    for (const auto family : {platform::AddressFamily::IPv6, platform::AddressFamily::IPv4}) {
        platform::Fd& socket = family == platform::AddressFamily::IPv6 ? primary_ : ipv4Listener_;
        for (platform::SocketAddress candidate : resolved.value) {
            if (candidate.family() != family) {
                continue;
            }
            candidate.setPort(boundPort);
            socket = openListener(candidate, wildcard, backlog);
            if (socket.valid()) {
                break;
            }
        }
        if (!socket.valid()) {
            continue;
        }
        if (boundPort == 0) {
            const auto local = platform::localAddress(socket);
            if (local.ok()) {
                boundPort = local.value.port();
            }
        }
        KrLogStreams::stream(1) << "bound at port number " << boundPort << std::endl;
    }
    if (!primary_.valid() && !ipv4Listener_.valid()) {
        kr::errLine("Could not bind");
        return kListenFailed;
    }
    port = port_ = boundPort;
    listening_ = true;
    spare_ = openSpareDescriptor();
    return kSuccess;
}

int KrSocketIPvx::accept(KrSocketIPvx& accepted, int timeoutMilliseconds,
                         const AcceptFilter& filter, int wakeDescriptor) {
    // The listening sockets do not block: during a burst of connects a peer waits in the
    // backlog already, and is taken without a wait first.
    bool refusedAtOnce = false;
    bool taken = (primary_.valid() && acceptFrom(primary_, accepted, refusedAtOnce)) ||
                 (ipv4Listener_.valid() && acceptFrom(ipv4Listener_, accepted, refusedAtOnce));
    if (taken) {
        lastWait_ = true;
    } else {
        std::array<platform::PollEntry, 3> entries{{
            {.fd = primary_.get(), .wanted = platform::kPollReadable},
            {.fd = ipv4Listener_.get(), .wanted = platform::kPollReadable},
            {.fd = wakeDescriptor, .wanted = platform::kPollReadable},
        }};
        const auto polled =
            platform::pollDescriptors(entries, std::chrono::milliseconds(timeoutMilliseconds));
        const bool woken = entries[2].ready != 0;
        lastWait_ = !polled.ok() || polled.value > (woken ? 1 : 0);
        if (!polled.ok() || polled.value == 0) {
            return -1;
        }
        taken = (entries[0].ready != 0 && acceptFrom(primary_, accepted, refusedAtOnce)) ||
                (entries[1].ready != 0 && acceptFrom(ipv4Listener_, accepted, refusedAtOnce));
    }
    if (!taken) {
        if (refusedAtOnce) {
            lastWait_ = false;  // the peer was answered, by a close
        }
        return -1;
    }
    if (!filter(KrHostInfo_t{.host = accepted.peerHost_, .port = accepted.peerPort_})) {
        closeSocket(accepted.primary_);
        accepted.connected_ = false;
        accepted.closed_ = true;
        return -1;
    }
    return accepted.primary_.get();
}

bool KrSocketIPvx::acceptFrom(const platform::Fd& listener, KrSocketIPvx& accepted,
                              bool& refusedAtOnce) {
    auto connection = platform::acceptConnection(listener);
    if (!connection.ok()) {
        if ((connection.error == EMFILE || connection.error == ENFILE) && spare_.valid()) {
            spare_.reset();
            refusedAtOnce = platform::acceptConnection(listener).ok();  // closed at once
            spare_ = openSpareDescriptor();
        }
        return false;
    }
    const auto name = platform::numericName(connection.value.peer);
    if (!name.ok()) {
        return false;  // the new socket closes with connection
    }
    (void)platform::setNoDelay(connection.value.socket);
    closeSocket(accepted.primary_);
    accepted.primary_ = std::move(connection.value.socket);
    accepted.peerHost_ = name.value.host;
    accepted.peerPort_ = name.value.service;
    accepted.connected_ = true;
    accepted.closed_ = false;
    return true;
}

int KrSocketIPvx::connect(const std::string& host, std::uint16_t port) {
    const auto resolved =
        platform::resolveTcp(host, std::to_string(port), platform::ResolvePurpose::Connect);
    if (!resolved.ok()) {
        kr::errLine("getaddrinfo: ", resolved.errorText());
        return kConnectFailed;
    }
    closeSocket(primary_);
    for (const platform::SocketAddress& candidate : resolved.value) {
        auto socket = platform::openTcpSocket(candidate.family());
        if (!socket.ok()) {
            continue;
        }
        if (platform::connectSocket(socket.value, candidate).ok()) {
            (void)platform::setNoDelay(socket.value);
            primary_ = std::move(socket.value);
            closed_ = false;
            return kSuccess;
        }
    }
    kr::errLine("Could not connect, fd: ", primary_.get());
    return kConnectFailed;
}

namespace kr {

std::uint16_t tcpPortFromText(const std::string& text) {
    unsigned long value;
    try {
        value = std::stoul(text);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("invalid stoul argument");
    } catch (const std::out_of_range&) {
        throw std::out_of_range("stoul argument out of range");
    }
    if (value > std::numeric_limits<std::uint16_t>::max()) {
        throw std::out_of_range("stoul argument out of range");
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace kr
