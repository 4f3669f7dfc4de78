#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "LayerTestSupport.h"
#include "MessageReading.h"
#include "http/KrTransceiverServerL1DirectSocket.h"
#include "http/KrTransceiverServerL1HTTP.h"
#include "jobs/KrCombinedTask.h"
#include "platform/FileSystem.h"

namespace {

using namespace layertest;
using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// The file at path, opened and checked as the dispatch does: its size is the one it has now.
kr::ServableFile openedFile(const std::string& path) {
    auto opened = platform::openForReading(path);
    EXPECT_TRUE(opened.ok()) << path;
    const auto status = platform::descriptorStatus(opened.value);
    return kr::ServableFile{std::move(opened.value), status.value.size};
}

std::string repeated(std::string_view unit, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) {
        text += unit;
    }
    return text;
}

class HTTPLayer : public testing::Test, public LayerFixture {
protected:
    void SetUp() override {
        port = listen();
        ASSERT_NE(port, 0);
        client = connect(port);
        ASSERT_TRUE(client);
    }

    std::shared_ptr<KrTransceiverServerL1HTTP> http() const {
        return layer<KrTransceiverServerL1HTTP>();
    }

    // The answer the default handler gives to a GET of path without fields.
    static std::string plainAnswer(const std::string& path) {
        return answerTo("method 1 path " + path + "\n");
    }

    std::uint16_t port = 0;
    std::unique_ptr<Client> client;
};

TEST_F(HTTPLayer, ARequestSplitOverTwoBuffersIsAnsweredOnce) {
    ASSERT_TRUE(client->send("GET /split HTTP/1.1\r\nHo"));
    ASSERT_TRUE(eventually([&] { return http()->partialCount() == 1; }));
    ASSERT_TRUE(client->send("st: localhost\r\n\r\n"));
    const std::string first = answerTo("method 1 path /split\nfield host=localhost\n");
    EXPECT_EQ(client->receive(first.size()), first);
    // The next bytes on the connection answer the next request: nothing came twice.
    ASSERT_TRUE(client->send("GET /next HTTP/1.1\r\n\r\n"));
    const std::string second = plainAnswer("/next");
    EXPECT_EQ(client->receive(second.size()), second);
    EXPECT_EQ(handler->requests.values().size(), 2u);
    EXPECT_TRUE(eventually([&] { return http()->partialCount() == 0; }));
}

// Between requests far apart the receive job serves a notice itself, but hands over only
// what the handler answers at once; any other request goes on whole to the buffer job, with
// the requests pipelined behind it, in order.
TEST_F(HTTPLayer, OnlyWhatTheHandlerAnswersAtOnceIsHandedOverWhereItWasReceived) {
    handler->atOnce = [](const KrXHeader& request) { return request.path().starts_with("/quick"); };
    Log<std::string> where;
    handler->respond = [&](KrXHeader& request, KrXResponseHeader& answer) {
        where.add(request.path() + (http()->servingWhereReceived() ? " here" : " buffer job"));
        answer.writeAnswer(describe(request));
    };
    ASSERT_TRUE(client->send(
        "GET /quick1 HTTP/1.1\r\n\r\nGET /slow HTTP/1.1\r\n\r\nGET /quick2 HTTP/1.1\r\n\r\n"));
    const std::string answers = plainAnswer("/quick1") + plainAnswer("/slow") + plainAnswer("/quick2");
    EXPECT_EQ(client->receive(answers.size()), answers);
    // The first request of a new hub comes after no other: the receive job serves it.
    const std::vector<std::string> expected{"/quick1 here", "/slow buffer job",
                                            "/quick2 buffer job"};
    EXPECT_EQ(where.values(), expected);

    // A request handed on whose peer then ends its stream is still answered whole, then the
    // connection closes.
    ASSERT_TRUE(client->send("GET /slow HTTP/1.1\r\n\r\n"));
    ASSERT_EQ(::shutdown(client->socket.handle(), SHUT_WR), 0);
    const std::string last = plainAnswer("/slow");
    EXPECT_EQ(client->receive(last.size()), last);
    EXPECT_TRUE(client->waitForClose());
    EXPECT_EQ(where.values().back(), "/slow buffer job");
    EXPECT_TRUE(eventually([&] { return http()->partialCount() == 0; }));
}

// The Host fields of a request against what a loopback listener serves.
struct HostCase {
    std::string fields;
    bool served;
};

std::vector<HostCase> hostCases(std::uint16_t port) {
    const std::string p = std::to_string(port);
    return {
        {"", true},  // no Host: HTTP/1.0, or a client of its own
        {"Host: 127.0.0.1:" + p + "\r\n", true},
        {"Host: 127.0.0.1\r\n", true},
        {"Host: localhost:" + p + "\r\n", true},
        {"Host: LOCALHOST\r\n", true},
        {"Host: [::1]:" + p + "\r\n", true},
        {"Host: 127.0.0.1:" + p + "\r\nHost: localhost\r\n", true},
        {"Host: attacker.example:" + p + "\r\n", false},
        {"Host: attacker.example\r\n", false},
        {"Host: 127.0.0.1.attacker.example:" + p + "\r\n", false},
        {"Host: 192.168.1.5:" + p + "\r\n", false},
        {"Host: 127.0.0.1:" + p + "\r\nHost: attacker.example\r\n", false},
        {"Host: attacker.example\r\nHost: 127.0.0.1:" + p + "\r\n", false},
    };
}

constexpr std::string_view kServedLine = "HTTP/1.1 200 OK\r\n";

TEST_F(HTTPLayer, ALoopbackListenerServesOnlyRequestsWhoseHostIsTheLoopback) {
    std::size_t servedCount = 0;
    for (const auto& [fields, served] : hostCases(port)) {
        Client peer;
        ASSERT_TRUE(peer.connect(port));
        ASSERT_TRUE(peer.send("GET /h HTTP/1.1\r\n" + fields + "\r\n"));
        if (served) {
            ++servedCount;
            EXPECT_TRUE(peer.receive(kServedLine.size()).starts_with(kServedLine)) << fields;
        } else {
            EXPECT_EQ(peer.receive(1), "") << fields;
            EXPECT_TRUE(peer.waitForClose()) << fields;
        }
    }
    // A refused request never reached the handler.
    EXPECT_EQ(handler->requests.values().size(), servedCount);
}

TEST(HTTPLayerOnAWildcardAddress, ServesEveryHost) {
    LayerFixture fixture;
    const std::uint16_t port = fixture.listen(kr::kProtocolHTTP, "0.0.0.0");
    ASSERT_NE(port, 0);
    for (const auto& [fields, served] : hostCases(port)) {
        Client peer;
        ASSERT_TRUE(peer.connect(port));
        ASSERT_TRUE(peer.send("GET /h HTTP/1.1\r\n" + fields + "\r\n"));
        EXPECT_TRUE(peer.receive(kServedLine.size()).starts_with(kServedLine)) << fields;
    }
}

