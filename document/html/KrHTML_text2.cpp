#include "document/html/KrHTML_text2.h"

#include "document/xml/MarkupOutput.h"

KrHTML_text2::KrHTML_text2(std::string_view text)
    : KrHTML_BaseElement2("xmltext", true, false), text_(text) {
    setBlock(false);
}

void KrHTML_text2::write(std::ostream& out) const {
    beforeWrite(out);
    kr::writeMarkup(out, text_.view());
}
