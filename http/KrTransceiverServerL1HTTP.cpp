#include "http/KrTransceiverServerL1HTTP.h"

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string_view>

#include "foundation/KrStringBuf.h"
#include "foundation/Strings.h"
#include "http/HTTPTables.h"
#include "http/KrXHeader.h"
#include "http/LayerSupport.h"
#include "http/LoopbackHost.h"
#include "http/RequestSite.h"
#include "net/KrProtocol.h"
#include "net/KrRequestHandler.h"
#include "net/KrServerDescription.h"
#include "net/KrTransceiver.h"
#include "net/KrTransceiverConnection.h"
#include "platform/Clock.h"

namespace {

std::int64_t nanosecondsOf(std::chrono::milliseconds duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

// Marks the connection's request in progress while its bytes are read and the requests they
// complete are answered, so that the hub does not take the connection to make room meanwhile;
// afterwards as the reading left it.
class RequestInProgress {
public:
    explicit RequestInProgress(KrTransceiverConnection& connection) : connection_(connection) {
        connection_.setRequestInProgress(true);
    }
    ~RequestInProgress() { connection_.setRequestInProgress(stays_); }
    RequestInProgress(const RequestInProgress&) = delete;
    RequestInProgress& operator=(const RequestInProgress&) = delete;

    void staysInProgress(bool stays) { stays_ = stays; }

private:
    KrTransceiverConnection& connection_;
    bool stays_ = false;
};

// A text from the peer as the access-log line writes it: control bytes (C1 included), DEL,
// bytes outside well-formed UTF-8 and the double quote as \xHH, so that no request can end
// the line or its quoted field early, forge a line of its own, or send escape sequences to
// the terminal that shows the log.
void appendLogField(std::string& line, std::string_view text) {
    kr::appendEscapedText(line, text, kr::QuoteEscaping::kEscape);
}

// The first value of a field of the request an answer is for, or "-".
void appendRequestFieldOrDash(std::string& line, const KrXHeader& answer, std::string_view name) {
    const std::string_view value = answer.requestHeaderValue(name);
    if (value.empty()) {
        line += '-';
    } else {
        appendLogField(line, value);
    }
}

}  // namespace

KrTransceiverServerL1HTTP::KrTransceiverServerL1HTTP(const KrServerSetup& setup)
    : KrTransceiverServerL1HTTP(setup, kr::kProtocolHTTP) {}

KrTransceiverServerL1HTTP::KrTransceiverServerL1HTTP(const KrServerSetup& setup,
                                                     std::uint32_t protocol)
    : KrTransceiverServerL0Socket(setup),
      protocol_(protocol),
      loopbackOnly_(serverRole() &&
                    kr::isLoopbackAddress(
                        description() ? description()->setting("tcp_address", kDefaultAddress)
                                      : std::string(kDefaultAddress))) {}

KrTransceiverServerL1HTTP::~KrTransceiverServerL1HTTP() {
    // The buffer job calls receive: it must end before the partial map goes.
    shutdown();
}

std::size_t KrTransceiverServerL1HTTP::partialCount() const {
    std::lock_guard lock(partialMutex_);
    return partial_.size();
}

void KrTransceiverServerL1HTTP::bufferIn(const std::string& connectionName) {
    pushBuffer(connectionName, name());
}

bool KrTransceiverServerL1HTTP::onMessage(const KrJobMessage& message) {
    KrTransceiverServerL0Socket::onMessage(message);
    if (message.type == KrJobMessage::kConnectionRemoved ||
        message.type == KrJobMessage::kExpired) {
        forgetConnection(message.text);
    }
    return true;
}

void KrTransceiverServerL1HTTP::forgetConnection(const std::string& connectionName) {
    std::shared_ptr<KrXHeader> partial;
    std::string linkName;
    {
        std::lock_guard lock(partialMutex_);
        if (const auto found = partial_.find(connectionName); found != partial_.end()) {
            partial = std::move(found->second.request);
            partial_.erase(found);
        }
        if (const auto found = linkNames_.find(connectionName); found != linkNames_.end()) {
            linkName = std::move(found->second);
            linkNames_.erase(found);
        }
    }
    if (linkName.empty()) {
        return;
    }
    KrTransceiver* owner = hub();
    if (const auto handler = owner != nullptr ? owner->findClient(name()) : nullptr) {
        handler->unsubscribe(linkName);  // the owner dissolves its name
    }
}

KrTransceiverServerL1HTTP::PartialState KrTransceiverServerL1HTTP::partialRequest(
    const std::string& connectionName) const {
    std::lock_guard lock(partialMutex_);
    const auto found = partial_.find(connectionName);
    if (found == partial_.end()) {
        return {};
    }
    const PartialRequest& partial = found->second;
    return {partial.request, partial.whole, partial.bodyStart, partial.body.id()};
}

void KrTransceiverServerL1HTTP::startBody(const std::string& connectionName, std::int64_t bodyStart,
                                          kr::IncompleteBodies::Body body) {
    std::lock_guard lock(partialMutex_);
    // A connection that went meanwhile has no partial request: the body leaves at once.
    if (const auto found = partial_.find(connectionName); found != partial_.end()) {
        found->second.bodyStart = bodyStart;
        found->second.body = std::move(body);
    }
}

bool KrTransceiverServerL1HTTP::endBody(const std::string& connectionName) {
    kr::IncompleteBodies::Body body;
    {
        std::lock_guard lock(partialMutex_);
        const auto found = partial_.find(connectionName);
        if (found == partial_.end()) {
            return true;  // dropped meanwhile, its body with it: nothing says it was cut
        }
        found->second.bodyStart = 0;
        body = std::move(found->second.body);
    }
    return body.finish();
}

void KrTransceiverServerL1HTTP::holdWhole(const std::string& connectionName, bool held) {
    std::lock_guard lock(partialMutex_);
    if (const auto found = partial_.find(connectionName); found != partial_.end()) {
        found->second.whole = held;
    }
}

void KrTransceiverServerL1HTTP::dropPartialRequest(const std::string& connectionName) {
    std::lock_guard lock(partialMutex_);
    partial_.erase(connectionName);
}

std::shared_ptr<KrXHeader> KrTransceiverServerL1HTTP::startRequest(
    const std::string& connectionName, KrTransceiverConnection& connection,
    KrRequestHandler& handler) {
    auto request = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, protocol_);
    std::string linkName = connection.subscription();
    {
        std::lock_guard lock(partialMutex_);
        if (linkName.empty()) {
            std::string& registered = linkNames_[connectionName];
            if (registered.empty()) {
                registered = handler.registerJobDefault("receive_" + handler.id());
            }
            linkName = registered;
        }
        partial_[connectionName] = PartialRequest{.request = request};
    }
    request->setMessageKind(KrXHeader::kRequest);
    request->appendRoute(connectionName);
    request->appendRoute(id());
    request->setPeerMap(connection.sharedPeerMap());
    request->setConnectionName(linkName);
    request->subscribe(linkName);
    return request;
}

