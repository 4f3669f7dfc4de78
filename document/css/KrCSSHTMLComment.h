#pragma once

#include "document/xml/KrXMLComplexElement.h"

// The "<!--" ... "-->" pair that old pages put around a style sheet, written around its
// children.
class KrCSSHTMLComment : public KrXMLComplexElement {
public:
    KrCSSHTMLComment();

    void write(std::ostream& out) const override;

protected:
    GRIDLO_NODE_COPY(KrCSSHTMLComment)

    // Text and whitespace only; anything else throws KrException 881 and stays linked.
    void checkChild(KrXMLComplexElement* child) override;
};
