#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MessageReading.h"
#include "foundation/KrException.h"
#include "http/HTTPTables.h"
#include "http/KrXHeader.h"
#include "http/KrXResponseHeader.h"

namespace {

std::shared_ptr<KrXResponseHeader> newAnswer(std::uint32_t protocol = 3) {
    return kr::makeJob<KrXResponseHeader>(KrXHeader::kMethodAnswer, false, protocol);
}

std::string head(KrXHeader& message) {
    std::ostringstream out;
    EXPECT_TRUE(message.writeHeader(out));
    return out.str();
}

std::string bodyOf(KrXHeader& message) {
    std::string body;
    if (message.hasBody()) {
        message.body().copyUnread(body);
    }
    return body;
}

TEST(AnswerHead, PageAnswerCarriesStatusServerAndLength) {
    auto answer = newAnswer();
    answer->writeAnswer("<p>hi</p>");
    EXPECT_EQ(head(*answer),
              "HTTP/1.1 200 OK\r\n"
              "Server: brantel/1.28.1(96)\r\n"
              "Content-Length: 9\r\n"
              "\r\n");
    EXPECT_EQ(answer->bodyLength(), 9u);
    EXPECT_EQ(bodyOf(*answer), "<p>hi</p>") << "the body stays for the layer to queue";
    const std::unique_ptr<KrStringBuf> taken = answer->takeBody();
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->unreadSize(), 9);
    EXPECT_FALSE(answer->hasBody());
}

TEST(AnswerHead, EmptyNotFoundAnswer) {
    auto answer = newAnswer(6);
    answer->setStatus(404);
    answer->setState(KrXHeader::kStateAnswerReady);
    EXPECT_EQ(head(*answer),
              "HTTP/1.1 404 Not Found\r\n"
              "Server: brantel/1.28.1(96)\r\n"
              "Content-Length: 0\r\n"
              "\r\n")
        << "a NUXEL answer's status line begins HTTP/ too";
    // Nothing to queue behind the head: no body is made up for the taking.
    EXPECT_EQ(answer->takeBody(), nullptr);
    EXPECT_FALSE(answer->hasBody());
}

TEST(AnswerHead, UnknownCodeGetsAnEmptyReasonAndJoinsTheTable) {
    ASSERT_FALSE(kr::statusReasonTable().contains(299));
    auto answer = newAnswer();
    answer->setStatus(299);
    EXPECT_EQ(answer->status(), 500) << "setStatus takes only codes the table knows";
    answer->setStatusCode(299);
    answer->setState(KrXHeader::kStateAnswerReady);
    EXPECT_EQ(head(*answer).substr(0, 15), "HTTP/1.1 299 \r\n");
    EXPECT_TRUE(kr::statusReasonTable().contains(299));
    EXPECT_EQ(kr::statusReasonTable().reason(299), "");
    auto later = newAnswer();
    later->setStatus(299);
    EXPECT_EQ(later->status(), 299);
}

TEST(AnswerHead, StatusTableGrowsSafelyFromManyWriters) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                auto answer = newAnswer();
                answer->setStatusCode(600 + (i + t) % 25);
                answer->setState(KrXHeader::kStateAnswerReady);
                std::ostringstream out;
                answer->writeHeader(out);
                (void)kr::statusReasonTable().reason(200);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    for (int code = 600; code < 625; ++code) {
        EXPECT_TRUE(kr::statusReasonTable().contains(code)) << code;
    }
}

TEST(AnswerHead, RedirectWritesLocation) {
    auto answer = newAnswer();
    answer->setStatus(303);
    answer->setRedirect("/next");
    answer->setState(KrXHeader::kStateAnswerReady);
    EXPECT_EQ(head(*answer),
              "HTTP/1.1 303 Redirect\r\n"
              "Server: brantel/1.28.1(96)\r\n"
              "Content-Length: 0\r\n"
              "Location: /next\r\n"
              "\r\n");
}

TEST(AnswerHead, FileLengthIsTheBodyLength) {
    auto answer = newAnswer();
    answer->setStatus(200);
    answer->setFile(kr::ServableFile{.fd = platform::Fd(), .size = 1234});
    answer->setState(KrXHeader::kStateAnswerReady);
    EXPECT_EQ(head(*answer),
              "HTTP/1.1 200 OK\r\nServer: brantel/1.28.1(96)\r\nContent-Length: 1234\r\n\r\n");
}

