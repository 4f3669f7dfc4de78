#include "document/html/KrHTMLTags.h"

#include <memory>

#include "document/css/KrCSSHTMLComment.h"
#include "document/css/KrCSSMediaQuery.h"
#include "document/css/KrCSSRule.h"
#include "document/html/KrHTML_text2.h"
#include "document/html/KrJavaScriptHandler.h"
#include "document/xml/KrXMLLeafNodes.h"
#include "foundation/KrException.h"

namespace {

void setWhenNonEmpty(KrXMLComplexAttribute2& attribute, std::string_view text) {
    if (!text.empty()) {
        attribute.setFromText(text);
    }
}

}  // namespace

KrHTML_a2::KrHTML_a2() : KrHTML_BaseElement2("a", false, false) {
    registerAttribute("href", href_);
    registerAttribute("name", name_);
}

KrHTML_a2::KrHTML_a2(std::string_view href, std::string_view text) : KrHTML_a2() {
    href_.setFromText(href);
    addChild(std::make_unique<KrHTML_text2>(text));
}

KrHTML_div2::KrHTML_div2(std::string_view id, bool draggable)
    : KrHTML_BaseElement2("div", false, false) {
    registerAttribute("onmousedown", onmousedown_);
    if (!id.empty()) {
        setAttribute("id", id);
    }
    if (draggable) {
        onmousedown_.setFromCString("nuxel_start_drag(this);");
    }
}

KrHTML_form2::KrHTML_form2(std::string_view action, std::string_view method)
    : KrHTML_BaseElement2("form", false, false) {
    registerAttribute("method", method_);
    registerAttribute("action", action_);
    setWhenNonEmpty(action_, action);
    setWhenNonEmpty(method_, method);
}

KrHTML_iframe2::KrHTML_iframe2(std::string_view src, std::string_view width,
                               std::string_view height, std::string_view text)
    : KrHTML_BaseElement2("iframe", false, false) {
    registerAttribute("src", src_);
    registerAttribute("width", width_);
    registerAttribute("height", height_);
    setWhenNonEmpty(src_, src);
    setWhenNonEmpty(width_, width);
    setWhenNonEmpty(height_, height);
    addChild(std::make_unique<KrHTML_text2>(text));
}

KrHTML_label2::KrHTML_label2(std::string_view forId, std::string_view text)
    : KrHTML_BaseElement2("label", false, false) {
    registerAttribute("for", for_);
    setWhenNonEmpty(for_, forId);
    if (!text.empty()) {
        appendText(text);
    }
}

KrHTML_script2::KrHTML_script2() : KrHTML_BaseElement2("script", false, false) {
    registerAttribute("src", src_);
    registerAttribute("type", type_);
    type_.setFromCString("text/javascript");
}

KrHTML_script2::KrHTML_script2(std::string_view src, std::string_view text) : KrHTML_script2() {
    setWhenNonEmpty(src_, src);
    if (!text.empty()) {
        addChild(std::make_unique<KrJavaScriptHandler>(text, false));
    }
}

KrHTML_select2::KrHTML_select2(std::string_view id, std::string_view name)
    : KrHTML_BaseElement2("select", false, false) {
    setAttribute("name", name);
    if (!id.empty()) {
        setAttribute("id", id);
    }
}

KrHTML_style2::KrHTML_style2() : KrHTML_BaseElement2("style", false, false) {
    registerAttribute("src", src_);
    registerAttribute("type", type_);
    type_.setFromCString("text/css");
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
    registerAttribute("value", value_);
    registerAttribute("max", max_);
}

KrHTML_option2::KrHTML_option2(std::string_view value, std::string_view text, bool selected)
    : KrHTML_BaseElement2("option", false, false) {
    registerAttribute("value", value_);
    value_.setFromText(value);
    if (selected) {
        registerAttribute("selected", selected_);
        selected_.set(true);
    }
    addChild(std::make_unique<KrHTML_text2>(text));
}

KrHTML_img2::KrHTML_img2(std::string_view src, std::string_view alt, std::string_view title)
    : KrHTML_BaseElement2("img", false, false) {
    registerAttribute("src", src_);
    registerAttribute("alt", alt_);
    registerAttribute("title", title_);
    setWhenNonEmpty(src_, src);
    setWhenNonEmpty(alt_, alt);
    setWhenNonEmpty(title_, title);
}

KrHTML_input2::KrHTML_input2() : KrHTML_BaseElement2("input", false, false) {
    registerAttribute("name", name_);
    registerAttribute("value", value_);
    registerAttribute("type", type_);
}

KrHTML_input2_hidden::KrHTML_input2_hidden(std::string_view id, std::string_view value,
                                           std::string_view name)
    : KrHTML_BaseElement2("input", false, false) {
    if (!id.empty()) {
        setAttribute("id", id);
    }
    value_.setFromText(value);
    type_.setFromCString("hidden");
    name_.setFromText(name);
}

KrHTML_link2::KrHTML_link2(std::string_view href) : KrHTML_BaseElement2("link", false, false) {
    registerAttribute("type", type_);
    registerAttribute("rel", rel_);
    registerAttribute("href", href_);
    type_.setFromCString("text/css");
    rel_.setFromCString("stylesheet");
    setWhenNonEmpty(href_, href);
}

KrHTML_meta2::KrHTML_meta2(std::string_view attributeText)
    : KrHTML_BaseElement2("meta", false, false) {
    if (!attributeText.empty()) {
        setAttributeText(attributeText);
    }
}
