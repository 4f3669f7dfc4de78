#pragma once

#include <string>
#include <string_view>

#include "document/xml/KrXMLComplexElement.h"

// A rule of a style sheet: its selector and, as children, its declarations, written as
// the selector followed by the children between braces, nothing added.
class KrCSSRule : public KrXMLComplexElement {
public:
    explicit KrCSSRule(std::string_view selector);

    void write(std::ostream& out) const override;
    // The markup reader reads a rule's declarations in the grammar "cssRule"; asked with an
    // empty name, the rule gives back the grammar it was opened in.
    std::string contentDTD(std::string_view name) override;

protected:
    GRIDLO_NODE_COPY(KrCSSRule)

    // Declarations, comments (text), "<!--" wrappers and whitespace; anything else throws
    // KrException 934 and stays linked.
    void checkChild(KrXMLComplexElement* child) override;

private:
    std::string selector_;
};
