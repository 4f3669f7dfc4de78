#pragma once

#include <ostream>

// The table of log streams: one entry for each level 1 to 8 and a default entry. Every
// entry is the same stream, and that stream shows nothing: log lines are kept in the code
// as a record of progress, not as output. Writing to it never fails.
//
// Each thread gets its own stream object over one shared sink that keeps no state, so
// threads never race on a stream's formatting state or buffer and no lock is needed.
class KrLogStreams {
public:
    static constexpr int kLevels = 8;

    // Levels 1 to 8 give that level's stream; any other value the default entry.
    static std::ostream& stream(int level);

    KrLogStreams(const KrLogStreams&) = delete;
    KrLogStreams& operator=(const KrLogStreams&) = delete;

private:
    KrLogStreams();

    class DiscardingBuffer : public std::streambuf {
    protected:
        int_type overflow(int_type c) override { return traits_type::not_eof(c); }
        std::streamsize xsputn(const char_type*, std::streamsize n) override { return n; }
    };

    static DiscardingBuffer& sink();

    std::ostream nullStream_;
    std::ostream* streams_[kLevels + 1];  // [0] is the default entry
};
