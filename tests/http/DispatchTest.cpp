#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "../net/DescriptorsTaken.h"
#include "DispatchTestSupport.h"
#include "MessageReading.h"
#include "http/KrHTML_ErrorMsg404.h"
#include "http/KrTransceiverServerL1HTTP.h"
#include "http/RequestPath.h"
#include "platform/Pipe.h"
#include "platform/SysResult.h"

namespace {

using namespace dispatchtest;

struct Exchange {
    std::string request;
    std::string answer;
};

// What an open file holds, read from its descriptor.
std::string contentOf(const platform::Fd& fd) {
    std::string content;
    char buffer[4096];
    for (platform::IoResult read; (read = platform::readSome(fd, buffer)).ok() && read.bytes > 0;) {
        content.append(buffer, read.bytes);
    }
    return content;
}

TEST(NotFoundPage, IsItsExact222Bytes) {
    const KrHTML_ErrorMsg404 page("Error 404 - not found",
                                  "<h1>Error 404 - not found</h1>The requested page was not "
                                  "found or the project was timed out.",
                                  "/", "Startseite");
    EXPECT_EQ(kNotFoundPage.size(), 222u);
    EXPECT_EQ(page.toMarkupString(), kNotFoundPage);
}

TEST(RequestPath, DotDotSegmentsAndNulBytesAreRefused) {
    const std::vector<std::pair<std::string, bool>> cases{
        {"page.html", true},
        {"sub/page.html", true},
        {"", true},
        {"..page", true},
        {"sub/..x/y", true},
        {"a.../b", true},
        {"..", false},
        {"../x", false},
        {"sub/../x", false},
        {"sub/..", false},
        {"sub\\..\\x", false},
        {"cgi-bin/..", false},
        {std::string("page.html\0.php", 14), false},
        {std::string("\0", 1), false},
    };
    for (const auto& [path, plain] : cases) {
        EXPECT_EQ(kr::isPlainRequestPath(path), plain) << path;
    }
}

TEST(RequestPath, EverySpellingOfAPathHasOneFormAndDotDotOrNulHasNone) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"/", "/"},
        {"//", "/"},
        {"/.", "/"},
        {"/./", "/"},
        {"/index.html", "/index.html"},
        {"//.env", "/.env"},
        {"///.env", "/.env"},
        {"//./.env", "/.env"},
        {"/./cgi-bin/s.sh", "/cgi-bin/s.sh"},
        {"//cgi-bin//s.sh", "/cgi-bin/s.sh"},
        {"/sub/./inner.txt", "/sub/inner.txt"},
        {"/a//b/", "/a/b/"},  // a directory stays one
        {"/a/.", "/a/"},
        {"/a/.b/..c/...", "/a/.b/..c/..."},  // no "." or ".." segment: hidden ones stay
        {"/a\\.\\b", "/a\\.\\b"},            // "\\" is a byte of a name here
        {"/../x", std::nullopt},
        {"//..//x", std::nullopt},
        {"/a/..", std::nullopt},
        {"/a\\..\\b", std::nullopt},
        {std::string("/a\0b", 4), std::nullopt},
        {"", std::nullopt},
        {"a/b", std::nullopt},  // not from the root
        {"*", std::nullopt},
        {"http://127.0.0.1/a", std::nullopt},
    };
    for (const auto& [path, form] : cases) {
        EXPECT_EQ(kr::requestPathForm(path), form) << path;
    }
}

TEST(RequestPath, ASegmentThatBeginsWithADotIsHiddenAtAnyDepth) {
    const std::vector<std::pair<std::string, bool>> cases{
        {"page.html", false}, {"sub/inner.txt", false},  {"a.b/c.d.", false},       {"", false},
        {".env", true},       {"sub/.git/config", true}, {"a/b/.ssh/id_rsa", true}, {"a/..b", true},
        {"a/.", true},        {"sub\\.git", true},       {"cgi-bin/.x", true},
    };
    for (const auto& [path, hidden] : cases) {
        EXPECT_EQ(kr::hasHiddenSegment(path), hidden) << path;
    }
}

