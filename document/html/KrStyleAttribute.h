#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "document/css/KrCSSProperty.h"
#include "document/xml/KrXMLComplexAttribute2.h"

// The inline style of an HTML element: its declarations by name, written back in name
// order as "name: value;" each. Setting a style text adds and replaces declarations; it
// never removes one.
class KrStyleAttribute : public KrXMLComplexAttribute2 {
public:
    KrStyleAttribute() = default;
    // Copies every declaration.
    KrStyleAttribute(const KrStyleAttribute& other);

    std::unique_ptr<KrXMLComplexAttribute2> clone() const override {
        return std::make_unique<KrStyleAttribute>(*this);
    }
    bool hasValue() const override { return !properties_.empty(); }
    void writeValue(std::ostream& out) const override;
    // A null or empty text changes nothing.
    void setFromCString(const char* text) override;
    void setFromText(std::string_view text) override { assign(text); }

    // Parses declarations separated by ";", each "name: value". A declaration with no ":"
    // or more than one throws KrException 59 quoting the whole text; those before it stay.
    virtual void assign(std::string_view text);
    // The declaration of that name; a new one without value when there is none.
    virtual KrCSSProperty* property(std::string_view name);

private:
    std::map<std::string, std::unique_ptr<KrCSSProperty>, std::less<>> properties_;
};
