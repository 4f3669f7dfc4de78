#include <gtest/gtest.h>

#include "foundation/Base64.h"
#include "foundation/KrByteBuffer.h"
#include "foundation/KrException.h"
#include "foundation/KrResourceRecord.h"

namespace {

std::string decode(const std::string& text) {
    KrByteBuffer buffer(2048);
    kr::decodeBase64(text, buffer);
    return std::string(buffer.data(), buffer.size());
}

TEST(Base64, DecodesGroupsAndSkipsForeignCharacters) {
    const std::pair<std::string, std::string> cases[] = {
        {"QUJD", "ABC"},
        {"QUI=", "AB"},
        {"QQ==", "A"},
        {"QU\nJD", "ABC"},
        {"Q U J D\r\n", "ABC"},
        {"QUJDRA", "ABC"},  // the incomplete last group is dropped
        {"", ""},
        {"AAEC", std::string("\0\1\2", 3)},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(decode(text), expected) << "text '" << text << "'";
    }
}

TEST(Base64, CountsPaddingPerGroupSoJoinedPiecesDecode) {
    EXPECT_EQ(decode("QQ==QUJD"), "AABC");
    EXPECT_EQ(decode("QUI=QUI=QQ=="), "ABABA");
}

TEST(ResourceRecord, BinaryKindKeepsEveryByte) {
    const KrResourceRecord record("x.png", 5, "AAEAAgA=", true);  // 00 01 00 02 00
    EXPECT_EQ(record.size(), 5u);
    EXPECT_EQ(record.contentString(), std::string("\0\1\0\2\0", 5));
    EXPECT_TRUE(record.contentText().empty());
    ASSERT_NE(record.byteBuffer(), nullptr);
}

TEST(ResourceRecord, TextKindFromBase64EndsAtTheFirstZeroByte) {
    const KrResourceRecord record("t.txt", 1, "YWIAY2Q=", true);  // "ab\0cd"
    EXPECT_EQ(record.contentString(), "ab");
    EXPECT_EQ(record.size(), 2u);
    EXPECT_EQ(record.byteBuffer(), nullptr);
}

TEST(ResourceRecord, PlainTextKind) {
    const KrResourceRecord record("a.css", 3, "abc", false);
    EXPECT_EQ(record.size(), 3u);
    EXPECT_EQ(record.byteBuffer(), nullptr);
    EXPECT_EQ(record.contentString(), "abc");
    EXPECT_EQ(record.name(), "a.css");
    EXPECT_EQ(record.kind(), 3u);
}

TEST(ResourceRecord, BinaryKindWithoutBase64Throws) {
    for (const std::uint32_t kind : {4u, 5u, 6u}) {
        try {
            KrResourceRecord("x", kind, "abc", false);
            ADD_FAILURE() << "kind " << kind << " built from direct text";
        } catch (const KrException& e) {
            EXPECT_STREQ(e.what(), "can't read that type from direct string");
        }
    }
}

TEST(ResourceRecord, EmptyRecord) {
    const KrResourceRecord record;
    EXPECT_EQ(record.contentString(), "");
    EXPECT_EQ(record.size(), 0u);
    EXPECT_EQ(record.kind(), 0u);
    EXPECT_EQ(record.byteBuffer(), nullptr);
}

TEST(ResourceRecord, CopiesAreDeep) {
    const KrResourceRecord original("i.ico", 6, "AAEAAgA=", true);
    const KrResourceRecord copy(original);
    ASSERT_NE(copy.byteBuffer(), nullptr);
    EXPECT_NE(copy.byteBuffer(), original.byteBuffer());
    EXPECT_EQ(copy.contentString(), original.contentString());

    KrResourceRecord assigned("other", 1, "text", false);
    assigned = original;
    EXPECT_NE(assigned.byteBuffer(), original.byteBuffer());
    EXPECT_EQ(assigned.contentString(), original.contentString());
    EXPECT_EQ(assigned.name(), "i.ico");
}

}  // namespace
