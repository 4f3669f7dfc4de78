#pragma once

#include <memory>
#include <string>
#include <string_view>

class KrDTDElementReader;

// A token reader: recognises one kind of token at the current position of a source. A
// reader is used for one attempt only; the parse loop takes a fresh one (createFresh) for
// the next, so every attempt starts from an empty reader.
class KrDTDElementRead {
public:
    KrDTDElementRead(const KrDTDElementRead&) = delete;
    KrDTDElementRead& operator=(const KrDTDElementRead&) = delete;
    virtual ~KrDTDElementRead() = default;

    // Tries to read one token at the source's position: this reader, with its token text
    // set, on success; otherwise null, with nothing consumed.
    virtual KrDTDElementRead* read(KrDTDElementReader& source) = 0;
    // A new, empty reader of the same class.
    virtual std::unique_ptr<KrDTDElementRead> createFresh() const = 0;
    // The token ends the current parent.
    virtual bool isCloser() const { return false; }
    // The token carries attributes in the source's attribute list.
    virtual bool hasAttributes() const { return false; }
    // The closer token belongs to a parent of that name.
    virtual bool closes(std::string_view /*parentName*/) const { return true; }

    // The name the grammars register the reader under, fixed per class.
    const std::string& name() const { return name_; }
    const std::string& text() const { return text_; }
    // Set for a tag that ends in "/>".
    bool selfClosed() const { return selfClosed_; }

protected:
    explicit KrDTDElementRead(std::string_view name) : name_(name) {}

    // Ends a successful read.
    KrDTDElementRead* accept(std::string text) {
        text_ = std::move(text);
        return this;
    }
    void setSelfClosed() { selfClosed_ = true; }
    // Reads a token that is exactly the literal; its text is the literal.
    KrDTDElementRead* readLiteral(KrDTDElementReader& source, std::string_view literal);
    // Reads a token that is a non-empty run of characters of the class.
    KrDTDElementRead* readRun(KrDTDElementReader& source, bool (*inClass)(int));
    // Reads a token that is the opening literal, then everything up to and including the
    // closing one; its text is what stands between them.
    KrDTDElementRead* readDelimited(KrDTDElementReader& source, std::string_view open,
                                    std::string_view close);

private:
    std::string name_;
    std::string text_;
    bool selfClosed_ = false;
};

// A tag, opening or closing, with its attributes ("xmlelement"). The token text is the tag
// name, with a leading "/" for a closing tag; the attributes go to the source's list.
class KrDTDElementRead_Element : public KrDTDElementRead {
public:
    KrDTDElementRead_Element() : KrDTDElementRead("xmlelement") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override;
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_Element>();
    }
    bool isCloser() const override;
    bool hasAttributes() const override { return true; }
    bool closes(std::string_view parentName) const override;
};

// A run of characters up to the next "<", whitespace or end of input ("xmltext").
class KrDTDElementRead_Text : public KrDTDElementRead {
public:
    KrDTDElementRead_Text() : KrDTDElementRead("xmltext") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override;
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_Text>();
    }
};

// A run of blanks, tabs and line breaks ("xmlwhitespace").
class KrDTDElementRead_WhitespaceText : public KrDTDElementRead {
public:
    KrDTDElementRead_WhitespaceText() : KrDTDElementRead("xmlwhitespace") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override;
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_WhitespaceText>();
    }

protected:
    explicit KrDTDElementRead_WhitespaceText(std::string_view name) : KrDTDElementRead(name) {}
};

// "<!--" to "-->" ("xmlcomment"); the text between.
class KrDTDElementRead_Comment : public KrDTDElementRead {
public:
    KrDTDElementRead_Comment() : KrDTDElementRead("xmlcomment") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override;
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_Comment>();
    }
};

// "<?" to "?>" ("xmlprocinst"); the text between.
class KrDTDElementRead_ProcInst : public KrDTDElementRead {
public:
    KrDTDElementRead_ProcInst() : KrDTDElementRead("xmlprocinst") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override;
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_ProcInst>();
    }
};

// "<!DOCTYPE " (exactly so) to ">" ("htmldoctype"); the text between.
class KrDTDElementRead_Doctype : public KrDTDElementRead {
public:
    KrDTDElementRead_Doctype() : KrDTDElementRead("htmldoctype") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override;
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_Doctype>();
    }
};
