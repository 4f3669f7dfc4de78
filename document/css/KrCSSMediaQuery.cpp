#include "document/css/KrCSSMediaQuery.h"

#include "document/css/KrCSSHTMLComment.h"
#include "document/css/KrCSSRule.h"
#include "document/xml/KrXMLLeafNodes.h"
#include "document/xml/MarkupOutput.h"
#include "foundation/KrException.h"

KrCSSMediaQuery::KrCSSMediaQuery(std::string_view query)
    : KrXMLComplexElement("cssmediaquery", false, true), query_(query) {}

void KrCSSMediaQuery::write(std::ostream& out) const {
    beforeWrite(out);
    kr::writeMarkup(out, query_, '{');
    writeChildren(out);
    kr::writeMarkup(out, '}');
}

void KrCSSMediaQuery::checkChild(KrXMLComplexElement* child) {
    if (!kr::isOneOf<KrXMLGenericText, KrXMLGenericWhitespace, KrCSSHTMLComment, KrCSSRule>(
            child)) {
        throw KrException("must be an CSS element", 902, "src");
    }
}
