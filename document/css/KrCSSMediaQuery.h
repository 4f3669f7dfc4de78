#pragma once

#include <string>
#include <string_view>

#include "document/xml/KrXMLComplexElement.h"

// A media-query block: the line that begins with "@" and, as children, its rules, written
// as the query followed by the children between braces, nothing added.
class KrCSSMediaQuery : public KrXMLComplexElement {
public:
    explicit KrCSSMediaQuery(std::string_view query);

    void write(std::ostream& out) const override;

protected:
    GRIDLO_NODE_COPY(KrCSSMediaQuery)

    // Rules, comments (text), "<!--" wrappers and whitespace; anything else throws
    // KrException 902 and stays linked.
    void checkChild(KrXMLComplexElement* child) override;

private:
    std::string query_;
};
