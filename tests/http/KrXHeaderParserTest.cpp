#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "MessageReading.h"
#include "http/KrXHeader.h"

namespace {

using httptest::kSeeds;
using httptest::Outcome;
using httptest::parameter;
using httptest::randomChunks;
using httptest::readStream;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Reads one complete message from wire cut by seed.
Outcome readOne(const std::string& wire, unsigned seed) {
    const auto outcomes = readStream(randomChunks(wire, seed));
    return outcomes.front();
}

std::vector<std::string> values(const KrXHeader& message, const std::string& name) {
    const auto found = message.headerMap().find(name);
    return found != message.headerMap().end() ? found->second : std::vector<std::string>{};
}

TEST(RequestLine, GetTargetGivesPathAndPercentDecodedQuery) {
    for (const unsigned seed : kSeeds) {
        const Outcome read = readOne("GET /a?x=1&y=%41 HTTP/1.1\r\n\r\n", seed);
        ASSERT_EQ(read.result, KrXHeader::kComplete) << "seed " << seed;
        const KrXHeader& message = *read.message;
        EXPECT_EQ(message.messageKind(), KrXHeader::kRequest);
        EXPECT_EQ(message.methodCode(), KrXHeader::kMethodGet);
        EXPECT_EQ(message.path(), "/a");
        EXPECT_EQ(message.query(), "x=1&y=%41");
        EXPECT_EQ(parameter(message, "x"), "1");
        EXPECT_EQ(parameter(message, "y"), "A");
        EXPECT_EQ(message.queryParameters().size(), 2u);
        EXPECT_EQ(values(message, ":first:"),
                  (std::vector<std::string>{"GET", "/a?x=1&y=%41", "HTTP/1.1"}));
        EXPECT_EQ(read.headCallbacks, 1);
    }
}

TEST(RequestLine, PostKeepsNoQuery) {
    const Outcome read = readOne("POST /a?x=1&y=%41 HTTP/1.1\r\n\r\n", 0);
    ASSERT_EQ(read.result, KrXHeader::kComplete);
    EXPECT_EQ(read.message->methodCode(), KrXHeader::kMethodPost);
    EXPECT_EQ(read.message->path(), "/a");
    EXPECT_EQ(read.message->query(), "");
    EXPECT_TRUE(read.message->parameters().empty());
    EXPECT_TRUE(read.message->blocks().empty());
}

TEST(RequestLine, TokensAreReadAsTheFirstLineRulesSay) {
    struct Case {
        std::string line;
        int kind;
        std::uint32_t method;
        std::vector<std::string> tokens;
        std::string path;
    };
    const Case cases[] = {
        // Methods and versions are upper-cased, the target keeps its case.
        {"get /Abc http/1.1", KrXHeader::kRequest, 1, {"GET", "/Abc", "HTTP/1.1"}, "/Abc"},
        {"post /x HTTP/1.0", KrXHeader::kRequest, 2, {"POST", "/x", "HTTP/1.0"}, "/x"},
        // Leading and doubled spaces are skipped, tabs inside tokens dropped.
        {"  GET   /p\tq HTTP/1.1", KrXHeader::kRequest, 1, {"GET", "/pq", "HTTP/1.1"}, "/pq"},
        // The third token is the rest of the line, blanks included.
        {"GET / a b\tc", KrXHeader::kRequest, 1, {"GET", "/", "A B\tC"}, "/"},
        // Status lines of both protocols.
        {"HTTP/1.1 200 OK", KrXHeader::kAnswer, 2, {"HTTP/1.1", "200", "OK"}, "200"},
        {"nuxel/1.0 404 not found",
         KrXHeader::kAnswer,
         2,
         {"NUXEL/1.0", "404", "NOT FOUND"},
         "404"},
        // A known method without a target is still a request.
        {"GET", KrXHeader::kUnrecognised, 2, {"GET"}, ""},
        {"FETCH /x HTTP/1.1", KrXHeader::kUnrecognised, 2, {"FETCH", "/x", "HTTP/1.1"}, "/x"},
    };
    for (const Case& c : cases) {
        const Outcome read = readOne(c.line + "\r\nhost: h\r\n\r\n", 0);
        ASSERT_EQ(read.result, KrXHeader::kComplete) << c.line;
        EXPECT_EQ(read.message->messageKind(), c.kind) << c.line;
        EXPECT_EQ(read.message->methodCode(), c.method) << c.line;
        EXPECT_EQ(values(*read.message, ":first:"), c.tokens) << c.line;
        EXPECT_EQ(read.message->path(), c.path) << c.line;
    }
}

TEST(RequestLine, UnrecognisedFirstLineEndsTheHeadWithoutCallback) {
    const Outcome read = readOne("HELLO there\r\nhost: h\r\n\r\n", 0);
    EXPECT_EQ(read.result, KrXHeader::kComplete);
    EXPECT_EQ(read.message->messageKind(), KrXHeader::kUnrecognised);
    EXPECT_EQ(read.headCallbacks, 0);
    EXPECT_TRUE(values(*read.message, "host").empty());
}

TEST(HeaderFields, NamesAreLowerCasedAndBlanksDropped) {
    for (const unsigned seed : kSeeds) {
        const Outcome read = readOne(
            "GET / HTTP/1.1\r\n"
            "Host: example:80\r\n"
            "User-Agent: A B\t C\r\n"
            "X Y :: v:w \r\n"
            "Accept: one\r\n"
            "ACCEPT: two\r\n"
            "no colon here\r\n"
            ": empty name\r\n"
            "empty-value:   \r\n"
            "\r\n",
            seed);
        ASSERT_EQ(read.result, KrXHeader::kComplete) << "seed " << seed;
        const KrXHeader& message = *read.message;
        EXPECT_EQ(values(message, "host"), std::vector<std::string>{"example:80"});
        EXPECT_EQ(values(message, "user-agent"), std::vector<std::string>{"ABC"});
        EXPECT_EQ(values(message, "xy"), std::vector<std::string>{"v:w"});
        EXPECT_EQ(values(message, "accept"), (std::vector<std::string>{"one", "two"}));
        EXPECT_EQ(message.headerValue("accept"), "one");
        EXPECT_EQ(message.headerMap().size(), 5u) << "':first:', host, user-agent, xy, accept";
    }
}

TEST(LineEnds, CrAtTheEndWaitsAndLfInsideALineStays) {
    auto message = httptest::newRequest();
    int callbacks = 0;
    auto callback = [&](KrXHeader&) { return ++callbacks > 0; };
    message->input().write("GET /a HTTP/1.1\r\nx-a: 1\r");
    EXPECT_EQ(message->readMessage(callback), KrXHeader::kNeedMore);
    message->input().write("\n");
    EXPECT_EQ(message->readMessage(callback), KrXHeader::kNeedMore);
    EXPECT_EQ(message->headerValue("x-a"), "1");
    message->input().write("x-b: 2\n3\nz\r\n\r");
    EXPECT_EQ(message->readMessage(callback), KrXHeader::kNeedMore);
    EXPECT_EQ(message->headerValue("x-b"), "2\n3\nz");
    EXPECT_EQ(callbacks, 0);
    message->input().write("\n");
    EXPECT_EQ(message->readMessage(callback), KrXHeader::kComplete);
    EXPECT_EQ(callbacks, 1);
}

TEST(LineEnds, ANulInAFieldOrACrThatEndsNoLineRefusesTheMessage) {
    using namespace std::string_literals;
    struct Case {
        std::string wire;
        int result;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nX-A: a\0b\r\n\r\n"s, KrXHeader::kRefused},
        {"GET / HTTP/1.1\r\nX-\0A: b\r\n\r\n"s, KrXHeader::kRefused},
        {"GET / HTTP/1.1\r\n\0\r\n\r\n"s, KrXHeader::kRefused},
        {"GET / HTTP/1.1\r\nX-A: a\rb\r\n\r\n", KrXHeader::kRefused},
        {"GET / HTTP/1.1\r\nX-A: a\r\r\n\r\n", KrXHeader::kRefused},
        {"GET / HTTP/1.1\r\n\rX-A: a\r\n\r\n", KrXHeader::kRefused},
        {"GET /a\rb HTTP/1.1\r\n\r\n", KrXHeader::kRefused},
        {"\r\r\nGET / HTTP/1.1\r\n\r\n", KrXHeader::kRefused},
        // A NUL in the target is the file lookup's to refuse; the head itself is whole.
        {"GET /a\0b HTTP/1.1\r\n\r\n"s, KrXHeader::kComplete},
        // A lone LF is an ordinary byte of the line.
        {"GET / HTTP/1.1\r\nX-A: a\nb\r\n\r\n", KrXHeader::kComplete},
        // The body is no head: any byte may be in it.
        {"POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\n\0\r\r\0"s, KrXHeader::kComplete},
    };
    for (const Case& c : cases) {
        for (const unsigned seed : kSeeds) {
            EXPECT_EQ(readOne(c.wire, seed).result, c.result)
                << testing::PrintToString(c.wire) << " seed " << seed;
        }
    }
}

TEST(LineEnds, EmptyLinesBeforeTheRequestLineAreSkipped) {
    const Outcome read = readOne("\r\n\r\nGET /x HTTP/1.1\r\n\r\n", 0);
    ASSERT_EQ(read.result, KrXHeader::kComplete);
    EXPECT_EQ(read.message->messageKind(), KrXHeader::kRequest);
    EXPECT_EQ(read.message->path(), "/x");
}

TEST(Body, CompleteWhenTheDeclaredBytesHaveArrived) {
    auto message = httptest::newRequest();
    auto accept = [](KrXHeader&) { return true; };
    message->input().write("POST /f HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc");
    EXPECT_EQ(message->readMessage(accept), KrXHeader::kNeedMore);
    EXPECT_EQ(message->declaredLength(), 5u);
    EXPECT_EQ(message->bodyComplete(), KrXHeader::kNeedMore);
    message->input().write("de");
    EXPECT_EQ(message->readMessage(accept), KrXHeader::kComplete);
    std::string body;
    message->body().copyUnread(body);
    EXPECT_EQ(body, "abcde");
    EXPECT_EQ(message->takePipelinedBytes(), nullptr);
}

TEST(Body, WithoutContentLengthTheMessageEndsAtTheEmptyLine) {
    const Outcome read = readOne("GET / HTTP/1.1\r\n\r\n", 0);
    EXPECT_EQ(read.result, KrXHeader::kComplete);
    EXPECT_EQ(read.message->body().unreadSize(), 0);
}

TEST(Pipelining, BytesBeyondTheDeclaredLengthStartTheNextRequest) {
    const std::string wire =
        "POST /one HTTP/1.1\r\ncontent-length: 6\r\n\r\nbody-1"
        "GET /two?q=2 HTTP/1.1\r\n\r\n"
        "\r\n"  // a stray line end after a request is skipped
        "POST /three HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz"
        "GET /fo";
    for (const unsigned seed : kSeeds) {
        const auto outcomes = readStream(randomChunks(wire, seed));
        ASSERT_EQ(outcomes.size(), 4u) << "seed " << seed;
        EXPECT_EQ(outcomes[0].result, KrXHeader::kComplete);
        EXPECT_EQ(outcomes[0].message->path(), "/one");
        std::string body;
        outcomes[0].message->body().copyUnread(body);
        EXPECT_EQ(body, "body-1");
        EXPECT_EQ(outcomes[1].result, KrXHeader::kComplete);
        EXPECT_EQ(outcomes[1].message->path(), "/two");
        EXPECT_EQ(parameter(*outcomes[1].message, "q"), "2");
        EXPECT_EQ(outcomes[1].message->body().unreadSize(), 0);
        EXPECT_EQ(outcomes[2].result, KrXHeader::kComplete);
        EXPECT_EQ(outcomes[2].message->path(), "/three");
        body.clear();
        outcomes[2].message->body().copyUnread(body);
        EXPECT_EQ(body, "xyz");
        EXPECT_EQ(outcomes[2].message->parseBody(), KrXHeader::kComplete);
        EXPECT_EQ(outcomes[3].result, KrXHeader::kNeedMore);
    }
}

TEST(Limits, HeadUpToTheLimitIsReadAndOneByteMoreIsRefused) {
    const std::string start = "GET / HTTP/1.1\r\nx-fill: ";
    const std::string end = "\r\n\r\n";
    const std::string fill(KrXHeader::kMaxHeadBytes - start.size() - end.size(), 'f');
    for (const unsigned seed : {0u, 1u}) {
        const Outcome atLimit = readOne(start + fill + end, seed);
        EXPECT_EQ(atLimit.result, KrXHeader::kComplete);
        EXPECT_EQ(atLimit.message->headerValue("x-fill").size(), fill.size());
        const Outcome over = readOne(start + fill + "g" + end, seed);
        EXPECT_EQ(over.result, KrXHeader::kRefused);
    }
}

TEST(Limits, HeadThatNeverEndsIsRefusedOnceItOutgrowsTheLimit) {
    auto message = httptest::newRequest();
    auto accept = [](KrXHeader&) { return true; };
    message->input().write("GET / HTTP/1.1\r\n");
    int result = KrXHeader::kNeedMore;
    std::uint64_t sent = 0;
    while (result == KrXHeader::kNeedMore && sent <= 2 * KrXHeader::kMaxHeadBytes) {
        message->input().write(std::string(1000, 'x'));  // one line without an end
        sent += 1000;
        result = message->readMessage(accept);
    }
    EXPECT_EQ(result, KrXHeader::kRefused);
    EXPECT_LE(sent, KrXHeader::kMaxHeadBytes + 1000);
    // A refused message stays refused.
    message->input().write("\r\n\r\n");
    EXPECT_EQ(message->readMessage(accept), KrXHeader::kRefused);
}

TEST(Limits, ContentLengthMustBePlainDigitsWithinTheBodyLimit) {
    struct Case {
        std::string value;
        int result;
    };
    const Case cases[] = {
        {"0", KrXHeader::kComplete},       {"16777216", KrXHeader::kNeedMore},
        {"16777217", KrXHeader::kRefused}, {"99999999999999999999999999", KrXHeader::kRefused},
        {"12a", KrXHeader::kRefused},      {"-1", KrXHeader::kRefused},
        {"+5", KrXHeader::kRefused},       {"0x10", KrXHeader::kRefused},
        {"1.5", KrXHeader::kRefused},
    };
    for (const Case& c : cases) {
        const Outcome read =
            readOne("POST / HTTP/1.1\r\nContent-Length: " + c.value + "\r\n\r\n", 0);
        EXPECT_EQ(read.result, c.result) << c.value;
    }
}

TEST(Connection, AnHttp10RequestClosesUnlessItAsksToKeepTheConnection) {
    struct Case {
        std::string head;
        bool close;
    };
    const Case cases[] = {
        {"GET / HTTP/1.0\r\n", true},
        {"get / http/1.0\r\n", true},
        {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n", false},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n", false},
        {"GET / HTTP/1.0\r\nConnection: KEEP-ALIVE\r\n", false},
        {"GET / HTTP/1.0\r\nConnection: close\r\n", true},
        {"GET / HTTP/1.0\r\nConnection: upgrade\r\n", true},
        {"POST / HTTP/1.0\r\nContent-Length: 0\r\n", true},
        {"GET / HTTP/1.1\r\n", false},
        {"GET / HTTP/1.1\r\nConnection: keep-alive\r\n", false},
        {"GET / HTTP/1.1\r\nConnection: close\r\n", true},
        {"GET /\r\n", false},            // no version: read as ever
        {"HTTP/1.0 200 OK\r\n", false},  // a status line is no request
    };
    for (const Case& c : cases) {
        const Outcome read = readOne(c.head + "\r\n", 0);
        ASSERT_EQ(read.result, KrXHeader::kComplete) << c.head;
        EXPECT_EQ(read.message->closeRequested(), c.close) << c.head;
    }
}

// Connection options are names, matched in any letter case as keep-alive is.
TEST(Connection, TheCloseOptionClosesInAnyLetterCase) {
    struct Case {
        std::string head;
        bool close;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nConnection: close\r\n", true},
        {"GET / HTTP/1.1\r\nConnection: Close\r\n", true},
        {"GET / HTTP/1.1\r\nConnection: CLOSE\r\n", true},
        {"GET / HTTP/1.1\r\nconnection: cLoSe\r\n", true},
        {"GET / HTTP/1.1\r\nConnection: Keep-Alive, Close\r\n", true},
        {"GET / HTTP/1.1\r\nConnection: TE, CLOSE\r\n", true},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive, CLOSE\r\n", true},
        {"POST / HTTP/1.1\r\nContent-Length: 0\r\nConnection: Close\r\n", true},
        {"HTTP/1.1 200 OK\r\nConnection: Close\r\n", true},
        {"GET / HTTP/1.1\r\nConnection: Keep-Alive\r\n", false},
        {"GET / HTTP/1.1\r\nConnection: Upgrade\r\n", false},
        {"GET / HTTP/1.1\r\nX-Close: CLOSE\r\n", false},  // another field says nothing
    };
    for (const Case& c : cases) {
        const Outcome read = readOne(c.head + "\r\n", 0);
        ASSERT_EQ(read.result, KrXHeader::kComplete) << c.head;
        EXPECT_EQ(read.message->closeRequested(), c.close) << c.head;
    }
}

TEST(Framing, ABodyFramedOtherwiseThanByOneLengthIsRefused) {
    struct Case {
        std::string fields;
        std::string body;
        int result;
    };
    const Case cases[] = {
        {"Transfer-Encoding: chunked\r\n", "5\r\nhello\r\n0\r\n\r\n", KrXHeader::kRefused},
        {"transfer-encoding: identity\r\n", "", KrXHeader::kRefused},
        {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", "hello", KrXHeader::kRefused},
        {"Transfer-Encoding: chunked\r\nContent-Length: 5\r\n", "hello", KrXHeader::kRefused},
        {"Content-Length: 5\r\nContent-Length: 6\r\n", "hello!", KrXHeader::kRefused},
        {"Content-Length: 6\r\ncontent-length: 5\r\n", "hello!", KrXHeader::kRefused},
        {"Content-Length: 5\r\nContent-Length: x\r\n", "hello", KrXHeader::kRefused},
        {"Content-Length: 5, 6\r\n", "hello", KrXHeader::kRefused},
        // The same length twice frames the body as once.
        {"Content-Length: 5\r\nContent-Length: 5\r\n", "hello", KrXHeader::kComplete},
        {"Content-Length: 5\r\nContent-Length: 05\r\n", "hello", KrXHeader::kComplete},
        {"Content-Length: 5\r\n", "hello", KrXHeader::kComplete},
    };
    for (const Case& c : cases) {
        for (const unsigned seed : kSeeds) {
            const auto outcomes =
                readStream(randomChunks("POST /f HTTP/1.1\r\n" + c.fields + "\r\n" + c.body, seed));
            ASSERT_EQ(outcomes.size(), 1u) << c.fields << " seed " << seed;
            EXPECT_EQ(outcomes[0].result, c.result) << c.fields << " seed " << seed;
        }
    }
}

// The chunk lines of a chunked body, read by length, would be the next request: a GET
// inside the body would be served as one.
TEST(Framing, AGetSmuggledInsideAChunkedBodyIsNoRequest) {
    const std::string wire =
        "POST /f HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "1f\r\nGET /smuggled HTTP/1.1\r\nX: y\r\n\r\n\r\n0\r\n\r\n";
    for (const unsigned seed : kSeeds) {
        const auto outcomes = readStream(randomChunks(wire, seed));
        ASSERT_EQ(outcomes.size(), 1u) << "seed " << seed;
        EXPECT_EQ(outcomes[0].result, KrXHeader::kRefused) << "seed " << seed;
    }
}

TEST(Limits, RefusedHeadCallbackRefusesTheMessage) {
    const auto outcomes =
        readStream(randomChunks("GET / HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n", 0), false);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].result, KrXHeader::kRefused);
    EXPECT_EQ(outcomes[0].headCallbacks, 1);
}

