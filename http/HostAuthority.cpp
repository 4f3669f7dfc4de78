#include "http/HostAuthority.h"

#include <algorithm>
#include <cstddef>

namespace kr {

namespace {

constexpr std::size_t kMaxPortDigits = 5;

}  // namespace

std::optional<HostAuthority> hostAuthorityOf(std::string_view text) {
    std::size_t nameEnd = text.find(':');
    if (text.starts_with('[')) {
        nameEnd = text.find(']');
        if (nameEnd == std::string_view::npos) {
            return std::nullopt;
        }
        ++nameEnd;
    }
    HostAuthority authority{.name = text.substr(0, nameEnd), .port = {}};
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
    return authority;
}

}  // namespace kr
