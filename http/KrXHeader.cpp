#include "http/KrXHeader.h"

#include <utility>

#include "foundation/KrException.h"
#include "foundation/Paths.h"
#include "http/HTTPTables.h"
#include "http/KrXResponseHeader.h"
#include "net/KrProtocol.h"

namespace {

// Room for the status line, the server and length fields of an answer's head.
constexpr std::size_t kAnswerHeadReserve = 128;

}  // namespace

KrXHeader::KrXHeader(std::uint32_t methodCode, bool writeInState5, std::uint32_t protocol)
    : KrTransceiverMessage(protocol),
      writeInState5_(writeInState5),
      methodCode_(methodCode),
      timeStamp_(std::chrono::system_clock::now()) {}

KrXHeader::~KrXHeader() = default;

// ---- answers ----

std::shared_ptr<KrXResponseHeader> KrXHeader::createAnswer() const {
    auto answer = kr::makeJob<KrXResponseHeader>(kMethodAnswer, false, protocol());
    answer->path_ = path_;
    answer->timeStamp_ = timeStamp_;
    answer->requestHeaders_ = headers_;
    // The access-log line names the peer of the answer's connection.
    answer->peer_ = peer_;
    const auto first = headerMap().find(kFirstLineKey);
    if (first != headerMap().end() && first->second.size() >= 2) {
        answer->requestText_ = first->second[0] + " " + first->second[1];
    } else {
        answer->requestText_ = "-";
    }
    answer->setMessageKind(kAnswer);
    const std::vector<std::string> names = routes();
    for (auto route = names.rbegin(); route != names.rend(); ++route) {
        answer->appendRoute(*route);
    }
    return answer;
}

void KrXHeader::writeAnswer(std::string_view text) {
    body().write(text);
    setStatus(200);
    setState(kStateAnswerReady);
}

void KrXHeader::setStatus(std::int64_t code) {
    if (kr::statusReasonTable().contains(code)) {
        status_.store(code);
    }
}

void KrXHeader::setFile(kr::ServableFile file) {
    bodyLength_ = file.size;
    file_ = std::move(file);
}

std::optional<kr::ServableFile> KrXHeader::takeFile() { return std::exchange(file_, std::nullopt); }

// ---- writing ----

bool KrXHeader::writeHeader(std::ostream& out) {
    std::lock_guard lock(messageMutex_);
    const std::uint32_t jobState = state();
    if (!(jobState == kStateAnswerReady || (jobState == kStateWrittenEarly && writeInState5_))) {
        return false;
    }
    if (methodCode_ == kMethodAnswer) {
        writeAnswerHead(out);
    } else if (methodCode_ == kMethodGet || methodCode_ == kMethodPost) {
        writeRequestHead(out);
    } else {
        throw KrException("a request head needs the method GET or POST", 31201, "src");
    }
    headWritten_ = true;
    return true;
}

void KrXHeader::writeAnswerHead(std::ostream& out) {
    // A file's length was stored with it; otherwise the body is what the stream holds after
    // a CGI header block has been taken out of it.
    std::string cgiHead;
    if (!file_) {
        if (cgi_) {
            cgiHead = takeCgiHeaderBlock();
            cgi_ = !cgiHead.empty();
        }
        bodyLength_ = body_ != nullptr ? static_cast<std::uint64_t>(body_->unreadSize()) : 0;
    }
    const std::int64_t code = status();
    // Put together first and handed to the stream in one write: every answer has a head.
    std::string head;
    head.reserve(kAnswerHeadReserve + cgiHead.size());
    head += "HTTP/";
    head += version_;
    head += ' ';
    head += std::to_string(code);
    head += ' ';
    head += kr::statusReasonTable().reasonAddingUnknown(code);
    head += "\r\nServer: ";
    head += kr::serverSoftware();
    head += "\r\nContent-Length: ";
    head += std::to_string(bodyLength_);
    head += "\r\n";
    if (code == 303) {
        head += "Location: ";
        head += redirect_;
        head += "\r\n";
    }
    // The CGI block carries its own empty line.
    head += cgiHead.empty() ? std::string_view("\r\n") : std::string_view(cgiHead);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
}

