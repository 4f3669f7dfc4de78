// Feeds arbitrary bytes to the request parser, as one buffer and cut into small buffers,
// the way a server layer reads a connection: every complete message is taken, its body
// parsed and an answer head written for it, and the bytes after it start the next message.
// Both readings must agree message by message; a difference is a fault of the incremental
// parser.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "http/KrXHeader.h"
#include "http/KrXResponseHeader.h"

namespace {

// A readable account of one message, to compare the two readings by.
std::string describe(KrXHeader& message, int result) {
    std::ostringstream out;
    out << "result " << result << " kind " << message.messageKind() << " method "
        << message.methodCode() << " path " << message.path() << " query " << message.query()
        << " close " << message.closeRequested() << '\n';
    if (result == KrXHeader::kRefused) {
        return out.str();
    }
    for (const auto& [name, values] : message.headerMap()) {
        out << name << ':';
        for (const std::string& value : values) {
            out << ' ' << value.size() << '/' << value;
        }
        out << '\n';
    }
    if (result != KrXHeader::kComplete) {
        return out.str();
    }
    out << "parseBody " << message.parseBody() << '\n';
    for (const auto& block : message.blocks()) {
        out << "block " << block->name() << '=' << block->text() << '\n';
    }
    std::string body;
    message.body().copyUnread(body);

    // An answer whose body is the request's, read as the output of a CGI program.
    auto answer = message.createAnswer();
    answer->setCgi(!body.empty() && (body[0] & 1) != 0);
    answer->writeAnswer(body);
    std::ostringstream head;
    answer->writeHeader(head);
    out << head.str() << '|' << answer->bodyLength() << '\n';
    return out.str();
}

// Reads wire in buffers of at most chunk bytes (all at once for 0).
std::vector<std::string> readAll(std::string_view wire, std::size_t chunk) {
    std::vector<std::string> accounts;
    auto message = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, 3);
    auto acceptAll = [](KrXHeader&) { return true; };
    int result = KrXHeader::kNeedMore;
    const std::size_t step = chunk == 0 ? wire.size() : chunk;
    for (std::size_t at = 0; at < wire.size() && result != KrXHeader::kRefused; at += step) {
        message->input().write(wire.substr(at, step));
        for (;;) {
            result = message->readMessage(acceptAll);
            if (result != KrXHeader::kComplete) {
                break;
            }
            accounts.push_back(describe(*message, result));
            auto rest = message->takePipelinedBytes();
            message = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, 3);
            result = KrXHeader::kNeedMore;
            if (rest == nullptr) {
                break;
            }
            message->setBody(std::move(rest));
        }
    }
    accounts.push_back(describe(*message, result));
    return accounts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte says how small the buffers of the second reading are.
    const std::size_t chunk = data[0] % 23 + 1;
    const std::string_view wire(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (readAll(wire, 0) != readAll(wire, chunk)) {
        __builtin_trap();
    }
    return 0;
}
