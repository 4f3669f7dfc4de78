#include "HttpClient.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <span>
#include <thread>
#include <utility>

#include "ProgramRun.h"
#include "foundation/Strings.h"
#include "platform/Poll.h"
#include "platform/Socket.h"

namespace e2e {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kHost = "127.0.0.1";
constexpr std::string_view kBoundary = "----WebKitFormBoundaryGridloE2e4Qx";

std::string postRequest(std::string_view path, std::string_view contentType,
                        std::string_view body) {
    return "POST " + std::string(path) + " HTTP/1.1\r\nHost: " + std::string(kHost) +
           "\r\nContent-Type: " + std::string(contentType) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

}  // namespace

std::string getRequest(std::string_view target) {
    return "GET " + std::string(target) + " HTTP/1.1\r\nHost: " + std::string(kHost) +
           "\r\nAccept: text/html\r\n\r\n";
}

std::string formPost(std::string_view path, const FormFields& fields) {
    std::string body;
    for (const auto& [name, value] : fields) {
        body += (body.empty() ? "" : "&") + name + "=" + value;
    }
    return postRequest(path, "application/x-www-form-urlencoded", body);
}

std::string multipartPost(std::string_view path, const FormFields& fields) {
    std::string body;
    for (const auto& [name, value] : fields) {
        body += "--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"" +
                name + "\"\r\n\r\n" + value + "\r\n";
    }
    body += "--" + std::string(kBoundary) + "--\r\n";
    return postRequest(path, "multipart/form-data; boundary=" + std::string(kBoundary), body);
}

bool HttpConnection::connect(std::uint16_t port) {
    socket_.reset();
    buffer_.clear();
    const auto addresses = platform::resolveTcp(std::string(kHost), std::to_string(port),
                                                platform::ResolvePurpose::Connect);
    if (!addresses || addresses.value.empty()) {
        return false;
    }
    const platform::SocketAddress& address = addresses.value.front();
    auto socket = platform::openTcpSocket(address.family());
    if (!socket || !platform::connectSocket(socket.value, address)) {
        return false;
    }
    socket_ = std::move(socket.value);
    return true;
}

bool HttpConnection::send(std::string_view bytes) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!bytes.empty()) {
        const platform::IoResult sent = platform::sendBytes(socket_, bytes);
        if (!sent.ok() || std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        bytes.remove_prefix(sent.bytes);
        if (!bytes.empty()) {
            (void)platform::pollOne(socket_.get(), platform::kPollWritable, 100ms);
        }
    }
    return true;
}

bool HttpConnection::sendInPieces(std::span<const Piece> pieces) {
    if (!platform::setNoDelay(socket_)) {
        return false;
    }
    for (const Piece& piece : pieces) {
        if (!send(piece.bytes)) {
            return false;
        }
        std::this_thread::sleep_for(piece.pause);
    }
    return true;
}

bool HttpConnection::receiveMore() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    char chunk[16 * 1024];
    while (std::chrono::steady_clock::now() < deadline) {
        const auto ready = platform::pollOne(socket_.get(), platform::kPollReadable, 100ms);
        if (!ready.ok()) {
            return false;
        }
        if (ready.value == 0) {
            continue;
        }
        const platform::IoResult received = platform::receiveBytes(socket_, chunk);
        if (received.wouldBlock) {
            continue;
        }
        if (!received.ok() || received.bytes == 0) {
            return false;
        }
        buffer_.append(chunk, received.bytes);
        return true;
    }
    return false;
}

HttpAnswer HttpConnection::readAnswer() {
    HttpAnswer answer = readHead();
    if (answer.status == 0) {
        return answer;
    }
    const int status = std::exchange(answer.status, 0);  // not complete before its body
    const std::size_t length = std::stoul(answer.fields["content-length"]);
    while (buffer_.size() < length) {
        if (!receiveMore()) {
            return answer;
        }
    }
    answer.body = buffer_.substr(0, length);
    buffer_.erase(0, length);
    answer.status = status;
    return answer;
}

HttpAnswer HttpConnection::readHead() {
    HttpAnswer answer;
    std::size_t headEnd;
    while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
        if (!receiveMore()) {
            return answer;
        }
    }
    const std::string head = buffer_.substr(0, headEnd);
    std::size_t lineEnd = head.find("\r\n");
    const std::string statusLine = head.substr(0, lineEnd);
    for (std::size_t at = lineEnd; at != std::string::npos && at < head.size();) {
        const std::size_t start = at + 2;
        at = head.find("\r\n", start);
        const std::string line = head.substr(start, at == std::string::npos ? at : at - start);
        const auto colon = line.find(':');
        if (colon != std::string::npos) {
            const auto valueStart = line.find_first_not_of(' ', colon + 1);
            answer.fields[kr::asciiLower(line.substr(0, colon))] =
                valueStart == std::string::npos ? "" : line.substr(valueStart);
        }
    }
    buffer_.erase(0, headEnd + 4);
    // "HTTP/1.1 200 OK"
    answer.status = statusLine.size() >= 12 ? std::stoi(statusLine.substr(9, 3)) : 0;
    return answer;
}

std::uint64_t HttpConnection::readBody(std::uint64_t count,
                                       const std::function<void(std::string_view)>& sink) {
    std::uint64_t read = 0;
    while (read < count && (!buffer_.empty() || receiveMore())) {
        const auto piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), count - read));
        sink(std::string_view(buffer_).substr(0, piece));
        buffer_.erase(0, piece);
        read += piece;
    }
    return read;
}

HttpAnswer HttpConnection::exchange(std::string_view request) {
    if (!send(request)) {
        return {};
    }
    return readAnswer();
}

bool HttpConnection::endSending() { return ::shutdown(socket_.get(), SHUT_WR) == 0; }

bool HttpConnection::waitForClose() {
    while (receiveMore()) {
    }
    return streamEnded();
}

bool HttpConnection::streamEnded() {
    // receiveMore gave up: at the end of the stream, or after the patience.
    char probe[1];
    const auto ready = platform::pollOne(socket_.get(), platform::kPollReadable, 0ms);
    if (!ready.ok() || ready.value == 0) {
        return false;
    }
    const platform::IoResult received = platform::receiveBytes(socket_, probe);
    return !received.ok() || received.bytes == 0;
}

bool HttpConnection::closesWithoutAnswer() {
    // A byte that comes is an answer: no need to wait for a close that may never come.
    return !receiveMore() && streamEnded();
}

HttpAnswer fetch(std::uint16_t port, std::string_view request) {
    HttpConnection connection;
    if (!connection.connect(port)) {
        return {};
    }
    return connection.exchange(request);
}

}  // namespace e2e
