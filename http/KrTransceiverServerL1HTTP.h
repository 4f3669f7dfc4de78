#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "http/KrXHeader.h"
#include "net/IncompleteBodies.h"
#include "net/KrTransceiverServerL0Socket.h"

class KrRequestHandler;
class KrTransceiver;
class KrTransceiverConnection;

// The HTTP server layer: turns the bytes a connection received into requests for the
// request handler, and writes the answers it gets back as a head and a body. Requests may
// be pipelined: the bytes after a complete request start the connection's next one, and
// answers go out in the order of the requests. Every answer is reported as an access-log
// line (event 7).
//
// A request that breaks a limit of the message (KrXHeader::kMaxHeadBytes, kMaxBodyBytes,
// kMaxParameters, kMaxPartHeadFields, a "content-length" that is not plain digits), whose head
// holds a NUL in a field or a CR that ends no line, or whose head the handler refuses closes the
// connection without an answer. So does a first line that is neither a request line of a
// method the server knows nor a status line (HEAD, OPTIONS, PUT, garbage), at once: nobody
// would answer it. An answer to a request that asked for "Connection: close" is written
// completely before the connection closes.
//
// A server whose listener is bound to a loopback address serves only requests whose Host
// fields (when there are any) all name the loopback (kr::isLoopbackHost): a page of another
// site that has rebound its name to 127.0.0.1 gets no answer, the connection closes. A
// server on a wildcard or any other address serves every Host.
//
// On every listener, a request that the browser marks as another site's (kr::acceptsSiteOf:
// "Sec-Fetch-Site", or without it an "Origin" that names another origin) is served only as
// a top-level navigation; an image, a script, a frame, a fetch or a form of another site
// gets no answer, the connection closes before anything is dispatched.
//
// A request that does not come whole is bounded in time and memory by the limits of the
// hub (KrTransceiverTiming, KrTransceiverLimits): its head must be complete within the head
// time limit of its first byte; once the head is complete, its body must keep coming at the
// minimum rate, averaged from its start, after a grace; and what has arrived of its body is
// held from the hub's budget of incomplete bytes until it is complete (KrTransceiver::
// holdIncompleteBody). Where the budget has no room, slower bodies of other connections are
// cut to make it (their connections close without an answer), or, when they are not slower
// or would not free enough, the request is refused (closed without an answer). A connection
// past such a deadline is closed like an idle one. A request that comes in one read costs
// none of this.
//
// Notices may be served where they were received (servesWhereReceived): the receive job then
// reads the request, and hands over itself only what the request handler answers at once
// (KrRequestHandler::answersAtOnce); any other complete request goes on, whole, to the buffer
// job, so that no program or application keeps the receive job from the other connections.
class KrTransceiverServerL1HTTP : public KrTransceiverServerL0Socket {
public:
    explicit KrTransceiverServerL1HTTP(const KrServerSetup& setup);
    ~KrTransceiverServerL1HTTP() override;

    // On the buffer job, or where the notice was received: reads the connection's new bytes
    // and hands every complete request to the request handler named serverName.
    void receive(const std::string& connectionName, const std::string& serverName) override;

    // Writes an answer's head and body to the connection and reports the access-log line.
    // False when the server's timeout is disarmed (nothing is written).
    bool handle(const std::string& connectionName,
                const std::shared_ptr<KrTransceiverMessage>& message) override;

    // Queues the notice for the buffer job.
    void bufferIn(const std::string& connectionName) override;

    // Beyond the transport's reactions: a removed connection's partial request is freed.
    bool onMessage(const KrJobMessage& message) override;

    // The protocol number stamped on every message this server reads.
    std::uint32_t protocol() const { return protocol_; }

    // Requests still being read (or waiting behind one that nobody took), by connection.
    std::size_t partialCount() const;

    // The access-log line of an answer that went out with bytesSent bytes.
    static std::string accessLogLine(const KrXHeader& answer, std::uint64_t bytesSent);

protected:
    KrTransceiverServerL1HTTP(const KrServerSetup& setup, std::uint32_t protocol);