// The file functions refuse what no form gives, whoever calls them: an absolute path would
// name a file outside the base to the open beneath it, and the same bytes joined to the
// base a file inside it, where no rule had looked.
TEST_F(DispatchTest, TheFileFunctionsTakeOnlyARelativeFormWithoutHiddenSegments) {
    file("page.html", "the page");
    file(".env", "secret");
    file("sub/.git/config", "secret");
    std::string found;
    for (const std::string path :
         {"/page.html", "/.env", ".env", "sub/.git/config", "./page.html", "sub/../page.html"}) {
        EXPECT_FALSE(kr::openServableFile(base.string(), path).ok()) << path;
        EXPECT_FALSE(kr::findServableFile(base.string(), path, found)) << path;
    }
    EXPECT_TRUE(kr::openServableFile(base.string(), "page.html").ok());
    EXPECT_TRUE(kr::findServableFile(base.string(), "page.html", found));
}

TEST(RequestPath, EachRelativePathIsHiddenAProgramAScriptOrAPlainFile) {
    using enum kr::PathKind;
    const std::vector<std::pair<std::string, kr::PathKind>> cases{
        {"page.html", plain},
        {"sub/inner.txt", plain},
        {"", plain},
        {"page.PHP", plain},
        {"page.php.txt", plain},
        {"cgi-bin", plain},  // the directory itself is no program
        {"sub/cgi-bin/x", plain},
        {"page.php", phpScript},
        {"sub/page.php", phpScript},
        {"cgi-bin/x", cgiProgram},
        {"cgi-bin/x.php", cgiProgram},  // run as a program, not as a script
        {".env", hidden},
        {"sub/.git/config", hidden},
        {"cgi-bin/.x", hidden},
        {".hidden.php", hidden},
        {"a\\.b", hidden},
    };
    for (const auto& [path, kind] : cases) {
        EXPECT_EQ(kr::pathKindOf(path), kind) << path;
    }
}

// A link inside the base leads a request only where the request's own path could go: the
// rules hold for the path the file has of its own beneath the base, through every link.
TEST_F(DispatchTest, ALinkLeadsARequestOnlyWhereItsOwnPathCouldGo) {
    file("page.html", "the page");
    file(".env", "secret");
    file(".git/config", "secret");
    file("page.php", "<?php secret ?>");
    file("sub/inner.txt", "inner");
    file("cgi-bin/s.sh", "#!/bin/sh\nsecret\n");
    file("tool.sh", "#!/bin/sh\ntool\n");
    file(".hooks/run.sh", "#!/bin/sh\nsecret\n");
    std::ofstream(directory / "outside.txt") << "secret";
    struct Case {
        std::string link;
        fs::path target;
        std::string path;  // the relative path asked for
        bool sent;         // openServableFile opens it
        bool run;          // findServableFile finds it
        std::string content;
    };
    const fs::path absoluteBase = fs::absolute(base);
    const std::vector<Case> cases{
        {"envlink", ".env", "envlink", false, false, ""},
        {"public", ".git", "public/config", false, false, ""},
        {"sub/deep", "../.git/config", "sub/deep", false, false, ""},
        {"scripts", "cgi-bin", "scripts/s.sh", false, false, ""},
        {"run.sh", "cgi-bin/s.sh", "run.sh", false, false, ""},
        {"page.txt", "page.php", "page.txt", false, false, ""},
        {"index.html", ".env", "index.html", false, false, ""},
        {"absolute-env", absoluteBase / ".env", "absolute-env", false, false, ""},
        {"outside", "../outside.txt", "outside", false, false, ""},
        // A script that is a program's text: the PHP program would print it.
        {"script.php", "cgi-bin/s.sh", "script.php", false, false, ""},
        {"other.php", "page.php", "other.php", false, true, "<?php secret ?>"},
        {"cgi-bin/tool", "../tool.sh", "cgi-bin/tool", false, true, "#!/bin/sh\ntool\n"},
        {"cgi-bin/hook", "../.hooks/run.sh", "cgi-bin/hook", false, false, ""},
        {"link.html", "page.html", "link.html", true, true, "the page"},
        {"docs", "sub", "docs/inner.txt", true, true, "inner"},
        {"absolute", absoluteBase / "page.html", "absolute", true, true, "the page"},
        {"index.html", "sub/inner.txt", "index.html", true, true, "inner"},
    };
    for (const Case& c : cases) {
        fs::create_symlink(c.target, base / c.link);
        const auto sent = kr::openServableFile(base.string(), c.path);
        EXPECT_EQ(sent.ok(), c.sent) << c.path;
        if (sent.ok()) {
            EXPECT_EQ(contentOf(sent.value.fd), c.content) << c.path;
            EXPECT_EQ(sent.value.size, c.content.size()) << c.path;
        }
        std::string found;
        EXPECT_EQ(kr::findServableFile(base.string(), c.path, found), c.run) << c.path;
        if (c.run) {
            EXPECT_EQ(found, (base / c.path).string()) << c.path;
        }
        fs::remove(base / c.link);
    }
}

