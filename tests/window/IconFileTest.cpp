#include "frontend/window/IconFile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "game/BuiltInFiles.h"

namespace {

void appendLE(std::string& bytes, std::uint32_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        bytes.push_back(static_cast<char>(value >> (8 * i) & 0xff));
    }
}

// The four pixels of a 2 x 2 image, top row first.
const std::vector<std::uint32_t> kTopDown{0xff102030, 0x80405060, 0x00000000, 0xffa0b0c0};

struct Bitmap {
    std::uint32_t headerSize = 40;
    std::uint32_t width = 2;
    std::uint32_t height = 4;  // the image's and the mask's rows
    std::uint32_t bits = 32;
    std::uint32_t compression = 0;
    std::size_t pixelBytesCut = 0;  // bytes missing at the end of the pixels
};

// A bitmap as an icon file holds it: header, pixel rows from the bottom up, then the mask.
std::string bitmap(const Bitmap& b) {
    std::string bytes;
    appendLE(bytes, b.headerSize, 4);
    appendLE(bytes, b.width, 4);
    appendLE(bytes, b.height, 4);
    appendLE(bytes, 1, 2);  // planes
    appendLE(bytes, b.bits, 2);
    appendLE(bytes, b.compression, 4);
    bytes.resize(b.headerSize, '\0');
    for (std::size_t row : {1, 0}) {
        for (std::size_t column : {0, 1}) {
            appendLE(bytes, kTopDown[row * 2 + column], 4);
        }
    }
    bytes.resize(bytes.size() - b.pixelBytesCut);
    if (b.pixelBytesCut == 0) {
        bytes.append(8, '\0');  // the mask: 2 rows of 4 bytes
    }
    return bytes;
}

struct Entry {
    std::string bitmap;
    std::uint32_t width = 2;
    std::uint32_t height = 2;
    std::int64_t offsetShift = 0;  // added to the right offset
};

std::string iconFile(const std::vector<Entry>& entries, std::uint32_t type = 1,
                     std::size_t countShift = 0) {
    std::string bytes;
    appendLE(bytes, 0, 2);
    appendLE(bytes, type, 2);
    appendLE(bytes, static_cast<std::uint32_t>(entries.size() + countShift), 2);
    std::size_t offset = 6 + 16 * entries.size();
    for (const Entry& entry : entries) {
        appendLE(bytes, entry.width, 1);
        appendLE(bytes, entry.height, 1);
        appendLE(bytes, 0, 2);   // colours, reserved
        appendLE(bytes, 1, 2);   // planes
        appendLE(bytes, 32, 2);  // bits
        appendLE(bytes, static_cast<std::uint32_t>(entry.bitmap.size()), 4);
        appendLE(bytes, static_cast<std::uint32_t>(offset + entry.offsetShift), 4);
        offset += entry.bitmap.size();
    }
    for (const Entry& entry : entries) {
        bytes += entry.bitmap;
    }
    return bytes;
}

TEST(IconFile, ImagesComeRightWayUpWithTheirAlpha) {
    const auto images = kr::decodeIconFile(iconFile({{bitmap({})}}));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].width, 2);
    EXPECT_EQ(images[0].height, 2);
    EXPECT_EQ(images[0].pixels, kTopDown);
}

// Bytes that are no icon, and images we do not read, give nothing; the readable images of
// the same file still come through.
TEST(IconFile, LeavesOutWhatItCannotRead) {
    const std::string png = "\x89PNG\r\n\x1a\n" + std::string(64, '\0');
    const std::string good = bitmap({});
    const struct {
        const char* name;
        std::string file;
        std::size_t images;
    } cases[] = {
        {"empty", "", 0},
        {"header only", iconFile({}), 0},
        {"a cursor file", iconFile({{good}}, 2), 0},
        {"more entries named than present", iconFile({{good}}, 1, 5), 1},
        {"directory cut short", iconFile({{good}}).substr(0, 6 + 10), 0},
        {"offset past the end", iconFile({{good, 2, 2, 1000}}), 0},
        {"image past the end", iconFile({{good}}).substr(0, 6 + 16 + 40 + 8), 0},
        {"24 bits a pixel", iconFile({{bitmap({.bits = 24})}}), 0},
        {"compressed bitmap", iconFile({{bitmap({.compression = 3})}}), 0},
        {"PNG image", iconFile({{png}}), 0},
        {"short bitmap header", iconFile({{bitmap({.headerSize = 12})}}), 0},
        {"width unlike the entry's", iconFile({{bitmap({.width = 3})}}), 0},
        {"height without the mask", iconFile({{bitmap({.height = 2})}}), 0},
        {"pixels cut short", iconFile({{bitmap({.pixelBytesCut = 4})}}), 0},
        {"one bad, one good", iconFile({{bitmap({.bits = 8})}, {good}}), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto images = kr::decodeIconFile(c.file);
        ASSERT_EQ(images.size(), c.images);
        for (const auto& image : images) {
            EXPECT_EQ(image.pixels, kTopDown);
        }
    }
}

TEST(IconFile, TheBrowserIconHoldsA64AndA32PixelImage) {
    const auto images = kr::decodeIconFile(kr::builtInIcon().contentString());
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].width, 64);
    EXPECT_EQ(images[0].height, 64);
    EXPECT_EQ(images[1].width, 32);
    EXPECT_EQ(images[1].height, 32);
    // The corners are transparent; the middle is painted.
    for (const auto& image : images) {
        EXPECT_EQ(image.pixels.front() >> 24, 0u);
        EXPECT_EQ(image.pixels.back() >> 24, 0u);
        EXPECT_NE(image.pixels[image.pixels.size() / 2 + image.width / 2] >> 24, 0u);
    }
}

}  // namespace
