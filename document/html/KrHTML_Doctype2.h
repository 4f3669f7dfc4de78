#pragma once

#include <string>
#include <string_view>

#include "document/xml/KrXMLGenericElement.h"
#include "foundation/SharedText.h"

// The document type line of a page, "<!DOCTYPE html>" and a line feed.
class KrHTML_Doctype2 : public KrXMLGenericElement {
public:
    explicit KrHTML_Doctype2(std::string_view text)
        : KrXMLGenericElement("HTMLDoctype", true), text_(text) {}

    void write(std::ostream& out) const override;

protected:
    GRIDLO_NODE_COPY(KrHTML_Doctype2)

private:
    kr::SharedText text_;
};
