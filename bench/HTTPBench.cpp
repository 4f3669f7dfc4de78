// The message family's hot path: parsing one typical browser request as it comes off a
// connection, writing the head of its answer, and its access-log line.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "foundation/KrStringBuf.h"
#include "http/KrXHeader.h"
#include "http/KrTransceiverServerL1HTTP.h"
#include "http/KrXResponseHeader.h"

namespace {

// A click in the GET scheme, as a current desktop browser sends it.
const std::string kBrowserRequest =
    "GET /f11?nuxelid=nuxelid094312816999913721 HTTP/1.1\r\n"
    "Host: 127.0.0.1:40123\r\n"
    "Connection: keep-alive\r\n"
    "sec-ch-ua: \"Chromium\";v=\"120\", \"Not?A_Brand\";v=\"8\"\r\n"
    "sec-ch-ua-mobile: ?0\r\n"
    "sec-ch-ua-platform: \"Linux\"\r\n"
    "Upgrade-Insecure-Requests: 1\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
    "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7\r\n"
    "Sec-Fetch-Site: same-origin\r\n"
    "Sec-Fetch-Mode: navigate\r\n"
    "Sec-Fetch-User: ?1\r\n"
    "Sec-Fetch-Dest: document\r\n"
    "Referer: http://127.0.0.1:40123/\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Accept-Language: en-US,en;q=0.9\r\n"
    "\r\n";

// A request whose target, referer and user agent are UTF-8 text beyond ASCII, as a page of a
// directory with such names and a browser in such a language would send.
const std::string kUnicodeRequest =
    "GET /Gr\xC3\xB6\xC3\x9F" "e/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.html HTTP/1.1\r\n"
    "Host: 127.0.0.1:40123\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80\r\n"
    "Referer: http://127.0.0.1:40123/\xC3\xA4\xC3\xB6\xC3\xBC/\xD0\xBF\xD1\x80\xD0\xB8\r\n"
    "\r\n";

// The game page's size, about.
const std::string kPage(2600, 'p');

std::shared_ptr<KrXHeader> parsedRequest(const std::string& bytes = kBrowserRequest) {
    auto request = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, 3);
    request->setMessageKind(KrXHeader::kRequest);
    request->input().write(bytes);
    if (request->readMessage([](KrXHeader&) { return true; }) != KrXHeader::kComplete) {
        return nullptr;
    }
    return request;
}

void BM_ParseBrowserRequest(benchmark::State& state) {
    for (auto _ : state) {
        auto request = parsedRequest();
        std::string session;
        request->getParameter("nuxelid", session);
        benchmark::DoNotOptimize(session);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBrowserRequest.size()));
}
BENCHMARK(BM_ParseBrowserRequest);

void BM_WriteAnswerHead(benchmark::State& state) {
    auto request = parsedRequest();
    for (auto _ : state) {
        auto answer = request->createAnswer();
        answer->writeAnswer(kPage);
        KrStringBuf head;
        std::ostream out(&head);
        answer->writeHeader(out);
        benchmark::DoNotOptimize(head.unreadSize());
    }
}
BENCHMARK(BM_WriteAnswerHead);

// Both, as one request and its answer go through a server layer.
void BM_RequestAndAnswer(benchmark::State& state) {
    for (auto _ : state) {
        auto request = parsedRequest();
        auto answer = request->createAnswer();
        answer->writeAnswer(kPage);
        KrStringBuf head;
        std::ostream out(&head);
        answer->writeHeader(out);
        auto body = answer->takeBody();
        benchmark::DoNotOptimize(body->unreadSize());
    }
}
BENCHMARK(BM_RequestAndAnswer);

// The line the HTTP layer writes for every request it answers; its fields from the peer go
// through the escaping of terminal text.
void BM_AccessLogLine(benchmark::State& state, const std::string& bytes) {
    auto request = parsedRequest(bytes);
    auto answer = request->createAnswer();
    answer->setStatus(200);
    for (auto _ : state) {
        benchmark::DoNotOptimize(KrTransceiverServerL1HTTP::accessLogLine(*answer, kPage.size()));
    }
}
BENCHMARK_CAPTURE(BM_AccessLogLine, browser, kBrowserRequest);
BENCHMARK_CAPTURE(BM_AccessLogLine, unicode, kUnicodeRequest);

}  // namespace
