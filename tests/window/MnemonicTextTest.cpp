#include "frontend/window/MnemonicText.h"

#include <gtest/gtest.h>

namespace {

TEST(MnemonicText, TheAmpersandMarksTheLetterThatIsUnderlined) {
    const struct {
        const char* marked;
        const char* shown;
        std::size_t underlined;
    } cases[] = {
        {"&Datei", "Datei", 0},
        {"Sa&ve", "Save", 2},
        {"&Info...", "Info...", 0},
        {"&&Save", "&Save", KrMnemonicText::kNone},
        {"a&&b&c", "a&bc", 3},
        {"&a&b", "ab", 0},
        {"end&", "end&", KrMnemonicText::kNone},
        {"plain", "plain", KrMnemonicText::kNone},
        {"", "", KrMnemonicText::kNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.marked);
        const KrMnemonicText text = KrMnemonicText::parse(c.marked);
        EXPECT_EQ(text.shown, c.shown);
        EXPECT_EQ(text.underlined, c.underlined);
    }
}

TEST(MnemonicText, EitherCaseOfTheMarkedLetterChoosesIt) {
    const KrMnemonicText exit = KrMnemonicText::parse("&Beenden");
    EXPECT_TRUE(exit.isChosenBy("b"));
    EXPECT_TRUE(exit.isChosenBy("B"));
    for (const char* other : {"e", "n", "", "bb", "\r"}) {
        EXPECT_FALSE(exit.isChosenBy(other)) << other;
    }
    EXPECT_FALSE(KrMnemonicText::parse("&&B").isChosenBy("b"));
}

}  // namespace
