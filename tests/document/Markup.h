#pragma once

#include <sstream>
#include <string>

#include "document/xml/KrXMLComplexElement.h"

// The markup an element writes.
inline std::string markupOf(const KrXMLComplexElement& element) {
    std::ostringstream out;
    element.write(out);
    return out.str();
}
