#include "foundation/Base64.h"

#include <array>
#include <cstdint>

#include "foundation/KrByteBuffer.h"

namespace kr {

namespace {

constexpr int kNotInAlphabet = -1;
constexpr int kPadding = 64;

constexpr std::array<int, 256> makeValueTable() {
    std::array<int, 256> values{};
    for (int& value : values) {
        value = kNotInAlphabet;
    }
    for (size_t i = 0; i < kBase64Alphabet.size(); ++i) {
        values[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int>(i);
    }
    return values;
}

constexpr std::array<int, 256> kValues = makeValueTable();

}  // namespace

void decodeBase64(std::string_view text, KrByteBuffer& buffer) {
    std::uint32_t accumulator = 0;
    int shift = 18;
    int padding = 0;
    for (const char c : text) {
        const int value = kValues[static_cast<unsigned char>(c)];
        if (value == kNotInAlphabet) {
            continue;
        }
        if (value == kPadding) {
            ++padding;
        } else {
            accumulator |= static_cast<std::uint32_t>(value & 0x3F) << shift;
        }
        if (shift > 0) {
            shift -= 6;
            continue;
        }
        buffer.appendByte(static_cast<char>((accumulator >> 16) & 0xFF));
        if (padding < 2) {
            buffer.appendByte(static_cast<char>((accumulator >> 8) & 0xFF));
        }
        if (padding == 0) {
            buffer.appendByte(static_cast<char>(accumulator & 0xFF));
        }
        accumulator = 0;
        shift = 18;
        padding = 0;
    }
}

}  // namespace kr