TEST_F(DispatchTest, ACommandOfAKnownSessionIsAnsweredByItsContext) {
    const std::uint16_t port = serve(siteSettings());
    ASSERT_NE(port, 0);
    const std::string form = "nuxelid=" + kKnownSession + "&nuxelcommand=x+y";
    const std::vector<Exchange> cases{
        {"GET /f11?nuxelid=" + kKnownSession + "&nuxelcommand=go HTTP/1.1\r\n\r\n",
         okAnswer("session " + kKnownSession + ", command go")},
        {"GET /playget?nuxelid=" + kKnownSession + " HTTP/1.1\r\n\r\n",
         okAnswer("session " + kKnownSession + ", command ")},
        {"POST /f12 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: " +
             std::to_string(form.size()) + "\r\n\r\n" + form,
         okAnswer("session " + kKnownSession + ", command x y")},
    };
    for (const auto& [request, answer] : cases) {
        EXPECT_EQ(ask(port, request, answer.size()), answer) << request;
    }
    EXPECT_EQ(application.calls.values(),
              (std::vector<std::string>{"dispatch " + kKnownSession + " go",
                                        "dispatch " + kKnownSession + " ",
                                        "dispatch " + kKnownSession + " x y"}));
}

TEST_F(DispatchTest, ARequestWithoutSessionOnTheCommandUrlStartsANewSession) {
    file("index.html", "the index");
    file("other.html", "other");
    Settings settings = siteSettings();
    const std::uint16_t port = serve(settings);
    ASSERT_NE(port, 0);
    // The command URL is answered by the new context, ahead of the index file.
    const std::string fresh = okAnswer("new session, command &new, path /");
    EXPECT_EQ(ask(port, "GET / HTTP/1.1\r\n\r\n", fresh.size()), fresh);
    // Any other path without a session goes to the files.
    EXPECT_EQ(ask(port, "GET /other.html HTTP/1.1\r\n\r\n", okAnswer("other").size()),
              okAnswer("other"));
    EXPECT_EQ(application.calls.values(), std::vector<std::string>{"create nuxelid"});
}

TEST_F(DispatchTest, CommandsThatAnswerNothingFallThroughToTheFiles) {
    file("page.html", "the page");
    file("index.html", "the index");
    const std::uint16_t port = serve(siteSettings());
    ASSERT_NE(port, 0);
    // An unknown session leaves the status at 500: nothing is sent for the command.
    EXPECT_EQ(
        ask(port, "GET /page.html?nuxelid=stale HTTP/1.1\r\n\r\n", okAnswer("the page").size()),
        okAnswer("the page"));
    EXPECT_EQ(ask(port, "GET /missing?nuxelid=stale HTTP/1.1\r\n\r\n", notFoundAnswer().size()),
              notFoundAnswer());
    // An application that makes no context for a new session: the index file answers.
    application.makesContexts = false;
    EXPECT_EQ(ask(port, "GET / HTTP/1.1\r\n\r\n", okAnswer("the index").size()),
              okAnswer("the index"));
    EXPECT_EQ(application.calls.values(),
              (std::vector<std::string>{"dispatch stale ", "dispatch stale ", "create nuxelid"}));
}

