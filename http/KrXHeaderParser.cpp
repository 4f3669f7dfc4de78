// The reading side of KrXHeader: received bytes to first line, header fields, target
// parameters and body parameters.

#include <algorithm>
#include <utility>

#include "foundation/Diagnostics.h"
#include "foundation/Strings.h"
#include "http/HTTPTables.h"
#include "http/KrXHeader.h"

namespace {

constexpr std::size_t kNone = std::string_view::npos;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The offset of the first complete needle in [from, to) of the unread bytes, or kNone. The
// buffer's search also reports a match cut off at the end of the range; that is no match.
std::size_t findComplete(KrStringBuf& in, std::string_view needle, std::size_t from,
                         std::size_t to) {
    if (from >= to) {
        return kNone;
    }
    const char* found =
        in.find(needle, static_cast<std::int64_t>(from), static_cast<std::int64_t>(to - from));
    if (found == nullptr) {
        return kNone;
    }
    const std::size_t at = static_cast<std::size_t>(found - in.readPointer());
    return at + needle.size() <= to ? at : kNone;
}

// Reads a token of the first line that ends at a space: leading spaces are skipped and tabs
// dropped. position ends on the space, or at the end of the line.
std::string firstLineToken(std::string_view line, std::size_t& position) {
    while (position < line.size() && line[position] == ' ') {
        ++position;
    }
    std::string token;
    for (; position < line.size() && line[position] != ' '; ++position) {
        if (line[position] != '\t') {
            token += line[position];
        }
    }
    return token;
}

// The name given by a content-disposition value such as 'form-data; name="field"': the text
// between the quotes after "name=" of a piece after the first ";". Without quotes the name
// ends at a ";".
std::string dispositionName(std::string_view value) {
    const std::size_t semicolon = value.find(';');
    if (semicolon == kNone) {
        return {};
    }
    std::string name;
    for (const std::string& piece : kr::splitString(value.substr(semicolon + 1), " ", true)) {
        const std::string_view text(piece);
        if (!text.starts_with("name=")) {
            continue;
        }
        std::string_view rest = text.substr(5);
        if (rest.starts_with('"')) {
            rest.remove_prefix(1);
            name = std::string(rest.substr(0, rest.find('"')));
        } else {
            name = std::string(rest.substr(0, rest.find(';')));
        }
    }
    return name;
}

}  // namespace

// ---- reading ----

KrStringBuf& KrXHeader::input() {
    if (!completed_) {
        return body();
    }
    if (pipelined_ == nullptr) {
        pipelined_ = std::make_unique<KrStringBuf>();
    }
    return *pipelined_;
}

std::unique_ptr<KrStringBuf> KrXHeader::takePipelinedBytes() {
    if (pipelined_ != nullptr && pipelined_->unreadSize() == 0) {
        pipelined_.reset();
    }
    return std::move(pipelined_);
}

bool KrXHeader::withinLimits() const {
    if (headBytes_ > kMaxHeadBytes) {
        return false;
    }
    if (declaredLength_ > kMaxBodyBytes) {
        return false;
    }
    if (completed_ && pipelined_ != nullptr &&
        pipelined_->unreadSize() > static_cast<std::int64_t>(kMaxStrandedBytes)) {
        return false;
    }
    return true;
}

bool KrXHeader::wellFormedLine() const {
    // A CR that ends no line is a line end to some readers and a byte to others: the
    // message would mean one thing here and another to a program it is handed to.
    if (line_.find('\r') != std::string::npos) {
        return false;
    }
    // A NUL in a header field would cut it short, or leave a CGI environment entry without
    // its "=", wherever the field is handed on as a C string. The request line may hold
    // one: the file lookup refuses such a path with the 404 page.
    return lineCounter_ == 0 || line_.find('\0') == std::string::npos;
}

void KrXHeader::consume(std::uint64_t n) {
    body_->pubseekoff(static_cast<std::streamoff>(n), std::ios_base::cur, std::ios_base::in);
}

