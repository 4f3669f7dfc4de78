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

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
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

namespace {

// The length of the well-formed UTF-8 sequence that begins at text[at], a byte of 0x80 or
// above; 0 when none begins there. Well-formed as the Unicode standard's table of UTF-8
// byte sequences has it: the second byte's range depends on the lead (which is how
// overlong forms, surrogates and code points above U+10FFFF are left out), every further
// byte is 80..BF, and the whole sequence lies within the text.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto byteAt = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byteAt(at);
    std::size_t length = 0;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        secondLow = lead == 0xE0 ? 0xA0 : 0x80;   // E0 80..9F: overlong
        secondHigh = lead == 0xED ? 0x9F : 0xBF;  // ED A0..BF: surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        secondLow = lead == 0xF0 ? 0x90 : 0x80;   // F0 80..8F: overlong
        secondHigh = lead == 0xF4 ? 0x8F : 0xBF;  // F4 90..BF: above U+10FFFF
    } else {
        return 0;  // a continuation byte, C0, C1 (overlong leads) or F5..FF
    }
    if (text.size() - at < length) {
        return 0;
    }
    const unsigned char second = byteAt(at + 1);
    if (second < secondLow || second > secondHigh) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if ((byteAt(at + i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// U+0080..U+009F, the C1 controls: their UTF-8 form is C2 80..C2 9F.
bool isC1Control(std::string_view sequence) {
    return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xC2 &&
           static_cast<unsigned char>(sequence[1]) <= 0x9F;
}

// Where the run of printable ASCII bytes that begins at text[at] ends: at the first byte
// below 0x20 or above 0x7E, or at a double quote when it is escaped.
std::size_t plainRunEnd(std::string_view text, std::size_t at, bool escapeQuote) {
    const auto plain = [escapeQuote](unsigned char byte) {
        return byte >= 0x20 && byte < 0x7F && !(escapeQuote && byte == '"');
    };
    while (at < text.size() && plain(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    return at;
}

// Each byte as \x and two upper-case hex digits.
void appendHexEscaped(std::string& line, std::string_view bytes) {
    constexpr char kHexDigits[] = "0123456789ABCDEF";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        const char escaped[] = {'\\', 'x', kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
        line.append(escaped, sizeof escaped);
    }
}

}  // namespace

void appendEscapedText(std::string& line, std::string_view text, QuoteEscaping quotes) {
    const bool escapeQuote = quotes == QuoteEscaping::kEscape;
    // The bytes between two escaped ones go in at once: most texts have none to escape.
    std::size_t plainFrom = 0;
    std::size_t i = plainRunEnd(text, 0, escapeQuote);
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = byte >= 0x80 ? utf8SequenceLength(text, i) : 0;
        if (length != 0 && !isC1Control(text.substr(i, length))) {
            i = plainRunEnd(text, i + length, escapeQuote);
            continue;
        }
        // A control, DEL or the quote; both bytes of a C1 control; or a byte that begins no
        // well-formed sequence, alone: the bytes after it are judged afresh.
        const std::size_t escapedLength = length != 0 ? length : 1;
        line.append(text.substr(plainFrom, i - plainFrom));
        appendHexEscaped(line, text.substr(i, escapedLength));
        plainFrom = i + escapedLength;
        i = plainRunEnd(text, plainFrom, escapeQuote);
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