TEST_F(DispatchTest, TheRootRunsIndexPhpBeforeIndexHtml) {
    const std::string php = script("bin/php-stub",
                                   "printf 'Content-Type: text/html\\r\\n\\r\\n'\n"
                                   "printf 'php ran %s' \"$SCRIPT_FILENAME\"");
    Settings settings = siteSettings();
    settings[std::string(KrTransceiverClient::kCommandUrlSetting)] = "/app";
    settings[std::string(KrTransceiverClient::kPhpProgramSetting)] = php;
    const std::uint16_t port = serve(settings);
    ASSERT_NE(port, 0);
    const std::string root = "GET / HTTP/1.1\r\n\r\n";

    EXPECT_EQ(ask(port, root, notFoundAnswer().size()), notFoundAnswer()) << "neither file";

    file("index.html", "<p>index</p>");
    EXPECT_EQ(ask(port, root, okAnswer("<p>index</p>").size()), okAnswer("<p>index</p>"));

    const std::string script = file("index.php", "<?php echo 1; ?>");
    const std::string output = "php ran " + script;
    const std::string expected =
        "HTTP/1.1 200 OK\r\nServer: brantel/1.28.1(96)\r\nContent-Length: " +
        std::to_string(output.size()) + "\r\nContent-Type: text/html\r\n\r\n" + output;
    EXPECT_EQ(ask(port, root, expected.size()), expected);
}

TEST_F(DispatchTest, BuiltInFilesAreServedOnlyWithABaseDirectory) {
    file("page.html", "the page");
    const std::string& png = application.builtIns.at("kreuz.png");
    const std::uint16_t port = serve(siteSettings());
    ASSERT_NE(port, 0);
    EXPECT_EQ(ask(port, "GET /kreuz.png HTTP/1.1\r\n\r\n", okAnswer(png).size()), okAnswer(png));

    // The same application behind a dispatch without a base directory.
    const std::uint16_t noBase = serve(Settings{});
    ASSERT_NE(noBase, 0);
    for (const std::string path : {"/kreuz.png", "/page.html"}) {
        EXPECT_EQ(ask(noBase, "GET " + path + " HTTP/1.1\r\n\r\n", notFoundAnswer().size()),
                  notFoundAnswer())
            << path;
    }
    EXPECT_EQ(application.calls.values(), std::vector<std::string>{"built-in kreuz.png"});
}

TEST_F(DispatchTest, PathsThatCouldLeaveTheBaseOrHideGetTheNotFoundPage) {
    file("page.html", "the page");
    file(".hidden", "secret");
    file("sub/inner.txt", "inner");
    file("cgi-bin/.x", "x");
    std::ofstream(directory / "outside.txt") << "outside";
    fs::create_symlink(directory / "outside.txt", base / "link-out");
    fs::create_symlink(base / "page.html", base / "link-in");
    fs::create_symlink("../outside.txt", base / "relative-link-out");
    fs::create_symlink("../page.html", base / "sub" / "relative-link-in");
    ASSERT_EQ(::mkfifo((base / "fifo").c_str(), 0600), 0);
    const std::uint16_t port = serve(siteSettings());
    ASSERT_NE(port, 0);

    const std::vector<std::string> refused{
        "/.hidden",
        "/../outside.txt",
        "/sub/../page.html",
        "/sub/../../outside.txt",
        "/sub\\..\\page.html",
        "/cgi-bin/../page.html",
        std::string("/page.html\0.txt", 15),
        "/sub",
        "/sub/",
        "/link-out",
        "/relative-link-out",
        "/cgi-bin/",
        "/missing.html",
        "/fifo",  // opened without waiting for a writer, then refused as no regular file
    };
    for (const std::string& path : refused) {
        EXPECT_EQ(ask(port, "GET " + path + " HTTP/1.1\r\n\r\n", notFoundAnswer().size()),
                  notFoundAnswer())
            << path;
    }
    // A dot further inside the path is no hidden file; a link within the base is followed,
    // whether it names its target from the root or from where it lies; a path that names
    // the base's root twice stays in it.
    EXPECT_EQ(ask(port, "GET /sub/inner.txt HTTP/1.1\r\n\r\n", okAnswer("inner").size()),
              okAnswer("inner"));
    for (const std::string path : {"/link-in", "/sub/relative-link-in", "//page.html"}) {
        EXPECT_EQ(ask(port, "GET " + path + " HTTP/1.1\r\n\r\n", okAnswer("the page").size()),
                  okAnswer("the page"))
            << path;
    }
}

