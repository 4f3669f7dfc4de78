#include "document/xml/KrXMLLeafNodes.h"

#include "document/xml/MarkupOutput.h"

void KrXMLLeafNode::write(std::ostream& out) const {
    beforeWrite(out);
    kr::writeMarkup(out, opening(), text_.view(), closing());
}
