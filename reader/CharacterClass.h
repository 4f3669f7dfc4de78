#pragma once

// The character classes of the token readers, by explicit byte ranges: a character is the
// int a source delivers (0 to 255, or the end of input, -1), so bytes above 127 and the end
// of input belong to no class and nothing depends on the locale or on the sign of char.
namespace kr::chars {

constexpr bool isLetter(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

constexpr bool isDigit(int c) { return c >= '0' && c <= '9'; }

// Blank, tab, line feed and carriage return; not vertical tab or form feed.
constexpr bool isWhitespace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The first character of a tag or attribute name.
constexpr bool isNameStart(int c) { return isLetter(c) || c == '_'; }

// Any further character of a tag or attribute name.
constexpr bool isNamePart(int c) { return isLetter(c) || isDigit(c) || c == '-' || c == '_'; }

}  // namespace kr::chars
