#include "http/RequestSite.h"

#include <algorithm>
#include <string_view>

#include "foundation/Strings.h"
#include "http/HostAuthority.h"

namespace kr {

namespace {

constexpr std::string_view kOwnScheme = "http://";
constexpr std::string_view kDefaultPort = "80";

// True when the field is there and each of its values is one of the accepted.
bool eachValueIs(std::span<const std::string> values, std::string_view accepted,
                 std::string_view alsoAccepted = {}) {
    return !values.empty() && std::ranges::all_of(values, [&](const std::string& value) {
        return value == accepted || (!alsoAccepted.empty() && value == alsoAccepted);
    });
}

// The port an authority names: the one written, or the scheme's own where none is.
std::string_view portOf(const HostAuthority& authority) {
    return authority.port.empty() ? kDefaultPort : authority.port;
}

// Whether the Origin value names the origin of a request to this Host.
bool namesOwnOrigin(std::string_view origin, std::string_view host) {
    if (origin.size() < kOwnScheme.size() ||
        !equalsIgnoringAsciiCase(origin.substr(0, kOwnScheme.size()), kOwnScheme)) {
        return false;  // "null" among them
    }
    const auto named = hostAuthorityOf(origin.substr(kOwnScheme.size()));
    const auto own = hostAuthorityOf(host);
    return named && own && equalsIgnoringAsciiCase(named->name, own->name) &&
           portOf(*named) == portOf(*own);
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
