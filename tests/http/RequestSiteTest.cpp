#include "http/RequestSite.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/Strings.h"

namespace {

using Values = std::vector<std::string>;

// The values of one field written as the table writes them: "-" for a field that is absent,
// several values joined by "|".
Values valuesOf(const std::string& text) {
    return text == "-" ? Values{} : kr::splitString(text, "|", false);
}

// A request's fields for the rule: fetch holds the values of Sec-Fetch-Site, Sec-Fetch-Mode
// and Sec-Fetch-Dest, in that order, separated by blanks.
bool served(bool isGet, const std::string& fetch, const Values& origin, const Values& host) {
    const Values marks = kr::splitString(fetch, " ", false);
    EXPECT_EQ(marks.size(), 3u) << fetch;
    const Values site = valuesOf(marks.at(0));
    const Values mode = valuesOf(marks.at(1));
    const Values dest = valuesOf(marks.at(2));
    return kr::acceptsSiteOf({.isGet = isGet,
                              .fetchSite = site,
                              .fetchMode = mode,
                              .fetchDest = dest,
                              .origin = origin,
                              .host = host});
}

const Values kHost{"127.0.0.1:2098"};
const Values kOwn{"http://127.0.0.1:2098"};
const Values kAttacker{"http://attacker.example"};

TEST(RequestSite, AnotherSitesRequestIsServedOnlyAsATopLevelNavigation) {
    constexpr bool kGet = true;
    constexpr bool kPost = false;
    struct Case {
        const char* what;
        bool isGet;
        std::string fetch;
        Values origin;
        bool served;
    };
    const std::vector<Case> cases{
        {"neither field", kGet, "- - -", {}, true},
        {"neither field, a post", kPost, "- - -", {}, true},
        {"a typed address", kGet, "none navigate document", {}, true},
        {"the page's own image", kGet, "same-origin no-cors image", {}, true},
        {"the page's own form", kPost, "same-origin navigate document", kOwn, true},
        {"a link of another site", kGet, "cross-site navigate document", {}, true},
        {"a link of another port", kGet, "same-site navigate document", {}, true},
        {"an image of another site", kGet, "cross-site no-cors image", {}, false},
        {"an image of another port", kGet, "same-site no-cors image", {}, false},
        {"a script", kGet, "cross-site no-cors script", {}, false},
        {"a style sheet", kGet, "cross-site no-cors style", {}, false},
        {"a frame", kGet, "cross-site navigate iframe", {}, false},
        {"a fetch", kGet, "cross-site cors empty", kAttacker, false},
        {"a form post", kPost, "cross-site navigate document", kAttacker, false},
        {"a navigation without its mode", kGet, "cross-site - document", {}, false},
        {"a navigation without its destination", kGet, "cross-site navigate -", {}, false},
        {"an unknown site value", kGet, "elsewhere no-cors image", {}, false},
        {"a site value in capitals", kGet, "Same-Origin no-cors image", {}, false},
        {"one of two sites is another", kGet, "same-origin|cross-site no-cors image", {}, false},
        {"two values in one field", kGet, "same-origin,cross-site no-cors image", {}, false},
        {"own site values both", kGet, "same-origin|none no-cors image", {}, true},
        {"a second mode", kGet, "cross-site navigate|no-cors document", {}, false},
        {"a second destination", kGet, "cross-site navigate document|image", {}, false},
        {"the site decides, not the origin", kGet, "same-origin cors empty", kAttacker, true},
        {"an origin decides without a site", kGet, "- navigate document", kAttacker, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(served(c.isGet, c.fetch, c.origin, kHost), c.served) << c.what;
    }
}

TEST(RequestSite, WithoutTheSiteFieldAnOriginMustNameTheRequestsOwn) {
    struct Case {
        const char* what;
        Values origin;
        Values host;
        bool served;
    };
    const std::vector<Case> cases{
        {"its own origin", kOwn, kHost, true},
        {"in other letter case", {"HTTP://LocalHost:2098"}, {"localhost:2098"}, true},
        {"the Host in other letter case", {"http://localhost:2098"}, {"LOCALHOST:2098"}, true},
        {"port 80 written in the Host", {"http://localhost"}, {"localhost:80"}, true},
        {"port 80 written in the Origin", {"http://localhost:80"}, {"localhost"}, true},
        {"port 80 on neither side", {"http://localhost"}, {"localhost"}, true},
        {"an empty port in the Host", {"http://localhost"}, {"localhost:"}, true},
        {"IPv6", {"http://[::1]:2098"}, {"[::1]:2098"}, true},
        {"another site", kAttacker, kHost, false},
        {"another port", {"http://127.0.0.1:2099"}, kHost, false},
        {"the default port against another", {"http://127.0.0.1"}, kHost, false},
        {"another port against the default", {"http://localhost:8080"}, {"localhost"}, false},
        {"another scheme", {"https://127.0.0.1:2098"}, kHost, false},
        {"null", {"null"}, kHost, false},
        {"a name that begins alike", {"http://127.0.0.1.attacker.example"}, {"127.0.0.1"}, false},
        {"with a path", {"http://127.0.0.1:2098/"}, kHost, false},
        {"a port that is no number", {"http://127.0.0.1:x"}, {"127.0.0.1:x"}, false},
        {"no name", {"http://"}, kHost, false},
        {"no Host to compare", kOwn, {}, false},
        {"two Hosts of different origins", kOwn, {"127.0.0.1:2098", "localhost:2098"}, false},
        {"two Hosts of one origin", kOwn, {"127.0.0.1:2098", "127.0.0.1:2098"}, true},
        {"one of two origins is another", {kOwn[0], kAttacker[0]}, kHost, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(served(false, "- - -", c.origin, c.host), c.served) << c.what;
    }
}

}  // namespace
