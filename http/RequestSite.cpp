#include "http/RequestSite.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

#include "foundation/Strings.h"

namespace kr {

namespace {

constexpr std::string_view kOwnScheme = "http://";
constexpr std::string_view kDefaultPort = "80";
constexpr std::size_t kMaxPortDigits = 5;

// True when the field is there and each of its values is one of the accepted.
bool eachValueIs(std::span<const std::string> values, std::string_view accepted,
                 std::string_view alsoAccepted = {}) {
    return !values.empty() && std::ranges::all_of(values, [&](const std::string& value) {
        return value == accepted || (!alsoAccepted.empty() && value == alsoAccepted);
    });
}

// The name and port of an authority ("name", "name:port", "[v6]:port"), the port left empty
// where it is the scheme's own; nothing for a text that is no such authority.
struct Authority {
    std::string_view name;
    std::string_view port;
};

std::optional<Authority> authorityOf(std::string_view text) {
    std::size_t nameEnd = text.find(':');
    if (text.starts_with('[')) {
        nameEnd = text.find(']');
        if (nameEnd == std::string_view::npos) {
            return std::nullopt;
        }
        ++nameEnd;
    }
    Authority authority{.name = text.substr(0, nameEnd), .port = {}};
    const std::string_view rest = text.substr(authority.name.size());
    if (authority.name.empty() || (!rest.empty() && rest.front() != ':')) {
        return std::nullopt;
    }
    if (!rest.empty()) {
        authority.port = rest.substr(1);
    }
    if (authority.port.size() > kMaxPortDigits ||
        !std::ranges::all_of(authority.port, [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    if (authority.port == kDefaultPort) {
        authority.port = {};
    }
    return authority;
}

// Whether the Origin value names the origin of a request to this Host.
bool namesOwnOrigin(std::string_view origin, std::string_view host) {
    if (origin.size() < kOwnScheme.size() ||
        !equalsIgnoringAsciiCase(origin.substr(0, kOwnScheme.size()), kOwnScheme)) {
        return false;  // "null" among them
    }
    const auto named = authorityOf(origin.substr(kOwnScheme.size()));
    const auto own = authorityOf(host);
    return named && own && equalsIgnoringAsciiCase(named->name, own->name) && named->port == own->port;
}

// A navigation of the whole window to a page: what a link or a typed address makes.
bool isTopLevelNavigation(const SiteFields& fields) {
    return fields.isGet && eachValueIs(fields.fetchMode, "navigate") &&
           eachValueIs(fields.fetchDest, "document");
}

}  // namespace

bool acceptsSiteOf(const SiteFields& fields) {
    if (!fields.fetchSite.empty()) {
        return eachValueIs(fields.fetchSite, "same-origin", "none") || isTopLevelNavigation(fields);
    }
    if (fields.origin.empty()) {
        return true;
    }
    if (fields.host.empty()) {
        return false;
    }
    return std::ranges::all_of(fields.origin, [&](const std::string& origin) {
        return std::ranges::all_of(
            fields.host, [&](const std::string& host) { return namesOwnOrigin(origin, host); });
    });
}

}  // namespace kr
