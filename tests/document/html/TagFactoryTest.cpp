#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Markup.h"
#include "document/html/html.h"
#include "foundation/KrException.h"

namespace {

class TagFactory : public ::testing::Test {
protected:
    void SetUp() override { kr::registerElementCreators(table_); }

    std::unique_ptr<KrXMLGenericElement> create(const char* tag) {
        return kr::createElementForTag(tag, table_);
    }

    KrHTMLTagTable table_;
};

TEST_F(TagFactory, WritesEachFactoryMadeElement) {
    const std::pair<const char*, const char*> cases[] = {
        {"br", "<br />"},
        {"img", "<img />"},
        {"input", "<input />"},
        {"div", "<div></div>"},
        {"p", "<p></p>"},
        {"a", "<a></a>"},
        {"form", "<form method=\"POST\"></form>"},
        {"option", "<option value=\"\"></option>"},
        {"select", "<select name=\"\"></select>"},
        {"link", "<link rel=\"stylesheet\" type=\"text/css\" />"},
        {"iframe", "<iframe></iframe>"},
        {"label", "<label></label>"},
        {"meta", "<meta />"},
        {"title", "<title></title>"},
        {"style", "<style type=\"text/css\"></style>"},
        {"script", "<script type=\"text/javascript\">\n<!--\n\n//-->\n</script>"},
        {"progress", "<progress></progress>"},
        {"h1", "<h1></h1>"},
        {"tbody", "<tbody></tbody>"},
        {"blink", "<blink />"},  // no class: a generic element
        {"DIV", "<DIV />"},      // case-sensitive
    };
    for (const auto& [tag, markup] : cases) {
        EXPECT_EQ(markupOf(*create(tag)), markup) << tag;
    }
}

TEST_F(TagFactory, EveryCreatorMakesAnHTMLElementNamedByItsTag) {
    EXPECT_EQ(table_.tagCreators.size(), 115u);
    for (const auto& [tag, creator] : table_.tagCreators) {
        std::unique_ptr<KrXMLComplexElement> element = creator("ignored");
        ASSERT_NE(element, nullptr) << tag;
        EXPECT_EQ(element->name(), tag);
        EXPECT_NE(dynamic_cast<KrHTML_BaseElement2*>(element.get()), nullptr) << tag;
        EXPECT_EQ(element->isLeaf(), table_.voidTags.count(tag) == 1) << tag;
    }
}

TEST_F(TagFactory, VoidTagsAreExactlyTheSixteen) {
    const std::set<std::string, std::less<>> expected = {
        "area", "base", "br",    "col", "frame", "hr",     "img",    "input",
        "link", "meta", "param", "wbr", "embed", "keygen", "source", "track"};
    EXPECT_EQ(table_.voidTags, expected);
    EXPECT_EQ(table_.voidTags.count("p"), 0u);

    kr::registerElementCreators(table_);
    EXPECT_EQ(table_.tagCreators.size(), 115u);
    EXPECT_EQ(table_.voidTags.size(), 16u);
}

TEST_F(TagFactory, GivesTheTagsClassOrAGenericBlockElement) {
    EXPECT_NE(dynamic_cast<KrHTML_div2*>(create("div").get()), nullptr);
    EXPECT_NE(dynamic_cast<KrHTML_input2*>(create("input").get()), nullptr);
    EXPECT_EQ(dynamic_cast<KrHTML_input2_hidden*>(create("input").get()), nullptr);
    EXPECT_NE(dynamic_cast<KrHTML_h12*>(create("h1").get()), nullptr);

    std::unique_ptr<KrXMLGenericElement> upper = create("DIV");
    EXPECT_EQ(dynamic_cast<KrHTML_BaseElement2*>(upper.get()), nullptr);
    EXPECT_EQ(upper->name(), "DIV");
    EXPECT_TRUE(upper->isBlock());
    EXPECT_FALSE(upper->hasAttribute("id"));

    std::unique_ptr<KrXMLGenericElement> iframe = create("iframe");
    KrXMLComplexElement::ElementList children;
    iframe->children(children);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_TRUE(children.front()->isText());
}

TEST_F(TagFactory, ACreatorThatMakesNoGenericElementFallsBack) {
    table_.tagCreators["odd"] = [](const std::string&) {
        return std::make_unique<KrXMLComplexElement>("other", false, false);
    };
    table_.tagCreators["none"] = [](const std::string&) {
        return std::unique_ptr<KrXMLComplexElement>();
    };
    EXPECT_EQ(markupOf(*create("odd")), "<odd />");
    EXPECT_EQ(markupOf(*create("none")), "<none />");
}

TEST_F(TagFactory, FactoryVoidElementsRefuseChildren) {
    for (const char* tag : {"br", "img", "input"}) {
        std::unique_ptr<KrXMLGenericElement> element = create(tag);
        try {
            element->addChild(std::make_unique<KrHTML_text2>("x"));
            ADD_FAILURE() << tag << " took a child";
        } catch (const KrException& e) {
            EXPECT_EQ(e.what(), std::string("child elements not allowed for ") + tag);
        }
    }
}

// The classes built with their own arguments.
TEST(HTMLTagConstructors, ApplyTheirArguments) {
    const std::pair<std::unique_ptr<KrXMLComplexElement>, const char*> cases[] = {
        {std::make_unique<KrHTML_a2>("", "go"), "<a href=\"\">go</a>"},
        {std::make_unique<KrHTML_a2>("/", ""), "<a href=\"/\"></a>"},
        {std::make_unique<KrHTML_div2>("x", true),
         "<div id=\"x\" onmousedown=\"nuxel_start_drag(this);\"></div>"},
        {std::make_unique<KrHTML_form2>("go", "get"), "<form action=\"go\" method=\"get\"></form>"},
        {std::make_unique<KrHTML_form2>("", ""), "<form></form>"},
        {std::make_unique<KrHTML_iframe2>("s", "1", "", "t"),
         "<iframe src=\"s\" width=\"1\">t</iframe>"},
        {std::make_unique<KrHTML_img2>("x.png", "", "X"), "<img src=\"x.png\" title=\"X\" />"},
        {std::make_unique<KrHTML_input2_hidden>("", "", ""),
         "<input name=\"\" type=\"hidden\" value=\"\" />"},
        {std::make_unique<KrHTML_input2_hidden>("i", "v", "n"),
         "<input id=\"i\" name=\"n\" type=\"hidden\" value=\"v\" />"},
        {std::make_unique<KrHTML_label2>("f", ""), "<label for=\"f\"></label>"},
        {std::make_unique<KrHTML_label2>("", "text"), "<label>text</label>"},
        {std::make_unique<KrHTML_link2>("s.css"),
         "<link href=\"s.css\" rel=\"stylesheet\" type=\"text/css\" />"},
        {std::make_unique<KrHTML_meta2>("charset=\"utf-8\""), "<meta charset=\"utf-8\" />"},
        {std::make_unique<KrHTML_option2>("1", "one", true),
         "<option selected=\"true\" value=\"1\">one</option>"},
        {std::make_unique<KrHTML_option2>("", "", false), "<option value=\"\"></option>"},
        {std::make_unique<KrHTML_select2>("s", "n"), "<select id=\"s\" name=\"n\"></select>"},
        {std::make_unique<KrHTML_title2>(""), "<title></title>"},
        {std::make_unique<KrHTML_title2>("T"), "<title>T</title>"},
    };
    for (const auto& [element, markup] : cases) {
        EXPECT_EQ(markupOf(*element), markup);
    }
}

TEST(HTMLTagConstructors, LabelAndIframeChildren) {
    KrXMLComplexElement::ElementList children;
    KrHTML_label2("f", "").children(children);
    EXPECT_TRUE(children.empty());
    KrHTML_iframe2("", "", "", "").children(children);
    EXPECT_EQ(children.size(), 1u);
}

TEST(HTMLTagConstructors, OwnAttributesAreRegisteredButUnset) {
    KrHTML_a2 a;
    EXPECT_TRUE(a.hasAttribute("href"));
    EXPECT_TRUE(a.hasAttribute("name"));
    EXPECT_EQ(markupOf(a), "<a></a>");
    a.setAttribute("name", "n");
    EXPECT_EQ(markupOf(a), "<a name=\"n\"></a>");

    KrHTML_option2 unselected("", "", false);
    EXPECT_FALSE(unselected.hasAttribute("selected"));
}

TEST(HTMLTagConstructors, ProgressHoldsNumbers) {
    KrHTML_progress2 progress;
    progress.setAttribute("value", "0.5");
    progress.setAttribute("max", "2");
    EXPECT_EQ(markupOf(progress), "<progress max=\"2\" value=\"0.5\"></progress>");
    progress.setAttributeText("max=\"lots\"");
    EXPECT_TRUE(progress.hasError());
    EXPECT_EQ(markupOf(progress), "<progress max=\"2\" value=\"0.5\"></progress>");
}

}  // namespace
