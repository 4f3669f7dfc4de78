#include "foundation/KrByteBuffer.h"

#include <algorithm>
#include <cstring>

KrByteBuffer::KrByteBuffer(std::uint64_t step) : step_(std::max<std::uint64_t>(step, 1)) {
    block_.reset(new char[step_ + 1]);
    block_[0] = 0;
    free_ = step_;
}

void KrByteBuffer::replaceBlock(std::uint64_t newFree) {
    std::unique_ptr<char[]> bigger(new char[length_ + newFree + 1]);
    std::memcpy(bigger.get(), block_.get(), length_ + 1);
    block_ = std::move(bigger);
    free_ = newFree;
}

std::uint64_t KrByteBuffer::appendBytes(const void* bytes, std::uint64_t n) {
    if (n == 0) {
        return 0;
    }
    if (n > free_) {
        const std::uint64_t growth = ((n - free_) / step_ + 2) * step_;
        replaceBlock(free_ + growth);
    }
    std::memcpy(block_.get() + length_, bytes, n);
    length_ += n;
    free_ -= n;
    block_[length_] = 0;
    return n;
}

void KrByteBuffer::appendByte(char byte) { appendBytes(&byte, 1); }

void KrByteBuffer::assign(const KrByteBuffer& other) {
    if (&other == this) {
        return;
    }
    consume(length_);
    appendBytes(other.data(), other.size());
}

std::uint64_t KrByteBuffer::consume(std::uint64_t n) {
    if (n == 0) {
        return 0;
    }
    const std::uint64_t k = std::min(n, length_);
    const char* rest = block_.get() + k;
    length_ -= k;
    free_ += k;
    if (free_ <= 4 * step_) {
        std::memmove(block_.get(), rest, length_ + 1);
    } else {
        std::unique_ptr<char[]> smaller(new char[2 * step_ + 1 + length_]);
        std::memcpy(smaller.get(), rest, length_ + 1);
        block_ = std::move(smaller);
        free_ = 2 * step_;
    }
    return k;
}
