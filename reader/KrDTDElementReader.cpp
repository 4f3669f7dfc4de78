#include "reader/KrDTDElementReader.h"

KrDTDElementReader::KrDTDElementReader() { kr::addStandardGrammars(dtds_); }

KrDTDElementReader::~KrDTDElementReader() = default;

int KrDTDElementReader::takeCharacter() {
    if (!pushBackUsedUp()) {
        const auto c = static_cast<unsigned char>(pushBack_[pushBackIndex_++]);
        if (pushBackUsedUp()) {
            pushBack_.clear();
            pushBackIndex_ = 0;
        }
        return c;
    }
    const int c = get();
    if (c == '\n') {
        ++line_;
    }
    return c;
}

int KrDTDElementReader::lookCharacter() {
    if (!pushBackUsedUp()) {
        return static_cast<unsigned char>(pushBack_[pushBackIndex_]);
    }
    return peek();
}

void KrDTDElementReader::giveBack(std::string_view characters) {
    if (characters.empty()) {
        return;
    }
    // Characters given back are usually those just served from here: step back over them
    // in place instead of rebuilding the buffer.
    if (characters.size() <= pushBackIndex_) {
        pushBackIndex_ -= characters.size();
        pushBack_.replace(pushBackIndex_, characters.size(), characters);
        return;
    }
    pushBack_ = std::string(characters) + pushBack_.substr(pushBackIndex_);
    pushBackIndex_ = 0;
}

int KrDTDElementReaderStream::peek() {
    const auto c = in_.peek();
    return c == std::istream::traits_type::eof() ? kEnd : c;
}

int KrDTDElementReaderStream::get() {
    const auto c = in_.get();
    return c == std::istream::traits_type::eof() ? kEnd : c;
}

int KrDTDElementReaderString::peek() {
    return index_ < text_.size() ? static_cast<unsigned char>(text_[index_]) : kEnd;
}

int KrDTDElementReaderString::get() {
    return index_ < text_.size() ? static_cast<unsigned char>(text_[index_++]) : kEnd;
}
