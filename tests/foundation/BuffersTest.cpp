#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/KrByteBuffer.h"
#include "foundation/KrStringBuf.h"

namespace {

void expectTerminated(const KrByteBuffer& buffer) {
    EXPECT_EQ(buffer.data()[buffer.size()], 0) << "no zero byte after the data";
}

TEST(ByteBuffer, StepZeroMeansOne) {
    KrByteBuffer buffer(0);
    EXPECT_EQ(buffer.step(), 1u);
    EXPECT_EQ(buffer.freeSpace(), 1u);
    expectTerminated(buffer);
}

TEST(ByteBuffer, GrowsByWholeStepsAtLeastTwoBeyondTheNeed) {
    KrByteBuffer small(2048);
    small.appendByte('x');
    EXPECT_EQ(small.freeSpace(), 2047u);
    expectTerminated(small);

    KrByteBuffer large(2048);
    const std::string bytes(2049, 'y');
    EXPECT_EQ(large.appendBytes(bytes.data(), bytes.size()), 2049u);
    EXPECT_EQ(large.freeSpace(), 2048u + 4096u - 2049u);
    EXPECT_EQ(std::string(large.data(), large.size()), bytes);
    expectTerminated(large);

    EXPECT_EQ(large.appendBytes("", 0), 0u);
}

TEST(ByteBuffer, ConsumeMovesTheRestToTheFront) {
    KrByteBuffer buffer(4);
    buffer.appendBytes("abcdef", 6);
    EXPECT_EQ(buffer.consume(2), 2u);
    EXPECT_STREQ(buffer.data(), "cdef");
    expectTerminated(buffer);

    EXPECT_EQ(buffer.consume(0), 0u);
    EXPECT_EQ(buffer.consume(100), 4u);
    EXPECT_EQ(buffer.size(), 0u);
    expectTerminated(buffer);
}

TEST(ByteBuffer, ConsumeShrinksWhenFreeSpaceExceedsFourSteps) {
    KrByteBuffer buffer(2);
    const std::string bytes(20, 'z');
    buffer.appendBytes(bytes.data(), bytes.size());
    buffer.consume(15);
    EXPECT_EQ(buffer.size(), 5u);
    EXPECT_EQ(buffer.freeSpace(), 4u);  // a new block with two free steps
    EXPECT_EQ(std::string(buffer.data()), "zzzzz");
    expectTerminated(buffer);
}

TEST(ByteBuffer, AssignCopiesBinaryBytes) {
    KrByteBuffer source(8);
    source.appendBytes("a\0b\0c", 5);
    KrByteBuffer copy(8);
    copy.appendBytes("old", 3);
    copy.assign(source);
    EXPECT_EQ(std::string(copy.data(), copy.size()), std::string("a\0b\0c", 5));
    EXPECT_NE(copy.data(), source.data());
    copy.assign(copy);
    EXPECT_EQ(copy.size(), 5u);
}

class StringBufFind : public ::testing::Test {
protected:
    void write(const std::string& bytes) { buffer_.write(bytes); }
    // Offset of the match from the read pointer, or -1.
    long find(const std::string& needle, long offset = 0, long limit = -1) {
        const char* match = buffer_.find(needle, offset, limit);
        return match ? match - buffer_.readPointer() : -1;
    }

    KrStringBuf buffer_;
};

TEST_F(StringBufFind, ReturnsNullWithoutAnythingToSearch) {
    EXPECT_EQ(find("a"), -1);
    write("abc");
    EXPECT_EQ(find(""), -1);
    EXPECT_EQ(find("abcd"), -1);
    EXPECT_EQ(find("c", 3), -1);
    EXPECT_EQ(find("c", 2), 2);
}

TEST_F(StringBufFind, ResumesAfterAMismatchAtTheNextByte) {
    write("aab");
    EXPECT_EQ(find("ab"), 1);
}

TEST_F(StringBufFind, FindsTheFirstCompleteHeaderEnd) {
    write("x\r\n\r\r\n\r\nbody");
    EXPECT_EQ(find("\r\n\r\n"), 4);
}

TEST_F(StringBufFind, CountsAPartialMatchAtTheEndOfData) {
    write("ab\r\n");
    EXPECT_EQ(find("\r\n\r\n"), 2);
}

TEST_F(StringBufFind, CountsAPartialMatchCutByTheLimit) {
    write("ab");
    EXPECT_EQ(find("ab", 0, 1), 0);
    write("xxxxab");  // "abxxxxab"
    EXPECT_EQ(find("ab", 2, 3), -1);
    EXPECT_EQ(find("ab", 5, 2), 6);
}

TEST_F(StringBufFind, SearchesOnlyUnreadBytes) {
    write("abcabc");
    char skipped[3];
    buffer_.sgetn(skipped, 3);
    EXPECT_EQ(buffer_.unreadSize(), 3);
    EXPECT_EQ(find("a"), 0);
    EXPECT_EQ(buffer_.find("a") - buffer_.bufferAt(0), 3);
}

TEST(StringBuf, CopyUnreadLeavesTheGetPosition) {
    KrStringBuf buffer;
    buffer.write("hello world");
    std::string out = ">";
    buffer.copyUnread(out, 0, -1);
    EXPECT_EQ(out, ">hello world");
    EXPECT_EQ(buffer.unreadSize(), 11);

    out.clear();
    buffer.copyUnread(out, 6, 3);
    EXPECT_EQ(out, "wor");
    out.clear();
    buffer.copyUnread(out, 6, 100);
    EXPECT_EQ(out, "world");
    out.clear();
    buffer.copyUnread(out, 11, -1);
    EXPECT_EQ(out, "");
}

TEST(StringBuf, SizesAndReset) {
    KrStringBuf buffer;
    EXPECT_EQ(buffer.unreadSize(), 0);
    buffer.write("12345");
    EXPECT_EQ(buffer.writtenSize(), 5);
    char two[2];
    buffer.sgetn(two, 2);
    EXPECT_EQ(buffer.unreadSize(), 3);
    EXPECT_EQ(std::string(buffer.readPointer(), 3), "345");
    buffer.write("6");
    EXPECT_EQ(buffer.unreadSize(), 4);

    buffer.reset();
    EXPECT_EQ(buffer.unreadSize(), 0);
    EXPECT_EQ(buffer.writtenSize(), 0);
    buffer.write("again");
    std::string out;
    buffer.copyUnread(out);
    EXPECT_EQ(out, "again");
}

TEST(StringBuf, BytesTakenOverAreUnreadAndWritingGoesOnBehindThem) {
    for (const std::string& bytes :
         {std::string(), std::string("a\0b", 3), std::string(70000, 'x')}) {
        KrStringBuf buffer{std::string(bytes)};
        EXPECT_EQ(buffer.unreadSize(), static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(buffer.writtenSize(), static_cast<std::int64_t>(bytes.size()));
        buffer.write("+");
        std::string out;
        buffer.copyUnread(out);
        EXPECT_EQ(out, bytes + "+");
    }
}

TEST(StringBuf, HoldsBinaryBytes) {
    KrStringBuf buffer;
    const std::string bytes("a\0b", 3);
    buffer.write(bytes);
    std::string out;
    buffer.copyUnread(out);
    EXPECT_EQ(out, bytes);
    EXPECT_EQ(buffer.find(std::string_view("\0b", 2)) - buffer.readPointer(), 1);
}

}  // namespace