TEST(Limits, BytesAfterAMessageNobodyTookAreBounded) {
    // An unrecognised first line makes a complete message that no handler takes; later bytes
    // wait behind it and can never be served.
    auto message = httptest::newRequest();
    auto accept = [](KrXHeader&) { return true; };
    message->input().write("HELLO\r\n");
    ASSERT_EQ(message->readMessage(accept), KrXHeader::kComplete);
    int result = KrXHeader::kComplete;
    std::uint64_t sent = 0;
    while (result == KrXHeader::kComplete && sent <= 2 * KrXHeader::kMaxStrandedBytes) {
        message->input().write(std::string(1000, 'y'));
        sent += 1000;
        result = message->readMessage(accept);
    }
    EXPECT_EQ(result, KrXHeader::kRefused);
    EXPECT_LE(sent, KrXHeader::kMaxStrandedBytes + 1000);
}

std::string repeated(std::string_view unit, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) {
        text += unit;
    }
    return text;
}

// A request with a body of the type; GET keeps its query, POST none.
std::string withBody(const std::string& requestLine, const std::string& type,
                     const std::string& body) {
    return requestLine + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kForm = "application/x-www-form-urlencoded";
const std::string kMultipartB = "multipart/form-data; boundary=b";

TEST(Limits, AMessageHoldsAtMostTheParameterLimitQueryAndBodyTogether) {
    constexpr std::size_t kLimit = KrXHeader::kMaxParameters;
    constexpr std::size_t kHalf = kLimit / 2;
    const std::string emptyParts = repeated("--b\r\n\r\n\r\n", kLimit);
    struct Case {
        std::string label;
        std::string wire;
        int result;
        std::size_t blocks;  // after parseBody, for a complete message
    };
    const Case cases[] = {
        {"query at the limit", "GET /?" + repeated("a=&", kLimit) + " HTTP/1.1\r\n\r\n",
         KrXHeader::kComplete, kLimit},
        {"query over it", "GET /?" + repeated("=&", kLimit + 1) + " HTTP/1.1\r\n\r\n",
         KrXHeader::kRefused, 0},
        {"items without '=' are no parameters",
         "GET /?" + repeated("a&", 5 * kLimit) + "b=1 HTTP/1.1\r\n\r\n", KrXHeader::kComplete, 1},
        {"form at the limit", withBody("POST / HTTP/1.1", kForm, repeated("=&", kLimit)),
         KrXHeader::kComplete, kLimit},
        {"form over it", withBody("POST / HTTP/1.1", kForm, repeated("=&", kLimit + 1)),
         KrXHeader::kRefused, 0},
        {"parts at the limit", withBody("POST / HTTP/1.1", kMultipartB, emptyParts + "--b--"),
         KrXHeader::kComplete, kLimit},
        {"parts over it",
         withBody("POST / HTTP/1.1", kMultipartB, emptyParts + "--b\r\n\r\n\r\n--b--"),
         KrXHeader::kRefused, 0},
        {"query and body at the limit",
         withBody("GET /?" + repeated("q=&", kHalf) + " HTTP/1.1", kForm,
                  repeated("f=&", kLimit - kHalf)),
         KrXHeader::kComplete, kLimit},
        {"query and body over it",
         withBody("GET /?" + repeated("q=&", kHalf) + " HTTP/1.1", kForm,
                  repeated("f=&", kLimit - kHalf + 1)),
         KrXHeader::kRefused, 0},
        {"a body of another type is not counted",
         withBody("POST / HTTP/1.1", "text/plain", repeated("=&", 5 * kLimit)),
         KrXHeader::kComplete, 0},
        {"part head fields at their limit",
         withBody("POST / HTTP/1.1", kMultipartB,
                  "--b\r\n" + repeated("X: y\r\n", KrXHeader::kMaxPartHeadFields) +
                      "junk without colon\r\nno-value:\r\n\r\ndata\r\n--b--"),
         KrXHeader::kComplete, 1},
        {"part head fields over it",
         withBody("POST / HTTP/1.1", kMultipartB,
                  "--b\r\n\r\n\r\n--b\r\n" +
                      repeated("X: y\r\n", KrXHeader::kMaxPartHeadFields + 1) +
                      "\r\ndata\r\n--b--"),
         KrXHeader::kRefused, 0},
    };
    for (const Case& c : cases) {
        for (const unsigned seed : {0u, 1u}) {
            const Outcome read = readOne(c.wire, seed);
            ASSERT_EQ(read.result, c.result) << c.label << ", seed " << seed;
            if (c.result != KrXHeader::kComplete) {
                // What the head made stays, and never beyond the limit.
                EXPECT_LE(read.message->blocks().size(), kLimit) << c.label;
                EXPECT_EQ(read.message->parseBody(), KrXHeader::kRefused) << c.label;
                continue;
            }
            CaptureStderr();
            EXPECT_EQ(read.message->parseBody(), KrXHeader::kComplete) << c.label;
            (void)GetCapturedStderr();
            EXPECT_EQ(read.message->blocks().size(), c.blocks) << c.label;
        }
    }
}

TEST(Limits, ParseBodyRefusesABodyOverTheLimitThatWasNotReadThroughTheParser) {
    auto message = httptest::newRequest();
    auto accept = [](KrXHeader&) { return true; };
    const std::string body = repeated("=&", KrXHeader::kMaxParameters + 1);
    message->input().write("POST / HTTP/1.1\r\ncontent-type: " + kForm +
                           "\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n");
    ASSERT_EQ(message->readMessage(accept), KrXHeader::kNeedMore);
    message->body().write(body);
    EXPECT_EQ(message->parseBody(), KrXHeader::kRefused);
    EXPECT_TRUE(message->blocks().empty());
}

TEST(Query, PiecesWithoutEqualsOrNameAreNotNamedParameters) {
    const Outcome read = readOne("GET /q?flag&=v&a=1&a=2&b=&c=x=y HTTP/1.1\r\n\r\n", 0);
    const KrXHeader& message = *read.message;
    EXPECT_EQ(parameter(message, "flag"), "<absent>");
    EXPECT_EQ(parameter(message, "a"), "2");  // the later one wins
    EXPECT_EQ(parameter(message, "b"), "");
    EXPECT_EQ(parameter(message, "c"), "x=y");
    ASSERT_EQ(message.blocks().size(), 5u);
    const KrHTTPMessageBlock* unnamed = message.blocksByPosition().find("0");
    ASSERT_NE(unnamed, nullptr);
    EXPECT_EQ(unnamed->name(), "");
    EXPECT_EQ(unnamed->text(), "v");
    EXPECT_EQ(message.blocksByPosition().size(), 5u);
    EXPECT_FALSE(message.blocks()[3]->hasData()) << "b= has an empty value";
}

TEST(Query, IsOnlyPercentDecodedWhileAFormBodyIsFormDecoded) {
    const Outcome get = readOne("GET /q?p=a+b%2Bc%20d HTTP/1.1\r\n\r\n", 0);
    EXPECT_EQ(parameter(*get.message, "p"), "a+b+c d");

    const std::string form = "p=a+b%2Bc%20d&n%61me=v";
    const Outcome post = readOne(
        "POST /f HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: " +
            std::to_string(form.size()) + "\r\n\r\n" + form,
        0);
    ASSERT_EQ(post.result, KrXHeader::kComplete);
    EXPECT_EQ(parameter(*post.message, "p"), "<absent>") << "the body is parsed on demand";
    EXPECT_EQ(post.message->parseBody(), KrXHeader::kComplete);
    EXPECT_EQ(parameter(*post.message, "p"), "a b+c d");
    EXPECT_EQ(parameter(*post.message, "name"), "v");
    EXPECT_EQ(post.message->bodyParameters().size(), 2u);
    EXPECT_TRUE(post.message->queryParameters().empty());
}

// The body a browser posts for the widget form: multipart/form-data.
const char kWidgetBoundary[] = "----WebKitFormBoundaryQ3d8fZ1pXs0kLm2A";

std::string widgetBody() {
    const std::string d = std::string("--") + kWidgetBoundary;
    return d +
           "\r\nContent-Disposition: form-data; name=\"nuxelid\"\r\n\r\n"
           "nuxelid123456789012345678\r\n" +
           d +
           "\r\nContent-Disposition: form-data; name=\"nuxelaction\"\r\n\r\n"
           "onclick\r\n" +
           d +
           "\r\nContent-Disposition: form-data; name=\"nuxelactionelement\"\r\n\r\n"
           "f11\r\n" +
           d +
           "\r\nContent-Disposition: form-data; name=\"nuxelactionparam1\"\r\n\r\n"
           "\r\n" +
           d +
           "\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"a.txt\"\r\n"
           "Content-Type: text/plain\r\n\r\n"
           "line 1\r\n--not a delimiter\r\nline 2\r\n" +
           d + "--\r\n";
}

std::string widgetRequest() {
    const std::string body = widgetBody();
    return std::string("POST /nuxelwidget.handler HTTP/1.1\r\n") +
           "Host: 127.0.0.1:40000\r\n"
           "Content-Type: multipart/form-data; boundary=" +
           kWidgetBoundary + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

TEST(Multipart, WidgetFormFieldsReachTheParameterMap) {
    for (const unsigned seed : kSeeds) {
        const Outcome read = readOne(widgetRequest(), seed);
        ASSERT_EQ(read.result, KrXHeader::kComplete) << "seed " << seed;
        KrXHeader& message = *read.message;
        ASSERT_EQ(message.parseBody(), KrXHeader::kComplete);
        EXPECT_EQ(parameter(message, "nuxelid"), "nuxelid123456789012345678");
        EXPECT_EQ(parameter(message, "nuxelaction"), "onclick");
        EXPECT_EQ(parameter(message, "nuxelactionelement"), "f11");
        EXPECT_EQ(parameter(message, "nuxelactionparam1"), "");
        EXPECT_EQ(parameter(message, "upload"), "line 1\r\n--not a delimiter\r\nline 2");
        ASSERT_EQ(message.blocks().size(), 5u);
        const KrHTTPMessageBlock& upload = *message.blocks()[4];
        EXPECT_EQ(upload.disposition().at("mimetype"), "text/plain");
        EXPECT_EQ(upload.fields().at("content-type"), std::vector<std::string>{"text/plain"});
        EXPECT_EQ(message.blocks()[0]->disposition().at("mimetype"), "application/octet-stream");
        EXPECT_FALSE(message.blocks()[3]->hasData());
        EXPECT_EQ(message.bodyParameters().size(), 5u);
    }
}

TEST(Multipart, ParsingTwiceAddsNothing) {
    const Outcome read = readOne(widgetRequest(), 0);
    ASSERT_EQ(read.message->parseBody(), KrXHeader::kComplete);
    ASSERT_EQ(read.message->parseBody(), KrXHeader::kComplete);
    EXPECT_EQ(read.message->blocks().size(), 5u);
}

TEST(Multipart, BrokenPartsAreReportedOnceAndNeverReadPastTheData) {
    struct Case {
        std::string body;
        std::vector<std::string> names;  // of the blocks, in order
        bool reports;
    };
    const Case cases[] = {
        // A head line without ':' is reported and skipped.
        {"--b\r\nbroken\r\nalso broken\r\nContent-Disposition: form-data; name=x\r\n\r\n1\r\n"
         "--b--",
         {"x"},
         true},
        // No empty line before the next delimiter: no data.
        {"--b\r\nContent-Disposition: form-data; name=\"x\"\r\n--b--", {"x"}, false},
        // Nothing after the last delimiter makes a part; a cut-off delimiter is no delimiter.
        {"--b\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nv\r\n--", {}, false},
        {"preamble\r\n--b\r\n\r\n\r\n--b\r\n\r\n\r\n--b--", {"", ""}, false},
        {"--b", {}, false},
        {"", {}, false},
    };
    for (const Case& c : cases) {
        const std::string wire =
            "POST / HTTP/1.1\r\ncontent-type: multipart/form-data; boundary=b\r\n"
            "content-length: " +
            std::to_string(c.body.size()) + "\r\n\r\n" + c.body;
        const Outcome read = readOne(wire, 0);
        ASSERT_EQ(read.result, KrXHeader::kComplete) << c.body;
        CaptureStderr();
        EXPECT_EQ(read.message->parseBody(), KrXHeader::kComplete) << c.body;
        const std::string errors = GetCapturedStderr();
        EXPECT_EQ(errors, c.reports ? "oh oh ... problem...\n" : "") << c.body;
        std::vector<std::string> names;
        for (const auto& block : read.message->blocks()) {
            names.push_back(block->name());
        }
        EXPECT_EQ(names, c.names) << c.body;
    }
}

TEST(Multipart, ABoundaryLongerThanSeventyCharactersIsNotParsed) {
    for (const std::size_t length :
         {KrXHeader::kMaxBoundaryLength, KrXHeader::kMaxBoundaryLength + 1}) {
        const std::string boundary(length, 'b');
        const std::string body = "--" + boundary +
                                 "\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n1\r\n--" +
                                 boundary + "--\r\n";
        const Outcome read =
            readOne("POST / HTTP/1.1\r\ncontent-type: multipart/form-data; boundary=" + boundary +
                        "\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                    0);
        ASSERT_EQ(read.message->parseBody(), KrXHeader::kComplete);
        EXPECT_EQ(parameter(*read.message, "x"),
                  length <= KrXHeader::kMaxBoundaryLength ? "1" : "<absent>")
            << length;
    }
}

TEST(Body, OtherContentTypesAreReportedAndLeaveNoParameters) {
    const Outcome read = readOne(
        "POST /?a=1 HTTP/1.1\r\ncontent-type: text/plain\r\ncontent-length: 3\r\n\r\na=1", 0);
    CaptureStderr();
    EXPECT_EQ(read.message->parseBody(), KrXHeader::kComplete);
    EXPECT_EQ(GetCapturedStderr(), "content type not defined (text/plain)\n");
    EXPECT_TRUE(read.message->parameters().empty());
}

TEST(Body, AnOtherContentTypeIsReportedWithItsControlBytesEscaped) {
    const Outcome read = readOne(
        "POST / HTTP/1.1\r\ncontent-type: t\x1B[2J\x1B]0;x\x07\x7F\"q\"\r\ncontent-length: "
        "0\r\n\r\n",
        0);
    CaptureStderr();
    EXPECT_EQ(read.message->parseBody(), KrXHeader::kComplete);
    EXPECT_EQ(GetCapturedStderr(),
              "content type not defined (t\\x1B[2J\\x1B]0;x\\x07\\x7F\"q\")\n");
}

TEST(Body, ParseBodyComparesTheDeclaredLengthWithTheBufferedBytes) {
    auto message = httptest::newRequest();
    auto accept = [](KrXHeader&) { return true; };
    message->input().write("POST / HTTP/1.1\r\ncontent-length: 4\r\n\r\nab");
    ASSERT_EQ(message->readMessage(accept), KrXHeader::kNeedMore);
    EXPECT_EQ(message->parseBody(), KrXHeader::kNeedMore);
    message->body().write("cdef");
    EXPECT_EQ(message->parseBody(), KrXHeader::kRefused);
    EXPECT_EQ(message->bodyComplete(), KrXHeader::kRefused);
}

}  // namespace
