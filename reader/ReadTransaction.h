#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class KrDTDElementReader;

namespace kr {

// One attempt of a token reader on a source. Characters taken are buffered; giving back
// moves the position back, and a later take serves the buffered character again. When the
// transaction ends, the characters before the position are consumed and those from it on
// go back in front of the source's push-back buffer, so the next reader sees them first.
// fail() gives everything back.
//
// The end of input is not a character: taking it consumes nothing and buffers nothing, so
// it is never given back as a byte.
class ReadTransaction {
public:
    explicit ReadTransaction(KrDTDElementReader& source);
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;
    ~ReadTransaction();

    // Whether the source can still give anything: a token reader gives up at once when not.
    bool sourceCanDeliver() const;

    int take();
    int look();
    void giveBack(std::size_t count);
    void fail() { position_ = 0; }
    std::size_t taken() const { return position_; }

    // Takes the next character when it is c.
    bool takeIf(char c);
    // Takes the literal when the next characters are exactly it; otherwise takes nothing.
    bool takeLiteral(std::string_view literal);
    // Takes characters up to and including the next occurrence of the end literal and
    // stores those before it; false when the input ends first.
    bool takeThrough(std::string_view end, std::string& before);
    // Takes characters while they are of the class; returns them.
    template <class Predicate>
    std::string takeWhile(Predicate inClass) {
        std::string run;
        while (inClass(look())) {
            run += static_cast<char>(take());
        }
        return run;
    }

private:
    KrDTDElementReader& source_;
    std::string buffer_;
    std::size_t position_ = 0;
};

}  // namespace kr
