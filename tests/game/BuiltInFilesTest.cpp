#include "game/BuiltInFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Files = std::map<std::string, KrResourceRecord>;

const Files& files() {
    static const Files table = kr::fillBuiltInFiles();
    return table;
}

const KrResourceRecord& file(const std::string& name) {
    const auto found = files().find(name);
    EXPECT_NE(found, files().end()) << name;
    static const KrResourceRecord missing;
    return found == files().end() ? missing : found->second;
}

std::uint32_t bigEndian32(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

std::uint32_t littleEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

struct Chunk {
    std::string type;
    std::string data;
};

// The chunks of a PNG file after its signature; fails the test on a bad length or CRC.
std::vector<Chunk> pngChunks(std::string_view png) {
    std::vector<Chunk> chunks;
    std::size_t at = 8;
    while (at + 12 <= png.size()) {
        const std::uint32_t length = bigEndian32(png, at);
        if (at + 12 + length > png.size()) {
            ADD_FAILURE() << "chunk at " << at << " runs past the end";
            break;
        }
        const std::string_view typeAndData = png.substr(at + 4, 4 + length);
        EXPECT_EQ(crc32(typeAndData), bigEndian32(png, at + 8 + length))
            << "CRC of " << typeAndData.substr(0, 4);
        chunks.push_back(
            {std::string(typeAndData.substr(0, 4)), std::string(typeAndData.substr(4))});
        at += 12 + length;
    }
    EXPECT_EQ(at, png.size()) << "bytes after the last chunk";
    return chunks;
}

std::string pageText(const std::string& name) { return file(name).contentString(); }

constexpr std::array<const char*, 4> kTexts = {"spiele.html", "spiele_post.html",
                                               "spiele_widget.html", "spiele.css"};

TEST(BuiltInFiles, HoldsTheEightFilesWithTheirKinds) {
    const std::map<std::string, std::uint32_t> expected = {
        {"spiele.html", 1}, {"spiele_post.html", 1}, {"spiele_widget.html", 1}, {"spiele.css", 3},
        {"leer.png", 4},    {"kreuz.png", 4},        {"kreis.png", 4},          {"favicon.ico", 6},
    };
    std::map<std::string, std::uint32_t> kinds;
    for (const auto& [name, record] : files()) {
        EXPECT_EQ(record.name(), name);
        kinds[name] = record.kind();
    }
    EXPECT_EQ(kinds, expected);
}

TEST(BuiltInFiles, BinaryFilesDecodeToTheirExactSizes) {
    const std::map<std::string, std::uint64_t> sizes = {
        {"leer.png", 197}, {"kreuz.png", 407}, {"kreis.png", 385}, {"favicon.ico", 21238}};
    for (const auto& [name, size] : sizes) {
        const KrResourceRecord& record = file(name);
        ASSERT_NE(record.byteBuffer(), nullptr) << name;
        EXPECT_EQ(record.size(), size) << name;
        EXPECT_EQ(record.contentString().size(), size) << name;
        EXPECT_TRUE(record.contentText().empty()) << name;
    }
}

TEST(BuiltInFiles, TextFilesAreKeptAsTheirText) {
    for (const char* name : kTexts) {
        const KrResourceRecord& record = file(name);
        EXPECT_EQ(record.byteBuffer(), nullptr) << name;
        EXPECT_FALSE(record.contentText().empty()) << name;
        EXPECT_EQ(record.size(), record.contentText().size()) << name;
    }
}

TEST(BuiltInImages, AreFiftyByFiftyRgbPngsWithTheirChunks) {
    for (const char* name : {"leer.png", "kreuz.png", "kreis.png"}) {
        SCOPED_TRACE(name);
        const std::string png = file(name).contentString();
        ASSERT_GE(png.size(), 8u);
        EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));

        const std::vector<Chunk> chunks = pngChunks(png);
        std::vector<std::string> types;
        for (const Chunk& chunk : chunks) {
            types.push_back(chunk.type);
        }
        ASSERT_THAT(types, testing::ElementsAre("IHDR", "pHYs", "tIME", "tEXt", "IDAT", "IEND"));

        const std::string& header = chunks[0].data;
        ASSERT_EQ(header.size(), 13u);
        EXPECT_EQ(bigEndian32(header, 0), 50u);  // width
        EXPECT_EQ(bigEndian32(header, 4), 50u);  // height
        // 8 bits per channel, RGB, deflate, adaptive filtering, not interlaced.
        EXPECT_EQ(header.substr(8), std::string("\x08\x02\x00\x00\x00", 5));

        const std::string& physical = chunks[1].data;
        ASSERT_EQ(physical.size(), 9u);
        EXPECT_EQ(bigEndian32(physical, 0), 2835u);
        EXPECT_EQ(bigEndian32(physical, 4), 2835u);
        EXPECT_EQ(physical[8], '\x01');  // per metre

        EXPECT_EQ(chunks[2].data.size(), 7u);
        EXPECT_EQ(chunks[3].data.substr(0, 8), std::string("Comment\0", 8));
    }
}

