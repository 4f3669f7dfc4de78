#pragma once

#include <cstdint>
#include <memory>

// A growable byte block that always keeps a zero byte after its data, so its contents can
// be read as a C string. It grows by whole steps, at least two beyond the need, and moves
// its data down in place when bytes are consumed from the front.
class KrByteBuffer {
public:
    explicit KrByteBuffer(std::uint64_t step);

    // Copying goes through assign(); the block is never shared.
    KrByteBuffer(const KrByteBuffer&) = delete;
    KrByteBuffer& operator=(const KrByteBuffer&) = delete;

    std::uint64_t appendBytes(const void* bytes, std::uint64_t n);
    void appendByte(char byte);

    // Replaces the contents with a copy of other's.
    void assign(const KrByteBuffer& other);

    // Removes up to n bytes from the front; returns how many were removed.
    std::uint64_t consume(std::uint64_t n);

    const char* data() const { return block_.get(); }
    std::uint64_t size() const { return length_; }
    // Bytes that can be appended before the block must grow.
    std::uint64_t freeSpace() const { return free_; }
    std::uint64_t step() const { return step_; }

private:
    void replaceBlock(std::uint64_t newFree);

    std::unique_ptr<char[]> block_;  // length_ + free_ + 1 bytes
    std::uint64_t length_ = 0;
    std::uint64_t free_ = 0;
    std::uint64_t step_ = 1;
};
