#include "foundation/KrStringBuf.h"

#include <algorithm>
#include <cstring>

void KrStringBuf::reset() {
    std::stringbuf fresh(std::ios_base::in | std::ios_base::out);
    std::stringbuf::swap(fresh);
}

void KrStringBuf::syncReadArea() {
    // underflow() extends the get area to the put position without consuming a byte.
    underflow();
}

std::int64_t KrStringBuf::unreadSize() {
    syncReadArea();
    return pptr() - gptr();
}

std::int64_t KrStringBuf::writtenSize() const { return pptr() - pbase(); }

const char* KrStringBuf::bufferAt(std::int64_t offset) {
    syncReadArea();
    return eback() + offset;
}

const char* KrStringBuf::readPointer() {
    syncReadArea();
    return gptr();
}

const char* KrStringBuf::find(std::string_view needle, std::int64_t offset, std::int64_t limit) {
    syncReadArea();
    if (eback() == nullptr || needle.empty()) {
        return nullptr;
    }
    const std::int64_t unread = pptr() - gptr();
    if (static_cast<std::int64_t>(needle.size()) > unread || offset >= unread || offset < 0) {
        return nullptr;
    }
    const char* begin = gptr() + offset;
    const char* end = pptr();
    if (limit >= 0 && limit < end - begin) {
        end = begin + limit;
    }
    for (const char* candidate = begin; candidate < end; ++candidate) {
        candidate = static_cast<const char*>(std::memchr(candidate, needle[0], end - candidate));
        if (candidate == nullptr) {
            return nullptr;
        }
        const size_t comparable = std::min<size_t>(needle.size(), end - candidate);
        if (std::memcmp(candidate, needle.data(), comparable) == 0) {
            return candidate;
        }
    }
    return nullptr;
}

void KrStringBuf::copyUnread(std::string& out, std::int64_t offset, std::int64_t n) {
    syncReadArea();
    const std::int64_t unread = pptr() - gptr();
    if (offset < 0 || offset >= unread) {
        return;
    }
    std::int64_t count = unread - offset;
    if (n >= 0 && n < count) {
        count = n;
    }
    out.append(gptr() + offset, static_cast<size_t>(count));
}

void KrStringBuf::write(std::string_view text) {
    sputn(text.data(), static_cast<std::streamsize>(text.size()));
}
