#include "document/html/KrHTML_Doctype2.h"

void KrHTML_Doctype2::write(std::ostream& out) const {
    beforeWrite(out);
    out << "<!DOCTYPE " << text_.view() << ">\n";
}
