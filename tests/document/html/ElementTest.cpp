#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "EveryKindOfNode.h"
#include "Markup.h"
#include "document/css/css.h"
#include "document/html/html.h"
#include "document/xml/KrXMLLeafNodes.h"
#include "foundation/KrException.h"

namespace {

KrXMLComplexElement::ElementList childrenOf(const KrXMLComplexElement& parent) {
    KrXMLComplexElement::ElementList list;
    parent.children(list);
    return list;
}

// The searches ask every node whether it is a generic element without dynamic_cast.
TEST(GenericElementFrom, AgreesWithDynamicCastForEveryKindOfNode) {
    const auto page = documenttest::everyKindOfNode();
    std::vector<KrXMLComplexElement*> pending{page.get()};
    int looked = 0;
    while (!pending.empty()) {
        KrXMLComplexElement* node = pending.back();
        pending.pop_back();
        EXPECT_EQ(KrXMLGenericElement::from(node), dynamic_cast<KrXMLGenericElement*>(node))
            << node->name();
        ++looked;
        for (KrXMLComplexElement* child : childrenOf(*node)) {
            pending.push_back(child);
        }
    }
    EXPECT_GT(looked, 115);  // every tag of the factory and more
    EXPECT_EQ(KrXMLGenericElement::from(nullptr), nullptr);
}

TEST(HTMLBaseElement, VoidElementStaysShortAfterARefusedChild) {
    KrHTML_br2 br;
    EXPECT_THROW(br.addChild(std::make_unique<KrHTML_text2>("x")), KrException);
    EXPECT_TRUE(childrenOf(br).empty());
    EXPECT_EQ(markupOf(br), "<br />");
}

TEST(HTMLBaseElement, WritesOnlyTheBaseAttributesThatWereSet) {
    KrHTML_div2 div("", false);
    EXPECT_EQ(markupOf(div), "<div></div>");
    EXPECT_TRUE(div.hasAttribute("id"));
    EXPECT_TRUE(div.hasAttribute("class"));
    EXPECT_TRUE(div.hasAttribute("style"));
    div.setAttribute("id", "main");
    EXPECT_EQ(markupOf(div), "<div id=\"main\"></div>");
    div.setAttribute("class", "");
    EXPECT_EQ(markupOf(div), "<div class=\"\" id=\"main\"></div>");
    div.setAttribute("style", "color:red");
    EXPECT_EQ(div.getAttribute("style", "none"), "color: red;");
}

TEST(HTMLBaseElement, HTMLElementsAreBlocksButTheTextNode) {
    EXPECT_TRUE(KrHTML_span2().isBlock());
    KrHTML_text2 text("t");
    EXPECT_FALSE(text.isBlock());
    EXPECT_TRUE(text.isText());
    EXPECT_TRUE(text.isLeaf());
    EXPECT_EQ(text.name(), "xmltext");
    EXPECT_FALSE(KrHTML_span2().isText());
}

TEST(HTMLText, WritesItsTextUnescapedAndIsTheOnlyInnerText) {
    KrHTML_p2 p;
    p.addChild(std::make_unique<KrHTML_text2>("a <b>&"));
    auto* b = kr::appendChild(p, std::make_unique<KrHTML_b2>());
    auto* inner = kr::appendChild(*b, std::make_unique<KrHTML_text2>());
    inner->setText("c");
    p.addChild(std::make_unique<KrXMLGenericText>("xml"));
    EXPECT_EQ(markupOf(p), "<p>a <b>&<b>c</b>xml</p>");
    std::ostringstream text;
    p.innerText(text);
    EXPECT_EQ(text.str(), "a <b>&c");
}

TEST(HTMLElementType0A, EveryAppendTextAddsOneTextChild) {
    KrHTML_span2 span;
    span.appendText("a");
    span.appendText("b");
    EXPECT_EQ(childrenOf(span).size(), 2u);
    span.flushText();  // nothing collected: an empty text child
    EXPECT_EQ(childrenOf(span).size(), 3u);
    EXPECT_EQ(markupOf(span), "<span>ab</span>");
}

TEST(HTMLDoctype, WritesTheDocumentTypeLine) {
    KrHTML_Doctype2 doctype("html");
    EXPECT_EQ(markupOf(doctype), "<!DOCTYPE html>\n");
    EXPECT_EQ(doctype.name(), "HTMLDoctype");
    EXPECT_TRUE(doctype.isBlock());
}

TEST(JavaScriptHandler, WrapsOnlyATextThatOpensNoScript) {
    const struct {
        std::string text;
        bool wrap;
        std::string markup;
    } cases[] = {
        {"f();", false, "f();"},
        {"f();", true, "<script>\n<!--\nf();\n//-->\n</script>"},
        {"<script>f();</script>", true, "<script>f();</script>"},
        {std::string(42, ' ') + "<script>", true, std::string(42, ' ') + "<script>"},
        {std::string(44, ' ') + "<script>", true,
         "<script>\n<!--\n" + std::string(44, ' ') + "<script>\n//-->\n</script>"},
    };
    for (const auto& c : cases) {
        KrJavaScriptHandler handler(c.text, c.wrap);
        EXPECT_EQ(markupOf(handler), c.markup) << c.text;
    }
    KrJavaScriptHandler handler("a", false);
    handler.setText("b");
    EXPECT_EQ(markupOf(handler), "b");
}

TEST(HTMLScript, WrapsItsBodyInAnHTMLComment) {
    EXPECT_EQ(markupOf(KrHTML_script2()),
              "<script type=\"text/javascript\">\n<!--\n\n//-->\n</script>");
    EXPECT_EQ(markupOf(KrHTML_script2("app.js", "")),
              "<script src=\"app.js\" type=\"text/javascript\">\n<!--\n\n//-->\n</script>");
    // The script text is a block child: a line before it and one before the end tag.
    EXPECT_EQ(markupOf(KrHTML_script2("", "f();")),
              "<script type=\"text/javascript\">\n<!--\n\nf();\n//-->\n\n</script>");
}

TEST(HTMLStyle, TakesCSSNodesAndWhitespaceOnly) {
    KrHTML_style2 style;
    EXPECT_EQ(markupOf(style), "<style type=\"text/css\"></style>");
    style.addChild(std::make_unique<KrXMLGenericWhitespace>("\n"));
    auto rule = std::make_unique<KrCSSRule>("p");
    rule->addChild(std::make_unique<KrCSSProperty>("color:red", false));
    style.addChild(std::move(rule));
    style.addChild(std::make_unique<KrXMLGenericWhitespace>("\n"));
    style.addChild(std::make_unique<KrCSSMediaQuery>("@media print"));
    style.addChild(std::make_unique<KrCSSHTMLComment>());
    style.addChild(std::make_unique<KrXMLGenericText>("/* c */"));
    EXPECT_EQ(markupOf(style),
              "<style type=\"text/css\">\np{color: red;}\n@media print{}<!---->/* c */</style>");

    using Make = std::unique_ptr<KrXMLComplexElement> (*)();
    const std::pair<Make, const char*> refused[] = {
        {[]() -> std::unique_ptr<KrXMLComplexElement> { return std::make_unique<KrHTML_text2>(); },
         "an HTML text node"},
        {[]() -> std::unique_ptr<KrXMLComplexElement> { return std::make_unique<KrHTML_span2>(); },
         "an HTML element"},
        {[]() -> std::unique_ptr<KrXMLComplexElement> {
             return std::make_unique<KrCSSProperty>("a:b", false);
         },
         "a bare declaration"},
    };
    for (const auto& [make, what] : refused) {
        KrHTML_style2 other;
        try {
            other.addChild(make());
            ADD_FAILURE() << what << " accepted";
        } catch (const KrException& e) {
            EXPECT_STREQ(e.what(), "must be an CSS element") << what;
        }
    }
}

TEST(HTMLStyle, ContentIsReadAsCss) {
    KrHTML_style2 style;
    EXPECT_EQ(style.contentDTD("html"), "css");
    EXPECT_EQ(style.contentDTD(""), "html");
}

}  // namespace