TEST(AnswerHead, WrittenOnlyWhenReady) {
    auto answer = newAnswer();
    std::ostringstream out;
    EXPECT_FALSE(answer->readyToWrite());
    EXPECT_FALSE(answer->writeHeader(out));
    answer->setState(KrXHeader::kStateWrittenEarly);
    EXPECT_FALSE(answer->writeHeader(out)) << "state 5 needs the write-in-state-5 flag";
    EXPECT_EQ(out.str(), "");

    auto early = kr::makeJob<KrXResponseHeader>(KrXHeader::kMethodAnswer, true, 3);
    early->setState(KrXHeader::kStateWrittenEarly);
    EXPECT_TRUE(early->readyToWrite());
    EXPECT_TRUE(early->writeHeader(out));
    EXPECT_FALSE(early->readyToWrite()) << "the head has been written";
    EXPECT_TRUE(early->writeHeader(out)) << "the writer itself does not look at the flag";
    EXPECT_EQ(out.str().find("500 Internal Error"), 9u);
}

TEST(CgiHead, HeaderBlockOfTheProgramReplacesTheEmptyLine) {
    struct Case {
        std::string output;
        std::string headEnd;  // what follows the Content-Length line
        std::string body;
    };
    const Case cases[] = {
        {"Content-type: text/html\r\nX-A: 1\r\n\r\n<b>x</b>",
         "Content-type: text/html\r\nX-A: 1\r\n\r\n", "<b>x</b>"},
        {"Content-type: text/html\n\n<b>x</b>\r\n\r\nmore", "Content-type: text/html\n\n",
         "<b>x</b>\r\n\r\nmore"},
        {"Content-type: text/html\r\n\r\n", "Content-type: text/html\r\n\r\n", ""},
        // Without a complete empty line everything is body.
        {"no header block\r\n\r", "\r\n", "no header block\r\n\r"},
        {"Content-type: text/html\r\n", "\r\n", "Content-type: text/html\r\n"},
        {"", "\r\n", ""},
    };
    for (const Case& c : cases) {
        auto answer = newAnswer();
        answer->setCgi(true);
        answer->writeAnswer(c.output);
        const std::string expectedHead =
            "HTTP/1.1 200 OK\r\nServer: brantel/1.28.1(96)\r\n"
            "Content-Length: " +
            std::to_string(c.body.size()) + "\r\n" + c.headEnd;
        EXPECT_EQ(head(*answer), expectedHead) << c.output;
        EXPECT_EQ(bodyOf(*answer), c.body) << c.output;
        EXPECT_EQ(answer->cgi(), c.headEnd != "\r\n") << c.output;
    }
}

TEST(CgiHead, FlagWithoutBodyStillEndsTheHead) {
    auto answer = newAnswer();
    answer->setCgi(true);
    answer->setStatus(200);
    answer->setState(KrXHeader::kStateAnswerReady);
    EXPECT_EQ(head(*answer),
              "HTTP/1.1 200 OK\r\nServer: brantel/1.28.1(96)\r\nContent-Length: 0\r\n\r\n");
}

TEST(RequestHead, GetAndPostHeads) {
    auto get = kr::makeJob<KrXHeader>(KrXHeader::kMethodGet, false, 3);
    get->setPath("/a");
    get->setQuery("x=1");
    get->setAddressedPeer("example", "", 8080);
    get->setState(KrXHeader::kStateAnswerReady);
    EXPECT_EQ(head(*get),
              "GET /a?x=1 HTTP/1.1\r\nHost: example\r\nUser-Agent: brantel/1.28.1(96)\r\n\r\n");

    auto post = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, 3);
    post->setPath("/p");
    post->setAddressedPeer("h", "", 1);
    post->setBoundary("bnd");
    post->setState(KrXHeader::kStateAnswerReady);
    EXPECT_EQ(head(*post),
              "POST /p HTTP/1.1\r\nHost: h\r\nUser-Agent: brantel/1.28.1(96)\r\n"
              "Content-Length: 0\r\n\r\n");
    post->body().write("12345");
    EXPECT_EQ(head(*post),
              "POST /p HTTP/1.1\r\nHost: h\r\nUser-Agent: brantel/1.28.1(96)\r\n"
              "Content-Length: 5\r\nContent-Type: multipart/form-data; boundary=bnd\r\n\r\n");

    auto none = kr::makeJob<KrXHeader>(KrXHeader::kMethodNone, false, 3);
    none->setState(KrXHeader::kStateAnswerReady);
    std::ostringstream out;
    EXPECT_THROW(none->writeHeader(out), KrException);
}