int KrXHeader::readMessage(const HeadCallback& headComplete) {
    if (refused_) {
        return kRefused;
    }
    KrStringBuf& in = body();
    while (headerMode_) {
        const std::int64_t unread = in.unreadSize();
        if (unread == 0) {
            break;
        }
        const std::string_view bytes(in.readPointer(), static_cast<std::size_t>(unread));
        const std::size_t lineEnd = bytes.find("\r\n");
        if (lineEnd == kNone) {
            // A CR at the very end may be the first half of a line end: it waits for the
            // next bytes. Any other CR, and every lone LF, is an ordinary byte of the line.
            const std::size_t take = bytes.size() - (bytes.back() == '\r' ? 1 : 0);
            line_.append(bytes.substr(0, take));
            consume(take);
            headBytes_ += take;
            break;
        }
        line_.append(bytes.substr(0, lineEnd));
        consume(lineEnd + 2);
        headBytes_ += lineEnd + 2;
        if (!withinLimits()) {
            break;
        }
        if (!wellFormedLine()) {
            refused_ = true;
            return kRefused;
        }
        if (!line_.empty()) {
            headerMode_ = parseLine();
            line_.clear();
            continue;
        }
        if (lineCounter_ == 0) {
            // Empty lines before a request line are left-overs of the previous request
            // (a CR LF after a body); they are skipped.
            continue;
        }
        headerMode_ = false;
        if (!headComplete(*this)) {
            refused_ = true;
            return kRefused;
        }
    }
    if (!withinLimits()) {
        refused_ = true;
        return kRefused;
    }
    if (headerMode_) {
        return kNeedMore;
    }
    if (completed_) {
        // Bytes after a complete message that nobody took wait in input(); withinLimits
        // bounds them.
        return kComplete;
    }
    close_ = headerValue("connection").find("close") != std::string::npos;
    if (!readDeclaredLength() || !withinLimits()) {
        refused_ = true;
        return kRefused;
    }
    if (static_cast<std::uint64_t>(in.unreadSize()) < declaredLength_) {
        return kNeedMore;
    }
    splitOffPipelinedBytes();
    completed_ = true;
    return bodyComplete();
}

bool KrXHeader::readDeclaredLength() {
    const auto found = headers_.find("content-length");
    if (found == headers_.end() || found->second.empty()) {
        declaredLength_ = 0;
        return true;
    }
    const std::string& text = found->second.front();
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    // Any length beyond the limit is refused; stop before the number could overflow.
    std::uint64_t length = 0;
    for (const char c : text) {
        length = length * 10 + static_cast<std::uint64_t>(c - '0');
        if (length > kMaxBodyBytes) {
            break;
        }
    }
    declaredLength_ = length;
    return true;
}

void KrXHeader::splitOffPipelinedBytes() {
    // The rest of the received stream moves on to the next message as it is; only this
    // message's body is copied out of it, so a burst of pipelined requests costs no more
    // copying than its bodies.
    const std::int64_t unread = body_->unreadSize();
    if (unread == static_cast<std::int64_t>(declaredLength_)) {
        return;
    }
    auto bodyOnly = std::make_unique<KrStringBuf>();
    if (declaredLength_ > 0) {
        bodyOnly->write(std::string_view(body_->readPointer(), declaredLength_));
        consume(declaredLength_);
    }
    pipelined_ = std::exchange(body_, std::move(bodyOnly));
}

bool KrXHeader::parseLine() {
    if (lineCounter_ == 0) {
        const bool recognised = parseFirstLine();
        ++lineCounter_;
        return recognised;
    }
    parseHeaderLine();
    ++lineCounter_;
    return true;
}

bool KrXHeader::parseFirstLine() {
    setMessageKind(kUnrecognised);
    std::size_t position = 0;
    std::vector<std::string> tokens;
    const std::string method = firstLineToken(line_, position);
    const bool methodEndsAtSpace = position < line_.size();
    tokens.push_back(kr::asciiUpper(method));
    if (methodEndsAtSpace) {
        ++position;
        tokens.push_back(firstLineToken(line_, position));
        if (position < line_.size()) {
            tokens.push_back(kr::asciiUpper(std::string_view(line_).substr(position + 1)));
        }
        const auto found = kr::methodTable().find(tokens[0]);
        if (found != kr::methodTable().end()) {
            setMessageKind(kRequest);
            methodCode_ = found->second;
        } else if (tokens[0].starts_with("HTTP/") || tokens[0].starts_with("NUXEL/")) {
            setMessageKind(kAnswer);
        }
    }
    std::erase_if(tokens, [](const std::string& token) { return token.empty(); });
    auto& first = headers_[std::string(kFirstLineKey)];
    first.insert(first.end(), tokens.begin(), tokens.end());
    if (tokens.size() >= 2) {
        splitTarget(tokens[1]);
    }
    return messageKind() != kUnrecognised;
}

void KrXHeader::parseHeaderLine() {
    // Blanks go everywhere. The first ':' after some name ends the name; a ':' while the
    // current part is still empty is dropped, so the value never starts with one.
    std::string name;
    std::string value;
    bool inValue = false;
    for (const char c : line_) {
        if (isBlank(c)) {
            continue;
        }
        std::string& part = inValue ? value : name;
        if (c == ':') {
            if (part.empty()) {
                continue;
            }
            if (!inValue) {
                inValue = true;
                continue;
            }
        }
        part += c;
    }
    if (!inValue || name.empty() || value.empty()) {
        return;
    }
    headers_[kr::asciiLower(name)].push_back(std::move(value));
}

void KrXHeader::splitTarget(std::string_view target) {
    const std::size_t question = target.find('?');
    path_ = std::string(target.substr(0, question));
    query_.clear();
    if (methodCode_ == kMethodGet && question != kNone) {
        query_ = std::string(target.substr(question + 1));
    }
    if (query_.empty()) {
        return;
    }
    addFormBlocks(query_, kr::percentDecode);
    enterNamedBlocks(queryParameters_);
}

