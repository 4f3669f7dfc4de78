#include "document/html/KrHTML_BaseElement2.h"

#include <sstream>

#include "foundation/Strings.h"

KrHTML_BaseElement2::KrHTML_BaseElement2(std::string_view name, bool selfClosing,
                                         bool selfClosingWhenEmpty)
    : KrXMLGenericElement(name, true) {
    setLeaf(selfClosing);
    setSelfClosing(selfClosingWhenEmpty);
    registerAttribute("id", id_);
    registerAttribute("class", class_);
    registerAttribute("style", style_);
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
        script << "newelem.setAttribute('" << escapeJavaScriptString(attributeName) << "','"
               << escapeJavaScriptString(object->valueText()) << "');\n";
    }
    std::ostringstream content;
    writeChildren(content);
    script << "newelem.innerHTML=\"" << escapeJavaScriptString(content.str()) << "\";\n";
    // The page's root element is already there: a new element belongs in the body.
    script << "document.body.appendChild(newelem);\n }";
    return script.str();
}
