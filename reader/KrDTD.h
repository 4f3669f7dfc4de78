#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "document/html/KrHTMLTagFactory.h"
#include "document/xml/KrXMLComplexElement.h"
#include "reader/KrDTDElementRead.h"

// A grammar of the markup reader: which token readers may be tried at a position and in
// which order (the map's, byte-wise by reader name), which node each kind of token
// becomes, which tokens open a new parent, and which readers a parent of a given element
// name allows. The HTML part (tag creators and void tags) comes from KrHTMLTagTable.
struct KrDTD : KrHTMLTagTable {
    // Turns a token's text into a new node; null when it makes none.
    using ElementFactory =
        std::function<std::unique_ptr<KrXMLComplexElement>(const std::string& text, KrDTD& dtd)>;
    using NameSet = std::set<std::string, std::less<>>;

    // Registers the reader under its own name and returns that name; a null reader
    // registers nothing and gives the empty name. A name that is taken already throws
    // KrException "name can't be twice"; the grammar keeps its first reader and the new one
    // is freed.
    std::string addReader(std::unique_ptr<KrDTDElementRead> reader);
    // Stores the factory for the reader name, replacing an earlier one.
    std::string addElementCreator(std::string_view readerName, ElementFactory factory);
    // Tokens of the reader open a node that stays the current parent until a closer.
    std::string addContainer(std::string_view readerName);
    // While the current parent has that element name, only these readers are tried.
    std::string addContentModel(std::string_view parentName, NameSet readerNames);

    // "not set" until the grammar is given its name.
    std::string name = "not set";
    std::map<std::string, std::unique_ptr<KrDTDElementRead>, std::less<>> readers;
    std::map<std::string, ElementFactory, std::less<>> elementFactories;
    NameSet containers;
    std::map<std::string, NameSet, std::less<>> contentModels;
};

namespace kr {

// Builds the five grammars of the reader into the table: "xml" (generic nodes), "html"
// (HTML element classes, HTML text, the doctype, void tags), "xmlhtml" (HTML elements
// with plain text, no doctype), "css" (a style sheet) and "cssRule" (inside a rule).
void addStandardGrammars(std::map<std::string, KrDTD, std::less<>>& table);

}  // namespace kr