int KrXHeader::bodyComplete() {
    const std::uint64_t unread = static_cast<std::uint64_t>(body().unreadSize());
    if (unread < declaredLength_) {
        return kNeedMore;
    }
    return unread == declaredLength_ ? kComplete : kRefused;
}

int KrXHeader::parseBody() {
    const std::uint64_t unread = static_cast<std::uint64_t>(body().unreadSize());
    if (declaredLength_ < unread) {
        return kRefused;
    }
    if (declaredLength_ > unread) {
        return kNeedMore;
    }
    if (!bodyParsed_) {
        bodyParsed_ = true;
        const auto contentType = headers_.find("content-type");
        if (contentType != headers_.end() && !contentType->second.empty()) {
            constexpr std::string_view kMultipart = "multipart/form-data;boundary=";
            constexpr std::string_view kForm = "application/x-www-form-urlencoded";
            const std::string& type = contentType->second.front();
            if (type.starts_with(kMultipart)) {
                parseMultipart(type.substr(kMultipart.size()));
            } else if (type.starts_with(kForm)) {
                std::string text;
                body_->copyUnread(text);
                addFormBlocks(text, kr::formDecode);
            } else {
                kr::errLine("content type not defined (", type, ")");
            }
        }
    }
    enterNamedBlocks(bodyParameters_);
    return kComplete;
}

void KrXHeader::addBlock(std::string name, std::string_view data) {
    auto block = std::make_unique<KrHTTPMessageBlock>();
    block->setName(std::move(name));
    block->setData(data);
    blocksByPosition_.set(std::to_string(blocks_.size()), block.get());
    blocks_.push_back(std::move(block));
}

void KrXHeader::addFormBlocks(std::string_view text, std::string (*decode)(std::string_view)) {
    for (const std::string& piece : kr::splitString(text, "&")) {
        const std::size_t equals = piece.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string_view view(piece);
        addBlock(decode(view.substr(0, equals)), decode(view.substr(equals + 1)));
    }
}

void KrXHeader::enterNamedBlocks(KrHTTPMessageBlockDisposition& map) {
    for (const auto& block : blocks_) {
        const std::string name = block->name();
        if (!name.empty()) {
            allParameters_.set(name, block.get());
            map.set(name, block.get());
        }
    }
}

void KrXHeader::parseMultipart(const std::string& boundary) {
    if (boundary.empty() || boundary.size() > kMaxBoundaryLength) {
        return;
    }
    const std::string delimiter = "--" + boundary;
    const std::size_t size = static_cast<std::size_t>(body_->unreadSize());
    bool reportedBrokenLine = false;
    std::size_t part = findComplete(*body_, delimiter, 0, size);
    while (part != kNone) {
        const std::size_t next = findComplete(*body_, delimiter, part + delimiter.size(), size);
        if (next == kNone) {
            break;  // what follows the closing delimiter is no part
        }
        parsePart(part, next, reportedBrokenLine);
        part = next;
    }
}

void KrXHeader::parsePart(std::size_t begin, std::size_t end, bool& reportedBrokenLine) {
    const std::string_view bytes(body_->readPointer(), end);
    auto block = std::make_unique<KrHTTPMessageBlock>();
    // The head: line by line from the delimiter line up to an empty line.
    std::size_t lineStart = begin;
    std::size_t dataStart = kNone;
    bool delimiterLine = true;
    for (;;) {
        const std::size_t lineEnd = findComplete(*body_, "\r\n", lineStart, end);
        if (lineEnd == kNone) {
            break;
        }
        const std::string_view line = bytes.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (delimiterLine) {
            delimiterLine = false;
            continue;
        }
        if (line.empty()) {
            dataStart = lineStart;
            break;
        }
        const std::size_t colon = line.find(':');
        if (colon == kNone) {
            if (!reportedBrokenLine) {
                kr::errLine("oh oh ... problem...");
                reportedBrokenLine = true;
            }
            continue;
        }
        const std::string name = kr::asciiLower(kr::trim(line.substr(0, colon), " "));
        std::string value = kr::trim(line.substr(colon + 1), " ");
        if (name == "content-disposition") {
            block->setName(dispositionName(value));
        } else if (name == "content-type") {
            block->disposition()["mimetype"] = value;
        }
        if (!name.empty() && !value.empty()) {
            block->fields()[name].push_back(std::move(value));
        }
    }
    if (dataStart != kNone) {
        // The data ends at the CR LF that precedes the next delimiter.
        std::size_t dataEnd = end;
        if (dataEnd >= dataStart + 2 && bytes.substr(dataEnd - 2, 2) == "\r\n") {
            dataEnd -= 2;
        }
        block->setData(bytes.substr(dataStart, dataEnd - dataStart));
    }
    blocksByPosition_.set(std::to_string(blocks_.size()), block.get());
    blocks_.push_back(std::move(block));
}