// However a request spells a path, the rules see one form: no hidden file at any depth is
// sent, whatever lies under "cgi-bin/" is run, never sent, and built-in names and the index
// are found as ever.
TEST_F(DispatchTest, EverySpellingOfAPathMeetsTheSameFileRules) {
    file("page.html", "the page");
    file("index.html", "the index");
    file("sub/inner.txt", "inner");
    for (const std::string secret :
         {".env", ".git/config", ".ssh/id_rsa", "sub/.git/config", "sub/.env", "cgi-bin/.x"}) {
        file(secret, "secret");
    }
    script("www/cgi-bin/s.sh", "printf 'Content-Type: text/plain\\r\\n\\r\\nran'");
    const std::string ran =
        "HTTP/1.1 200 OK\r\nServer: brantel/1.28.1(96)\r\nContent-Length: "
        "3\r\nContent-Type: text/plain\r\n\r\nran";
    const std::string& png = application.builtIns.at("kreuz.png");
    Settings settings = siteSettings();
    settings[std::string(KrTransceiverClient::kCommandUrlSetting)] = "/app";
    const std::uint16_t port = serve(settings);
    ASSERT_NE(port, 0);

    const std::vector<Exchange> cases{
        {"//.env", notFoundAnswer()},
        {"///.env", notFoundAnswer()},
        {"//./.env", notFoundAnswer()},
        {"/./.env", notFoundAnswer()},
        {"//.git/config", notFoundAnswer()},
        {"//.ssh/id_rsa", notFoundAnswer()},
        {"/sub/.git/config", notFoundAnswer()},
        {"//sub//.env", notFoundAnswer()},
        {"/sub/./.env", notFoundAnswer()},
        {"/cgi-bin/.x", notFoundAnswer()},
        {"//cgi-bin/.x", notFoundAnswer()},
        {"//sub/../page.html", notFoundAnswer()},
        {"page.html", notFoundAnswer()},
        {"/cgi-bin/s.sh", ran},
        {"//cgi-bin/s.sh", ran},
        {"/./cgi-bin/s.sh", ran},
        {"/cgi-bin//s.sh", ran},
        {"/cgi-bin/./s.sh", ran},
        {"/page.html", okAnswer("the page")},
        {"//page.html", okAnswer("the page")},
        {"/./page.html", okAnswer("the page")},
        {"/sub//inner.txt", okAnswer("inner")},
        {"//kreuz.png", okAnswer(png)},
        {"/./kreuz.png", okAnswer(png)},
        {"//", okAnswer("the index")},
        {"/.", okAnswer("the index")},
    };
    for (const auto& [target, answer] : cases) {
        EXPECT_EQ(ask(port, "GET " + target + " HTTP/1.1\r\n\r\n", answer.size()), answer)
            << target;
    }
}

TEST_F(DispatchTest, AServableFileIsReadFromWhatWasOpenedWhateverItsNameNamesLater) {
    file("page.html", "the page");
    std::ofstream(directory / "outside.txt") << "outside";
    const auto opened = kr::openServableFile(base.string(), "page.html");
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened.value.size, 8u);
    // The name now stands for a link out of the base: checked by name and then read by
    // name, the outside file would be read.
    fs::remove(base / "page.html");
    fs::create_symlink(directory / "outside.txt", base / "page.html");
    EXPECT_EQ(contentOf(opened.value.fd), "the page");
    EXPECT_FALSE(kr::openServableFile(base.string(), "page.html").ok());
}