// Another site's requests on a loopback and on a wildcard listener alike: refused at the end
// of the head, before a body is waited for and before the handler sees them.
TEST(HTTPLayerOnEveryListener, RefusesAnotherSitesRequestsButTopLevelNavigations) {
    struct Case {
        std::string request;
        bool served;
    };
    const std::string image =
        "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: image\r\n";
    const std::string navigation =
        "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: document\r\n";
    for (const std::string address : {"127.0.0.1", "0.0.0.0"}) {
        LayerFixture fixture;
        const std::uint16_t port = fixture.listen(kr::kProtocolHTTP, address);
        ASSERT_NE(port, 0) << address;
        const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
        const std::vector<Case> cases{
            {"GET /h HTTP/1.1\r\n" + host + image + "\r\n", false},
            {"GET /h HTTP/1.1\r\n" + host + navigation + "\r\n", true},
            // The body is never waited for: the head decides.
            {"POST /h HTTP/1.1\r\n" + host + navigation +
                 "Origin: http://attacker.example\r\nContent-Length: 100\r\n\r\n",
             false},
            {"POST /h HTTP/1.1\r\n" + host +
                 "Origin: http://attacker.example\r\nContent-Length: 100\r\n\r\n",
             false},
            {"POST /h HTTP/1.1\r\n" + host + "Origin: http://127.0.0.1:" + std::to_string(port) +
                 "\r\nContent-Length: 1\r\n\r\nx",
             true},
            {"GET /h HTTP/1.1\r\n" + host + "\r\n", true},
        };
        std::size_t servedCount = 0;
        for (const auto& [request, served] : cases) {
            Client peer;
            ASSERT_TRUE(peer.connect(port));
            ASSERT_TRUE(peer.send(request));
            if (served) {
                ++servedCount;
                EXPECT_TRUE(peer.receive(kServedLine.size()).starts_with(kServedLine))
                    << address << " " << request;
            } else {
                EXPECT_EQ(peer.receive(1), "") << address << " " << request;
                EXPECT_TRUE(peer.waitForClose()) << address << " " << request;
            }
        }
        EXPECT_EQ(fixture.handler->requests.values().size(), servedCount) << address;
    }
}

TEST_F(HTTPLayer, LowerCaseMethodsFieldNamesAndQueryAreReadAsHTTP) {
    ASSERT_TRUE(
        client->send("get /Page?x=%41+b&y HTTP/1.1\r\n"
                     "User-Agent: Mozilla/5.0 (X11)\r\n"
                     "X-Long Name :  a b\r\n"
                     "\r\n"));
    const std::string expected = answerTo(
        "method 1 path /Page\n"
        "parameter x=A+b\n"
        "field user-agent=Mozilla/5.0(X11)\n"
        "field x-longname=ab\n");
    EXPECT_EQ(client->receive(expected.size()), expected);
}

TEST_F(HTTPLayer, FormBodiesAreFormDecodedAndMultipartFieldsBecomeParameters) {
    const std::string form = "p=a+b%2B&nuxelid=7";
    ASSERT_TRUE(client->send(postRequest("/form", "application/x-www-form-urlencoded", form)));
    const std::string formAnswer = answerTo(
        "method 2 path /form\n"
        "parameter nuxelid=7\n"
        "parameter p=a b+\n"
        "field content-length=18\n"
        "field content-type=application/x-www-form-urlencoded\n");
    EXPECT_EQ(client->receive(formAnswer.size()), formAnswer);

    const std::string multipart =
        "--XyZ\r\nContent-Disposition: form-data; name=\"nuxelaction\"\r\n\r\nonclick\r\n"
        "--XyZ\r\nContent-Disposition: form-data; name=\"nuxelactionelement\"\r\n\r\nf22\r\n"
        "--XyZ--\r\n";
    ASSERT_TRUE(client->send(
        postRequest("/nuxelwidget.handler", "multipart/form-data; boundary=XyZ", multipart)));
    const std::string multipartAnswer = answerTo(
        "method 2 path /nuxelwidget.handler\n"
        "parameter nuxelaction=onclick\n"
        "parameter nuxelactionelement=f22\n"
        "field content-length=" +
        std::to_string(multipart.size()) +
        "\n"
        "field content-type=multipart/form-data;boundary=XyZ\n");
    EXPECT_EQ(client->receive(multipartAnswer.size()), multipartAnswer);
}

TEST_F(HTTPLayer, AnUnknownStatusCodeIsWrittenWithAnEmptyReason) {
    handler->respond = [](KrXHeader&, KrXResponseHeader& answer) {
        answer.setStatusCode(299);
        answer.setState(KrXHeader::kStateAnswerReady);
    };
    ASSERT_TRUE(client->send("GET / HTTP/1.1\r\n\r\n"));
    const std::string expected = answerHead(0, "299 ");
    EXPECT_EQ(client->receive(expected.size()), expected);
}

TEST_F(HTTPLayer, TwoRequestsInOnePacketGetTwoAnswersInOrder) {
    ASSERT_TRUE(
        client->send("POST /one HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"
                     "GET /two HTTP/1.1\r\n\r\n"));
    const std::string expected =
        answerTo("method 2 path /one\nfield content-length=3\n") + plainAnswer("/two");
    EXPECT_EQ(client->receive(expected.size()), expected);
    const auto requests = handler->requests.values();
    ASSERT_EQ(requests.size(), 2u);
    std::string body;
    requests[0]->body().copyUnread(body);
    EXPECT_EQ(body, "abc");
}

TEST_F(HTTPLayer, ConnectionCloseWritesTheWholeAnswerThenCloses) {
    const std::string page(3 << 20, 'p');  // more than one write takes
    handler->respond = [&page](KrXHeader&, KrXResponseHeader& answer) { answer.writeAnswer(page); };
    ASSERT_TRUE(
        client->send("GET /a HTTP/1.1\r\nConnection: close\r\n\r\n"
                     "GET /never HTTP/1.1\r\n\r\n"));
    const std::string expected = answerTo(page);
    EXPECT_EQ(client->receive(expected.size() + 1), expected);
    EXPECT_TRUE(client->waitForClose());
    EXPECT_EQ(handler->requests.values().size(), 1u) << "nothing after the closing request";
}

TEST_F(HTTPLayer, AnHttp10RequestWithoutKeepAliveIsAnsweredThenClosed) {
    ASSERT_TRUE(client->send("GET /a HTTP/1.0\r\n\r\nGET /never HTTP/1.0\r\n\r\n"));
    const std::string expected = plainAnswer("/a");
    EXPECT_EQ(client->receive(expected.size() + 1), expected);
    EXPECT_TRUE(client->waitForClose());
    EXPECT_EQ(handler->requests.values().size(), 1u) << "nothing after the closing request";
}

TEST_F(HTTPLayer, AnHttp10RequestWithKeepAliveKeepsItsConnection) {
    ASSERT_TRUE(client->send("GET /a HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"));
    const std::string first = answerTo("method 1 path /a\nfield connection=Keep-Alive\n");
    EXPECT_EQ(client->receive(first.size()), first);
    ASSERT_TRUE(client->send("GET /b HTTP/1.0\r\n\r\n"));
    const std::string second = plainAnswer("/b");
    EXPECT_EQ(client->receive(second.size() + 1), second);
    EXPECT_TRUE(client->waitForClose());
}