TEST(Answer, CreatedFromARequest) {
    auto request = httptest::newRequest(6);
    request->input().write(
        "GET /page?nuxelid=1 HTTP/1.1\r\nReferer: http://x/\r\nUser-Agent: A B\r\n\r\n");
    ASSERT_EQ(request->readMessage([](KrXHeader&) { return true; }), KrXHeader::kComplete);
    request->appendRoute("connection-id");
    request->appendRoute("server-id");
    request->setPeerMap({{"remoteaddress", "192.0.2.7"}, {"remoteport", "5000"}});

    auto answer = request->createAnswer();
    EXPECT_EQ(answer->messageKind(), KrXHeader::kAnswer);
    EXPECT_EQ(answer->methodCode(), KrXHeader::kMethodAnswer);
    EXPECT_EQ(answer->protocol(), 6u);
    EXPECT_EQ(answer->path(), "/page");
    EXPECT_EQ(answer->requestText(), "GET /page?nuxelid=1");
    EXPECT_EQ(answer->requestHeaderValue("referer"), "http://x/");
    EXPECT_EQ(answer->requestHeaderValue("user-agent"), "AB");
    EXPECT_EQ(answer->timeStamp(), request->timeStamp());
    EXPECT_EQ(answer->route(0), "server-id");
    EXPECT_EQ(answer->route(1), "connection-id");
    EXPECT_EQ(answer->route(2), "");
    EXPECT_EQ(answer->status(), 500);
    EXPECT_EQ(answer->peerMap().at("remoteaddress"), "192.0.2.7") << "the access log names it";

    auto bare = httptest::newRequest()->createAnswer();
    EXPECT_EQ(bare->requestText(), "-");
}

TEST(Answer, KeepsTheRequestFieldsAsTheyWereWhenItWasMade) {
    auto request = httptest::newRequest();
    const auto accept = [](KrXHeader&) { return true; };
    request->input().write("GET /page HTTP/1.1\r\nReferer: http://x/\r\n");
    ASSERT_EQ(request->readMessage(accept), KrXHeader::kNeedMore);
    const auto early = request->createAnswer();
    request->input().write("User-Agent: A\r\nReferer: http://y/\r\n\r\n");
    ASSERT_EQ(request->readMessage(accept), KrXHeader::kComplete);
    const auto late = request->createAnswer();

    EXPECT_EQ(early->requestHeaderValue("referer"), "http://x/");
    EXPECT_EQ(early->requestHeaderValue("user-agent"), "");
    EXPECT_FALSE(early->requestHeaderMap().contains("user-agent"));
    EXPECT_EQ(late->requestHeaderValue("user-agent"), "A");
    EXPECT_EQ(late->requestHeaderMap().at("referer"),
              (std::vector<std::string>{"http://x/", "http://y/"}));
    EXPECT_EQ(late->requestHeaderMap(), request->headerMap());
}

TEST(Tables, LookupsAndFallbacks) {
    EXPECT_EQ(kr::methodTable().at("GET"), 1u);
    EXPECT_EQ(kr::methodTable().at("ANSWER"), 3u);
    EXPECT_EQ(KrURLParts::schemeName(5), "file");
    EXPECT_EQ(KrURLParts::schemeName(8), "none");
    EXPECT_EQ(kr::statusReasonTable().reason(417), "Expectation Failed");
    EXPECT_EQ(kr::statusReasonTable().reason(502), "Server Error");
}

TEST(Message, AddressTextNamesTheAddressedPeer) {
    auto message = kr::makeJob<KrXHeader>(KrXHeader::kMethodGet, false, 6);
    EXPECT_EQ(message->addressText(), "");
    message->setAddressedPeer("host", "", 80);
    EXPECT_EQ(message->addressText(), "nuxel://host:80");
    message->setAddressedPeer("host", "me", 81);
    EXPECT_EQ(message->addressText(), "nuxel://me@host:81");
}

}  // namespace