TEST_F(DispatchTest, AStaticFileIsSentWithItsExactLengthAndNoContentType) {
    const std::string bytes = std::string("line\r\n\0\x01\xff end", 13) + std::string(70000, 'z');
    file("data.bin", bytes);
    file("upper.PHP", "<?php not run ?>");
    file("empty.txt", "");
    const std::uint16_t port = serve(siteSettings());
    ASSERT_NE(port, 0);
    const std::vector<Exchange> cases{
        {"GET /data.bin HTTP/1.1\r\nConnection: close\r\n\r\n", okAnswer(bytes)},
        {"GET /upper.PHP HTTP/1.1\r\nConnection: close\r\n\r\n", okAnswer("<?php not run ?>")},
        {"GET /empty.txt HTTP/1.1\r\nConnection: close\r\n\r\n", okAnswer("")},
    };
    for (const auto& [request, answer] : cases) {
        // Read until the server closes: nothing follows the answer.
        EXPECT_EQ(ask(port, request, answer.size() + 1), answer) << request;
    }
}

// A process out of descriptors cannot open a file that is there: that is the server being
// busy, not the file missing. No fixture: its jobs start threads, and a thread that starts
// while the descriptors are taken trips the sanitizers' own checks, which need descriptors
// too; for the same reason only the opens run while they are taken.
TEST(Dispatch, AFileThatCannotBeOpenedForWantOfDescriptorsSaysSo) {
    const fs::path base = fs::temp_directory_path() /
                          ("gridlo-dispatch-descriptors-" + std::to_string(::getpid()));
    fs::remove_all(base);
    fs::create_directories(base);
    std::ofstream(base / "page.html", std::ios::binary) << "the page";

    nettest::DescriptorsTaken taken(512);
    ASSERT_EQ(taken.lastError(), EMFILE);
    const auto existing = kr::openServableFile(base.string(), "page.html");
    const auto missing = kr::openServableFile(base.string(), "missing.html");
    taken.release();

    EXPECT_FALSE(existing.ok());
    EXPECT_TRUE(platform::lacksResources(existing.error)) << platform::errorText(existing.error);
    EXPECT_TRUE(kr::openServableFile(base.string(), "page.html").ok());
    EXPECT_FALSE(missing.ok());
    fs::remove_all(base);
}

// Room for one connection.
class CrowdedDispatchTest : public DispatchTest {
protected:
    void SetUp() override {
        DispatchTest::SetUp();
        hub = kr::makeUniqueJob<KrTransceiver>(scheduler, KrTransceiver::Timing{},
                                               KrTransceiver::Limits{.connections = 1});
        kr::installServerLayers(*hub);
    }
};

