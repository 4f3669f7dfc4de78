#pragma once

#include <string>
#include <string_view>

#include "document/xml/KrXMLGenericElement.h"

// The nodes that hold one text: text, whitespace, comment and processing instruction.
// They are not leaves in the sense of the leaf flag, but write only their text between
// fixed delimiters; children they are given are never written.
class KrXMLLeafNode : public KrXMLGenericElement {
public:
    void write(std::ostream& out) const override;

protected:
    // open and close must outlive the node: the node classes pass string literals.
    KrXMLLeafNode(std::string_view name, std::string_view text, std::string_view open,
                  std::string_view close);

private:
    std::string text_;
    std::string_view open_;
    std::string_view close_;
};

// Text between tags, written as it is held.
class KrXMLGenericText : public KrXMLLeafNode {
public:
    explicit KrXMLGenericText(std::string_view text) : KrXMLLeafNode("xmltext", text, "", "") {}
};

// A run of blanks and line breaks between tokens, written as it is held.
class KrXMLGenericWhitespace : public KrXMLLeafNode {
public:
    explicit KrXMLGenericWhitespace(std::string_view text)
        : KrXMLLeafNode("xmlwhitespace", text, "", "") {}
};

class KrXML_Comment2 : public KrXMLLeafNode {
public:
    explicit KrXML_Comment2(std::string_view text)
        : KrXMLLeafNode("comment", text, "<!--", "-->") {}
};

class KrXML_ProcInst2 : public KrXMLLeafNode {
public:
    explicit KrXML_ProcInst2(std::string_view text) : KrXMLLeafNode("procinst", text, "<?", "?>") {}
};

// The declaration at the top of an XML file, a processing instruction such as
// version="1.0" encoding="UTF-8".
class KrXML_Declaration2 : public KrXML_ProcInst2 {
public:
    explicit KrXML_Declaration2(std::string_view text) : KrXML_ProcInst2(text) {}
};
