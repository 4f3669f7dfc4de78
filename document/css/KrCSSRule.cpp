#include "document/css/KrCSSRule.h"

#include "document/css/KrCSSHTMLComment.h"
#include "document/css/KrCSSProperty.h"
#include "document/xml/KrXMLLeafNodes.h"
#include "document/xml/MarkupOutput.h"
#include "foundation/KrException.h"

KrCSSRule::KrCSSRule(std::string_view selector)
    : KrXMLComplexElement("cssrule", false, true), selector_(selector) {}

void KrCSSRule::write(std::ostream& out) const {
    beforeWrite(out);
    kr::writeMarkup(out, selector_, '{');
    writeChildren(out);
    kr::writeMarkup(out, '}');
}

std::string KrCSSRule::contentDTD(std::string_view name) {
    return switchContentDTD(name, "cssRule");
}

void KrCSSRule::checkChild(KrXMLComplexElement* child) {
    if (!kr::isOneOf<KrXMLGenericText, KrXMLGenericWhitespace, KrCSSHTMLComment, KrCSSProperty>(
            child)) {
        throw KrException("must be an CSS element", 934, "src");
    }
}
