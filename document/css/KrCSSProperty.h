#pragma once

#include <string>
#include <string_view>

#include "document/xml/KrXMLComplexElement.h"

// One declaration of a style sheet or of an inline style, "name: value;". A declaration
// without value writes nothing at all. It takes no children.
class KrCSSProperty : public KrXMLComplexElement {
public:
    // From a whole declaration, split at its first ":" (KrException 969 without one): the
    // name is trimmed of blanks, the value also of ";" and line breaks. With nameOnly the
    // text is only the name (KrException 962 when empty) and the value stays empty.
    KrCSSProperty(std::string_view text, bool nameOnly);

    void write(std::ostream& out) const override;

    virtual const std::string& propertyName() const { return name_; }
    virtual bool valueEmpty() const { return value_.empty(); }
    virtual void setValue(std::string_view value) { value_ = value; }

protected:
    GRIDLO_NODE_COPY(KrCSSProperty)

    void checkChild(KrXMLComplexElement* child) override;

private:
    std::string name_;
    std::string value_;
};
