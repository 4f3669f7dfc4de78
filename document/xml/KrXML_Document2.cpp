#include "document/xml/KrXML_Document2.h"

void KrXML_Document2::write(std::ostream& out) const {
    beforeWrite(out);
    writeChildren(out);
}
