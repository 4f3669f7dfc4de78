#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KrStringBuf.h"
#include "http/KrHTTPMessageBlock.h"
#include "http/RequestPath.h"
#include "net/KrTransceiverMessage.h"

class KrXResponseHeader;

// One HTTP or NUXEL message: a request parsed from received bytes, the answer built for it,
// or (KrXServerHeader) the settings of a configured server. The same class reads both
// directions, a request line or a status line, and writes an answer head (or a request
// head). The protocol number it carries is what tells HTTP and NUXEL apart.
//
// Its job state marks an answer as ready: 6 ready to be written, 5 written early when the
// write-in-state-5 flag is set.
//
// A message is worked on by one job at a time: the buffer job that reads it (holding the
// message mutex while it parses), then the request handler that answers it. Status code and
// message kind are atomic since the reader, the handler and the writer touch them from
// different jobs; the head writer takes the message mutex; connection name and route list
// (of the routable message) have a lock of their own, since the hub sets them from the
// sender's thread.
class KrXHeader : public KrTransceiverMessage {
public:
    // Method codes.
    static constexpr std::uint32_t kMethodNone = 0;
    static constexpr std::uint32_t kMethodGet = 1;
    static constexpr std::uint32_t kMethodPost = 2;
    static constexpr std::uint32_t kMethodAnswer = 3;

    // Message kinds.
    static constexpr int kKindUnknown = 0;
    static constexpr int kKindAnswer = 1;   // a status line
    static constexpr int kKindRequest = 2;  // a request line

    // Job states.
    static constexpr std::uint32_t kStateWrittenEarly = 5;
    static constexpr std::uint32_t kStateAnswerReady = 6;

    // Results of readMessage, bodyComplete and parseBody.
    static constexpr int kNeedMore = 0;
    static constexpr int kRefused = 1;  // refused head, or a limit broken: close, no answer
    static constexpr int kComplete = 2;

    // What a peer may make one message hold. A head is the request line and the header
    // fields with their line ends; a body is what "content-length" declares.
    static constexpr std::uint64_t kMaxHeadBytes = 64 * 1024;
    static constexpr std::uint64_t kMaxBodyBytes = 16 * 1024 * 1024;
    // Bytes that may follow a complete message that nobody took: they could only be the
    // start of a request that is never served, so more close the connection.
    static constexpr std::uint64_t kMaxStrandedBytes = kMaxHeadBytes;
    // A multipart boundary is at most 70 characters long; a longer one is not parsed.
    static constexpr std::size_t kMaxBoundaryLength = 70;
    // Parameters one message may hold: the name=value items of its query, the fields of a
    // form body and the parts of a multipart body, together. Each costs a block of a few
    // hundred bytes, however few bytes it took on the wire, so more refuse the message.
    static constexpr std::size_t kMaxParameters = 1000;
    // Header fields the head of one multipart part may hold (a browser writes one or two),
    // for the same reason.
    static constexpr std::size_t kMaxPartHeadFields = 8;

    static constexpr std::int64_t kInitialStatus = 500;

    // Field name to its values in arrival order; ":first:" holds the first line's tokens.
    using HeaderMap = std::map<std::string, std::vector<std::string>, std::less<>>;
    using PeerMap = std::map<std::string, std::string>;
    // Called once, when the head is complete; false refuses the message.
    using HeadCallback = std::function<bool(KrXHeader&)>;

    static constexpr std::string_view kFirstLineKey = ":first:";

    KrXHeader(std::uint32_t methodCode, bool writeInState5, std::uint32_t protocol);
    ~KrXHeader() override;

    // ---- writing ----

    // Writes the head of an answer (method code 3) or a request (1 or 2) to out, under the
    // message mutex. Nothing is written (false) unless the job state is 6, or 5 with the
    // write-in-state-5 flag. A request head for any other method code throws. The body is
    // not written here: the server layer queues it behind the head.
    virtual bool writeHeader(std::ostream& out);

    // True in state 5 or 6 while the head has not been written and the status is at least
    // 100.
    virtual bool readyToWrite();

    // A new answer to this request: method code 3, the request's protocol, path, time stamp,
    // header map (as its request header map) and request text, kind 1, and the request's
    // route entries in reverse order.
    std::shared_ptr<KrXResponseHeader> createAnswer() const;

    // Appends text to the body, sets status 200 and the job state 6: how page handlers
    // answer.
    void writeAnswer(std::string_view text);

    // Takes the code only when the status table knows it.
    void setStatus(std::int64_t code);
    // Takes any code; the head writer adds one that the table lacks with an empty reason.
    void setStatusCode(std::int64_t code) { status_.store(code); }
    std::int64_t status() const { return status_.load(); }

    // The answer's body is this open file, of the size it had when it was checked: the
    // server layer sends it from its descriptor.
    void setFile(kr::ServableFile file);
    // Takes the file out, for the layer that sends it; nothing when there is none.
    std::optional<kr::ServableFile> takeFile();

