#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "Markup.h"
#include "document/html/KrStyleAttribute.h"
#include "foundation/KrException.h"

namespace {

TEST(StyleAttribute, ParsesDeclarationsAndWritesThemInNameOrder) {
    const std::pair<const char*, const char*> cases[] = {
        {"color: red; margin:0", "color: red;margin: 0;"},
        {"margin:0;color:red", "color: red;margin: 0;"},
        {"color:red;", "color: red;"},
        {"color:red;;width:1px", "color: red;width: 1px;"},
        {"  color  :  red  ", "color: red;"},
        {" ; ;", ""},
        {"", ""},
        {"color:red;color:blue", "color: blue;"},
        {"position:fixed; top:0; z-index:1000;", "position: fixed;top: 0;z-index: 1000;"},
    };
    for (const auto& [text, expected] : cases) {
        KrStyleAttribute style;
        style.assign(text);
        EXPECT_EQ(valueOf(style), expected) << "from '" << text << "'";
    }
}

TEST(StyleAttribute, AssignAddsAndReplacesButNeverClears) {
    KrStyleAttribute style;
    style.setFromText("color:red;width:1px");
    style.setFromText("color:blue");
    EXPECT_EQ(valueOf(style), "color: blue;width: 1px;");
}

TEST(StyleAttribute, DeclarationWithoutOrWithTwoColonsThrowsQuotingTheText) {
    const std::pair<const char*, const char*> cases[] = {
        {"color red", "style syntax wrong at: >color red< "},
        {"a:b:c", "style syntax wrong at: >a:b:c< "},
        {"width:1px;color", "style syntax wrong at: >width:1px;color< "},
        {"color:", "style syntax wrong at: >color:< "},  // an empty value is no second part
    };
    for (const auto& [text, message] : cases) {
        KrStyleAttribute style;
        try {
            style.assign(text);
            ADD_FAILURE() << "no throw for " << text;
        } catch (const KrException& e) {
            EXPECT_STREQ(e.what(), message);
        }
    }
    KrStyleAttribute partly;
    EXPECT_THROW(partly.assign("width:1px;color;top:0"), KrException);
    EXPECT_EQ(valueOf(partly), "width: 1px;");  // what came before the bad piece stays
}

TEST(StyleAttribute, PropertyMakesAnEmptyDeclarationThatCountsAsSet) {
    KrStyleAttribute style;
    EXPECT_FALSE(style.hasValue());
    KrCSSProperty* width = style.property("width");
    ASSERT_NE(width, nullptr);
    EXPECT_EQ(width->propertyName(), "width");
    EXPECT_EQ(style.property("width"), width);
    EXPECT_TRUE(style.hasValue());
    EXPECT_EQ(valueOf(style), "");
    width->setValue("2px");
    EXPECT_EQ(valueOf(style), "width: 2px;");
    EXPECT_THROW(style.property(""), KrException);
}

TEST(StyleAttribute, CStringSetsOnlyANonEmptyText) {
    KrStyleAttribute style;
    style.setFromCString("color:red");
    style.setFromCString("");
    style.setFromCString(nullptr);
    EXPECT_EQ(valueOf(style), "color: red;");
}

}  // namespace
