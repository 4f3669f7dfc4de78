#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

// A string stream buffer of bytes with a few operations on its read area. Connections and
// messages keep their received and outgoing bytes in it; parsers search it for line and
// boundary markers. It does not lock: its owner does.
//
// The read area starts at the buffer's beginning; the next unread byte is the get position
// and the end of data is the put position.
class KrStringBuf : public std::stringbuf {
public:
    KrStringBuf() : std::stringbuf(std::ios_base::in | std::ios_base::out) {}
    // Holds the bytes, taken over without a copy, as written and unread.
    explicit KrStringBuf(std::string&& bytes)
        : std::stringbuf(std::move(bytes),
                         std::ios_base::in | std::ios_base::out | std::ios_base::ate) {}

    KrStringBuf(const KrStringBuf&) = delete;
    KrStringBuf& operator=(const KrStringBuf&) = delete;

    // Empties the buffer and releases its storage.
    void reset();

    // Bytes written but not read yet.
    std::int64_t unreadSize();

    // Bytes written since the put area began.
    std::int64_t writtenSize() const;

    // The byte at offset from the start of the read area.
    const char* bufferAt(std::int64_t offset);

    // The next unread byte.
    const char* readPointer();

    // The first place in the unread bytes, from offset on and within limit bytes of the
    // scan (-1: no limit), where needle begins. A match cut off by the end of the data or
    // by the limit counts: the caller sees a match shorter than the needle and waits for
    // more bytes. Null when the needle is empty or longer than the unread bytes, or the
    // offset lies at or beyond them.
    const char* find(std::string_view needle, std::int64_t offset = 0, std::int64_t limit = -1);

    // Appends up to n unread bytes (-1: all), starting offset bytes after the get
    // position, to out. The get position does not move.
    void copyUnread(std::string& out, std::int64_t offset = 0, std::int64_t n = -1);

    // Writes the whole text at the put position.
    void write(std::string_view text);

private:
    // Makes every written byte readable (the get area of a stringbuf lags behind writes).
    void syncReadArea();
};