TEST_F(HTTPLayer, AccessLogLineWithAndWithoutRefererAndUserAgent) {
    ASSERT_TRUE(
        client->send("GET /f11?nuxelid=1 HTTP/1.1\r\nReferer: http://127.0.0.1/\r\n"
                     "User-Agent: Test Agent 1.0\r\n\r\n"));
    const std::string first = answerTo(
        "method 1 path /f11\nparameter nuxelid=1\nfield referer=http://127.0.0.1/\n"
        "field user-agent=TestAgent1.0\n");
    ASSERT_EQ(client->receive(first.size()), first);
    ASSERT_TRUE(client->send("GET /plain HTTP/1.1\r\n\r\n"));
    const std::string second = plainAnswer("/plain");
    ASSERT_EQ(client->receive(second.size()), second);

    ASSERT_TRUE(eventually([&] { return logLines().size() == 2; }));
    const auto requests = handler->requests.values();
    const auto lines = logLines();
    EXPECT_EQ(lines[0], "127.0.0.1 - http - [" + requests[0]->timeStampText() +
                            "] \"GET /f11?nuxelid=1\" --> 200 " + std::to_string(first.size()) +
                            " \"http://127.0.0.1/\" \"TestAgent1.0\"");
    EXPECT_EQ(lines[1], "127.0.0.1 - http - [" + requests[1]->timeStampText() +
                            "] \"GET /plain\" --> 200 " + std::to_string(second.size()) +
                            " \"-\" \"-\"");
}

// A status line the peer sends is taken, and nobody answers it. Bytes that arrive while it is
// being taken start the next request, behind those that came with the status line: the
// request is read whole, and its answer and access-log line are those of the request sent.
TEST_F(HTTPLayer, BytesThatArriveWhileAStatusLineIsTakenStartTheNextRequest) {
    const std::string meanwhile = "/1.1\r\nUser-Age";
    std::atomic<bool> taking{false};
    std::atomic<bool> taken{false};
    handler->takeAnswer = [&](KrXHeader& answer) {
        taking = true;
        const auto connection = hub->findConnection(answer.route(0));
        EXPECT_TRUE(connection && eventually([&] {
                        return connection->inputSize() >= meanwhile.size();
                    })) << "the next piece arrived while the status line was taken";
        taken = true;
    };
    ASSERT_TRUE(client->send("NUXEL/1.0 2"));
    ASSERT_TRUE(client->send("00 OK\r\nUser-Agent: t1528.1\r\n\r\nGET /f1 HTTP"));
    ASSERT_TRUE(eventually([&] { return taking.load(); }));
    ASSERT_TRUE(client->send(meanwhile));
    ASSERT_TRUE(eventually([&] { return taken.load(); }));
    ASSERT_TRUE(client->send("nt: t1528.2\r\n"));
    ASSERT_TRUE(client->send("\r\n"));

    const std::string expected = answerTo("method 1 path /f1\nfield user-agent=t1528.2\n");
    EXPECT_EQ(client->receive(expected.size()), expected);
    ASSERT_TRUE(eventually([&] { return logLines().size() == 1; }));
    EXPECT_TRUE(logLines()[0].ends_with("\"GET /f1\" --> 200 " + std::to_string(expected.size()) +
                                        " \"-\" \"t1528.2\""))
        << logLines()[0];
    const auto messages = handler->requests.values();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]->messageKind(), KrXHeader::kAnswer);
    EXPECT_TRUE(messages[0]->answerReceived());
}

TEST_F(HTTPLayer, BrokenLimitsAndMalformedHeadsCloseTheConnectionWithoutAnAnswer) {
    using namespace std::string_literals;
    const std::string bigHead =
        "GET / HTTP/1.1\r\nX-Fill: " + std::string(KrXHeader::kMaxHeadBytes, 'f') + "\r\n\r\n";
    const std::string cases[] = {
        bigHead,
        "POST / HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: 12x\r\n\r\n12x",
        "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
        "GET /cgi-bin/env HTTP/1.1\r\nX-A: a\0B=b\r\n\r\n"s,
        "GET / HTTP/1.1\r\nX-A: a\rX-B: b\r\n\r\n",
        postRequest("/", "application/x-www-form-urlencoded",
                    repeated("=&", KrXHeader::kMaxParameters + 1)),
        postRequest("/", "application/x-www-form-urlencoded", repeated("=&", 4 << 20)),
        postRequest("/", "multipart/form-data; boundary=b",
                    repeated("--b\r\n\r\n\r\n", KrXHeader::kMaxParameters + 1) + "--b--"),
    };
    for (const std::string& wire : cases) {
        auto peer = connect(port);
        ASSERT_TRUE(peer);
        // The server may close before it has read everything: the send may fail.
        (void)peer->send(wire);
        EXPECT_EQ(peer->receive(1), "") << wire.substr(0, 40);
        EXPECT_TRUE(peer->waitForClose()) << wire.substr(0, 40);
    }
    EXPECT_TRUE(handler->requests.values().empty());
    EXPECT_TRUE(eventually([&] { return http()->partialCount() == 0; }));
    // The server serves on.
    ASSERT_TRUE(client->send("GET /after HTTP/1.1\r\n\r\n"));
    const std::string after = plainAnswer("/after");
    EXPECT_EQ(client->receive(after.size()), after);
}

