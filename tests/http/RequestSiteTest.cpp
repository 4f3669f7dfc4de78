#include "http/RequestSite.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Values = std::vector<std::string>;

struct Case {
    const char* what;
    bool isGet;
    Values fetchSite;
    Values fetchMode;
    Values fetchDest;
    Values origin;
    Values host;
    bool served;
};

bool served(const Case& c) {
    return kr::acceptsSiteOf({.isGet = c.isGet,
                              .fetchSite = c.fetchSite,
                              .fetchMode = c.fetchMode,
                              .fetchDest = c.fetchDest,
                              .origin = c.origin,
                              .host = c.host});
}

const Values kHost{"127.0.0.1:2098"};

TEST(RequestSite, AnotherSitesRequestIsServedOnlyAsATopLevelNavigation) {
    const std::vector<Case> cases{
        {"neither field", true, {}, {}, {}, {}, kHost, true},
        {"neither field, a post", false, {}, {}, {}, {}, {}, true},
        {"a typed address", true, {"none"}, {"navigate"}, {"document"}, {}, kHost, true},
        {"the page's own image", true, {"same-origin"}, {"no-cors"}, {"image"}, {}, kHost, true},
        {"the page's own form", false, {"same-origin"}, {"navigate"}, {"document"},
         {"http://127.0.0.1:2098"}, kHost, true},
        {"a link of another site", true, {"cross-site"}, {"navigate"}, {"document"}, {}, kHost,
         true},
        {"a link of another port", true, {"same-site"}, {"navigate"}, {"document"}, {}, kHost,
         true},
        {"an image of another site", true, {"cross-site"}, {"no-cors"}, {"image"}, {}, kHost,
         false},
        {"an image of another port", true, {"same-site"}, {"no-cors"}, {"image"}, {}, kHost,
         false},
        {"a script", true, {"cross-site"}, {"no-cors"}, {"script"}, {}, kHost, false},
        {"a style sheet", true, {"cross-site"}, {"no-cors"}, {"style"}, {}, kHost, false},
        {"a frame", true, {"cross-site"}, {"navigate"}, {"iframe"}, {}, kHost, false},
        {"a fetch", true, {"cross-site"}, {"cors"}, {"empty"}, {"http://attacker.example"},
         kHost, false},
        {"a form post", false, {"cross-site"}, {"navigate"}, {"document"},
         {"http://attacker.example"}, kHost, false},
        {"a navigation without its mode", true, {"cross-site"}, {}, {"document"}, {}, kHost,
         false},
        {"a navigation without its destination", true, {"cross-site"}, {"navigate"}, {}, {},
         kHost, false},
        {"an unknown site value", true, {"elsewhere"}, {"no-cors"}, {"image"}, {}, kHost, false},
        {"a site value in capitals", true, {"Same-Origin"}, {"no-cors"}, {"image"}, {}, kHost,
         false},
        {"one site value of two is another site", true, {"same-origin", "cross-site"},
         {"no-cors"}, {"image"}, {}, kHost, false},
        {"two values in one field", true, {"same-origin,cross-site"}, {"no-cors"}, {"image"},
         {}, kHost, false},
        {"own site values both", true, {"same-origin", "none"}, {"no-cors"}, {"image"}, {},
         kHost, true},
        {"a second mode that is no navigation", true, {"cross-site"}, {"navigate", "no-cors"},
         {"document"}, {}, kHost, false},
        {"a second destination that is no document", true, {"cross-site"}, {"navigate"},
         {"document", "image"}, {}, kHost, false},
        {"the site field decides, not the origin", true, {"same-origin"}, {"cors"}, {"empty"},
         {"http://attacker.example"}, kHost, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(served(c), c.served) << c.what;
    }
}

TEST(RequestSite, WithoutTheSiteFieldAnOriginMustNameTheRequestsOwn) {
    const std::vector<Case> cases{
        {"its own origin", false, {}, {}, {}, {"http://127.0.0.1:2098"}, kHost, true},
        {"in other letter case", false, {}, {}, {}, {"HTTP://LocalHost:2098"},
         {"localhost:2098"}, true},
        {"the name in other letter case", true, {}, {}, {}, {"http://localhost:2098"},
         {"LOCALHOST:2098"}, true},
        {"port 80 written in the Host", false, {}, {}, {}, {"http://localhost"},
         {"localhost:80"}, true},
        {"port 80 written in the Origin", false, {}, {}, {}, {"http://localhost:80"},
         {"localhost"}, true},
        {"port 80 on neither side", false, {}, {}, {}, {"http://localhost"}, {"localhost"},
         true},
        {"IPv6", false, {}, {}, {}, {"http://[::1]:2098"}, {"[::1]:2098"}, true},
        {"another site", false, {}, {}, {}, {"http://attacker.example"}, kHost, false},
        {"another port", false, {}, {}, {}, {"http://127.0.0.1:2099"}, kHost, false},
        {"the default port against another", false, {}, {}, {}, {"http://127.0.0.1"}, kHost,
         false},
        {"another port against the default", false, {}, {}, {}, {"http://localhost:8080"},
         {"localhost"}, false},
        {"another scheme", false, {}, {}, {}, {"https://127.0.0.1:2098"}, kHost, false},
        {"null", false, {}, {}, {}, {"null"}, kHost, false},
        {"a name that begins alike", false, {}, {}, {}, {"http://127.0.0.1.attacker.example"},
         {"127.0.0.1"}, false},
        {"with a path", false, {}, {}, {}, {"http://127.0.0.1:2098/"}, kHost, false},
        {"a port that is no number", false, {}, {}, {}, {"http://127.0.0.1:x"},
         {"127.0.0.1:x"}, false},
        {"no name", false, {}, {}, {}, {"http://"}, {""}, false},
        {"no Host to compare", false, {}, {}, {}, {"http://127.0.0.1:2098"}, {}, false},
        {"two Hosts of different origins", false, {}, {}, {}, {"http://127.0.0.1:2098"},
         {"127.0.0.1:2098", "localhost:2098"}, false},
        {"two Hosts of one origin", false, {}, {}, {}, {"http://127.0.0.1:2098"},
         {"127.0.0.1:2098", "127.0.0.1:2098"}, true},
        {"one Origin of two is another", false, {}, {}, {},
         {"http://127.0.0.1:2098", "http://attacker.example"}, kHost, false},
        {"another site's top-level GET", true, {}, {"navigate"}, {"document"},
         {"http://attacker.example"}, kHost, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(served(c), c.served) << c.what;
    }
}

}  // namespace