void KrTransceiverServerL1HTTP::receive(const std::string& connectionName,
                                        const std::string& serverName) {
    const auto parties = kr::layers::noticeParties(*this, connectionName, serverName);
    if (!parties) {
        return;
    }
    RequestInProgress inProgress(*parties.connection);
    inProgress.staysInProgress(
        readRequests(connectionName, *parties.connection, *parties.handler, *parties.hub));
    // A connection removed meanwhile has been announced to this server already: what was
    // filed for it after the announcement is freed here.
    if (!parties.hub->findConnection(connectionName)) {
        forgetConnection(connectionName);
    }
}

bool KrTransceiverServerL1HTTP::readRequests(const std::string& connectionName,
                                             KrTransceiverConnection& connection,
                                             KrRequestHandler& handler, KrTransceiver& owner) {
    const KrXHeader::HeadCallback acceptHead = [this, &handler](KrXHeader& message) {
        if (!hostAccepted(message) || !siteAccepted(message)) {
            return false;  // refused: the connection closes without an answer
        }
        try {
            return handler.acceptHead(message);
        } catch (...) {
            return false;
        }
    };
    // Not a structured binding: the lambda below captures the request.
    PartialState partial = partialRequest(connectionName);
    std::shared_ptr<KrXHeader> request = std::move(partial.request);
    bool whole = partial.whole;
    std::int64_t bodyStart = partial.bodyStart;
    kr::IncompleteBodies::BodyId body = partial.body;
    // The connection's new bytes, read into the request it has.
    const auto readOn = [&] {
        std::lock_guard parsing(request->messageMutex());
        connection.takeInput(request->input());
        return request->readMessage(acceptHead);
    };
    int result = KrXHeader::kComplete;
    if (!request) {
        request = nextRequest(connectionName, connection, handler, nullptr, acceptHead, result);
        if (!request) {
            return false;
        }
    } else if (!whole) {
        result = readOn();
    }
    // One request after the other: the bytes after a complete request are the next one's.
    for (;;) {
        if (result == KrXHeader::kNeedMore &&
            !awaitRest(connectionName, connection, *request, owner, bodyStart, body)) {
            result = KrXHeader::kRefused;
        }
        if (result == KrXHeader::kRefused) {
            dropPartialRequest(connectionName);
            connection.expire();
            return false;
        }
        if (result == KrXHeader::kNeedMore) {
            return request->headComplete();
        }
        // Complete: nothing more to wait for, and nothing of it incomplete to hold.
        connection.clearRequestDeadline();
        if (bodyStart != 0) {
            bodyStart = 0;
            body = 0;
            if (!endBody(connectionName)) {
                // Cut to make room for another body before it was whole: its connection is
                // closing, and what it asked for is not done.
                dropPartialRequest(connectionName);
                connection.expire();
                return false;
            }
        }
        if (request->messageKind() == KrXHeader::kUnrecognised) {
            // Neither a request nor an answer (HEAD, OPTIONS, PUT, any line that is no
            // request line): nobody answers it, and a peer that sent it waits for an
            // answer. Closed at once; what came behind it goes with it, since where this
            // message ends cannot be known.
            dropPartialRequest(connectionName);
            connection.expire();
            return false;
        }
        if (connection.outputSize() >= KrTransceiverConnection::kOutputLimit) {
            // The peer is not reading its answers: this request waits until the output has
            // drained and the connection gives notice again. The bytes behind it stay in the
            // connection, whose input limit bounds them; it is not a request nobody takes.
            holdWhole(connectionName, true);
            connection.noticeWhenDrained();
            return true;
        }
        if (servingWhereReceived() && !handler.answersAtOnce(*request)) {
            // Read on the receive job, which would keep every other connection waiting while
            // a program runs or the application works: the buffer job hands it over, with a
            // notice of its own, as a drained output gives one.
            holdWhole(connectionName, true);
            connection.holdNotice();
            pushBuffer(connectionName, name());
            return true;
        }
        if (!kr::layers::handOver(handler, secondText(), request)) {
            // Nobody takes it: it stays, and later bytes wait behind it (bounded by the
            // message) until the connection closes or times out. One that was held whole is
            // held no more: what came behind it meanwhile is read now, as later bytes will
            // be, which takes the notice it was held with.
            if (whole) {
                holdWhole(connectionName, false);
                if (readOn() == KrXHeader::kRefused) {
                    dropPartialRequest(connectionName);
                    connection.expire();
                }
            }
            return false;
        }
        dropPartialRequest(connectionName);
        if (request->messageKind() == KrXHeader::kAnswer && request->answerReceived()) {
            std::lock_guard delivery(deliveryLock());
            connection.reset();
            owner.reportTaskDone(request->route(1));
        }
        if (request->closeRequested()) {
            connection.closeWhenDrained();
            return false;
        }
        request = nextRequest(connectionName, connection, handler, request->takePipelinedBytes(),
                              acceptHead, result);
        if (!request) {
            return false;
        }
        whole = false;
    }
}

