#include "document/css/KrCSSProperty.h"

#include "document/xml/MarkupOutput.h"
#include "foundation/KrException.h"
#include "foundation/Strings.h"

namespace {
constexpr std::string_view kValueTrim = " ;\n\t\r";
}

KrCSSProperty::KrCSSProperty(std::string_view text, bool nameOnly)
    : KrXMLComplexElement("cssproperty", false, true) {
    if (nameOnly) {
        if (text.empty()) {
            throw KrException("CSS property must have a name", 962, "src");
        }
        name_ = kr::trim(text, kValueTrim);
        return;
    }
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        throw KrException("CSS property not well formed (missing ':').", 969, "src");
    }
    name_ = kr::trim(text.substr(0, colon), " ");
    value_ = kr::trim(text.substr(colon + 1), kValueTrim);
}

void KrCSSProperty::write(std::ostream& out) const {
    if (value_.empty()) {
        return;
    }
    beforeWrite(out);
    kr::writeMarkup(out, name_, ": ", value_, ';');
}

void KrCSSProperty::checkChild(KrXMLComplexElement* /*child*/) {
    throw KrException("no childs possible", 984, "src");
}
