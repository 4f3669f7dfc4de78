#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Markup.h"
#include "document/html/html.h"

namespace {

std::vector<std::string> childNames(const KrXMLComplexElement& parent) {
    KrXMLComplexElement::ElementList list;
    parent.children(list);
    std::vector<std::string> names;
    for (const auto* child : list) {
        names.push_back(child->name());
    }
    return names;
}

using Names = std::vector<std::string>;

// A document that builds its structure on first use.
class BareDocument : public KrHTML_Document2 {
public:
    BareDocument() : KrHTML_Document2(DerivedDocument{}) {}
};

// The page the server answers with when nothing else does.
class NotFoundPage : public KrHTML_Document2 {
public:
    NotFoundPage(std::string_view title, std::string_view body, std::string_view target,
                 std::string_view text)
        : KrHTML_Document2(DerivedDocument{}) {
        addToHead(std::make_unique<KrHTML_title2>(title));
        addToBody(std::make_unique<KrHTML_text2>(body));
        addToBody(std::make_unique<KrHTML_br2>());
        addToBody(std::make_unique<KrHTML_a2>(target, text));
    }
};

TEST(HTMLDocument, FreshPageIsItsSeventyBytes) {
    KrHTML_Document2 document;
    const std::string expected =
        "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\" />\n</head>\n</html>";
    EXPECT_EQ(expected.size(), 70u);
    EXPECT_EQ(markupOf(document), expected);
    EXPECT_EQ(document.toMarkupString(), expected);
}

TEST(HTMLDocument, FreshPageHasDoctypeHtmlAndHeadButNoBody) {
    KrHTML_Document2 document;
    EXPECT_EQ(childNames(document), (Names{"HTMLDoctype", "html"}));
    KrXMLGenericElement* html = document.documentRoot();
    EXPECT_EQ(childNames(*html), Names{"head"});
    EXPECT_EQ(childNames(*document.documentHead(*html)), Names{"meta"});
    EXPECT_EQ(childNames(document), (Names{"HTMLDoctype", "html"}));
}

TEST(HTMLDocument, DerivedDocumentMakesItsStructureOnFirstUseOnce) {
    BareDocument document;
    EXPECT_TRUE(childNames(document).empty());
    EXPECT_EQ(markupOf(document), "");
    KrXMLGenericElement* html = document.documentRoot();
    EXPECT_EQ(childNames(document), (Names{"HTMLDoctype", "html"}));
    EXPECT_EQ(document.documentRoot(), html);
    EXPECT_EQ(childNames(document), (Names{"HTMLDoctype", "html"}));
    EXPECT_NE(dynamic_cast<KrHTML_html2*>(html), nullptr);
}

TEST(HTMLDocument, HeadGoesBeforeAnExistingBody) {
    BareDocument document;
    KrXMLGenericElement* html = document.documentRoot();
    KrXMLGenericElement* body = document.documentBody(*html);
    EXPECT_EQ(document.documentBody(*html), body);
    document.documentHead(*html);
    EXPECT_EQ(childNames(*html), (Names{"head", "body"}));
}

TEST(HTMLDocument, AddsToHeadAndBody) {
    KrHTML_Document2 document;
    KrHTML_div2* div = document.addDivToBody("d");
    KrHTML_pre2* pre = document.addPreToBody();
    pre->addChild(std::make_unique<KrHTML_text2>("error"));
    document.addToHead(std::make_unique<KrHTML_title2>("T"));
    EXPECT_EQ(div->getAttribute("id", ""), "d");
    EXPECT_EQ(markupOf(document),
              "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\" />\n<title>T</title>\n"
              "</head>\n<body>\n<div id=\"d\"></div>\n<pre>error</pre>\n</body>\n</html>");
}

TEST(HTMLDocument, NotFoundPageIsItsExact222Bytes) {
    NotFoundPage page("Error 404 - not found",
                      "<h1>Error 404 - not found</h1>The requested page was not found or the "
                      "project was timed out.",
                      "/", "Startseite");
    const std::string expected =
        "<!DOCTYPE html>\n<html>\n<head>\n<title>Error 404 - not found</title>\n</head>\n"
        "<body><h1>Error 404 - not found</h1>The requested page was not found or the project "
        "was timed out.<br />\n<a href=\"/\">Startseite</a>\n</body>\n</html>";
    EXPECT_EQ(expected.size(), 222u);
    EXPECT_EQ(markupOf(page), expected);
}

TEST(ToMarkupString, VoidElementGivesItsShortForm) {
    KrHTML_img2 img("a.png", "", "");
    EXPECT_EQ(img.toMarkupString(), "<img src=\"a.png\" />");
}

TEST(ToJavaScript, CreatesTheElementInTheBody) {
    KrHTML_div2 div("x", false);
    div.appendText("hi");
    EXPECT_EQ(div.toJavaScript(),
              "{\n"
              "var newelem = document.createElement('div');\n"
              "newelem.setAttribute('id','x');\n"
              "newelem.innerHTML=\"hi\";\n"
              "document.body.appendChild(newelem);\n"
              " }");
}

TEST(ToJavaScript, WritesAttributesInNameOrderAndTheChildrensMarkup) {
    KrHTML_a2 a("/go", "");
    a.setAttribute("style", "color:red");
    a.addChild(std::make_unique<KrHTML_b2>());
    a.insertAttribute("bare", nullptr);  // no object: left out here, unlike in markup
    EXPECT_EQ(a.toJavaScript(),
              "{\n"
              "var newelem = document.createElement('a');\n"
              "newelem.setAttribute('href','/go');\n"
              "newelem.setAttribute('style','color: red;');\n"
              "newelem.innerHTML=\"<b></b>\";\n"
              "document.body.appendChild(newelem);\n"
              " }");
}

TEST(ToJavaScript, EscapesContentNamesAndValues) {
    KrHTML_p2 p;
    p.appendText("a\n\"b\"");
    p.setAttribute("title", "it's \\ \"x\"");
    p.setAttribute("on'x", "1");
    EXPECT_EQ(p.toJavaScript(),
              "{\n"
              "var newelem = document.createElement('p');\n"
              "newelem.setAttribute('on\\'x','1');\n"
              "newelem.setAttribute('title','it\\'s \\\\ \\\"x\\\"');\n"
              "newelem.innerHTML=\"a\\n\\\"b\\\"\";\n"
              "document.body.appendChild(newelem);\n"
              " }");
}

TEST(ToJavaScript, EmptyElementStillSetsInnerHTML) {
    EXPECT_EQ(KrHTML_br2().toJavaScript(),
              "{\nvar newelem = document.createElement('br');\nnewelem.innerHTML=\"\";\n"
              "document.body.appendChild(newelem);\n }");
}

}  // namespace
