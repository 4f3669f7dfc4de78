#include "frontend/window/IconFile.h"

#include <cstdint>

namespace kr {

namespace {

// The file begins with a six-byte header (reserved 0, type 1 for an icon, image count)
// and one 16-byte directory entry per image; each entry points at a bitmap header of at
// least 40 bytes, followed by the pixels, rows from the bottom up, and then a 1-bit mask
// that a 32-bit image's alpha channel makes redundant.
constexpr std::size_t kHeaderSize = 6;
constexpr std::size_t kEntrySize = 16;
constexpr std::uint32_t kIconType = 1;
constexpr std::uint32_t kMinBitmapHeaderSize = 40;
constexpr std::uint32_t kBitsPerPixel = 32;
constexpr std::uint32_t kUncompressed = 0;  // BI_RGB
// The largest side an entry can name (a width byte of 0 stands for it).
constexpr std::uint32_t kMaxSide = 256;

// A little-endian number of size bytes at offset; 0 past the end of the bytes.
std::uint32_t readLE(std::string_view bytes, std::size_t offset, std::size_t size) {
    if (offset > bytes.size() || bytes.size() - offset < size) {
        return 0;
    }
    std::uint32_t value = 0;
    for (std::size_t i = size; i-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
}

// A directory entry's width or height: a byte, where 0 stands for the largest side.
std::uint32_t sideOf(std::uint32_t byte) { return byte == 0 ? kMaxSide : byte; }

// The image of one directory entry, or an empty image when it is not one we read.
platform::XArgbImage decodeEntry(std::string_view file, std::size_t entry) {
    const std::uint32_t width = sideOf(readLE(file, entry, 1));
    const std::uint32_t height = sideOf(readLE(file, entry + 1, 1));
    const std::uint32_t size = readLE(file, entry + 8, 4);
    const std::uint32_t offset = readLE(file, entry + 12, 4);
    if (offset > file.size() || file.size() - offset < size) {
        return {};
    }
    const std::string_view bitmap = file.substr(offset, size);
    const std::uint32_t headerSize = readLE(bitmap, 0, 4);
    // The bitmap's height counts the mask's rows as well.
    if (headerSize < kMinBitmapHeaderSize || readLE(bitmap, 4, 4) != width ||
        readLE(bitmap, 8, 4) != 2 * height || readLE(bitmap, 14, 2) != kBitsPerPixel ||
        readLE(bitmap, 16, 4) != kUncompressed) {
        return {};
    }
    const std::size_t pixelCount = std::size_t{width} * height;
    if (bitmap.size() < headerSize || (bitmap.size() - headerSize) / 4 < pixelCount) {
        return {};
    }
    platform::XArgbImage image;
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.pixels.resize(pixelCount);
    // Blue, green, red, alpha in the file: read as one little-endian number that is ARGB.
    for (std::size_t row = 0; row < height; ++row) {
        const std::size_t fileRow = height - 1 - row;
        for (std::size_t column = 0; column < width; ++column) {
            image.pixels[row * width + column] =
                readLE(bitmap, headerSize + (fileRow * width + column) * 4, 4);
        }
    }
    return image;
}

}  // namespace

std::vector<platform::XArgbImage> decodeIconFile(std::string_view file) {
    std::vector<platform::XArgbImage> images;
    if (file.size() < kHeaderSize || readLE(file, 0, 2) != 0 || readLE(file, 2, 2) != kIconType) {
        return images;
    }
    const std::uint32_t count = readLE(file, 4, 2);
    // An entry that does not fit in the file ends the directory.
    for (std::size_t i = 0; i < count && kHeaderSize + (i + 1) * kEntrySize <= file.size(); ++i) {
        platform::XArgbImage image = decodeEntry(file, kHeaderSize + i * kEntrySize);
        if (!image.pixels.empty()) {
            images.push_back(std::move(image));
        }
    }
    return images;
}

}  // namespace kr
