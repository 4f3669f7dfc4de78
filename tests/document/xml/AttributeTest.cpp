#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Markup.h"
#include "document/xml/KrXMLComplexAttribute2.h"
#include "document/xml/KrXMLGenericElement.h"

namespace {

TEST(GenericAttribute, IsAlwaysWrittenWithItsText) {
    KrXMLGenericAttribute attribute("a\"<b");
    EXPECT_TRUE(attribute.hasValue());
    EXPECT_EQ(valueOf(attribute), "a\"<b");
    attribute.setFromCString(nullptr);
    EXPECT_TRUE(attribute.hasValue());
    EXPECT_EQ(valueOf(attribute), "");
}

TEST(StringAttribute, IsWrittenOnlyOnceSetEvenWhenEmpty) {
    KrXMLStringKrAttribute attribute;
    EXPECT_FALSE(attribute.hasValue());
    EXPECT_EQ(valueOf(attribute), "");
    attribute.setFromText("");
    EXPECT_TRUE(attribute.hasValue());
    EXPECT_EQ(valueOf(attribute), "");
    attribute.setFromText("x");
    EXPECT_EQ(attribute.get(), "x");
    attribute.setFromCString(nullptr);
    EXPECT_FALSE(attribute.hasValue());
    EXPECT_EQ(attribute.get(), "");
    attribute.setFromCString("text/css");
    EXPECT_EQ(valueOf(attribute), "text/css");
}

TEST(BoolAttribute, ConvertsNumbersFirstThenTheWordTrue) {
    const std::pair<const char*, const char*> cases[] = {
        {"1", "true"},
        {"7", "true"},
        {"-3", "true"},
        {"12abc", "true"},
        {" 1", "true"},
        {"+2", "true"},
        {"0", "false"},
        {"0x1", "false"},
        {"TRUE", "true"},
        {"true", "true"},
        {"False", "false"},
        {"yes", "false"},
        {"", "false"},
        {"true ", "false"},
        {"99999999999999999999", "false"},  // out of range: compared as a word
    };
    for (const auto& [text, expected] : cases) {
        KrXMLBoolKrAttribute attribute;
        attribute.setFromText(text);
        EXPECT_TRUE(attribute.hasValue()) << text;
        EXPECT_EQ(valueOf(attribute), expected) << "from '" << text << "'";
    }
}

TEST(BoolAttribute, CStringMarksSetAndKeepsTheValueForAnEmptyText) {
    KrXMLBoolKrAttribute attribute;
    EXPECT_EQ(valueOf(attribute), "");
    attribute.set(true);
    attribute.setFromCString("");
    EXPECT_EQ(valueOf(attribute), "true");
    attribute.setFromCString("0");
    EXPECT_EQ(valueOf(attribute), "false");
    attribute.setFromCString(nullptr);
    EXPECT_FALSE(attribute.hasValue());
}

TEST(DoubleAttribute, WritesTheStreamsDefaultFormat) {
    const std::pair<const char*, const char*> cases[] = {
        {"2.5", "2.5"}, {" 3", "3"}, {"1e3", "1000"}, {"0.1234567", "0.123457"}, {"7px", "7"},
    };
    for (const auto& [text, expected] : cases) {
        KrXMLDoubleKrAttribute attribute;
        attribute.setFromText(text);
        EXPECT_EQ(valueOf(attribute), expected) << "from '" << text << "'";
    }
}

TEST(DoubleAttribute, CStringGivesZeroForEmptyOrNonNumbers) {
    KrXMLDoubleKrAttribute attribute;
    EXPECT_FALSE(attribute.hasValue());
    attribute.setFromCString("");
    EXPECT_TRUE(attribute.hasValue());
    EXPECT_EQ(valueOf(attribute), "0");
    attribute.setFromCString("abc");
    EXPECT_EQ(valueOf(attribute), "0");
    attribute.setFromCString("4.5");
    EXPECT_EQ(valueOf(attribute), "4.5");
    attribute.setFromCString(nullptr);
    EXPECT_FALSE(attribute.hasValue());
}

TEST(DoubleAttribute, TextThatIsNoNumberThrowsAndChangesNothing) {
    KrXMLDoubleKrAttribute unset;
    EXPECT_THROW(unset.setFromText("abc"), std::invalid_argument);
    EXPECT_FALSE(unset.hasValue());

    KrXMLDoubleKrAttribute set;
    set.setFromText("2");
    EXPECT_THROW(set.setFromText("1e999"), std::out_of_range);
    EXPECT_EQ(valueOf(set), "2");
}

// The value is compared and taken as text without writing it; it must stay what is written.
TEST(AttributeValue, EveryKindComparesAndGivesWhatItWrites) {
    KrXMLStringKrAttribute target;
    target.setFromText("t");
    struct Case {
        const char* what;
        std::unique_ptr<KrXMLComplexAttribute2> attribute;
    };
    std::vector<Case> cases;
    cases.push_back({"plain", std::make_unique<KrXMLGenericAttribute>("v")});
    cases.push_back({"plain empty", std::make_unique<KrXMLGenericAttribute>()});
    cases.push_back({"text unset", std::make_unique<KrXMLStringKrAttribute>()});
    auto set = std::make_unique<KrXMLStringKrAttribute>();
    set->setFromText("");
    cases.push_back({"text set empty", std::move(set)});
    auto unset = std::make_unique<KrXMLStringKrAttribute>();
    unset->setFromText("was");
    unset->setFromCString(nullptr);
    cases.push_back({"text set, then unset", std::move(unset)});
    auto number = std::make_unique<KrXMLDoubleKrAttribute>();
    number->setFromText("0.5");
    cases.push_back({"number", std::move(number)});
    auto yes = std::make_unique<KrXMLBoolKrAttribute>();
    yes->set(true);
    cases.push_back({"bool", std::move(yes)});
    cases.push_back({"proxy", std::make_unique<KrXMLComplexAttributeProxy2>(target)});
    for (const Case& c : cases) {
        const std::string written = valueOf(*c.attribute);
        EXPECT_EQ(c.attribute->valueText(), written) << c.what;
        EXPECT_TRUE(c.attribute->valueEquals(written)) << c.what;
        EXPECT_FALSE(c.attribute->valueEquals(written + "x")) << c.what;
        EXPECT_EQ(c.attribute->valueEquals(""), written.empty()) << c.what;
    }
}

TEST(AttributeProxy, ForwardsEveryOperationToItsTarget) {
    KrXMLStringKrAttribute target;
    KrXMLComplexAttributeProxy2 proxy(target);
    EXPECT_FALSE(proxy.hasValue());
    proxy.setFromText("v");
    EXPECT_EQ(target.get(), "v");
    EXPECT_EQ(valueOf(proxy), "v");
    proxy.setFromCString(nullptr);
    EXPECT_FALSE(target.hasValue());
}

// An element with a member attribute, like the HTML elements.
class ElementWithMember : public KrXMLGenericElement {
public:
    ElementWithMember() : KrXMLGenericElement("e", false) { registerAttribute("src", src_); }
    KrXMLStringKrAttribute src_;
};

TEST(RegisterAttribute, ReachesTheMemberThroughTheMap) {
    auto element = std::make_unique<ElementWithMember>();
    EXPECT_TRUE(element->hasAttribute("src"));
    EXPECT_EQ(element->getAttribute("src", "none"), "");
    element->setAttribute("src", "a.png");
    EXPECT_EQ(element->src_.get(), "a.png");
    // Deleting the element deletes the proxy but not its target a second time (ASan).
    element.reset();
}

TEST(RegisterAttribute, ANameTwiceThrowsTheIntegerTwoAndFreesTheObject) {
    ElementWithMember element;
    try {
        element.registerAttribute("src", element.src_);
        FAIL() << "no throw";
    } catch (int code) {
        EXPECT_EQ(code, 2);
    }
    EXPECT_THROW(element.insertAttribute("src", std::make_unique<KrXMLGenericAttribute>("x")), int);
    EXPECT_EQ(element.getAttribute("src", "none"), "");
}

}  // namespace
