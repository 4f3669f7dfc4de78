#pragma once

#include <sstream>
#include <string>
#include <string_view>

#include "document/xml/KrXMLComplexElement.h"
#include "foundation/KrException.h"
#include "reader/KrDTDElementReader.h"
#include "tests/document/Markup.h"

// What a parse of a text gives: the markup its top-level nodes write, or the text of the
// failure.
struct ParseOutcome {
    std::string markup;
    std::string error;
};

inline std::string childrenMarkup(const KrXMLComplexElement& parent) {
    KrXMLComplexElement::ElementList children;
    parent.children(children);
    std::string markup;
    for (const KrXMLComplexElement* child : children) {
        markup += markupOf(*child);
    }
    return markup;
}

inline ParseOutcome parseText(std::string_view text, std::string_view dtd) {
    KrDTDElementReaderString source(text);
    ParseOutcome outcome;
    try {
        outcome.markup = childrenMarkup(*source.splitter().split(source, dtd));
    } catch (const KrException& failure) {
        outcome.error = failure.what();
    }
    return outcome;
}

// The characters a source still holds, given-back ones first.
inline std::string remainingInput(KrDTDElementReader& source) {
    std::string rest;
    for (int c = source.takeCharacter(); c != KrDTDElementReader::kEnd;
         c = source.takeCharacter()) {
        rest += static_cast<char>(c);
    }
    return rest;
}
