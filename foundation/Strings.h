#pragma once

#include <string>
#include <string_view>
#include <vector>

// Byte-string helpers shared by every layer. No function here knows an encoding.
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
// with every byte below 0x20 and DEL (0x7F) written as \x and two upper-case hex digits, so
// that it can neither end the line, forge a line of its own, nor reach the terminal that
// shows the output as a control sequence. Every other byte is appended as it is: text
// without control bytes reads the same escaped or not.
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
