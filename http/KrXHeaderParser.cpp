// The reading side of KrXHeader: received bytes to first line, header fields, target
// parameters and body parameters.

#include <algorithm>
#include <optional>
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

// Calls item(name, value) for each "&"-separated item of text that holds a "=", split at
// its first "=", until item returns false. Items without "=" are no parameters.
template <class Item>
void forEachFormItem(std::string_view text, Item item) {
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('&', start), text.size());
        const std::string_view candidate = text.substr(start, end - start);
        const std::size_t equals = candidate.find('=');
        if (equals != kNone && !item(candidate.substr(0, equals), candidate.substr(equals + 1))) {
            return;
        }
        start = end + 1;
    }
}

// The parameters a form text makes, counted up to one more than limit.
std::size_t countFormItems(std::string_view text, std::size_t limit) {
    std::size_t count = 0;
    forEachFormItem(
        text, [&count, limit](std::string_view, std::string_view) { return ++count <= limit; });
    return count;
}

// Calls part(begin, end) for each part of a multipart body in the unread bytes of in: from a
// complete delimiter to the next one. What follows the last delimiter (the closing
// "--" boundary "--") is no part. Stops when part returns false.
template <class Part>
void forEachPart(KrStringBuf& in, std::string_view delimiter, Part part) {
    const std::size_t size = static_cast<std::size_t>(in.unreadSize());
    std::size_t begin = findComplete(in, delimiter, 0, size);
    while (begin != kNone) {
        const std::size_t next = findComplete(in, delimiter, begin + delimiter.size(), size);
        if (next == kNone || !part(begin, next)) {
            return;
        }
        begin = next;
    }
}

// Calls line(text) for each line of the head of the part [begin, end) after its delimiter
// line, each ending at CR LF, up to the empty line that ends the head. Returns where the
// part's data begins; kNone when no empty line ends the head (the part has no data) or when
// line returned false.
template <class Line>
std::size_t forEachPartHeadLine(KrStringBuf& in, std::size_t begin, std::size_t end, Line line) {
    const std::string_view bytes(in.readPointer(), end);
    std::size_t lineStart = begin;
    bool delimiterLine = true;
    for (;;) {
        const std::size_t lineEnd = findComplete(in, "\r\n", lineStart, end);
        if (lineEnd == kNone) {
            return kNone;
        }
        const std::string_view text = bytes.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (delimiterLine) {
            delimiterLine = false;
            continue;
        }
        if (text.empty()) {
            return lineStart;
        }
        if (!line(text)) {
            return kNone;
        }
    }
}

// A "content-length" value: plain digits, or nothing. Any length beyond the body limit is
// refused later; reading stops before the number could overflow.
std::optional<std::uint64_t> plainLength(std::string_view text) {
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    for (const char c : text) {
        length = length * 10 + static_cast<std::uint64_t>(c - '0');
        if (length > KrXHeader::kMaxBodyBytes) {
            break;
        }
    }
    return length;
}

// A line of a part's head read as a field: the name before the first ':', trimmed and
// lower-cased, and the value after it, trimmed. Nothing for a line without ':'.
struct PartField {
    std::string name;
    std::string value;
};

std::optional<PartField> readPartField(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == kNone) {
        return std::nullopt;
    }
    return PartField{kr::asciiLower(kr::trim(line.substr(0, colon), " ")),
                     kr::trim(line.substr(colon + 1), " ")};
}

// A field the part keeps: one with a name and a value.
bool isKept(const PartField& field) { return !field.name.empty() && !field.value.empty(); }

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
    if (headBytes_ > kMaxHeadBytes || overParameterLimit_) {
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
            if (!withinLimits()) {
                break;
            }
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
    close_ = closesAfterAnswer();
    if (!readDeclaredLength() || !withinLimits()) {
        refused_ = true;
        return kRefused;
    }
    if (static_cast<std::uint64_t>(in.unreadSize()) < declaredLength_) {
        return kNeedMore;
    }
    splitOffPipelinedBytes();
    // Whether the body holds too many parameters is known now, while the connection can
    // still be closed without an answer; the body itself is parsed on demand.
    if (!bodyWithinLimits()) {
        refused_ = true;
        return kRefused;
    }
    completed_ = true;
    return bodyComplete();
}

bool KrXHeader::closesAfterAnswer() const {
    // Connection options are names, which HTTP matches in any case.
    const std::string connection = kr::asciiLower(headerValue("connection"));
    if (connection.find("close") != std::string::npos) {
        return true;
    }
    // An HTTP/1.0 connection lasts for one request unless the client asks to keep it (and
    // writes "Keep-Alive" as often as not); a client that reads to the end of the stream
    // would wait for the idle cut otherwise.
    if (messageKind() != kRequest) {
        return false;
    }
    const auto first = headerMap().find(kFirstLineKey);
    const bool http10 =
        first != headerMap().end() && first->second.size() >= 3 && first->second[2] == "HTTP/1.0";
    return http10 && connection.find("keep-alive") == std::string::npos;
}

