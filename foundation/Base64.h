#pragma once

#include <string_view>

class KrByteBuffer;

namespace kr {

// The Base64 alphabet; a character's position is its value, and "=" is 64.
inline constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// Appends the bytes that a Base64 text encodes to buffer. Characters outside the alphabet
// (line breaks, blanks) are skipped; an incomplete last group yields nothing. Padding
// counts per group of four, so texts joined after their padding decode piece by piece.
void decodeBase64(std::string_view text, KrByteBuffer& buffer);

}  // namespace kr
