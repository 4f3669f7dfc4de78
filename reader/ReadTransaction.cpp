#include "reader/ReadTransaction.h"

#include "foundation/Diagnostics.h"
#include "reader/KrDTDElementReader.h"

namespace kr {

ReadTransaction::ReadTransaction(KrDTDElementReader& source) : source_(source) {}

ReadTransaction::~ReadTransaction() {
    source_.countConsumed(position_);
    source_.giveBack(std::string_view(buffer_).substr(position_));
}

bool ReadTransaction::sourceCanDeliver() const {
    return !source_.pushBackUsedUp() || source_.good();
}

int ReadTransaction::take() {
    if (position_ < buffer_.size()) {
        return static_cast<unsigned char>(buffer_[position_++]);
    }
    const int c = source_.takeCharacter();
    if (c == KrDTDElementReader::kEnd) {
        errLine("reading EOF is an error! ---> will become an exception");
        return c;
    }
    buffer_ += static_cast<char>(c);
    ++position_;
    return c;
}

int ReadTransaction::look() {
    if (position_ < buffer_.size()) {
        return static_cast<unsigned char>(buffer_[position_]);
    }
    return source_.lookCharacter();
}

void ReadTransaction::giveBack(std::size_t count) {
    if (count > position_) {
        errLine("error! can't give more back than read---> will become an exception... ", position_,
                " vs. ", count);
        return;
    }
    position_ -= count;
}

bool ReadTransaction::takeIf(char c) {
    if (look() != static_cast<unsigned char>(c)) {
        return false;
    }
    take();
    return true;
}

bool ReadTransaction::takeLiteral(std::string_view literal) {
    std::size_t matched = 0;
    while (matched < literal.size() && takeIf(literal[matched])) {
        ++matched;
    }
    if (matched == literal.size()) {
        return true;
    }
    giveBack(matched);
    return false;
}

bool ReadTransaction::takeThrough(std::string_view end, std::string& before) {
    while (!takeLiteral(end)) {
        if (look() == KrDTDElementReader::kEnd) {
            return false;
        }
        before += static_cast<char>(take());
    }
    return true;
}

}  // namespace kr
