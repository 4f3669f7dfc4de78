#pragma once

#include "document/xml/KrXMLGenericElement.h"

// A whole XML file: its nodes one after another (declaration, comments, the top element),
// with no tags of its own and nothing between them.
class KrXML_Document2 : public KrXMLGenericElement {
public:
    KrXML_Document2() : KrXMLGenericElement("xmldocument", false) {}

    void write(std::ostream& out) const override;

protected:
    GRIDLO_NODE_COPY(KrXML_Document2)
};
