#include "http/LoopbackHost.h"

#include <cstddef>

#include "foundation/Strings.h"
#include "http/HostAuthority.h"

namespace kr {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isLocalhost(std::string_view name) { return equalsIgnoringAsciiCase(name, "localhost"); }

// Four decimal numbers of one to three digits, each at most 255, joined by "."; the first
// is 127.
bool isLoopbackQuad(std::string_view text) {
    int parts = 0;
    int first = 0;
    std::size_t at = 0;
    for (;;) {
        int value = 0;
        std::size_t digits = 0;
        for (; at < text.size() && isDigit(text[at]) && digits < 4; ++at, ++digits) {
            value = value * 10 + (text[at] - '0');
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return false;
        }
        if (parts++ == 0) {
            first = value;
        }
        if (at == text.size()) {
            return parts == 4 && first == 127;
        }
        if (text[at] != '.' || parts == 4) {
            return false;
        }
        ++at;
    }
}

}  // namespace

bool isLoopbackAddress(std::string_view address) {
    return isLoopbackQuad(address) || address == "::1" || address == "[::1]" ||
           isLocalhost(address);
}

bool isLoopbackHost(std::string_view host) {
    const auto authority = hostAuthorityOf(host);
    if (!authority) {
        return false;
    }
    const std::string_view name = authority->name;
    return name == "[::1]" || isLoopbackQuad(name) || isLocalhost(name);
}

}  // namespace kr