    bool servesWhereReceived() const override { return true; }

private:
    // A request of a connection that is not handed over yet.
    struct PartialRequest {
        std::shared_ptr<KrXHeader> request;
        // Complete, and waiting to be handed over: until the connection's output has room
        // (it is over its limit), or for the buffer job (it was read where its notice was
        // received, and is not answered at once). The bytes behind it wait in the connection.
        bool whole = false;
        // While its body comes: when the body began (steady nanoseconds; 0 before), and its
        // place among the hub's incomplete bodies, which holds what has arrived of it until
        // the request is complete, dropped, or its connection goes.
        std::int64_t bodyStart = 0;
        kr::IncompleteBodies::Body body{};
    };
    // What the reading of a connection's bytes needs of its partial request.
    struct PartialState {
        std::shared_ptr<KrXHeader> request;  // null when there is none
        bool whole = false;
        std::int64_t bodyStart = 0;
        kr::IncompleteBodies::BodyId body = 0;
    };

    // Reads the connection's new bytes into requests and hands each complete one over. True
    // when a request stays in progress: its body is coming, or it waits for the output.
    bool readRequests(const std::string& connectionName, KrTransceiverConnection& connection,
                      KrRequestHandler& handler, KrTransceiver& owner);
    // A request that has not come whole waits for its rest within the hub's limits: sets
    // the connection's request deadline, begins its body among the hub's incomplete bodies
    // at the end of the head (bodyStart and body: when it began and its place, set then),
    // and holds what has arrived of it. False when the body may not hold that: the request
    // is refused.
    bool awaitRest(const std::string& connectionName, KrTransceiverConnection& connection,
                   KrXHeader& request, KrTransceiver& owner, std::int64_t& bodyStart,
                   kr::IncompleteBodies::BodyId& body);
    // The request still being read for the connection.
    PartialState partialRequest(const std::string& connectionName) const;
    // Files the start of the connection's body and its place among the incomplete bodies.
    void startBody(const std::string& connectionName, std::int64_t bodyStart,
                   kr::IncompleteBodies::Body body);
    // The body is complete: its place and bytes go back. False when it was cut meanwhile to
    // make room for another: the request must not be served.
    bool endBody(const std::string& connectionName);
    // The connection's request is whole and waits to be handed over, or no longer
    // (PartialRequest::whole).
    void holdWhole(const std::string& connectionName, bool held);
    // The next request of the connection: the bytes given (those after the last request)
    // and then those the connection holds, read into a new request (result: readMessage's).
    // Null when there are no bytes.
    std::shared_ptr<KrXHeader> nextRequest(const std::string& connectionName,
                                           KrTransceiverConnection& connection,
                                           KrRequestHandler& handler,
                                           std::unique_ptr<KrStringBuf> bytes,
                                           const KrXHeader::HeadCallback& acceptHead, int& result);
    // A new request for the connection, linked and routed as the handler expects, and filed
    // as its partial request. Only the buffer job files requests, so the one it later drops
    // is the one it filed.
    std::shared_ptr<KrXHeader> startRequest(const std::string& connectionName,
                                            KrTransceiverConnection& connection,
                                            KrRequestHandler& handler);
    void dropPartialRequest(const std::string& connectionName);
    void forgetConnection(const std::string& connectionName);
    // Whether a complete head may go on to the request handler as far as its Host goes.
    bool hostAccepted(const KrXHeader& message) const;
    // Whether a complete head may go on as far as the site it comes from goes
    // (kr::acceptsSiteOf), on every listener.
    static bool siteAccepted(const KrXHeader& message);

    const std::uint32_t protocol_;
    // The listener is bound to a loopback address ("tcp_address", as the listener reads it):
    // requests must name the loopback as their Host.
    const bool loopbackOnly_;

    // Guards partial_ and linkNames_. Taken only for the maps themselves, never while a
    // request is parsed or handled; nothing is locked under it but the job registry's locks
    // (a new link name is registered under it), which never call back, and the lock of the
    // hub's incomplete bodies (a partial request's body goes with it), which takes none.
    mutable std::mutex partialMutex_;
    std::map<std::string, PartialRequest> partial_;
    // The names registered for connections that had no subscription of their own; dissolved
    // when the connection goes.
    std::map<std::string, std::string> linkNames_;
};