bool KrTransceiverServerL1HTTP::awaitRest(const std::string& connectionName,
                                          KrTransceiverConnection& connection, KrXHeader& request,
                                          KrTransceiver& owner, std::int64_t& bodyStart,
                                          kr::IncompleteBodies::BodyId& body) {
    const KrTransceiver::Timing& timing = owner.timing();
    const std::int64_t now = platform::steadyNanoseconds();
    if (!request.headComplete()) {
        // Counted from the first byte, however the rest trickles in and however long the
        // bytes waited for this layer to read them.
        if (connection.requestDeadline() == 0) {
            const std::int64_t start = connection.requestStart();
            connection.setRequestDeadline((start != 0 ? start : now) +
                                          nanosecondsOf(timing.headTimeLimit));
        }
        return true;
    }
    if (bodyStart == 0) {
        bodyStart = now;
        // An answer this process asked for is never cut for another's body.
        auto begun = owner.incompleteBodies().begin(
            connectionName, bodyStart,
            connection.outgoing() ? kr::IncompleteBodies::Cut::kNever
                                  : kr::IncompleteBodies::Cut::kAllowed);
        body = begun.id();
        startBody(connectionName, bodyStart, std::move(begun));
    }
    // What has arrived of the body is what it holds, never more than it declares; a body
    // that declares much and sends little holds little.
    const auto arrived = static_cast<std::uint64_t>(request.body().unreadSize());
    if (!owner.holdIncompleteBody(body, std::min(arrived, request.declaredLength()), now)) {
        return false;
    }
    // What has come of the body must have taken no longer than the minimum rate allows: the
    // deadline is when the bytes received so far stop being enough.
    const auto received = static_cast<std::int64_t>(arrived);
    const auto rate = static_cast<std::int64_t>(std::max<std::uint64_t>(timing.bodyMinimumRate, 1));
    const std::int64_t earned = received * 1'000'000'000 / rate;
    connection.setRequestDeadline(bodyStart + std::max(nanosecondsOf(timing.bodyGrace), earned));
    return true;
}

