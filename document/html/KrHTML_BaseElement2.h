#pragma once

#include <string>
#include <string_view>

#include "document/html/KrStyleAttribute.h"
#include "document/xml/KrXMLComplexAttribute2.h"
#include "document/xml/KrXMLGenericElement.h"

// The base of every HTML element: a block element with the attributes "id", "class" and
// "style", written only once set. The tag classes have it as a virtual base, so an element
// holds it once whatever mix-ins its class has.
class KrHTML_BaseElement2 : public KrXMLGenericElement {
public:
    // selfClosing makes a void element: always written in the short form, refusing
    // children. selfClosingWhenEmpty writes the short form while there are no children.
    KrHTML_BaseElement2(std::string_view name, bool selfClosing, bool selfClosingWhenEmpty);

    // The element's markup.
    virtual std::string toMarkupString() const;
    // JavaScript statements that create the element with its attributes and content in
    // the browser and append it to the page's body.
    virtual std::string toJavaScript() const;

private:
    KrXMLStringKrAttribute id_;
    KrXMLStringKrAttribute class_;
    KrStyleAttribute style_;
};
