#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "document/xml/KrXMLGenericElement.h"

class KrDTDElementReader;
class KrDTDElementRead;
struct KrDTD;

// The parse context: reads a whole input into a tree under its root element
// ("KrXMLContentSplitter::TOP"), switching grammars as the nodes ask (contentDTD). It owns
// the root, and the root the tree: what is still under the root goes with the context.
class KrXMLContentSplitter {
public:
    // The most elements that may be open at once. The tree's writers and searches recurse
    // once per level, so a deeper input is refused before it can exhaust a thread's stack.
    static constexpr int kMaxNesting = 512;

    KrXMLContentSplitter();
    KrXMLContentSplitter(const KrXMLContentSplitter&) = delete;
    KrXMLContentSplitter& operator=(const KrXMLContentSplitter&) = delete;
    ~KrXMLContentSplitter();

    // Reads the source to its end in the grammar of that name and returns the root. Every
    // failure is a KrException whose text ends with the line it happened on; the nodes read
    // before it stay under the root.
    KrXMLGenericElement* split(KrDTDElementReader& source, std::string_view dtdName);

    KrXMLGenericElement& root() { return *root_; }

private:
    void readAll(KrDTDElementReader& source, std::string_view dtdName);
    // The first reader of the grammar that reads a token here, taken out of the grammar
    // (a fresh one takes its place); null when none does.
    std::unique_ptr<KrDTDElementRead> readToken(KrDTDElementReader& source, KrDTD& dtd);
    void handleToken(KrDTDElementReader& source, KrDTD& dtd, const KrDTDElementRead& token);
    // Ends the current parent: the token must close it.
    void closeCurrent(const KrDTDElementReader& source, const KrDTDElementRead& token);

    std::unique_ptr<KrXMLGenericElement> root_;
    KrXMLComplexElement* current_;
    // The number of elements open below the root: current_'s depth.
    int depth_ = 0;
    std::string dtdName_;
};
