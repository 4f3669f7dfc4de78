#include "document/css/KrCSSHTMLComment.h"

#include "document/xml/KrXMLLeafNodes.h"
#include "foundation/KrException.h"

KrCSSHTMLComment::KrCSSHTMLComment() : KrXMLComplexElement("csshtmlcomment", false, true) {}

void KrCSSHTMLComment::write(std::ostream& out) const {
    beforeWrite(out);
    out << "<!--";
    writeChildren(out);
    out << "-->";
}

void KrCSSHTMLComment::checkChild(KrXMLComplexElement* child) {
    if (!kr::isOneOf<KrXMLGenericText, KrXMLGenericWhitespace>(child)) {
        throw KrException("child must be text", 881, "src");
    }
}
