#include "document/html/KrHTML_Doctype2.h"

#include "document/xml/MarkupOutput.h"

void KrHTML_Doctype2::write(std::ostream& out) const {
    beforeWrite(out);
    kr::writeMarkup(out, "<!DOCTYPE ", text_.view(), ">\n");
}
