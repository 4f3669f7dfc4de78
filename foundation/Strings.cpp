#include "foundation/Strings.h"

#include <algorithm>
#include <cstdlib>

#include "foundation/Version.h"

namespace kr {

std::vector<std::string> splitString(std::string_view text, std::string_view delimiter,
                                     bool dropEmpty) {
    std::vector<std::string> pieces;
    if (delimiter.empty()) {
        if (!text.empty()) {
            pieces.emplace_back(text);
        }
        return pieces;
    }
    size_t position = 0;
    for (;;) {
        const size_t found = text.find(delimiter, position);
        if (found == std::string_view::npos) {
            break;
        }
        if (!(dropEmpty && found == position)) {
            pieces.emplace_back(text.substr(position, found - position));
        }
        position = found + delimiter.size();
    }
    if (position < text.size()) {
        pieces.emplace_back(text.substr(position));
    }
    return pieces;
}

std::string trimLeft(std::string_view text, std::string_view set) {
    const size_t first = text.find_first_not_of(set);
    return first == std::string_view::npos ? std::string() : std::string(text.substr(first));
}

std::string trimRight(std::string_view text, std::string_view set) {
    const size_t last = text.find_last_not_of(set);
    return last == std::string_view::npos ? std::string() : std::string(text.substr(0, last + 1));
}

std::string trim(std::string_view text, std::string_view set) {
    return trimLeft(trimRight(text, set), set);
}

std::string asciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

std::string asciiUpper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return upper;
}

std::string percentDecode(std::string_view text) {
    // One pass: a "%" and the (up to) two characters after it become one byte when they
    // convert as strtol would convert them; the output is never scanned again, so a "%"
    // that a decoding produced stays. Linear, since a peer controls the length.
    std::string result;
    result.reserve(text.size());
    size_t position = 0;
    while (position < text.size()) {
        const size_t percent = text.find('%', position);
        if (percent == std::string_view::npos) {
            result.append(text.substr(position));
            break;
        }
        result.append(text.substr(position, percent - position));
        const std::string_view digits = text.substr(percent + 1, 2);
        char buffer[3] = {};
        digits.copy(buffer, digits.size());
        char* end = nullptr;
        const long value = std::strtol(buffer, &end, 16);
        if (digits.empty() || end == buffer) {
            // Not a number: the "%" stays, and the characters after it are read as text.
            result += '%';
            position = percent + 1;
            continue;
        }
        result += static_cast<char>(value & 0xFF);
        position = percent + 1 + digits.size();
    }
    return result;
}

std::string formDecode(std::string_view text) {
    std::string plusAsBlank(text);
    std::replace(plusAsBlank.begin(), plusAsBlank.end(), '+', ' ');
    return percentDecode(plusAsBlank);
}

std::string escapeJavaScriptString(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '\b': escaped += "\\b"; break;
            case '\t': escaped += "\\t"; break;
            case '\n': escaped += "\\n"; break;
            case '\f': escaped += "\\f"; break;
            case '\r': escaped += "\\r"; break;
            case '"': escaped += "\\\""; break;
            case '\'': escaped += "\\'"; break;
            case '\\': escaped += "\\\\"; break;
            default: escaped += c; break;
        }
    }
    return escaped;
}

void appendEscapedText(std::string& line, std::string_view text, QuoteEscaping quotes) {
    constexpr char kHexDigits[] = "0123456789ABCDEF";
    const bool escapeQuote = quotes == QuoteEscaping::kEscape;
    // The bytes between two escaped ones go in at once: most texts have none to escape.
    std::size_t plainFrom = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != 0x7F && !(escapeQuote && byte == '"')) {
            continue;
        }
        line.append(text.substr(plainFrom, i - plainFrom));
        const char escaped[] = {'\\', 'x', kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
        line.append(escaped, sizeof escaped);
        plainFrom = i + 1;
    }
    line.append(text.substr(plainFrom));
}

std::string escapedText(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    appendEscapedText(escaped, text);
    return escaped;
}

std::string releaseNumber() { return std::string(kReleaseNumber); }

}  // namespace kr