TEST_F(HTTPLayer, ARefusedHeadClosesTheConnectionWithoutAnAnswer) {
    handler->acceptHeads = false;
    ASSERT_TRUE(client->send("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(client->receive(1), "");
    EXPECT_TRUE(client->waitForClose());
    EXPECT_TRUE(handler->requests.values().empty());
}

TEST_F(HTTPLayer, ThePartialRequestOfAClosedConnectionIsFreed) {
    ASSERT_TRUE(client->send("GET /half HTTP/1.1\r\nHost"));
    ASSERT_TRUE(eventually([&] { return http()->partialCount() == 1; }));
    client.reset();
    EXPECT_TRUE(eventually([&] { return http()->partialCount() == 0; }));
    EXPECT_TRUE(eventually([&] { return hub->connectionCount() == 0; }));
}

TEST_F(HTTPLayer, TheLinkNameMadeForAConnectionGoesWithIt) {
    ASSERT_TRUE(client->send("GET /x HTTP/1.1\r\n\r\n"));
    const std::string expected = plainAnswer("/x");
    ASSERT_EQ(client->receive(expected.size()), expected);
    const std::string linkName = handler->requests.values().at(0)->connectionName();
    ASSERT_FALSE(linkName.empty());
    KrJobInstance<nettest::TestMessage> probe;
    EXPECT_TRUE(KrCombinedTask::instance().subscribe(linkName, probe)) << "the name exists";
    client.reset();
    EXPECT_TRUE(eventually([&] { return !KrCombinedTask::instance().subscribe(linkName, probe); }))
        << "the handler's name for the closed connection is dissolved";
}

TEST_F(HTTPLayer, AnExceptionFromTheHandlerLeavesThatRequestUnansweredOnly) {
    CaptureStderr();
    ASSERT_TRUE(client->send("GET /throw HTTP/1.1\r\n\r\nGET /after HTTP/1.1\r\n\r\n"));
    const std::string expected = plainAnswer("/after");
    EXPECT_EQ(client->receive(expected.size()), expected);
    EXPECT_EQ(GetCapturedStderr(), "request not answered: the handler failed\n");
    ASSERT_TRUE(client->send("GET /again HTTP/1.1\r\n\r\n"));
    const std::string again = plainAnswer("/again");
    EXPECT_EQ(client->receive(again.size()), again) << "the buffer job lives on";
}

TEST_F(HTTPLayer, AFailureThatQuotesTheRequestIsReportedWithItsControlBytesEscaped) {
    handler->respond = [](KrXHeader& request, KrXResponseHeader&) {
        throw std::runtime_error("no page " + request.path());
    };
    CaptureStderr();
    ASSERT_TRUE(client->send("GET /\x1B[2J\x07 HTTP/1.1\r\nConnection: close\r\n\r\n"));
    EXPECT_TRUE(client->waitForClose());
    EXPECT_EQ(GetCapturedStderr(), "request not answered: no page /\\x1B[2J\\x07\n");
}

// A status line reaching a server is a message, but one the handler does not take.
TEST_F(HTTPLayer, BytesBehindAMessageNobodyTakesAreBoundedThenTheConnectionCloses) {
    ASSERT_TRUE(client->send("HTTP/1.1 200 OK\r\n\r\n"));
    ASSERT_TRUE(eventually([&] { return !handler->requests.values().empty(); }));
    EXPECT_EQ(handler->requests.values()[0]->messageKind(), KrXHeader::kAnswer);
    ASSERT_TRUE(client->send("GET / HTTP/1.1\r\n\r\n"));
    (void)client->send(std::string(KrXHeader::kMaxStrandedBytes, 'x'));
    EXPECT_EQ(client->receive(1), "") << "nothing is answered behind it";
    EXPECT_TRUE(client->waitForClose());
}

TEST_F(HTTPLayer, AFirstLineThatIsNoRequestClosesTheConnectionAtOnceWithWhatFollows) {
    const std::string firstLines[] = {
        "HEAD / HTTP/1.1",
        "OPTIONS * HTTP/1.1",
        "PUT /x HTTP/1.1",
        "DELETE /x HTTP/1.1",
        "HELLO",
        "GET",
        "\x16\x03\x01\x02",  // the start of a TLS handshake
    };
    for (const std::string& line : firstLines) {
        Client peer;
        ASSERT_TRUE(peer.connect(port));
        // A request pipelined behind it is not served either.
        ASSERT_TRUE(peer.send(line + "\r\nHost: 127.0.0.1\r\n\r\nGET /after HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(peer.receive(1), "") << line;
        EXPECT_TRUE(peer.waitForClose()) << line;
    }
    EXPECT_TRUE(handler->requests.values().empty());
    EXPECT_TRUE(eventually([&] { return http()->partialCount() == 0; }));
}

// A file answer announces the size the file had when it was opened and checked, and sends
// that many bytes of it. One that has grown since sends no more, and the connection serves
// on; one that has shrunk cannot give what was announced, and the connection closes after
// what there is, so that the peer sees the answer as cut.
TEST_F(HTTPLayer, AFileAnswerSendsTheLengthItHadWhenCheckedOrClosesShortOfIt) {
    const std::string large(3 * KrTransceiverConnection::kFileSendStep + 17, 'L');
    const struct Case {
        const char* name;
        std::string atCheck;
        std::string atSend;
        bool whole;
    } cases[] = {
        {"unchanged since its check", "12345", "12345", true},
        {"empty when checked and when sent", "", "", true},
        {"grown after its check: only what was announced", "12345", "1234567890", true},
        {"grown beyond a step of the file", "12345", large, true},
        {"shrunk after its check: what there is, then the end", "1234567890", "12345", false},
        {"emptied after its check", "1234567890", "", false},
        {"large, and shrunk within the first step", large, "12345", false},
    };
    const std::string path = testing::TempDir() + "layer-file-" + std::to_string(::getpid());
    // "/file/N" answers with case N's file, changed after its check and before its bytes
    // are sent; any other path as usual.
    handler->respond = [&](KrXHeader& request, KrXResponseHeader& answer) {
        if (request.path().rfind("/file/", 0) != 0) {
            answer.writeAnswer(describe(request));
            return;
        }
        const Case& at = cases[std::stoul(request.path().substr(6))];
        std::ofstream(path, std::ios::binary | std::ios::trunc) << at.atCheck;
        answer.setStatus(200);
        answer.setFile(openedFile(path));
        std::ofstream(path, std::ios::binary | std::ios::trunc) << at.atSend;
        answer.setState(KrXHeader::kStateAnswerReady);
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [name, atCheck, atSend, whole] = cases[i];
        SCOPED_TRACE(name);
        Client peer;
        ASSERT_TRUE(peer.connect(port));
        ASSERT_TRUE(peer.send("GET /file/" + std::to_string(i) + " HTTP/1.1\r\n\r\n"));
        const std::string head = answerHead(atCheck.size());
        if (whole) {
            const std::string expected = head + atSend.substr(0, atCheck.size());
            EXPECT_EQ(peer.receive(expected.size()), expected);
            ASSERT_TRUE(peer.send("GET /next HTTP/1.1\r\n\r\n"));
            const std::string next = plainAnswer("/next");
            EXPECT_EQ(peer.receive(next.size()), next) << "nothing came behind the file";
        } else {
            EXPECT_EQ(peer.receive(head.size() + atCheck.size()), head + atSend);
            EXPECT_TRUE(peer.waitForClose());
        }
    }
    std::remove(path.c_str());
}

TEST_F(HTTPLayer, APeerThatDoesNotReadHoldsUpItsPipelineNotTheServer) {
    const std::string page(64 * 1024, 'p');
    handler->respond = [&page](KrXHeader&, KrXResponseHeader& answer) { answer.writeAnswer(page); };
    // 200 pipelined requests whose answers (12.5 MiB) are far beyond the output limit.
    std::string requests;
    for (int i = 0; i < 200; ++i) {
        requests += "GET /" + std::to_string(i) + " HTTP/1.1\r\n\r\n";
    }
    ASSERT_TRUE(client->send(requests));
    std::string answers;
    for (int i = 0; i < 200; ++i) {
        answers += answerTo(page);
    }
    const std::string received = client->receive(answers.size());
    EXPECT_EQ(received.size(), answers.size());
    EXPECT_TRUE(received == answers);
    const auto seen = handler->requests.values();
    ASSERT_EQ(seen.size(), 200u);
    EXPECT_EQ(seen[199]->path(), "/199");
}

// A served directory's large file, a small one and request bodies, pipelined in any mix.
class PipelinedHTTPLayer : public HTTPLayer {
protected:
    // Beyond the connection's output limit, so that what follows it waits for the peer.
    static constexpr std::size_t kBigFileSize = std::size_t{8} << 20;

    void SetUp() override {
        HTTPLayer::SetUp();
        bigFile_ = testing::TempDir() + "pipelined-big-" + std::to_string(::getpid()) + ".bin";
        bigContent_.resize(kBigFileSize);
        for (std::size_t i = 0; i < bigContent_.size(); ++i) {
            bigContent_[i] = static_cast<char>('a' + i % 23);
        }
        std::ofstream(bigFile_, std::ios::binary) << bigContent_;
        handler->respond = [this](KrXHeader& request, KrXResponseHeader& answer) {
            if (request.path() == "/big.bin") {
                answer.setStatus(200);
                answer.setFile(openedFile(bigFile_));
                answer.setState(KrXHeader::kStateAnswerReady);
            } else if (request.path() == "/hello.txt") {
                answer.writeAnswer("hello\n");
            } else {
                answer.writeAnswer(describe(request));
            }
        };
        handler->takeAnswer = [](KrXHeader&) {};
    }

    void TearDown() override { std::remove(bigFile_.c_str()); }

    // A request and the answer it must get.
    struct Exchange {
        std::string request;
        std::string answer;
    };

    Exchange big() const { return {"GET /big.bin HTTP/1.1\r\n\r\n", answerTo(bigContent_)}; }
    static Exchange hello() { return {"GET /hello.txt HTTP/1.1\r\n\r\n", answerTo("hello\n")}; }
    // A status line from the peer, which is taken and gets no answer.
    static Exchange statusLine() { return {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", ""}; }
    static Exchange post(std::size_t size) {
        return {
            "POST /post HTTP/1.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
                std::string(size, 'b'),
            answerTo("method 2 path /post\nfield content-length=" + std::to_string(size) + "\n")};
    }

    std::string bigFile_;
    std::string bigContent_;
};

// Sends bytes from a thread of its own, so that the test reads answers while it writes, as a
// pipelining client does; afterwards ends the client's sending side when asked to.
std::jthread sendAll(Client& client, std::string bytes, bool endStream) {
    return std::jthread([&client, bytes = std::move(bytes), endStream] {
        EXPECT_TRUE(client.send(bytes));
        if (endStream) {
            ::shutdown(client.socket.handle(), SHUT_WR);
        }
    });
}

// Every answer reaches the peer whole and in order, whatever waits behind a large answer;
// a peer that ends its sending side after its requests (shutdown(SHUT_WR)) gets every
// answer, and then the connection closes.
TEST_F(PipelinedHTTPLayer, EveryAnswerArrivesWholeAndInOrder) {
    const struct {
        const char* name;
        std::vector<Exchange> exchanges;
        bool endStream;
    } cases[] = {
        {"a large file, a small one and a 200 KB body", {big(), hello(), post(200'000)}, false},
        {"small requests behind two large answers",
         {big(), big(), hello(), hello(), hello(), post(10), hello()},
         false},
        {"large bodies behind a large answer",
         {big(), post(900'000), post(900'000), hello()},
         false},
        {"a status line behind a large answer, and a request behind it",
         {big(), statusLine(), hello()},
         false},
        {"a large answer after many small ones",
         {hello(), hello(), hello(), hello(), hello(), hello(), big(), hello()},
         false},
        {"one request, then the end of the stream", {hello()}, true},
        {"pipelined requests, then the end of the stream", {hello(), post(10), hello()}, true},
        {"a large answer and more, then the end of the stream",
         {big(), hello(), post(200'000)},
         true},
        {"half a request, then the end of the stream",
         {{"GET /hello.txt HTTP/1.1\r\nHo", ""}},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto peer = connect(port);
        ASSERT_TRUE(peer);
        std::string requests;
        std::string answers;
        for (const Exchange& exchange : c.exchanges) {
            requests += exchange.request;
            answers += exchange.answer;
        }
        {
            const auto sender = sendAll(*peer, requests, c.endStream);
            const std::string received = peer->receive(answers.size());
            EXPECT_EQ(received.size(), answers.size());
            EXPECT_TRUE(received == answers);
        }
        if (c.endStream) {
            EXPECT_TRUE(peer->waitForClose());
        } else {
            const Exchange again = hello();
            ASSERT_TRUE(peer->send(again.request));
            EXPECT_EQ(peer->receive(again.answer.size()), again.answer)
                << "the connection serves on";
        }
    }
    EXPECT_TRUE(eventually([&] { return http()->partialCount() == 0; }));
}

// While the answers wait for a peer that does not read, the requests behind them wait in
// the connection, and the server stops reading more: what one connection makes the server
// hold stays bounded. Once the peer reads, every request it sent is answered in order.
TEST_F(PipelinedHTTPLayer, WhileAnswersWaitTheServerHoldsBoundedRequests) {
    ASSERT_TRUE(client->send(big().request));
    // Requests with bodies, so that megabytes of them are a few thousand requests.
    const Exchange filler = post(8000);
    std::string chunk;
    while (chunk.size() < 64 * 1024) {
        chunk += filler.request;
    }
    constexpr std::size_t kBound = std::size_t{64} << 20;
    std::size_t sent = 0;
    for (std::size_t offset = 0; sent < 4 * kBound;) {
        std::size_t n = 0;
        ASSERT_NE(client->socket.send(chunk.data() + offset, chunk.size() - offset, n),
                  KrSocketIPvx::kSendFailed)
            << "the server gave up on the connection after " << sent << " bytes";
        sent += n;
        offset = (offset + n) % chunk.size();
        if (n == 0 &&
            platform::pollOne(client->socket.handle(), platform::kPollWritable, 500ms).value == 0) {
            break;  // the server takes no more
        }
    }
    EXPECT_LT(sent, kBound);
    const auto connection = hub->findConnection(handler->requests.values().at(0)->route(0));
    ASSERT_TRUE(connection);
    EXPECT_LE(connection->inputSize(),
              KrTransceiverConnection::kInputLimit + KrTransceiverConnection::kReadSize);

    const std::size_t requests = sent / filler.request.size();
    std::string answers = big().answer;
    for (std::size_t i = 0; i < requests; ++i) {
        answers += filler.answer;
    }
    const std::string received = client->receive(answers.size());
    EXPECT_EQ(received.size(), answers.size());
    EXPECT_TRUE(received == answers);
}

TEST(AccessLogLine, AnAnswerWithoutPeerOrRequestFieldsStillGetsItsLine) {
    auto request = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, 8);
    auto answer = request->createAnswer();
    answer->setStatus(404);
    EXPECT_EQ(KrTransceiverServerL1HTTP::accessLogLine(*answer, 0),
              "none - none - [" + answer->timeStampText() + "] \"-\" --> 404 0 \"-\" \"-\"");
}

TEST(AccessLogLine, ControlBytesAndQuotesFromThePeerAreWrittenAsHexEscapes) {
    using namespace std::string_literals;
    struct Case {
        std::string head;  // request line and fields
        std::string request, referer, agent;
    };
    const Case cases[] = {
        // What browsers send is written as it came; blanks are gone from field values.
        {"GET /f11?nuxelid=1&a=%22+\\ HTTP/1.1\r\nReferer: http://127.0.0.1/?q=\xC3\xA4\r\n"
         "User-Agent: Mozilla/5.0 (X11; Linux)\r\n",
         "GET /f11?nuxelid=1&a=%22+\\", "http://127.0.0.1/?q=\xC3\xA4", "Mozilla/5.0(X11;Linux)"},
        // A lone LF would begin a line of the peer's making.
        {"GET /a\n127.0.0.1 HTTP/1.1\r\n", "GET /a\\x0A127.0.0.1", "-", "-"},
        {"GET /x\0y HTTP/1.1\r\nReferer: a\nb\r\nUser-Agent: c\n\n\r\n"s, "GET /x\\x00y", "a\\x0Ab",
         "c\\x0A\\x0A"},
        // Terminal escapes, DEL and quotes that would end the field early.
        {"GET /\x1B[2J HTTP/1.1\r\nReferer: \x1B]0;title\x07\r\nUser-Agent: a\"b\x7F\x01\r\n",
         "GET /\\x1B[2J", "\\x1B]0;title\\x07", "a\\x22b\\x7F\\x01"},
        // CSI raw and as UTF-8 (a C1 control), and a UTF-8 sequence cut short.
        {"GET /\x9B" "2J HTTP/1.1\r\nReferer: \xC2\x9B" "0m\r\nUser-Agent: \xC3\xA4\xE2\x82\r\n",
         "GET /\\x9B" "2J", "\\xC2\\x9B" "0m", "\xC3\xA4\\xE2\\x82"},
    };
    for (const Case& c : cases) {
        const auto read = httptest::readStream({c.head + "\r\n"});
        ASSERT_EQ(read.front().result, KrXHeader::kComplete) << testing::PrintToString(c.head);
        const auto answer = read.front().message->createAnswer();
        answer->setStatus(200);
        EXPECT_EQ(KrTransceiverServerL1HTTP::accessLogLine(*answer, 7),
                  "none - http - [" + answer->timeStampText() + "] \"" + c.request +
                      "\" --> 200 7 \"" + c.referer + "\" \"" + c.agent + "\"")
            << testing::PrintToString(c.head);
    }
}

class IdleHTTPLayer : public testing::Test, public LayerFixture {
protected:
    IdleHTTPLayer() : LayerFixture(KrTransceiver::Timing{.connectionTimeout = 200'000}) {}
};

TEST_F(IdleHTTPLayer, ThePartialRequestOfAnExpiredConnectionIsFreed) {
    const std::uint16_t port = listen();
    auto client = connect(port);
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->send("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"));
    const auto http = layer<KrTransceiverServerL1HTTP>();
    ASSERT_TRUE(eventually([&] { return http->partialCount() == 1; }));
    EXPECT_TRUE(client->waitForClose());
    EXPECT_TRUE(eventually([&] { return http->partialCount() == 0; }));
}

// Request limits far below the defaults, so that the tests see them act.
class SlowRequestHTTPLayer : public testing::Test, public LayerFixture {
protected:
    static constexpr std::uint64_t kMinimumRate = 2000;  // bytes a second

    SlowRequestHTTPLayer()
        : LayerFixture(KrTransceiver::Timing{
              .headTimeLimit = 2000ms, .bodyMinimumRate = kMinimumRate, .bodyGrace = 1000ms}) {}

    void SetUp() override {
        port = listen();
        ASSERT_NE(port, 0);
    }

    std::uint16_t port = 0;
};

TEST_F(SlowRequestHTTPLayer, AHeadTrickledPastItsTimeLimitIsClosedOneCompleteInTimeIsServed) {
    auto inTime = connect(port);
    ASSERT_TRUE(inTime);
    ASSERT_TRUE(inTime->send("GET /split HTTP/1.1\r\nHo"));
    ASSERT_TRUE(
        eventually([&] { return layer<KrTransceiverServerL1HTTP>()->partialCount() == 1; }));
    ASSERT_TRUE(inTime->send("st: 127.0.0.1\r\n\r\n"));
    const std::string split = answerTo("method 1 path /split\nfield host=127.0.0.1\n");
    ASSERT_EQ(inTime->receive(split.size()), split);

    // A byte every 100 ms keeps the connection from ever being idle.
    auto trickling = connect(port);
    ASSERT_TRUE(trickling);
    ASSERT_TRUE(trickling->send("GET /slow HTTP/1.1\r\nX-Slow: "));
    EXPECT_TRUE(trickling->trickleUntilClosed("s", 100ms));
    ASSERT_EQ(handler->requests.values().size(), 1u) << "the trickled head is never served";

    // The first connection's head deadline, earlier than the trickled one's, has passed as
    // well: it ended with its head, and the connection serves on.
    ASSERT_TRUE(inTime->send("GET /next HTTP/1.1\r\n\r\n"));
    const std::string next = answerTo("method 1 path /next\n");
    EXPECT_EQ(inTime->receive(next.size()), next);
}

TEST_F(SlowRequestHTTPLayer, ABodySlowerThanTheRateIsClosedAfterTheGraceOneAtTheRateIsServed) {
    auto slow = connect(port);
    ASSERT_TRUE(slow);
    ASSERT_TRUE(slow->send("POST /slow HTTP/1.1\r\nContent-Length: 100000\r\n\r\n"));
    // 100 bytes a second, a twentieth of the rate.
    EXPECT_TRUE(slow->trickleUntilClosed("0123456789", 100ms));
    EXPECT_TRUE(handler->requests.values().empty());

    // Ten times the rate, for twice the grace.
    constexpr std::size_t kPieces = 80;
    constexpr std::size_t kPiece = kMinimumRate / 4;
    auto steady = connect(port);
    ASSERT_TRUE(steady);
    const std::string length = std::to_string(kPieces * kPiece);
    ASSERT_TRUE(steady->send("POST /steady HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n"));
    for (std::size_t i = 0; i < kPieces; ++i) {
        std::this_thread::sleep_for(25ms);
        ASSERT_TRUE(steady->send(std::string(kPiece, 'b'))) << i;
    }
    const std::string answer =
        answerTo("method 2 path /steady\nfield content-length=" + length + "\n");
    EXPECT_EQ(steady->receive(answer.size()), answer);
}

// Uploads under limits set by the test.
class UploadHTTPLayer : public testing::Test, public LayerFixture {
protected:
    explicit UploadHTTPLayer(KrTransceiver::Limits limits) : LayerFixture({}, limits) {}

    void SetUp() override {
        port = listen();
        ASSERT_NE(port, 0);
    }

    // A connection that has sent the head of a POST of that length and, in the same write,
    // the first bytes of its body.
    std::unique_ptr<Client> startUpload(const std::string& path, std::size_t length,
                                        std::string_view first = "0123456789") {
        auto client = connect(port);
        if (!client || !client->send("POST " + path + " HTTP/1.1\r\nContent-Length: " +
                                     std::to_string(length) + "\r\n\r\n" + std::string(first))) {
            return nullptr;
        }
        return client;
    }

    std::uint64_t held() const { return hub->incompleteBodies().held(); }

    static std::string uploadAnswer(const std::string& path, std::size_t length) {
        return answerTo("method 2 path " + path +
                        "\nfield content-length=" + std::to_string(length) + "\n");
    }

    std::uint16_t port = 0;
};

// A small total of incomplete bytes.
class BudgetHTTPLayer : public UploadHTTPLayer {
protected:
    BudgetHTTPLayer() : UploadHTTPLayer({.incompleteBytes = 1000}) {}
};

TEST_F(BudgetHTTPLayer, ABodyThatWouldCrossTheTotalIsRefusedWhenNoSlowerOneMakesRoom) {
    // What has arrived is held, not what is declared.
    auto slow = startUpload("/slow", 900);
    ASSERT_TRUE(slow);
    ASSERT_TRUE(eventually([&] { return held() == 10; }));
    auto fast = startUpload("/fast", 600);
    ASSERT_TRUE(fast);
    ASSERT_TRUE(eventually([&] { return held() == 20; }));
    ASSERT_TRUE(fast->send(std::string(500, 'f')));
    ASSERT_TRUE(eventually([&] { return held() == 520; }));

    // The older body with no more bytes than the younger came slower: it would cross the
    // total and goes itself, cutting nobody.
    ASSERT_TRUE(slow->send(std::string(500, 's')));
    EXPECT_EQ(slow->receive(1), "");
    EXPECT_TRUE(slow->waitForClose());
    EXPECT_TRUE(eventually([&] { return held() == 510; }));

    // A request that comes whole holds nothing incomplete, whatever its size.
    auto whole = connect(port);
    ASSERT_TRUE(whole);
    ASSERT_TRUE(
        whole->send("POST /whole HTTP/1.1\r\nContent-Length: 800\r\n\r\n" + std::string(800, 'w')));
    EXPECT_EQ(whole->receive(uploadAnswer("/whole", 800).size()), uploadAnswer("/whole", 800));

    auto within = startUpload("/within", 400);
    ASSERT_TRUE(within);
    ASSERT_TRUE(eventually([&] { return held() == 520; }));
    ASSERT_TRUE(within->send(std::string(390, 'b')));
    EXPECT_EQ(within->receive(uploadAnswer("/within", 400).size()), uploadAnswer("/within", 400));
    ASSERT_TRUE(fast->send(std::string(90, 'f')));
    EXPECT_EQ(fast->receive(uploadAnswer("/fast", 600).size()), uploadAnswer("/fast", 600));
    EXPECT_EQ(handler->requests.values().size(), 3u);
    EXPECT_EQ(held(), 0u);
}

TEST_F(BudgetHTTPLayer, TheBytesReturnWhenTheRequestCompletesOrItsConnectionGoes) {
    auto completing = startUpload("/completing", 600);
    auto leaving = startUpload("/leaving", 400);
    ASSERT_TRUE(completing && leaving);
    ASSERT_TRUE(completing->send(std::string(290, 'b')));
    ASSERT_TRUE(leaving->send(std::string(190, 'b')));
    ASSERT_TRUE(eventually([&] { return held() == 500; }));

    ASSERT_TRUE(completing->send(std::string(300, 'b')));
    const std::string answer = uploadAnswer("/completing", 600);
    ASSERT_EQ(completing->receive(answer.size()), answer);
    EXPECT_TRUE(eventually([&] { return held() == 200; }));

    leaving.reset();
    EXPECT_TRUE(eventually([&] { return held() == 0; }));
    // The whole total is there again.
    auto large = startUpload("/large", 1000);
    ASSERT_TRUE(large);
    ASSERT_TRUE(large->send(std::string(980, 'b')));
    ASSERT_TRUE(eventually([&] { return held() == 990; }));
    ASSERT_TRUE(large->send(std::string(10, 'b')));
    EXPECT_EQ(large->receive(uploadAnswer("/large", 1000).size()), uploadAnswer("/large", 1000));
    EXPECT_TRUE(eventually([&] { return held() == 0; }));
}

// Big bodies that trickle and posts of a few KiB among them: the budget of 16 MiB that 16
// bodies of 1 MiB each declare, as the 256 MiB of a real server are what 16 bodies of the
// largest size declare.
class TrickledHTTPLayer : public UploadHTTPLayer {
protected:
    static constexpr std::size_t kBigBodies = 16;
    static constexpr std::size_t kBigBody = std::size_t{1} << 20;
    static constexpr std::size_t kPosts = 8;
    static constexpr std::size_t kPostBody = 4096;

    explicit TrickledHTTPLayer(std::uint64_t total = kBigBodies * kBigBody)
        : UploadHTTPLayer({.incompleteBytes = total}) {}

    std::shared_ptr<KrTransceiverServerL1HTTP> http() const {
        return layer<KrTransceiverServerL1HTTP>();
    }

    // The big bodies begun, one after the other, each with first as its first bytes.
    void startBigBodies(std::string_view first) {
        for (std::size_t i = 0; i < kBigBodies; ++i) {
            auto upload = startUpload("/big" + std::to_string(i), kBigBody, first);
            ASSERT_TRUE(upload) << i;
            // Each one's body has begun before the next one's.
            ASSERT_TRUE(eventually([&] { return http()->partialCount() == i + 1; })) << i;
            big.push_back(std::move(upload));
        }
    }

    // How many of the big bodies' connections the server has closed.
    std::size_t bigOnesClosed() {
        std::vector<char> buffer(1024);
        std::size_t closed = 0;
        for (const auto& upload : big) {
            closed += upload->readShowsClose(buffer, 0ms) ? 1 : 0;
        }
        return closed;
    }

    static std::string postHead(const std::string& path) {
        return "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(kPostBody) +
               "\r\n\r\n";
    }

    std::vector<std::unique_ptr<Client>> big;
};

TEST_F(TrickledHTTPLayer, FormPostsAreAnsweredWhileBigBodiesTrickleAtTheMinimumRate) {
    ASSERT_NO_FATAL_FAILURE(startBigBodies(std::string(2048, 'b')));
    // Each trickles on at 1.3 KB/s, above the minimum rate.
    std::jthread trickle([&](const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            for (const auto& upload : big) {
                (void)upload->send(std::string(130, 't'));
            }
            std::this_thread::sleep_for(100ms);
        }
    });

    for (std::size_t i = 0; i < kPosts; ++i) {
        const std::string path = "/post" + std::to_string(i);
        auto post = connect(port);
        ASSERT_TRUE(post);
        // The head, read alone; then the body.
        ASSERT_TRUE(post->send(postHead(path)));
        ASSERT_TRUE(eventually([&] { return http()->partialCount() == kBigBodies + 1; })) << i;
        ASSERT_TRUE(post->send(std::string(kPostBody, 'p')));
        EXPECT_EQ(post->receive(uploadAnswer(path, kPostBody).size()), uploadAnswer(path, kPostBody))
            << i;
        post.reset();
        ASSERT_TRUE(eventually([&] { return http()->partialCount() == kBigBodies; })) << i;
    }
    trickle.request_stop();
    trickle.join();
    EXPECT_EQ(bigOnesClosed(), 0u) << "the budget had room: nobody was cut";
    EXPECT_LE(held(), hub->incompleteBodies().total());
    EXPECT_GE(held(), kBigBodies * 2048) << "what the big bodies sent is held";
}

// A budget the big bodies fill but for what one of them holds: 2 KiB each, of what they
// declare.
class FullBudgetHTTPLayer : public TrickledHTTPLayer {
protected:
    static constexpr std::size_t kHeld = 2048;

    FullBudgetHTTPLayer() : TrickledHTTPLayer((kBigBodies + 1) * kHeld) {}
};

TEST_F(FullBudgetHTTPLayer, TheSlowestBodyMakesRoomForAPostAndTheBudgetHolds) {
    ASSERT_NO_FATAL_FAILURE(startBigBodies(std::string(kHeld, 'b')));
    ASSERT_TRUE(eventually([&] { return held() == kBigBodies * kHeld; }));

    // Three quarters of each post come with its head, more than the 2 KiB left: the big
    // body that began first, older than any and holding no more than the post by then, is
    // the slowest and is cut. The room that one cut makes holds a whole post, so it is the
    // only one, however the rest of this post comes and for every post after it.
    constexpr std::size_t kFirstPart = kPostBody * 3 / 4;
    for (std::size_t i = 0; i < kPosts; ++i) {
        SCOPED_TRACE(i);
        const std::string path = "/post" + std::to_string(i);
        auto post = connect(port);
        ASSERT_TRUE(post);
        ASSERT_TRUE(post->send(postHead(path) + std::string(kFirstPart, 'p')));
        ASSERT_TRUE(
            eventually([&] { return held() == (kBigBodies - 1) * kHeld + kFirstPart; }));
        ASSERT_TRUE(post->send(std::string(kPostBody - kFirstPart, 'p')));
        EXPECT_EQ(post->receive(uploadAnswer(path, kPostBody).size()),
                  uploadAnswer(path, kPostBody));
        ASSERT_TRUE(eventually([&] { return held() == (kBigBodies - 1) * kHeld; }));
        EXPECT_LE(held(), hub->incompleteBodies().total());
    }
    EXPECT_TRUE(big.front()->waitForClose());
    EXPECT_EQ(bigOnesClosed(), 1u);
    EXPECT_TRUE(eventually([&] { return http()->partialCount() == kBigBodies - 1; }))
        << "the partial request of the cut one is freed";
    EXPECT_TRUE(eventually([&] { return hub->connectionCount() == kBigBodies - 1; }));
}

// Room for three connections.
class CrowdedHTTPLayer : public UploadHTTPLayer {
protected:
    CrowdedHTTPLayer() : UploadHTTPLayer({.connections = 3}) {}

    // A new connection whose GET was answered; it stays open.
    std::unique_ptr<Client> served(const std::string& path) {
        auto client = connect(port);
        const std::string answer = answerTo("method 1 path " + path + "\n");
        if (!client || !client->send("GET " + path + " HTTP/1.1\r\n\r\n") ||
            client->receive(answer.size()) != answer) {
            return nullptr;
        }
        return client;
    }
};

TEST_F(CrowdedHTTPLayer, NewConnectionsTakeThePlaceOfIdleOnesNeverOfABodyInProgress) {
    auto keptAlive = connect(port);
    ASSERT_TRUE(keptAlive);
    ASSERT_TRUE(keptAlive->send("GET /first HTTP/1.1\r\n\r\n"));
    const std::string first = answerTo("method 1 path /first\n");
    ASSERT_EQ(keptAlive->receive(first.size()), first);
    auto halfHead = connect(port);
    ASSERT_TRUE(halfHead);
    ASSERT_TRUE(halfHead->send("GET /half HTTP/1.1\r\nHo"));
    ASSERT_TRUE(
        eventually([&] { return layer<KrTransceiverServerL1HTTP>()->partialCount() == 1; }));
    auto uploading = startUpload("/upload", 20);
    ASSERT_TRUE(uploading);
    ASSERT_TRUE(eventually([&] { return held() == 10; }));

    // The one that would be cut first makes room: the head that has not come whole, whose
    // time limit is shorter than the idle time; then the keep-alive connection between its
    // requests.
    auto a = served("/a");
    EXPECT_TRUE(a);
    EXPECT_TRUE(halfHead->waitForClose());
    auto b = served("/b");
    EXPECT_TRUE(b);
    EXPECT_TRUE(keptAlive->waitForClose());
    EXPECT_EQ(hub->connectionCount(), 3u);

    // Only bodies in progress: a new connection finds no room. (The two served ones make
    // room for the uploads.)
    auto second = startUpload("/second", 20);
    ASSERT_TRUE(second);
    ASSERT_TRUE(eventually([&] { return held() == 20; }));
    auto third = startUpload("/third", 20);
    ASSERT_TRUE(third);
    ASSERT_TRUE(eventually([&] { return held() == 30; }));
    Client refused;
    ASSERT_TRUE(refused.connect(port));
    (void)refused.send("GET /refused HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(refused.waitForClose());

    for (auto* upload : {&uploading, &second, &third}) {
        ASSERT_TRUE((*upload)->send("abcdefghij"));
    }
    for (const auto& [upload, path] :
         {std::pair{&uploading, "/upload"}, {&second, "/second"}, {&third, "/third"}}) {
        EXPECT_EQ((*upload)->receive(uploadAnswer(path, 20).size()), uploadAnswer(path, 20));
    }
    for (const auto& request : handler->requests.values()) {
        EXPECT_NE(request->path(), "/refused");
    }
}

class NUXELLayer : public testing::Test, public LayerFixture {};

TEST_F(NUXELLayer, RequestsCarryProtocol6AndAreAnsweredWithAnHTTPStatusLine) {
    handler->respond = [](KrXHeader&, KrXResponseHeader& answer) {
        answer.setStatus(404);
        answer.setState(KrXHeader::kStateAnswerReady);
    };
    const std::uint16_t port = listen(kr::kProtocolNUXEL);
    auto client = connect(port);
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->send("GET /cmd?nuxelid=1 NUXEL/1.0\r\n\r\n"));
    const std::string expected = answerHead(0, "404 Not Found");
    EXPECT_EQ(client->receive(expected.size()), expected);
    EXPECT_EQ(handler->requests.values()[0]->protocol(), kr::kProtocolNUXEL);
    ASSERT_TRUE(eventually([&] { return logLines().size() == 1; }));
    EXPECT_EQ(logLines()[0].substr(0, 20), "127.0.0.1 - nuxel - ");
}

TEST_F(NUXELLayer, ProtocolSevenIsServedByTheNUXELLayer) {
    EXPECT_NE(listen(kr::kProtocolNUXELS), 0);
    EXPECT_TRUE(layer<KrTransceiverServerL1HTTP>()->protocol() == kr::kProtocolNUXEL);
}

TEST_F(NUXELLayer, HTTPSBuildsNoServer) {
    testing::internal::CaptureStdout();
    auto description = kr::makeJob<KrXServerHeader>(true, kr::kProtocolHTTPS);
    hub->createServer(handler.get(), description, recorder.callback());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "unknown protocol!! (3)\n");
    EXPECT_EQ(description->server(), nullptr);
}

class DirectSocketLayer : public testing::Test, public LayerFixture {};

TEST_F(DirectSocketLayer, BytesPassThroughUnparsedAndAreReported) {
    const std::uint16_t port = listen(kr::kProtocolSocket);
    auto client = connect(port);
    ASSERT_TRUE(client);
    const std::string raw("GET / HTTP/1.1\r\n\0binary\xff", 24);
    ASSERT_TRUE(client->send(raw));
    EXPECT_EQ(client->receive(raw.size()), raw);
    const auto request = handler->requests.values().at(0);
    EXPECT_EQ(request->protocol(), kr::kProtocolSocket);
    EXPECT_EQ(request->messageKind(), KrXHeader::kRequest);
    EXPECT_TRUE(request->headerMap().empty()) << "nothing is parsed";

    KrServerCallback_t sent;
    ASSERT_TRUE(recorder.waitForState(KrServerCallback_t::kRawDataSent, &sent));
    EXPECT_EQ(sent.values["ID"], handler->id());
    EXPECT_EQ(sent.values["bytes"], "24");
    EXPECT_EQ(sent.values["status_code"], "500");
    const std::string used = sent.values["time_used"];
    ASSERT_GE(used.size(), 8u);
    EXPECT_EQ(used[used.size() - 7], '.') << used;
}

}  // namespace
