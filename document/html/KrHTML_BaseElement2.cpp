#include "document/html/KrHTML_BaseElement2.h"

#include <memory>
#include <sstream>

#include "document/html/KrStyleAttribute.h"
#include "document/xml/KrXMLComplexAttribute2.h"
#include "foundation/Strings.h"

namespace {

// "id", "class" and "style", unset: every HTML element starts with them, and shares them
// until it sets one, so that text nodes and plain elements hold no attributes of their own.
// Kept for the life of the process, so that sharing them costs nothing.
const kr::AttributeSet& baseAttributes() {
    static const kr::AttributeSet shared = [] {
        kr::AttributeSet attributes;
        attributes.assign("id", std::make_unique<KrXMLStringKrAttribute>());
        attributes.assign("class", std::make_unique<KrXMLStringKrAttribute>());
        attributes.assign("style", std::make_unique<KrStyleAttribute>());
        attributes.keepForever();
        return attributes;
    }();
    return shared;
}

}  // namespace

KrHTML_BaseElement2::KrHTML_BaseElement2(std::string_view name, bool selfClosing,
                                         bool selfClosingWhenEmpty)
    : KrXMLGenericElement(name, true, baseAttributes()) {
    setLeaf(selfClosing);
    setSelfClosing(selfClosingWhenEmpty);
}

void KrHTML_BaseElement2::addOwnText(std::string_view name, std::string_view text) {
    addOwnAttribute<KrXMLStringKrAttribute>(name);
    setAttributeWhenNonEmpty(name, text);
}

void KrHTML_BaseElement2::setAttributeWhenNonEmpty(std::string_view name, std::string_view text) {
    if (!text.empty()) {
        setAttribute(name, text);
    }
}

std::string KrHTML_BaseElement2::toMarkupString() const {
    std::ostringstream markup;
    write(markup);
    return markup.str();
}

std::string KrHTML_BaseElement2::toJavaScript() const {
    using kr::escapeJavaScriptString;
    std::ostringstream script;
    script << "{\nvar newelem = document.createElement('" << escapeJavaScriptString(name())
           << "');\n";
    for (const auto& [attributeName, object] : attributeMap()) {
        if (!object || !object->hasValue()) {
            continue;
        }
        script << "newelem.setAttribute('" << escapeJavaScriptString(attributeName.view()) << "','"
               << escapeJavaScriptString(object->valueText()) << "');\n";
    }
    std::ostringstream content;
    writeChildren(content);
    script << "newelem.innerHTML=\"" << escapeJavaScriptString(content.str()) << "\";\n";
    // The page's root element is already there: a new element belongs in the body.
    script << "document.body.appendChild(newelem);\n }";
    return script.str();
}