TEST(BuiltInImages, IconHoldsA64AndA32PixelBitmap) {
    const std::string ico = file("favicon.ico").contentString();
    ASSERT_EQ(ico.size(), 21238u);
    EXPECT_EQ(littleEndian(ico, 0, 2), 0u);  // reserved
    EXPECT_EQ(littleEndian(ico, 2, 2), 1u);  // an icon
    ASSERT_EQ(littleEndian(ico, 4, 2), 2u);  // two images

    struct Entry {
        std::uint32_t side;
        std::uint32_t bytes;
        std::uint32_t offset;
    };
    const Entry entries[] = {{64, 16936, 38}, {32, 4264, 38 + 16936}};
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(entries[i].side);
        const std::size_t at = 6 + 16 * i;
        EXPECT_EQ(littleEndian(ico, at, 1), entries[i].side);  // width
        EXPECT_EQ(littleEndian(ico, at + 1, 1), entries[i].side);
        EXPECT_EQ(littleEndian(ico, at + 2, 1), 0u);   // no palette
        EXPECT_EQ(littleEndian(ico, at + 4, 2), 1u);   // planes
        EXPECT_EQ(littleEndian(ico, at + 6, 2), 32u);  // bits per pixel
        EXPECT_EQ(littleEndian(ico, at + 8, 4), entries[i].bytes);
        ASSERT_EQ(littleEndian(ico, at + 12, 4), entries[i].offset);

        // The bitmap's own header: 40 bytes, twice the height for colour and mask.
        const std::size_t bitmap = entries[i].offset;
        EXPECT_EQ(littleEndian(ico, bitmap, 4), 40u);
        EXPECT_EQ(littleEndian(ico, bitmap + 4, 4), entries[i].side);
        EXPECT_EQ(littleEndian(ico, bitmap + 8, 4), 2 * entries[i].side);
        EXPECT_EQ(littleEndian(ico, bitmap + 12, 2), 1u);
        EXPECT_EQ(littleEndian(ico, bitmap + 14, 2), 32u);
        EXPECT_EQ(littleEndian(ico, bitmap + 16, 4), 0u);  // uncompressed
    }
}

TEST(BuiltInPages, DescriptionNamesTheFrameworkVersionThroughItsVariable) {
    const std::pair<const char*, const char*> schemes[] = {
        {"spiele.html", "GET"}, {"spiele_post.html", "POST"}, {"spiele_widget.html", "Widget"}};
    for (const auto& [page, scheme] : schemes) {
        const std::string paragraph =
            std::string(
                "<p>A very simple example programmed using the NuxelFrame&nbsp;"
                "[[NUXELFRAMEWORK]] framework (") +
            scheme + ").</p>";
        EXPECT_NE(pageText(page).find(paragraph), std::string::npos) << page;
    }
}

TEST(BuiltInStyleSheet, BodyRuleTakesItsColourFromTheVariable) {
    const std::string css = pageText("spiele.css");
    const std::size_t body = css.find("body {");
    ASSERT_NE(body, std::string::npos);
    const std::string rule = css.substr(body, css.find('}', body) - body);
    EXPECT_NE(rule.find("background-color: [[body:background-color]];"), std::string::npos) << rule;
}

TEST(TemplateVariables, AreTheSevenInTheirOrder) {
    std::vector<std::pair<std::string, std::string>> variables;
    for (const kr::TemplateVariable& variable : kr::kTemplateVariables) {
        variables.emplace_back(variable.name, variable.value);
    }
    using Pair = std::pair<std::string, std::string>;
    EXPECT_THAT(
        variables,
        testing::ElementsAre(Pair("NUXELRELEASENUMBER", "96"), Pair("NUXELFRAMEWORK_MAJOR", "1"),
                             Pair("NUXELFRAMEWORK_MINOR", "28.1"), Pair("NUXELFRAMEWORK", "1.28.1"),
                             Pair("FESKOVERSION", "1.6.0"), Pair("NUXELSHORTCOPYRIGHTYY", "2026"),
                             Pair("body:background-color", "#F0F0F0")));
}

// A misspelt variable would silently expand to nothing.
TEST(TemplateVariables, EveryKeyInTheTextsIsDefined) {
    std::set<std::string> defined;
    for (const kr::TemplateVariable& variable : kr::kTemplateVariables) {
        defined.emplace(variable.name);
    }
    for (const char* name : kTexts) {
        const std::string text = pageText(name);
        for (std::size_t open = text.find("[["); open != std::string::npos;
             open = text.find("[[", open + 2)) {
            const std::size_t close = text.find("]]", open);
            ASSERT_NE(close, std::string::npos) << name << " at " << open;
            const std::string key = text.substr(open + 2, close - open - 2);
            EXPECT_TRUE(defined.count(key)) << name << ": [[" << key << "]]";
        }
    }
}

}  // namespace
