#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Fd.h"
#include "platform/Socket.h"

// The peer of a connection that is being accepted, as handed to an accept filter: its
// numeric host and port texts.
struct KrHostInfo_t {
    std::string host;
    std::string port;
};

// One TCP endpoint. A listening object holds up to two listening sockets, IPv6 and IPv4; an
// accepted or connecting object holds one connected socket. Failures are printed on
// standard error and returned as codes; nothing throws.
//
// One thread at a time may receive and another send through the same object; the flags
// they touch are atomic. Listening, accepting and connecting happen before an object is
// shared.
class KrSocketIPvx {
public:
    using AcceptFilter = std::function<bool(const KrHostInfo_t&)>;

    // Return codes.
    static constexpr int kSuccess = 0;
    static constexpr int kListenFailed = 1;
    static constexpr int kConnectFailed = 2;
    static constexpr int kPartialSend = 3;  // not every byte went out; the rest is the caller's
    static constexpr int kSendFailed = 4;   // no socket, or the connection is broken

    KrSocketIPvx();
    virtual ~KrSocketIPvx();

    KrSocketIPvx(const KrSocketIPvx&) = delete;
    KrSocketIPvx& operator=(const KrSocketIPvx&) = delete;

    // One non-blocking send. sent: the bytes that went out (0 on a failure; unchanged when
    // there is no socket). A full socket buffer is not a failure: fewer bytes go out.
    virtual int send(const char* bytes, std::size_t length, std::size_t& sent);

    // One non-blocking receive; returns 0. received: the bytes that came. 0 bytes means the
    // peer closed (closed() turns true), a failure (printed; lastError() holds errno), or
    // nothing there yet (neither).
    virtual int receive(char* buffer, std::size_t capacity, std::size_t& received);

    // Waits up to 1 ms for the socket to be readable and then receives; returns 0.
    virtual int receiveWhenReady(char* buffer, std::size_t capacity, std::size_t& received);

    virtual std::string peerHost() const { return peerHost_; }
    virtual std::string peerPort() const { return peerPort_; }

    // Listens on address with the given backlog. A wildcard address ("", "*", "0.0.0.0" or
    // "::") listens on every interface: an IPv6 socket that also takes IPv4 peers, and an
    // IPv4 socket on the same port where the system keeps the families apart. Any other
    // address listens on that address only, one socket per family it resolves to. Port 0
    // lets the system choose; the chosen port is stored in port. Returns kSuccess or
    // kListenFailed.
    int listen(const std::string& address, std::uint16_t& port, int backlog);

    // Waits up to timeoutMilliseconds for a peer on the listening sockets (both families in
    // one wait) and accepts it into accepted, which then holds the connected socket and the
    // peer's texts. The filter decides whether to keep the peer; a refused peer's socket is
    // closed. Returns the accepted descriptor, or -1. A process out of descriptors still
    // takes the peer, with the one it keeps spare for this, and closes it at once: a peer
    // left in the backlog would wait unanswered until descriptors come free.
    //
    // A negative timeout waits without limit. wakeDescriptor, when given, ends the wait as
    // soon as it turns readable (a platform::WakeEvent): a listener that waits without limit
    // can still be stopped at once. It is left for its owner to drain.
    int accept(KrSocketIPvx& accepted, int timeoutMilliseconds, const AcceptFilter& filter,
               int wakeDescriptor = -1);

    // Connects to host and port, trying each resolved address in turn. Returns kSuccess or
    // kConnectFailed.
    int connect(const std::string& host, std::uint16_t port);

    // Waits up to timeoutMilliseconds for socket to be readable (or to report urgent data,
    // an error or a hang-up).
    bool waitReadable(int timeoutMilliseconds, int socket);

    // Sends several buffers, in order, in one gathering write; codes and sent as send. With
    // more, bytes that follow at once (a file behind an answer's head) may share the last
    // segment.
    int sendBuffers(std::span<const std::string_view> buffers, std::size_t& sent,
                    platform::MoreToFollow more = platform::MoreToFollow::No);

    // Sends up to count bytes of the open file from offset (sendfile: they never pass through
    // the process), without blocking. kSuccess when all went out, kPartialSend when fewer did
    // (the socket's buffer is full), kSendFailed when the socket is broken, the file cannot
    // be read, or it ends before offset + count: it shrank, and what the peer was promised
    // can no longer be sent. sent: the bytes that went out.
    int sendFile(const platform::Fd& file, std::uint64_t offset, std::size_t count,
                 std::size_t& sent);

    // One non-blocking receive of out-of-band data; returns 0. received: the bytes that came
    // (0 when there were none or the receive failed).
    int receiveUrgent(char* buffer, std::size_t capacity, std::size_t& received);

    // The descriptor to wait on: the primary socket, or the IPv4 listening socket when
    // there is no primary one; -1 when there is neither.
    int handle() const;

    std::uint16_t port() const { return port_; }
    bool listening() const { return listening_; }
    bool connected() const { return connected_; }
    bool closed() const { return closed_; }
    // The last wait found a peer that could be neither accepted nor closed (lacking even the
    // spare descriptor): the caller should pause before it tries again.
    bool lastWait() const { return lastWait_; }
    // errno of the last receive that failed; a later receive that does not fail clears it.
    int lastError() const { return lastError_; }

    // The number of socket objects alive in the process.
    static std::uint32_t objectCount();

private:
    // Accepts one waiting peer of listener into accepted; false when none could be taken.
    // refusedAtOnce: the process had no descriptor for the peer, and it was closed with the
    // spare one.
    bool acceptFrom(const platform::Fd& listener, KrSocketIPvx& accepted, bool& refusedAtOnce);

    // The socket of an IPv6 listener, or of an accepted or connected object.
    platform::Fd primary_;
    platform::Fd ipv4Listener_;
    // Of a listener: /dev/null held open, given up to take a peer when no other descriptor
    // is left, so that the peer can be closed at once, and opened again.
    platform::Fd spare_;
    std::uint16_t port_ = 0;
    bool listening_ = false;
    bool connected_ = false;
    std::atomic<bool> closed_{true};
    std::atomic<bool> lastWait_{false};
    std::atomic<int> lastError_{0};
    // The socket has been put in non-blocking mode, which sendfile needs (it takes no flag
    // for it); every other transfer asks for it per call. Set at the first file.
    std::atomic<bool> nonBlocking_{false};
    std::string peerHost_;
    std::string peerPort_;

    static std::atomic<std::uint32_t> objectCount_;
};

namespace kr {

// A "tcp_port" setting as a port number, converted as stoul does (leading blanks, digits,
// anything after them ignored). A text without digits throws std::invalid_argument
// "invalid stoul argument"; a number above 65535 throws std::out_of_range
// "stoul argument out of range".
std::uint16_t tcpPortFromText(const std::string& text);

}  // namespace kr