bool KrXHeader::readDeclaredLength() {
    // Bodies are framed by "content-length" alone. A request that frames its body another
    // way, or declares two lengths, would have part of its body read as a request of its
    // own here (or by a program it is handed to) and must not be read at all.
    if (messageKind() == kRequest && headerMap().contains(std::string_view("transfer-encoding"))) {
        return false;
    }
    const auto found = headerMap().find("content-length");
    if (found == headerMap().end() || found->second.empty()) {
        declaredLength_ = 0;
        return true;
    }
    std::optional<std::uint64_t> declared;
    for (const std::string& text : found->second) {
        const std::optional<std::uint64_t> length = plainLength(text);
        if (!length || (declared && *declared != *length)) {
            return false;
        }
        declared = length;
    }
    declaredLength_ = *declared;
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
    auto& first = changeHeaders()[std::string(kFirstLineKey)];
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
    changeHeaders()[kr::asciiLower(name)].push_back(std::move(value));
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
    if (countFormItems(query_, parametersLeft()) > parametersLeft()) {
        overParameterLimit_ = true;
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
    if (refused_) {
        return kRefused;
    }
    const std::uint64_t unread = static_cast<std::uint64_t>(body().unreadSize());
    if (declaredLength_ < unread) {
        return kRefused;
    }
    if (declaredLength_ > unread) {
        return kNeedMore;
    }
    if (!bodyParsed_) {
        if (!bodyWithinLimits()) {
            return kRefused;
        }
        bodyParsed_ = true;
        const BodyType type = bodyType();
        switch (type.kind) {
            case BodyKind::kMultipart: parseMultipart(type.text); break;
            case BodyKind::kForm: addFormBlocks(unreadBody(), kr::formDecode); break;
            case BodyKind::kOther:
                kr::errLine("content type not defined (", kr::escapedText(type.text), ")");
                break;
            case BodyKind::kNone: break;
        }
    }
    enterNamedBlocks(bodyParameters_);
    return kComplete;
}

KrXHeader::BodyType KrXHeader::bodyType() const {
    constexpr std::string_view kMultipart = "multipart/form-data;boundary=";
    constexpr std::string_view kForm = "application/x-www-form-urlencoded";
    const auto contentType = headerMap().find("content-type");
    if (contentType == headerMap().end() || contentType->second.empty()) {
        return {BodyKind::kNone, {}};
    }
    const std::string& type = contentType->second.front();
    if (type.starts_with(kMultipart)) {
        std::string boundary = type.substr(kMultipart.size());
        // A boundary is at most 70 characters long; a body with another is not parsed.
        if (boundary.empty() || boundary.size() > kMaxBoundaryLength) {
            return {BodyKind::kNone, {}};
        }
        return {BodyKind::kMultipart, std::move(boundary)};
    }
    if (type.starts_with(kForm)) {
        return {BodyKind::kForm, {}};
    }
    return {BodyKind::kOther, type};
}

std::string_view KrXHeader::unreadBody() {
    KrStringBuf& in = body();
    return {in.readPointer(), static_cast<std::size_t>(in.unreadSize())};
}

std::size_t KrXHeader::parametersLeft() const { return kMaxParameters - blocks_.size(); }

bool KrXHeader::bodyWithinLimits() {
    const std::size_t left = parametersLeft();
    const BodyType type = bodyType();
    if (type.kind == BodyKind::kForm) {
        return countFormItems(unreadBody(), left) <= left;
    }
    if (type.kind != BodyKind::kMultipart) {
        return true;
    }
    std::size_t parts = 0;
    bool partHeadsFit = true;
    forEachPart(body(), "--" + type.text, [&](std::size_t begin, std::size_t end) {
        if (++parts > left) {
            return false;
        }
        std::size_t fields = 0;
        forEachPartHeadLine(*body_, begin, end, [&fields](std::string_view line) {
            const auto field = readPartField(line);
            fields += field && isKept(*field) ? 1 : 0;
            return fields <= kMaxPartHeadFields;
        });
        partHeadsFit = fields <= kMaxPartHeadFields;
        return partHeadsFit;
    });
    return partHeadsFit && parts <= left;
}

void KrXHeader::addBlock(std::unique_ptr<KrHTTPMessageBlock> block) {
    blocksByPosition_.set(std::to_string(blocks_.size()), block.get());
    blocks_.push_back(std::move(block));
}

void KrXHeader::addFormBlocks(std::string_view text, std::string (*decode)(std::string_view)) {
    forEachFormItem(text, [this, decode](std::string_view name, std::string_view value) {
        auto block = std::make_unique<KrHTTPMessageBlock>();
        block->setName(decode(name));
        block->setData(decode(value));
        addBlock(std::move(block));
        return true;
    });
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
    bool reportedBrokenLine = false;
    forEachPart(*body_, "--" + boundary, [&](std::size_t begin, std::size_t end) {
        parsePart(begin, end, reportedBrokenLine);
        return true;
    });
}

void KrXHeader::parsePart(std::size_t begin, std::size_t end, bool& reportedBrokenLine) {
    auto block = std::make_unique<KrHTTPMessageBlock>();
    const std::size_t dataStart =
        forEachPartHeadLine(*body_, begin, end, [&](std::string_view line) {
            auto field = readPartField(line);
            if (!field) {
                if (!reportedBrokenLine) {
                    kr::errLine("oh oh ... problem...");
                    reportedBrokenLine = true;
                }
                return true;
            }
            if (field->name == "content-disposition") {
                block->setName(dispositionName(field->value));
            } else if (field->name == "content-type") {
                block->disposition()["mimetype"] = field->value;
            }
            if (isKept(*field)) {
                block->fields()[field->name].push_back(std::move(field->value));
            }
            return true;
        });
    if (dataStart != kNone) {
        // The data ends at the CR LF that precedes the next delimiter.
        const std::string_view bytes(body_->readPointer(), end);
        std::size_t dataEnd = end;
        if (dataEnd >= dataStart + 2 && bytes.substr(dataEnd - 2, 2) == "\r\n") {
            dataEnd -= 2;
        }
        block->setData(std::string(bytes.substr(dataStart, dataEnd - dataStart)));
    }
    addBlock(std::move(block));
}
