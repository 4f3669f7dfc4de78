#include "document/xml/KrXMLLeafNodes.h"

KrXMLLeafNode::KrXMLLeafNode(std::string_view name, std::string_view text, std::string_view open,
                             std::string_view close)
    : KrXMLGenericElement(name, false), text_(text), open_(open), close_(close) {}

void KrXMLLeafNode::write(std::ostream& out) const {
    beforeWrite(out);
    out << open_ << text_ << close_;
}
