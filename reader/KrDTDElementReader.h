#pragma once

#include <istream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "reader/KrDTD.h"
#include "reader/KrXMLContentSplitter.h"

// The markup reader's object for one parse: a character source with a push-back buffer and
// a line counter, the attribute list of the tag just read, the parse context, and the five
// grammars "xml", "html", "xmlhtml", "css" and "cssRule", built fresh by the constructor.
// Nothing is shared between reader objects, so parses on different inputs may run at the
// same time.
//
// The four character operations are those of the underlying input; characters are ints,
// 0 to 255, and kEnd at the end of input. The token readers do not call them directly:
// they read through a kr::ReadTransaction, which serves given-back characters first.
class KrDTDElementReader {
public:
    static constexpr int kEnd = -1;

    // One attribute of the tag just read.
    struct Attribute {
        std::string name;
        std::string value;
        bool valueless = false;
    };
    using AttributeList = std::vector<Attribute>;
    using DTDTable = std::map<std::string, KrDTD, std::less<>>;

    KrDTDElementReader();
    KrDTDElementReader(const KrDTDElementReader&) = delete;
    KrDTDElementReader& operator=(const KrDTDElementReader&) = delete;
    virtual ~KrDTDElementReader();

    // The underlying input is exhausted.
    virtual bool eof() const = 0;
    // The underlying input can still deliver.
    virtual bool good() const = 0;
    // The next character of the underlying input, not taken; kEnd at its end.
    virtual int peek() = 0;
    // The next character of the underlying input, taken; kEnd at its end.
    virtual int get() = 0;

    // The line of the input being read, from 1.
    unsigned line() const { return line_; }
    // No given-back character is waiting.
    bool pushBackUsedUp() const { return pushBackIndex_ >= pushBack_.size(); }
    // The number of characters consumed so far; a given-back character counts again when it
    // is consumed again.
    std::size_t consumed() const { return consumed_; }

    // The next character: a given-back one first, else one from the input (a line feed
    // taken from the input counts a line). kEnd at the end, which is never buffered.
    int takeCharacter();
    // The character takeCharacter would give, without taking it.
    int lookCharacter();
    // Puts characters back in front of those already given back; they are served again,
    // in order, before anything else.
    void giveBack(std::string_view characters);
    // Counts characters that a finished read transaction keeps.
    void countConsumed(std::size_t count) { consumed_ += count; }

    AttributeList& attributes() { return attributes_; }
    DTDTable& dtds() { return dtds_; }
    KrXMLContentSplitter& splitter() { return splitter_; }

private:
    unsigned line_ = 1;
    std::string pushBack_;
    std::size_t pushBackIndex_ = 0;
    std::size_t consumed_ = 0;
    AttributeList attributes_;
    // Declared before the grammars, so the grammars (and their token readers) go first.
    KrXMLContentSplitter splitter_;
    DTDTable dtds_;
};

// Reads from an input stream, which must outlive the reader.
class KrDTDElementReaderStream : public KrDTDElementReader {
public:
    explicit KrDTDElementReaderStream(std::istream& in) : in_(in) {}

    bool eof() const override { return in_.eof(); }
    bool good() const override { return in_.good(); }
    int peek() override;
    int get() override;

private:
    std::istream& in_;
};

// Reads from a text, which must outlive the reader.
class KrDTDElementReaderString : public KrDTDElementReader {
public:
    explicit KrDTDElementReaderString(std::string_view text) : text_(text) {}

    bool eof() const override { return index_ >= text_.size(); }
    bool good() const override { return index_ < text_.size(); }
    int peek() override;
    int get() override;

private:
    std::string_view text_;
    std::size_t index_ = 0;
};
