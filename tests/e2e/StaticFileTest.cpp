#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ConsoleProgramFixture.h"
#include "HttpClient.h"
#include "ProgramRun.h"
#include "net/KrTransceiverConnection.h"

// Static files of the console program's working directory as a client meets them: sent from
// the opened file as the client takes them, whatever their size, while the server goes on
// serving everyone else.
namespace {

using e2e::HttpAnswer;
using e2e::HttpConnection;

constexpr std::uint64_t kHugeSize = std::uint64_t{100} << 30;  // sparse: no disk is used
constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

// The head every file answer has: status line, server and length, nothing else.
std::string fileHead(std::uint64_t length) {
    return "HTTP/1.1 200 OK\r\nServer: brantel/1.28.1(96)\r\nContent-Length: " +
           std::to_string(length) + "\r\n\r\n";
}

// The resident memory of a process, from /proc; 0 when it cannot be read.
std::uint64_t residentBytes(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoull(line.substr(6)) * 1024;  // "VmRSS:    4711 kB"
        }
    }
    return 0;
}

// A file of the given size that holds nothing on disk (ftruncate): it reads as zeros.
void makeSparseFile(const std::filesystem::path& path, std::uint64_t size) {
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, size);
}

bool allZero(std::string_view bytes) { return bytes.find_first_not_of('\0') == bytes.npos; }

// Waits until the condition holds; false after the patience.
template <class Condition>
bool eventually(Condition condition) {
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + e2e::kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class StaticFile : public e2e::ConsoleProgramFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(startProgram());
        makeSparseFile(run_->workingDirectory() / "huge.bin", kHugeSize);
    }

    // A connection that has asked for the file and read its head.
    std::unique_ptr<HttpConnection> askFor(const std::string& path, HttpAnswer& head) {
        auto connection = std::make_unique<HttpConnection>(port_);
        EXPECT_TRUE(connection->send(e2e::getRequest(path)));
        head = connection->readHead();
        return connection;
    }
};

// The head goes out at once with the file's size, however large, and the file is never held
// in memory: clients that read nothing of it cost the server nothing but their sockets.
TEST_F(StaticFile, AHugeFileAnnouncesItsSizeAtOnceAndTheServerStaysSmall) {
    constexpr int kClients = 4;
    ASSERT_EQ(e2e::fetch(port_, e2e::getRequest("/spiele.css")).status, 200);
    const std::uint64_t before = residentBytes(run_->pid());
    ASSERT_GT(before, 0u);
    std::vector<std::unique_ptr<HttpConnection>> clients;
    for (int i = 0; i < kClients; ++i) {
        HttpAnswer head;
        clients.push_back(askFor("/huge.bin", head));
        ASSERT_EQ(head.status, 200) << i;
        EXPECT_EQ(head.fields["content-length"], std::to_string(kHugeSize)) << i;
    }
    // Each reads a little, so that every answer has begun to flow, and then stops reading.
    for (auto& client : clients) {
        std::string first;
        EXPECT_EQ(client->readBody(kMiB, [&](std::string_view bytes) { first += bytes; }), kMiB);
        EXPECT_TRUE(allZero(first));
    }
    const std::uint64_t after = residentBytes(run_->pid());
    EXPECT_LT(after, before + kClients * KrTransceiverConnection::kOutputLimit)
        << "grew from " << before << " to " << after << " bytes";
    // The server still answers.
    EXPECT_EQ(e2e::fetch(port_, e2e::getRequest("/spiele.css")).status, 200);
}

