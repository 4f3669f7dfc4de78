#include "document/html/KrHTMLTags.h"

#include <memory>

#include "document/css/KrCSSHTMLComment.h"
#include "document/css/KrCSSMediaQuery.h"
#include "document/css/KrCSSRule.h"
#include "document/html/KrHTML_text2.h"
#include "document/html/KrJavaScriptHandler.h"
#include "document/xml/KrXMLLeafNodes.h"
#include "foundation/KrException.h"

KrHTML_a2::KrHTML_a2() : KrHTML_BaseElement2("a", false, false) {
    addOwnText("href");
    addOwnText("name");
}

KrHTML_a2::KrHTML_a2(std::string_view href, std::string_view text) : KrHTML_a2() {
    setAttribute("href", href);
    addChild(std::make_unique<KrHTML_text2>(text));
}

KrHTML_div2::KrHTML_div2(std::string_view id, bool draggable)
    : KrHTML_BaseElement2("div", false, false) {
    addOwnText("onmousedown", draggable ? "nuxel_start_drag(this);" : "");
    setAttributeWhenNonEmpty("id", id);
}

KrHTML_form2::KrHTML_form2(std::string_view action, std::string_view method)
    : KrHTML_BaseElement2("form", false, false) {
    addOwnText("method", method);
    addOwnText("action", action);
}

KrHTML_iframe2::KrHTML_iframe2(std::string_view src, std::string_view width,
                               std::string_view height, std::string_view text)
    : KrHTML_BaseElement2("iframe", false, false) {
    addOwnText("src", src);
    addOwnText("width", width);
    addOwnText("height", height);
    addChild(std::make_unique<KrHTML_text2>(text));
}

KrHTML_label2::KrHTML_label2(std::string_view forId, std::string_view text)
    : KrHTML_BaseElement2("label", false, false) {
    addOwnText("for", forId);
    if (!text.empty()) {
        appendText(text);
    }
}

KrHTML_script2::KrHTML_script2() : KrHTML_BaseElement2("script", false, false) {
    addOwnText("src");
    addOwnText("type", "text/javascript");
}

KrHTML_script2::KrHTML_script2(std::string_view src, std::string_view text) : KrHTML_script2() {
    setAttributeWhenNonEmpty("src", src);
    if (!text.empty()) {
        addChild(std::make_unique<KrJavaScriptHandler>(text, false));
    }
}

KrHTML_select2::KrHTML_select2(std::string_view id, std::string_view name)
    : KrHTML_BaseElement2("select", false, false) {
    setAttribute("name", name);
    setAttributeWhenNonEmpty("id", id);
}

KrHTML_style2::KrHTML_style2() : KrHTML_BaseElement2("style", false, false) {
    addOwnText("src");
    addOwnText("type", "text/css");
}

std::string KrHTML_style2::contentDTD(std::string_view name) {
    return switchContentDTD(name, "css");
}

void KrHTML_style2::checkChild(KrXMLComplexElement* child) {
    // Whitespace is accepted so that a style sheet with blanks between its rules reads
    // and writes back unchanged.
    if (!kr::isOneOf<KrXMLGenericText, KrXMLGenericWhitespace, KrCSSHTMLComment, KrCSSMediaQuery,
                     KrCSSRule>(child)) {
        throw KrException("must be an CSS element", 1094, "src");
    }
}

KrHTML_title2::KrHTML_title2(std::string_view text) : KrHTML_title2() {
    addChild(std::make_unique<KrHTML_text2>(text));
}

KrHTML_progress2::KrHTML_progress2() : KrHTML_BaseElement2("progress", false, false) {
    addOwnAttribute<KrXMLDoubleKrAttribute>("value");
    addOwnAttribute<KrXMLDoubleKrAttribute>("max");
}

KrHTML_option2::KrHTML_option2(std::string_view value, std::string_view text, bool selected)
    : KrHTML_BaseElement2("option", false, false) {
    addOwnText("value");
    setAttribute("value", value);
    if (selected) {
        auto mark = std::make_unique<KrXMLBoolKrAttribute>();
        mark->set(true);
        insertAttribute("selected", std::move(mark));
    }
    addChild(std::make_unique<KrHTML_text2>(text));
}

KrHTML_img2::KrHTML_img2(std::string_view src, std::string_view alt, std::string_view title)
    : KrHTML_BaseElement2("img", false, false) {
    addOwnText("src", src);
    addOwnText("alt", alt);
    addOwnText("title", title);
}

KrHTML_input2::KrHTML_input2() : KrHTML_BaseElement2("input", false, false) {
    addOwnText("name");
    addOwnText("value");
    addOwnText("type");
}

KrHTML_input2_hidden::KrHTML_input2_hidden(std::string_view id, std::string_view value,
                                           std::string_view name)
    : KrHTML_BaseElement2("input", false, false) {
    setAttributeWhenNonEmpty("id", id);
    setAttribute("value", value);
    setAttribute("type", "hidden");
    setAttribute("name", name);
}

KrHTML_link2::KrHTML_link2(std::string_view href) : KrHTML_BaseElement2("link", false, false) {
    addOwnText("type", "text/css");
    addOwnText("rel", "stylesheet");
    addOwnText("href", href);
}

KrHTML_meta2::KrHTML_meta2(std::string_view attributeText)
    : KrHTML_BaseElement2("meta", false, false) {
    if (!attributeText.empty()) {
        setAttributeText(attributeText);
    }
}