    // The body starts with a CGI header block, which the head writer takes out of the body
    // and writes in place of the bare empty line.
    void setCgi(bool cgi) { cgi_ = cgi; }
    bool cgi() const { return cgi_; }

    // Written as "Location: " with status 303.
    void setRedirect(std::string target) { redirect_ = std::move(target); }

    // The body length of the last head written (or of the file set).
    std::uint64_t bodyLength() const { return bodyLength_; }

    // ---- reading (a request arrives a buffer at a time) ----

    // Parses what has been appended to the body stream since the last call: kNeedMore,
    // kRefused (the head callback refused, or a limit was broken) or kComplete. Bytes after
    // the end of the message are not part of it: they are kept as the start of the next
    // message (takePipelinedBytes).
    int readMessage(const HeadCallback& headComplete);

    // Parses one complete line (without its CR LF) from the line buffer: the first line,
    // then header fields. False ends the head: a first line that is not recognised.
    bool parseLine();

    // Path, query and query parameters of a request target.
    void splitTarget(std::string_view target);

    // The declared length against the bytes in the body stream: fewer kNeedMore, equal
    // kComplete, more kRefused.
    int bodyComplete();

    // Parses a form-encoded or multipart/form-data body into parameters, once; then enters
    // every named block in the parameter maps. kRefused or kNeedMore when the body stream
    // holds more or fewer bytes than declared; kRefused, with nothing parsed, for a message
    // the reader refused or a body over kMaxParameters or kMaxPartHeadFields.
    int parseBody();

    // Where newly received bytes go: the body stream while the message is being read; once
    // it has been reported complete, the bytes after it.
    KrStringBuf& input();

    // The bytes received after the end of this message, the next message's start; null when
    // there are none. Give them to the next message with setBody.
    std::unique_ptr<KrStringBuf> takePipelinedBytes();

    // ---- fields ----

    std::uint32_t methodCode() const { return methodCode_; }
    const std::string& path() const { return path_; }
    const std::string& query() const { return query_; }
    void setPath(std::string path) { path_ = std::move(path); }
    void setQuery(std::string query) { query_ = std::move(query); }
    // Method and target of a request, for the access-log line; "-" when unknown.
    const std::string& requestText() const { return requestText_; }
    bool closeRequested() const { return close_; }
    // Whether the head has been read to its end (its body may still be coming).
    bool headComplete() const { return !headerMode_; }
    std::uint64_t declaredLength() const { return declaredLength_; }

    const HeaderMap& headerMap() const { return headers_ ? *headers_ : noHeaders(); }
    // The first value of a field of this message, or "".
    std::string headerValue(std::string_view name) const;
    // Every value of a field of this message, in the order they came; none without it.
    std::span<const std::string> headerValues(std::string_view name) const;
    // The first value of a field of the request this answer is for, or "". The request's
    // fields never change once an answer shares them, so the view lasts as the answer does.
    std::string_view requestHeaderValue(std::string_view name) const;
    const HeaderMap& requestHeaderMap() const {
        return requestHeaders_ ? *requestHeaders_ : noHeaders();
    }

    // The body stream, made on first use.
    KrStringBuf& body();
    bool hasBody() const { return body_ != nullptr; }
    // Takes the body stream out; the message is left without one.
    std::unique_ptr<KrStringBuf> takeBody();
    void setBody(std::unique_ptr<KrStringBuf> body) { body_ = std::move(body); }

    // Parameters. All named ones (query and body), the body's, the query's, and every block
    // by its position as decimal text.
    bool getParameter(const std::string& name, std::string& value) const;
    const KrHTTPMessageBlockDisposition& parameters() const { return allParameters_; }
    const KrHTTPMessageBlockDisposition& bodyParameters() const { return bodyParameters_; }
    const KrHTTPMessageBlockDisposition& queryParameters() const { return queryParameters_; }
    const KrHTTPMessageBlockDisposition& blocksByPosition() const { return blocksByPosition_; }
    const std::vector<std::unique_ptr<KrHTTPMessageBlock>>& blocks() const { return blocks_; }

    // The peer data of the connection, copied in by the server layer; shared, since it
    // never changes (the connection's, the request's and the answer's are one).
    const PeerMap& peerMap() const;
    void setPeerMap(PeerMap peer) { peer_ = std::make_shared<const PeerMap>(std::move(peer)); }
    void setPeerMap(std::shared_ptr<const PeerMap> peer) { peer_ = std::move(peer); }

    // The peer a request is addressed to, and the address text made of it:
    // scheme "://" [user "@"] host ":" port; "" when there is no host.
    void setAddressedPeer(std::string host, std::string user, std::uint64_t port);
    std::string addressText() const override;
    std::string targetHost() const override { return host_; }
    std::uint64_t targetPort() const override { return port_; }
    // The multipart boundary a request head announces.
    void setBoundary(std::string boundary) { boundary_ = std::move(boundary); }

    std::chrono::system_clock::time_point timeStamp() const { return timeStamp_; }
    std::string timeStampText() const;