bool KrTransceiverServerL1HTTP::hostAccepted(const KrXHeader& message) const {
    if (!loopbackOnly_ || message.messageKind() != KrXHeader::kRequest) {
        return true;
    }
    // Without a Host field (HTTP/1.0) a request names no other site.
    return std::ranges::all_of(message.headerValues("host"),
                               [](const std::string& value) { return kr::isLoopbackHost(value); });
}

bool KrTransceiverServerL1HTTP::siteAccepted(const KrXHeader& message) {
    if (message.messageKind() != KrXHeader::kRequest) {
        return true;
    }
    return kr::acceptsSiteOf({.isGet = message.methodCode() == KrXHeader::kMethodGet,
                              .fetchSite = message.headerValues("sec-fetch-site"),
                              .fetchMode = message.headerValues("sec-fetch-mode"),
                              .fetchDest = message.headerValues("sec-fetch-dest"),
                              .origin = message.headerValues("origin"),
                              .host = message.headerValues("host")});
}

std::shared_ptr<KrXHeader> KrTransceiverServerL1HTTP::nextRequest(
    const std::string& connectionName, KrTransceiverConnection& connection,
    KrRequestHandler& handler, std::unique_ptr<KrStringBuf> bytes,
    const KrXHeader::HeadCallback& acceptHead, int& result) {
    if (bytes == nullptr) {
        bytes = std::make_unique<KrStringBuf>();
    }
    connection.takeInput(*bytes);
    if (bytes->unreadSize() == 0) {
        return nullptr;  // new bytes come with a notice of their own
    }
    auto request = startRequest(connectionName, connection, handler);
    std::lock_guard parsing(request->messageMutex());
    request->setBody(std::move(bytes));
    result = request->readMessage(acceptHead);
    return request;
}

bool KrTransceiverServerL1HTTP::handle(const std::string& connectionName,
                                       const std::shared_ptr<KrTransceiverMessage>& message) {
    const auto answer = std::dynamic_pointer_cast<KrXHeader>(message);
    if (!answer) {
        return KrTransceiverServerL0Socket::handle(connectionName, message);
    }
    const std::string replyName = answer->connectionName();
    if (answer->messageKind() == KrXHeader::kRequest) {
        dropPartialRequest(connectionName);
    }
    const auto target = kr::layers::answerTarget(*this, connectionName, replyName);
    if (!target.armed) {
        return false;
    }
    if (!target.connection) {
        unsubscribe(replyName);
        return true;
    }
    KrTransceiverConnection& connection = *target.connection;

    std::uint64_t bytesSent = 0;
    auto head = std::make_unique<KrStringBuf>();
    std::ostream headOut(head.get());
    if (answer->writeHeader(headOut)) {
        bytesSent += static_cast<std::uint64_t>(head->unreadSize());
        // With more notices waiting, this buffer job is what holds the server up, and the
        // send job writes the answer meanwhile; otherwise it goes at once, without a
        // hand-over.
        const auto writer = busy() ? KrTransceiverConnection::Writer::SendJob
                                   : KrTransceiverConnection::Writer::ThisThread;
        if (auto file = answer->takeFile()) {
            // The head announced the size the file had when it was checked: that many bytes
            // follow, sent from the descriptor as the peer takes them, or the connection
            // closes short of them.
            bytesSent += file->size;
            connection.queueOutput(head, std::move(file->fd), file->size, writer,
                                   std::move(file->descriptor));
        } else {
            auto body = answer->takeBody();
            if (body) {
                bytesSent += static_cast<std::uint64_t>(body->unreadSize());
            }
            connection.queueOutput(head, body, writer);
        }
    }

    KrServerCallback_t event;
    event.state = KrServerCallback_t::kAccessLog;
    event.values["logging"] = accessLogLine(*answer, bytesSent);
    report(event);
    unsubscribe(replyName);
    return true;
}

std::string KrTransceiverServerL1HTTP::accessLogLine(const KrXHeader& answer,
                                                     std::uint64_t bytesSent) {
    // Put together in one string: a line for every request.
    std::string line;
    line.reserve(160);
    const auto peer = answer.peerMap().find("remoteaddress");
    line += peer != answer.peerMap().end() ? std::string_view(peer->second) : "none";
    line += " - ";
    line += KrURLParts::schemeName(answer.protocol());
    line += " - [";
    line += answer.timeStampText();
    line += "] \"";
    appendLogField(line, answer.requestText());
    line += "\" --> ";
    line += std::to_string(answer.status());
    line += ' ';
    line += std::to_string(bytesSent);
    line += " \"";
    appendRequestFieldOrDash(line, answer, "referer");
    line += "\" \"";
    appendRequestFieldOrDash(line, answer, "user-agent");
    line += '"';
    return line;
}