// A file takes a place in the connection limit while it is sent; where there is none, and
// no connection can make room, a file that is there is answered with 503, one that is not
// still with the 404 page, and the access log says which.
TEST_F(CrowdedDispatchTest, AFileWithoutRoomInTheConnectionLimitIsUnavailableNotMissing) {
    file("page.html", "the page");
    const std::uint16_t port = serve(siteSettings());
    ASSERT_NE(port, 0);
    const std::string unavailable =
        "<!DOCTYPE html>\n<html>\n<head>\n<title>Error 503 - service unavailable</title>\n"
        "</head>\n<body><h1>Error 503 - service unavailable</h1>The server is busy. Please try "
        "again in a moment.<br />\n<a href=\"/\">Startseite</a>\n</body>\n</html>";
    const std::string busy = answerHead(unavailable.size(), "503 Service Unavailable") + unavailable;
    Client peer;
    ASSERT_TRUE(peer.connect(port));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(peer.send("GET /page.html HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(peer.receive(busy.size()), busy);
    ASSERT_TRUE(peer.send("GET /missing.html HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(peer.receive(notFoundAnswer().size()), notFoundAnswer()) << "still missing";
    ASSERT_TRUE(peer.send("GET /kreuz.png HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(peer.receive(okAnswer(application.builtIns.at("kreuz.png")).size()),
              okAnswer(application.builtIns.at("kreuz.png")))
        << "a built-in file holds no descriptor";
    std::vector<std::string> statuses;
    ASSERT_TRUE(eventually([&] {
        statuses.clear();
        for (const auto& event : recorder.events.values()) {
            if (event.state == KrServerCallback_t::kAccessLog) {
                const std::string& line = event.values.at("logging");
                statuses.push_back(line.substr(line.find("--> ") + 4, 3));
            }
        }
        return statuses.size() == 3;
    }));
    EXPECT_EQ(statuses, (std::vector<std::string>{"503", "404", "200"}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "connection limit of 1 reached: a new connection takes the place of one that waits "
              "for nothing, or is closed\n");
}

TEST_F(DispatchTest, TheNotFoundPageGoesOutWithItsExactBytes) {
    const std::uint16_t port = serve(siteSettings());
    ASSERT_NE(port, 0);
    const std::string expected =
        "HTTP/1.1 404 Not Found\r\nServer: brantel/1.28.1(96)\r\nContent-Length: 222\r\n\r\n" +
        kNotFoundPage;
    EXPECT_EQ(ask(port, "GET /nothing HTTP/1.1\r\nConnection: close\r\n\r\n", expected.size() + 1),
              expected);
}

TEST_F(DispatchTest, NuxelRequestsGetAnEmptyNotFound) {
    file("page.html", "the page");
    const std::uint16_t port = serve(siteSettings(), kr::kProtocolNUXEL);
    ASSERT_NE(port, 0);
    const std::string empty = answerHead(0, "404 Not Found");
    for (const std::string& target :
         {"/?nuxelid=" + kKnownSession, std::string("/page.html"), std::string("/")}) {
        EXPECT_EQ(ask(port, "GET " + target + " NUXEL/1.0\r\nConnection: close\r\n\r\n",
                      empty.size() + 1),
                  empty)
            << target;
    }
    EXPECT_TRUE(application.calls.values().empty());
}

// A NUXEL layer that stamps its requests with protocol 7, as a "nuxels" listener's would.
class NuxelsLayer : public KrTransceiverServerL1HTTP {
public:
    explicit NuxelsLayer(const KrServerSetup& setup)
        : KrTransceiverServerL1HTTP(setup, kr::kProtocolNUXELS) {}
};

TEST_F(DispatchTest, ARequestOfProtocolSevenIsNotAnswered) {
    hub->setServerLayer(kr::kProtocolNUXELS,
                        KrServerLayer{"NUXEL", "NUXEL/NUXELS", [](const KrServerSetup& setup) {
                                          return kr::makeJob<NuxelsLayer>(setup);
                                      }});
    file("page.html", "the page");
    const std::uint16_t port = serve(siteSettings(), kr::kProtocolNUXELS);
    ASSERT_NE(port, 0);
    Client peer;
    ASSERT_TRUE(peer.connect(port));
    ASSERT_TRUE(peer.send("GET /page.html HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(client->results.waitFor([](bool) { return true; }));
    EXPECT_EQ(client->results.values(), std::vector<bool>{false});
    // Every answer written is logged at once; none was.
    EXPECT_EQ(recorder.countState(KrServerCallback_t::kAccessLog), 0u);
    EXPECT_TRUE(application.calls.values().empty());
}

TEST(Dispatch, TakesAndDropsAMessageOfAServerItDoesNotServe) {
    FakeApplication application;
    const auto client =
        kr::makeJob<KrTransceiverClient>(nullptr, KrTransceiverClient::Settings{}, &application);
    auto request = kr::makeJob<KrXHeader>(KrXHeader::kMethodGet, false, kr::kProtocolHTTP);
    request->setMessageKind(KrXHeader::kRequest);
    // A session's command: a served request would reach the application.
    request->splitTarget("/?nuxelid=" + kKnownSession);
    EXPECT_TRUE(client->handleMessage("a server it never made", request));
    EXPECT_TRUE(application.calls.values().empty());
}

// Only what is answered from memory or a file may be handed over on the thread that reads
// every connection: a program, a script (the index may be one), a session or a new one must
// never be, however the path is spelled.
TEST(Dispatch, AnswersAtOnceOnlyWhatNeedsNoProgramNorTheApplication) {
    FakeApplication application;
    const KrTransceiverClient::Settings settings{
        {std::string(KrTransceiverClient::kBaseDirectorySetting), "/nonexistent"},
        {std::string(KrTransceiverClient::kCommandUrlSetting), "/start"}};
    const auto withApplication = kr::makeJob<KrTransceiverClient>(nullptr, settings, &application);
    const auto withoutApplication = kr::makeJob<KrTransceiverClient>(nullptr, settings, nullptr);
    const struct {
        const char* wire;
        bool atOnce;
        bool atOnceWithoutApplication;
    } cases[] = {
        {"GET /page.html HTTP/1.1\r\n\r\n", true, true},
        {"GET /sub/kreuz.png HTTP/1.1\r\n\r\n", true, true},
        {"GET /missing/../../x HTTP/1.1\r\n\r\n", true, true},  // the 404 page
        {"GET /cgi-bin/s.sh HTTP/1.1\r\n\r\n", false, false},
        {"GET //cgi-bin/s.sh HTTP/1.1\r\n\r\n", false, false},
        {"GET /./cgi-bin/s.sh HTTP/1.1\r\n\r\n", false, false},
        {"GET /sub/page.php HTTP/1.1\r\n\r\n", false, false},
        {"GET / HTTP/1.1\r\n\r\n", false, false},
        {"GET // HTTP/1.1\r\n\r\n", false, false},
        {"GET /start HTTP/1.1\r\n\r\n", false, true},
        {"GET /page.html?nuxelid=1 HTTP/1.1\r\n\r\n", false, true},
        {"GET /page.html HTTP/1.1\r\nContent-Length: 9\r\n\r\nnuxelid=1", false, false},
        {"POST /page.html HTTP/1.1\r\nContent-Length: 0\r\n\r\n", false, false},
    };
    for (const auto& c : cases) {
        const auto read = httptest::readStream({c.wire});
        ASSERT_EQ(read.front().result, KrXHeader::kComplete) << c.wire;
        const KrXHeader& request = *read.front().message;
        EXPECT_EQ(withApplication->answersAtOnce(request), c.atOnce) << c.wire;
        EXPECT_EQ(withoutApplication->answersAtOnce(request), c.atOnceWithoutApplication)
            << c.wire;
    }
    // Messages of other kinds and protocols, which the dispatch does not serve as files.
    const auto answer = httptest::readStream({"HTTP/1.1 200 OK\r\n\r\n"});
    EXPECT_FALSE(withApplication->answersAtOnce(*answer.front().message));
    const auto nuxel = httptest::readStream({"GET /page.html HTTP/1.1\r\n\r\n"}, true,
                                            kr::kProtocolNUXEL);
    EXPECT_FALSE(withApplication->answersAtOnce(*nuxel.front().message));
}

TEST_F(DispatchTest, ARequestTheDispatchSendsGoesOutThroughTheHub) {
    const std::uint16_t port = serve(siteSettings());
    ASSERT_NE(port, 0);
    auto request = kr::makeJob<KrXHeader>(KrXHeader::kMethodGet, false, kr::kProtocolHTTP);
    request->setMessageKind(KrXHeader::kRequest);
    request->setPath("/sent-by-the-client");
    request->setAddressedPeer("127.0.0.1", "", port);
    request->setState(KrXHeader::kStateAnswerReady);
    EXPECT_EQ(client->send(request), request->id());
    // The request reached the server, which answered it with the 404 page.
    KrServerCallback_t logged;
    ASSERT_TRUE(recorder.events.waitFor(
        [](const KrServerCallback_t& event) {
            return event.state == KrServerCallback_t::kAccessLog &&
                   event.values.at("logging").find("\"GET /sent-by-the-client\" --> 404") !=
                       std::string::npos;
        },
        &logged));
}

}  // namespace
