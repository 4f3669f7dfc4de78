#pragma once

#include <string>
#include <string_view>

#include "document/xml/KrXMLGenericElement.h"
#include "foundation/SharedText.h"

// The text of a script, written unchanged; the script element holds it as its child.
class KrJavaScriptHandler : public KrXMLGenericElement {
public:
    // With wrap, a text that does not open a script element within its first 50
    // characters is put into one, inside an HTML comment.
    KrJavaScriptHandler(std::string_view text, bool wrap);

    void write(std::ostream& out) const override;
    virtual void setText(std::string_view text) { text_ = kr::SharedText(text); }

protected:
    GRIDLO_NODE_COPY(KrJavaScriptHandler)

private:
    kr::SharedText text_;
};