// One client takes a huge file as fast as it can, another has asked for it and reads nothing:
// neither keeps a game's click on a third connection from being answered, and both answers
// are still under way afterwards.
TEST_F(StaticFile, AClickIsAnsweredWhileHugeFilesAreSent) {
    HttpAnswer fastHead;
    auto fast = askFor("/huge.bin", fastHead);
    ASSERT_EQ(fastHead.status, 200);
    HttpAnswer stalledHead;
    auto stalled = askFor("/huge.bin", stalledHead);
    ASSERT_EQ(stalledHead.status, 200);

    std::atomic<std::uint64_t> taken{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> zeros{true};
    std::jthread reader([&] {
        while (!stop.load()) {
            const std::uint64_t read = fast->readBody(
                kMiB, [&](std::string_view bytes) { zeros = zeros && allZero(bytes); });
            taken += read;
            if (read < kMiB) {
                return;  // the stream ended: a fault the checks below report
            }
        }
    });
    // The reader is under way before the click.
    ASSERT_TRUE(eventually([&] { return taken.load() >= 64 * kMiB; }));

    HttpConnection browser(port_);
    const HttpAnswer start = browser.exchange(e2e::getRequest("/"));
    ASSERT_EQ(start.status, 200);
    const std::string id = e2e::sessionIdIn(start.body);
    ASSERT_EQ(id.size(), 25u);
    const HttpAnswer click = browser.exchange(e2e::getRequest("/f11?nuxelid=" + id));
    EXPECT_EQ(click.status, 200);
    EXPECT_NE(click.body.find("src=\"kreuz.png\""), std::string::npos) << click.body;

    const std::uint64_t atClick = taken.load();
    EXPECT_TRUE(eventually([&] { return taken.load() >= atClick + 64 * kMiB; }))
        << "the file goes on after the click";
    stop = true;
    reader.join();
    EXPECT_TRUE(zeros.load());
    EXPECT_LT(taken.load(), kHugeSize);
    std::string first;
    EXPECT_EQ(stalled->readBody(kMiB, [&](std::string_view bytes) { first += bytes; }), kMiB)
        << "the answer nobody read is still there";
}

// A file cut shorter while it is sent cannot give the bytes its head announced: the
// connection closes short of them, so that the client sees the answer as incomplete.
TEST_F(StaticFile, AFileCutWhileItIsSentClosesTheConnectionShortOfItsLength) {
    const std::filesystem::path path = run_->workingDirectory() / "shrinking.bin";
    constexpr std::uint64_t kSize = std::uint64_t{1} << 30;
    makeSparseFile(path, kSize);
    HttpAnswer head;
    auto client = askFor("/shrinking.bin", head);
    ASSERT_EQ(head.status, 200);
    ASSERT_EQ(head.fields["content-length"], std::to_string(kSize));
    std::uint64_t received = client->readBody(kMiB, [](std::string_view) {});
    ASSERT_EQ(received, kMiB);

    std::filesystem::resize_file(path, 2 * kMiB);
    received += client->readBody(kSize - received, [](std::string_view) {});
    EXPECT_LT(received, kSize);
    EXPECT_TRUE(client->waitForClose());
}

// A file larger than the connection's output limit arrives whole, byte for byte, while the
// server holds no more than that limit of it; the connection then serves its next request.
TEST_F(StaticFile, AFileSentWholeArrivesByteForByte) {
    constexpr std::uint64_t kSize = 48 * kMiB + 12345;  // ends inside a piece
    std::string content(kSize, '\0');
    for (std::uint64_t i = 0; i < kSize; ++i) {
        content[i] = static_cast<char>((i * 7 + i / 4093) % 251);
    }
    std::ofstream(run_->workingDirectory() / "whole.bin", std::ios::binary) << content;
    ASSERT_EQ(e2e::fetch(port_, e2e::getRequest("/spiele.css")).status, 200);
    const std::uint64_t before = residentBytes(run_->pid());

    HttpAnswer head;
    auto client = askFor("/whole.bin", head);
    ASSERT_EQ(head.status, 200);
    ASSERT_EQ(head.fields["content-length"], std::to_string(kSize));
    const std::uint64_t during = residentBytes(run_->pid());
    std::string body;
    body.reserve(kSize);
    EXPECT_EQ(client->readBody(kSize, [&](std::string_view bytes) { body += bytes; }), kSize);
    EXPECT_TRUE(body == content) << "the bytes differ";
    EXPECT_LT(during, before + KrTransceiverConnection::kOutputLimit)
        << "grew from " << before << " to " << during << " bytes";

    const HttpAnswer next = client->exchange(e2e::getRequest("/spiele.css"));
    EXPECT_EQ(next.status, 200) << "nothing came beyond the announced length";
}

// The access-log line counts the head and the announced length, as for every answer.
TEST_F(StaticFile, TheAccessLogLineCountsTheHeadAndTheAnnouncedLength) {
    std::ofstream(run_->workingDirectory() / "small.txt") << "small file\n";
    const struct {
        std::string path;
        std::uint64_t length;
    } cases[] = {{"/small.txt", 11}, {"/huge.bin", kHugeSize}};
    for (const auto& [path, length] : cases) {
        HttpAnswer head;
        auto client = askFor(path, head);
        ASSERT_EQ(head.status, 200) << path;
        const std::string line = "\"GET " + path + "\" --> 200 " +
                                 std::to_string(fileHead(length).size() + length) +
                                 " \"-\" \"-\"\n";
        EXPECT_TRUE(run_->waitForOutput(line)) << line << run_->output();
    }
}

}  // namespace
