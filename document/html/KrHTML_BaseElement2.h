#pragma once

#include <string>
#include <string_view>

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

protected:
    GRIDLO_NODE_COPY(KrHTML_BaseElement2)

    // Stores an unset attribute of the class under the name; it is written once set.
    template <class Attribute>
    void addOwnAttribute(std::string_view name) {
        insertAttribute(name, std::make_unique<Attribute>());
    }
    // The same for a text attribute, which is set at once to a text that is not empty.
    void addOwnText(std::string_view name, std::string_view text = {});
    // Sets the attribute when the text is not empty.
    void setAttributeWhenNonEmpty(std::string_view name, std::string_view text);
};
