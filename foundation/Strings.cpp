#include "foundation/Strings.h"

#include <stdexcept>

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

std::string percentDecode(std::string_view text) {
    std::string result(text);
    size_t position = result.find('%');
    while (position != std::string::npos) {
        size_t next = position + 1;
        try {
            const std::string digits = result.substr(position + 1, 2);
            const int value = std::stoi(digits, nullptr, 16);
            result.replace(position, 1 + digits.size(), 1, static_cast<char>(value & 0xFF));
        } catch (const std::logic_error&) {
            // Not a number: the "%" stays, and so do the characters after it.
        }
        position = result.find('%', next);
    }
    return result;
}

std::string formDecode(std::string_view text) {
    std::string plusAsBlank(text);
    for (char& c : plusAsBlank) {
        if (c == '+') {
            c = ' ';
        }
    }
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

std::string releaseNumber() { return "96"; }

}  // namespace kr
