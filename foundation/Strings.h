#pragma once

#include <string>
#include <string_view>
#include <vector>

// Byte-string helpers shared by every layer. None knows an encoding but appendEscapedText,
// which tells well-formed UTF-8 from other bytes.
namespace kr {

// Splits text at every occurrence of delimiter. Empty pieces are kept unless dropEmpty is
// set, but an empty rest after the last delimiter is never a piece ("a,b," gives "a", "b").
// An empty delimiter cannot split: the text comes back as one piece (none when empty).
std::vector<std::string> splitString(std::string_view text, std::string_view delimiter,
                                     bool dropEmpty = false);

std::string trimLeft(std::string_view text, std::string_view set);
std::string trimRight(std::string_view text, std::string_view set);
std::string trim(std::string_view text, std::string_view set);

// Copies with only the ASCII letters changed: header names, methods and the words of
// attribute values are ASCII, and the result must not depend on the process's locale.
std::string asciiLower(std::string_view text);
std::string asciiUpper(std::string_view text);
// Whether the texts are equal but for the letter case of ASCII letters (no copy is made).
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Decodes every "%" followed by up to two characters that convert as a base-16 number
// (leading blanks, a sign and "0x" accepted, as strtol does) into one byte. A "%" that a
// decoding produced is never decoded again; one that does not convert stays as it is.
std::string percentDecode(std::string_view text);

// Decodes a field of application/x-www-form-urlencoded: "+" is a blank, then percentDecode.
std::string formDecode(std::string_view text);

// Escapes backspace, tab, line feed, form feed, carriage return, both quotes and the
// backslash so that the text can stand inside a JavaScript string literal.
std::string escapeJavaScriptString(std::string_view text);

// Whether appendEscapedText also writes the double quote as \x22: a quoted field of the
// access log must not be ended early by one, a plain diagnostic line keeps it.
enum class QuoteEscaping { kKeep, kEscape };

// Appends text from outside (a request's target, fields or parameters) to a line of output
// so that it can neither end the line, forge a line of its own, nor reach the terminal that
// shows the output as a control sequence. Written as \x and two upper-case hex digits, each
// byte for itself:
// - every byte below 0x20 and DEL (0x7F), and the double quote when asked;
// - both bytes of a C1 control (U+0080..U+009F, C2 80..C2 9F), which a terminal acts on as
//   on ESC and a letter (C2 9B is CSI, as ESC [ is);
// - every byte that is no part of a well-formed UTF-8 sequence: a lone continuation byte
//   (80..BF; a terminal that reads bytes takes 9B alone as CSI), the bytes that begin no
//   sequence (C0, C1, F5..FF), and a lead byte whose sequence is broken (an overlong form
//   such as E0 80 80, a surrogate ED A0..BF, a code point above U+10FFFF such as F4 90, a
//   byte after the lead that does not continue it, or a sequence cut short by the end of
//   the text). Such a lead is escaped alone and the bytes after it are judged afresh, so
//   that E2 82 41 gives \xE2\x82A and F0 9F 98 E2 9C 93 gives \xF0\x9F\x98 and the check
//   mark.
// Every other byte, well-formed UTF-8 beyond ASCII included, is appended as it is: text
// without such bytes reads the same escaped or not. The printable ASCII bytes between two
// escaped ones go in as one run.
void appendEscapedText(std::string& line, std::string_view text,
                       QuoteEscaping quotes = QuoteEscaping::kKeep);
// The same, as a text of its own, for a part of a diagnostic line.
std::string escapedText(std::string_view text);

// The framework's release number, "96".
std::string releaseNumber();

// A copy of the value stored under key, or fallback when there is none. Never inserts.
template <class Map>
std::string valueOrDefault(const Map& map, const std::string& key, std::string_view fallback) {
    const auto found = map.find(key);
    return found != map.end() ? std::string(found->second) : std::string(fallback);
}

}  // namespace kr