    // Set by a request handler that takes an answer a peer sent.
    bool answerReceived() const { return answerReceived_.load(); }
    void setAnswerReceived(bool received) { answerReceived_.store(received); }

    // The lock of the head writer and of the reader (see messageMutex_): the server layer
    // holds it while it reads received bytes into the message.
    std::mutex& messageMutex() const { return messageMutex_; }

private:
    static const HeaderMap& noHeaders();
    // The fields of this message to change: its own, no longer shared with an answer.
    HeaderMap& changeHeaders();

    // Checks every limit a peer could break; true when the message stays within them.
    bool withinLimits() const;
    // False for a complete head line that holds a CR other than its end, or a header field
    // that holds a NUL: such a message is refused.
    bool wellFormedLine() const;
    // Ends the message after the declared body: later bytes become pipelined ones.
    void splitOffPipelinedBytes();
    // Whether the connection closes once this message is answered: its "connection" field
    // holds "close", or an HTTP/1.0 request's does not hold "keep-alive" (either in any case).
    bool closesAfterAnswer() const;
    // Reads the declared body length from "content-length"; false when a value is not
    // plain digits, when two values differ, or for a request with "transfer-encoding".
    bool readDeclaredLength();
    // Consumes n unread bytes of the body stream.
    void consume(std::uint64_t n);
    bool parseFirstLine();
    void parseHeaderLine();
    // How a body is parsed, from its "content-type": text is the boundary of a multipart
    // body, the type itself of another one.
    enum class BodyKind { kNone, kForm, kMultipart, kOther };
    struct BodyType {
        BodyKind kind;
        std::string text;
    };
    BodyType bodyType() const;
    std::string_view unreadBody();
    // The parameters a message may still gain.
    std::size_t parametersLeft() const;
    // True when parsing the body would stay within kMaxParameters and kMaxPartHeadFields.
    // Counts without building anything.
    bool bodyWithinLimits();
    void addBlock(std::unique_ptr<KrHTTPMessageBlock> block);
    void addFormBlocks(std::string_view text, std::string (*decode)(std::string_view));
    void parseMultipart(const std::string& boundary);
    void parsePart(std::size_t begin, std::size_t end, bool& reportedBrokenLine);
    void enterNamedBlocks(KrHTTPMessageBlockDisposition& map);
    void writeAnswerHead(std::ostream& out);
    void writeRequestHead(std::ostream& out);
    // Takes the CGI header block out of the body; "" when the body holds no complete one.
    std::string takeCgiHeaderBlock();

    std::string version_ = "1.1";
    std::unique_ptr<KrStringBuf> body_;
    // Guards what the head writer changes (headWritten_, bodyLength_, the CGI block it takes
    // out of the body), the reader's state while the server layer reads received bytes into
    // the message, and the settings of a server description (KrXServerHeader). The head
    // writer takes nothing under it. While the layer reads, it takes the connection's input
    // lock and what KrTransceiverConnection::takeInput takes after it (the hub's TCP jobs'
    // lock, the job registry's queue lock), and the reader calls the request handler's
    // acceptHead under it at the end of the head. Never the route lock of the message.
    mutable std::mutex messageMutex_;
    bool headWritten_ = false;
    const bool writeInState5_;
    std::uint64_t bodyLength_ = 0;
    std::uint32_t methodCode_;
    // The fields are shared with the answers made for the message, which only read them (a
    // copy for each answer cost a request as much as its parsing); null while there are none.
    std::shared_ptr<HeaderMap> headers_;
    std::shared_ptr<const HeaderMap> requestHeaders_;
    std::atomic<std::int64_t> status_{kInitialStatus};

    // The message owns its blocks; the maps point into the list, and a block never moves.
    std::vector<std::unique_ptr<KrHTTPMessageBlock>> blocks_;
    KrHTTPMessageBlockDisposition allParameters_;
    KrHTTPMessageBlockDisposition bodyParameters_;
    KrHTTPMessageBlockDisposition queryParameters_;
    KrHTTPMessageBlockDisposition blocksByPosition_;

    std::string path_;
    std::string query_;
    std::string requestText_ = "-";
    std::string boundary_;
    std::optional<kr::ServableFile> file_;
    bool cgi_ = false;
    std::string redirect_;

    std::string host_;
    std::string user_;
    std::uint64_t port_ = 0;

    std::chrono::system_clock::time_point timeStamp_;
    std::shared_ptr<const PeerMap> peer_;
    std::atomic<bool> answerReceived_{false};

    // Reader state.
    std::string line_;
    bool headerMode_ = true;
    std::uint64_t lineCounter_ = 0;
    std::uint64_t headBytes_ = 0;  // bytes of the head consumed so far, line ends included
    std::uint64_t declaredLength_ = 0;
    bool close_ = false;
    bool refused_ = false;
    bool overParameterLimit_ = false;  // the query alone holds too many parameters
    bool completed_ = false;           // readMessage has reported the message complete
    bool bodyParsed_ = false;
    std::unique_ptr<KrStringBuf> pipelined_;  // bytes after the end of the message

    friend class KrXResponseHeader;
};
