#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/KrHTMLKontextN.h"
#include "app/KrNuxelApplication2.h"
#include "app/KrSettingsMap.h"
#include "http/KrXHeader.h"
#include "http/KrXResponseHeader.h"
#include "jobs/KrJob.h"
#include "storage/KrPersistentAppStorage.h"

// A page context's world without a server: a storage with built-in files, an application
// that is never started, and requests parsed from the text a browser would send. Answers
// are read back as status and body.
namespace apptest {

// A request parsed from its wire text, body parameters included.
inline std::shared_ptr<KrXHeader> parseRequest(std::string_view wire) {
    auto request = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, 3u);
    request->setMessageKind(KrXHeader::kRequest);
    request->input().write(wire);
    EXPECT_EQ(request->readMessage([](KrXHeader&) { return true; }), KrXHeader::kComplete) << wire;
    request->parseBody();
    return request;
}

// "GET target": target is the path with its query.
inline std::shared_ptr<KrXHeader> getRequest(std::string_view target) {
    return parseRequest("GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

struct Exchange {
    std::shared_ptr<KrXHeader> request;
    std::shared_ptr<KrXResponseHeader> response;

    std::int64_t status() const { return response->status(); }
    std::string body() const { return response->body().str(); }
};

// Runs the request on the context, as the dispatch does.
inline Exchange run(KrHTMLKontextN& context, std::shared_ptr<KrXHeader> request,
                    const std::string& command = "") {
    Exchange exchange{std::move(request), nullptr};
    exchange.response = exchange.request->createAnswer();
    context.handleRequest(*exchange.request, *exchange.response, command);
    return exchange;
}

// Runs a GET of target on the context, as the dispatch does.
inline Exchange run(KrHTMLKontextN& context, std::string_view target,
                    const std::string& command = "") {
    return run(context, getRequest(target), command);
}

// The markup of a fresh page.
inline constexpr std::string_view kFreshPage =
    "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\" />\n</head>\n</html>";

class PageEnvironment : public ::testing::Test {
protected:
    static constexpr const char* kSession = "nuxelid000000000000000042";

    PageEnvironment() : application_(&storage_, {}, {}) {}

    // Adds a built-in file (text kinds unless said otherwise).
    void addBuiltInFile(const std::string& name, const std::string& text, std::uint32_t kind = 1) {
        KrPersistentAppStorage::BuiltInFiles files = storage_.builtInFiles();
        files.insert_or_assign(
            name, KrResourceRecord(name, kind, text, KrResourceRecord::isBinaryKind(kind)));
        storage_.setBuiltInFiles(files);
    }

    std::unique_ptr<KrHTMLKontextN> newContext(const std::string& sessionId = kSession) {
        return std::make_unique<KrHTMLKontextN>(&application_, sessionId, true, "page.html",
                                                &settings_);
    }

    // A context showing the built-in page of that text, its identifier stamped in.
    std::unique_ptr<KrHTMLKontextN> contextWithPage(const std::string& pageText) {
        addBuiltInFile("page.html", pageText);
        auto context = newContext();
        EXPECT_TRUE(context->loadPage("page.html", storage_.builtInFiles()));
        return context;
    }

    KrPersistentAppStorage storage_;
    KrNuxelApplication2 application_;
    KrSettingsMap settings_;
};

}  // namespace apptest
