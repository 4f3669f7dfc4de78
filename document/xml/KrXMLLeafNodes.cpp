#include "document/xml/KrXMLLeafNodes.h"

void KrXMLLeafNode::write(std::ostream& out) const {
    beforeWrite(out);
    out << opening() << text_.view() << closing();
}
