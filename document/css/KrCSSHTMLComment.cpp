#include "document/css/KrCSSHTMLComment.h"

#include "document/xml/KrXMLLeafNodes.h"
#include "document/xml/MarkupOutput.h"
#include "foundation/KrException.h"

KrCSSHTMLComment::KrCSSHTMLComment() : KrXMLComplexElement("csshtmlcomment", false, true) {}

void KrCSSHTMLComment::write(std::ostream& out) const {
    beforeWrite(out);
    kr::writeMarkup(out, "<!--");
    writeChildren(out);
    kr::writeMarkup(out, "-->");
}

void KrCSSHTMLComment::checkChild(KrXMLComplexElement* child) {
    if (!kr::isOneOf<KrXMLGenericText, KrXMLGenericWhitespace>(child)) {
        throw KrException("child must be text", 881, "src");
    }
}
