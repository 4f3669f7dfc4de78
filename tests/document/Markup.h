#pragma once

#include <sstream>
#include <string>

#include "document/xml/KrXMLComplexAttribute2.h"
#include "document/xml/KrXMLComplexElement.h"

// The markup an element writes.
inline std::string markupOf(const KrXMLComplexElement& element) {
    std::ostringstream out;
    element.write(out);
    return out.str();
}

// The value an attribute writes.
inline std::string valueOf(const KrXMLComplexAttribute2& attribute) {
    std::ostringstream out;
    attribute.writeValue(out);
    return out.str();
}
