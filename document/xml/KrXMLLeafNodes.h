#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "document/xml/KrXMLGenericElement.h"
#include "foundation/SharedText.h"

// The nodes that hold one text: text, whitespace, comment and processing instruction.
// They are not leaves in the sense of the leaf flag, but write only their text between
// fixed delimiters; children they are given are never written. Most nodes of a page are
// such texts, so they hold nothing but the text, shared with their copies.
class KrXMLLeafNode : public KrXMLGenericElement {
public:
    void write(std::ostream& out) const override;

protected:
    KrXMLLeafNode(std::string_view name, std::string_view text)
        : KrXMLGenericElement(name, false), text_(text) {}
    KrXMLLeafNode(const KrXMLLeafNode&) = default;

    // What stands before and after the text.
    virtual std::string_view opening() const { return {}; }
    virtual std::string_view closing() const { return {}; }

private:
    kr::SharedText text_;
};

// Text between tags, written as it is held.
class KrXMLGenericText : public KrXMLLeafNode {
public:
    explicit KrXMLGenericText(std::string_view text) : KrXMLLeafNode("xmltext", text) {}

protected:
    GRIDLO_NODE_COPY(KrXMLGenericText)
};

// A run of blanks and line breaks between tokens, written as it is held.
class KrXMLGenericWhitespace : public KrXMLLeafNode {
public:
    explicit KrXMLGenericWhitespace(std::string_view text) : KrXMLLeafNode("xmlwhitespace", text) {}

protected:
    GRIDLO_NODE_COPY(KrXMLGenericWhitespace)
};

class KrXML_Comment2 : public KrXMLLeafNode {
public:
    explicit KrXML_Comment2(std::string_view text) : KrXMLLeafNode("comment", text) {}

protected:
    GRIDLO_NODE_COPY(KrXML_Comment2)
    std::string_view opening() const override { return "<!--"; }
    std::string_view closing() const override { return "-->"; }
};

class KrXML_ProcInst2 : public KrXMLLeafNode {
public:
    explicit KrXML_ProcInst2(std::string_view text) : KrXMLLeafNode("procinst", text) {}

protected:
    GRIDLO_NODE_COPY(KrXML_ProcInst2)
    std::string_view opening() const override { return "<?"; }
    std::string_view closing() const override { return "?>"; }
};

// The declaration at the top of an XML file, a processing instruction such as
// version="1.0" encoding="UTF-8".
class KrXML_Declaration2 : public KrXML_ProcInst2 {
public:
    explicit KrXML_Declaration2(std::string_view text) : KrXML_ProcInst2(text) {}

protected:
    GRIDLO_NODE_COPY(KrXML_Declaration2)
};
