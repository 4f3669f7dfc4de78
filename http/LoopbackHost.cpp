#include "http/LoopbackHost.h"

#include <cstddef>

#include "foundation/Strings.h"

namespace kr {

namespace {

constexpr std::size_t kMaxPortDigits = 5;

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

// Empty, or digits only, as many as a port has at most.
bool isPort(std::string_view text) {
    if (text.size() > kMaxPortDigits) {
        return false;
    }
    for (const char c : text) {
        if (!isDigit(c)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool isLoopbackAddress(std::string_view address) {
    return isLoopbackQuad(address) || address == "::1" || address == "[::1]" ||
           isLocalhost(address);
}

bool isLoopbackHost(std::string_view host) {
    std::string_view name = host;
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        name = host.substr(0, close + 1);
    } else {
        name = host.substr(0, host.find(':'));
    }
    std::string_view rest = host.substr(name.size());
    if (!rest.empty()) {
        if (rest.front() != ':' || !isPort(rest.substr(1))) {
            return false;
        }
    }
    return name == "[::1]" || isLoopbackQuad(name) || isLocalhost(name);
}

}  // namespace kr