void KrXHeader::writeRequestHead(std::ostream& out) {
    out << (methodCode_ == kMethodGet ? "GET " : "POST ") << path_;
    if (!query_.empty()) {
        out << '?' << query_;
    }
    out << " HTTP/" << version_ << "\r\n";
    out << "Host: " << host_ << "\r\n";
    out << "User-Agent: " << kr::serverSoftware() << "\r\n";
    if (methodCode_ == kMethodPost) {
        bodyLength_ = body_ != nullptr ? static_cast<std::uint64_t>(body_->unreadSize()) : 0;
        out << "Content-Length: " << bodyLength_ << "\r\n";
        if (bodyLength_ != 0) {
            out << "Content-Type: multipart/form-data; boundary=" << boundary_ << "\r\n";
        }
    }
    out << "\r\n";
}

std::string KrXHeader::takeCgiHeaderBlock() {
    // The block ends at the first complete empty line, written CR LF CR LF or LF LF. Output
    // without one is all body.
    if (body_ == nullptr) {
        return {};
    }
    std::string output;
    body_->copyUnread(output);
    std::size_t end = std::string::npos;
    for (const std::string_view emptyLine :
         {std::string_view("\r\n\r\n"), std::string_view("\n\n")}) {
        const std::size_t found = output.find(emptyLine);
        if (found != std::string::npos && found + emptyLine.size() < end) {
            end = found + emptyLine.size();
        }
    }
    if (end == std::string::npos) {
        return {};
    }
    body_ = std::make_unique<KrStringBuf>();
    body_->write(std::string_view(output).substr(end));
    output.resize(end);
    return output;
}

bool KrXHeader::readyToWrite() {
    std::lock_guard lock(messageMutex_);
    const std::uint32_t jobState = state();
    return (jobState == kStateWrittenEarly || jobState == kStateAnswerReady) && !headWritten_ &&
           status() >= 100;
}

// ---- fields ----

namespace {

std::string_view firstValue(const KrXHeader::HeaderMap& fields, std::string_view name) {
    const auto found = fields.find(name);
    return found != fields.end() && !found->second.empty() ? std::string_view(found->second.front())
                                                            : std::string_view();
}

}  // namespace

std::string KrXHeader::headerValue(std::string_view name) const {
    return std::string(firstValue(headerMap(), name));
}

std::span<const std::string> KrXHeader::headerValues(std::string_view name) const {
    const auto found = headerMap().find(name);
    return found != headerMap().end() ? std::span<const std::string>(found->second)
                                      : std::span<const std::string>();
}

std::string_view KrXHeader::requestHeaderValue(std::string_view name) const {
    return firstValue(requestHeaderMap(), name);
}

const KrXHeader::HeaderMap& KrXHeader::noHeaders() {
    static const HeaderMap none;
    return none;
}

KrXHeader::HeaderMap& KrXHeader::changeHeaders() {
    if (!headers_) {
        headers_ = std::make_shared<HeaderMap>();
    } else if (headers_.use_count() > 1) {
        // An answer reads them: it keeps the fields as they were when it was made.
        headers_ = std::make_shared<HeaderMap>(*headers_);
    }
    return *headers_;
}

const KrXHeader::PeerMap& KrXHeader::peerMap() const {
    static const PeerMap none;
    return peer_ ? *peer_ : none;
}

KrStringBuf& KrXHeader::body() {
    if (body_ == nullptr) {
        body_ = std::make_unique<KrStringBuf>();
    }
    return *body_;
}

std::unique_ptr<KrStringBuf> KrXHeader::takeBody() { return std::move(body_); }

bool KrXHeader::getParameter(const std::string& name, std::string& value) const {
    const KrHTTPMessageBlock* block = allParameters_.find(name);
    if (block == nullptr) {
        return false;
    }
    value = block->text();
    return true;
}

void KrXHeader::setAddressedPeer(std::string host, std::string user, std::uint64_t port) {
    host_ = std::move(host);
    user_ = std::move(user);
    port_ = port;
}

std::string KrXHeader::addressText() const {
    if (host_.empty()) {
        return {};
    }
    std::string text = kr::protocolSchemeName(protocol()) + "://";
    if (!user_.empty()) {
        text += user_ + "@";
    }
    return text + host_ + ":" + std::to_string(port_);
}

std::string KrXHeader::timeStampText() const { return kr::timeStampText(timeStamp_); }
