#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Fd.h"

// HTTP/1.1 as a browser speaks it to the game, over a real loopback connection.
namespace e2e {

struct HttpAnswer {
    int status = 0;                             // 0: no complete answer came
    std::map<std::string, std::string> fields;  // header names lower-cased
    std::string body;
};

using FormFields = std::vector<std::pair<std::string, std::string>>;

// The request texts a browser sends.
std::string getRequest(std::string_view target);
// A form posted without an encoding type ("a=1&b=2", application/x-www-form-urlencoded).
std::string formPost(std::string_view path, const FormFields& fields);
// A form posted as multipart/form-data, as a script's FormData is.
std::string multipartPost(std::string_view path, const FormFields& fields);

// A part of what a client sends, and how long it waits after it before it sends more.
struct Piece {
    std::string_view bytes;
    std::chrono::milliseconds pause{0};
};

// One keep-alive connection to 127.0.0.1.
class HttpConnection {
public:
    HttpConnection() = default;
    explicit HttpConnection(std::uint16_t port) { connect(port); }

    bool connect(std::uint16_t port);
    bool connected() const { return socket_.valid(); }
    bool send(std::string_view bytes);
    // Sends each piece in a segment of its own (TCP_NODELAY), waiting its pause after it: a
    // request that arrives in parts, as it does from a slow or far client.
    bool sendInPieces(std::span<const Piece> pieces);
    // Reads one answer: the head to its empty line, then "Content-Length" bytes of body.
    HttpAnswer readAnswer();
    // Reads one answer's head only: its status and fields, without a body; what came after
    // the head is left for readBody (or the next readAnswer).
    HttpAnswer readHead();
    // Reads up to count bytes of a body and hands them to sink as they come, keeping none,
    // so that a body of any size can be read; the bytes read, fewer when the stream ended
    // or the patience ran out first.
    std::uint64_t readBody(std::uint64_t count, const std::function<void(std::string_view)>& sink);
    HttpAnswer exchange(std::string_view request);
    // Ends the client's sending side (shutdown(SHUT_WR)), as "nc -N" does after its input;
    // answers can still be read.
    bool endSending();
    // True when the server closes the connection within the patience.
    bool waitForClose();
    // True when the server closes the connection within the patience without sending a
    // byte more: a refusal, not an answer (false at once when a byte comes). The patience is
    // shorter than the program's idle cut, so a connection merely left to time out does not
    // pass.
    bool closesWithoutAnswer();

private:
    // Reads more into buffer_; false at the end of the stream or after the patience.
    bool receiveMore();
    // After receiveMore gave up: true when that was the end of the stream.
    bool streamEnded();

    platform::Fd socket_;
    std::string buffer_;
};

// One request on a connection of its own.
HttpAnswer fetch(std::uint16_t port, std::string_view request);

}  // namespace e2e
