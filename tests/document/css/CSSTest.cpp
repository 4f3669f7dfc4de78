#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "Markup.h"
#include "document/css/css.h"
#include "document/xml/KrXMLLeafNodes.h"
#include "foundation/KrException.h"

namespace {

using Node = std::unique_ptr<KrXMLComplexElement>;

struct PropertyCase {
    const char* text;
    bool nameOnly;
    const char* name;
    bool valueEmpty;
    const char* markup;
};

TEST(CSSProperty, SplitsAndTrimsNameAndValue) {
    const PropertyCase cases[] = {
        {"color : red ;", false, "color", false, "color: red;"},
        {"color:red", false, "color", false, "color: red;"},
        {" margin:\t0;\r\n", false, "margin", false, "margin: 0;"},
        {"font: a:b", false, "font", false, "font: a:b;"},
        {"width:", false, "width", true, ""},
        {":x", false, "", false, ": x;"},
        {"width", true, "width", true, ""},
        {" ; ", true, "", true, ""},
        {"\twidth;\n", true, "width", true, ""},
    };
    for (const auto& c : cases) {
        const KrCSSProperty property(c.text, c.nameOnly);
        EXPECT_EQ(property.propertyName(), c.name) << c.text;
        EXPECT_EQ(property.valueEmpty(), c.valueEmpty) << c.text;
        EXPECT_EQ(markupOf(property), c.markup) << c.text;
    }
}

TEST(CSSProperty, SetValueMakesItWritten) {
    KrCSSProperty property("width", true);
    property.setValue("1px");
    EXPECT_EQ(markupOf(property), "width: 1px;");
}

TEST(CSSProperty, MalformedTextsThrowTheirMessages) {
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[] { KrCSSProperty("color", false); }, "CSS property not well formed (missing ':')."},
        {[] { KrCSSProperty("", false); }, "CSS property not well formed (missing ':')."},
        {[] { KrCSSProperty("", true); }, "CSS property must have a name"},
    };
    for (const auto& [build, message] : cases) {
        try {
            build();
            ADD_FAILURE() << "no throw for " << message;
        } catch (const KrException& e) {
            EXPECT_STREQ(e.what(), message);
        }
    }
}

Node property(const char* text) { return std::make_unique<KrCSSProperty>(text, false); }

TEST(CSSRule, WritesSelectorAndDeclarationsWithoutBlanks) {
    KrCSSRule rule("p");
    rule.addChild(property("color:red"));
    rule.addChild(property("margin: 0"));
    EXPECT_EQ(markupOf(rule), "p{color: red;margin: 0;}");

    KrCSSRule empty("p");
    empty.addChild(property("width:"));
    EXPECT_EQ(markupOf(empty), "p{}");
}

TEST(CSSRule, WhitespaceBetweenTokensWritesBackUnchanged) {
    KrCSSRule rule("p ");
    rule.addChild(std::make_unique<KrXMLGenericWhitespace>("\n  "));
    rule.addChild(property("color: red;"));
    rule.addChild(std::make_unique<KrXMLGenericWhitespace>("\n"));
    EXPECT_EQ(markupOf(rule), "p {\n  color: red;\n}");

    KrCSSMediaQuery media("@media print ");
    media.addChild(std::make_unique<KrXMLGenericWhitespace>("\n"));
    auto inner = std::make_unique<KrCSSRule>("b");
    inner->addChild(property("x:1"));
    media.addChild(std::move(inner));
    EXPECT_EQ(markupOf(media), "@media print {\nb{x: 1;}}");

    KrCSSHTMLComment comment;
    comment.addChild(std::make_unique<KrXMLGenericWhitespace>(" "));
    comment.addChild(std::make_unique<KrXMLGenericText>("/* c */"));
    EXPECT_EQ(markupOf(comment), "<!-- /* c */-->");
}

TEST(CSSRule, ContentGrammarIsCssRuleAndGivesBackTheOuterOne) {
    KrCSSRule rule("p");
    EXPECT_EQ(rule.contentDTD("css"), "cssRule");
    EXPECT_EQ(rule.contentDTD(""), "css");
}

std::function<Node()> kind(const char* what) {
    const std::string k = what;
    return [k]() -> Node {
        if (k == "text")
            return std::make_unique<KrXMLGenericText>("t");
        if (k == "whitespace")
            return std::make_unique<KrXMLGenericWhitespace>(" ");
        if (k == "comment")
            return std::make_unique<KrCSSHTMLComment>();
        if (k == "rule")
            return std::make_unique<KrCSSRule>("r");
        if (k == "media")
            return std::make_unique<KrCSSMediaQuery>("@m");
        if (k == "property")
            return std::make_unique<KrCSSProperty>("a:b", false);
        return std::make_unique<KrXMLGenericElement>(k, false);
    };
}

struct ChildCase {
    const char* parent;
    const char* child;
    const char* error;  // null when the child is accepted
};

TEST(CSSChildren, EachNodeAcceptsOnlyItsKinds) {
    const ChildCase cases[] = {
        {"rule", "text", nullptr},
        {"rule", "whitespace", nullptr},
        {"rule", "comment", nullptr},
        {"rule", "property", nullptr},
        {"rule", "rule", "must be an CSS element"},
        {"rule", "media", "must be an CSS element"},
        {"rule", "div", "must be an CSS element"},
        {"media", "text", nullptr},
        {"media", "whitespace", nullptr},
        {"media", "comment", nullptr},
        {"media", "rule", nullptr},
        {"media", "property", "must be an CSS element"},
        {"media", "media", "must be an CSS element"},
        {"comment", "text", nullptr},
        {"comment", "whitespace", nullptr},
        {"comment", "rule", "child must be text"},
        {"comment", "comment", "child must be text"},
        {"property", "text", "no childs possible"},
        {"property", "whitespace", "no childs possible"},
    };
    for (const auto& c : cases) {
        Node parent = kind(c.parent)();
        const std::string what = std::string(c.child) + " in " + c.parent;
        try {
            parent->addChild(kind(c.child)());
            EXPECT_EQ(c.error, nullptr) << what << " accepted";
        } catch (const KrException& e) {
            ASSERT_NE(c.error, nullptr) << what << " refused: " << e.what();
            EXPECT_STREQ(e.what(), c.error) << what;
        }
        // Accepted or refused, the child is linked.
        KrXMLComplexElement::ElementList children;
        parent->children(children);
        EXPECT_EQ(children.size(), 1u) << what;
    }
}

TEST(CSSNodes, AreNonBlockSelfClosingElementsWithTheirNames) {
    const std::pair<const char*, const char*> kinds[] = {
        {"rule", "cssrule"},
        {"media", "cssmediaquery"},
        {"property", "cssproperty"},
        {"comment", "csshtmlcomment"},
    };
    for (const auto& [k, name] : kinds) {
        Node node = kind(k)();
        EXPECT_EQ(node->name(), name);
        EXPECT_FALSE(node->isBlock()) << name;
        EXPECT_FALSE(node->isLeaf()) << name;
        EXPECT_TRUE(node->isSelfClosing()) << name;
    }
}

}  // namespace
