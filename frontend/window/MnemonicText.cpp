#include "frontend/window/MnemonicText.h"

#include "foundation/Strings.h"

KrMnemonicText KrMnemonicText::parse(std::string_view marked) {
    KrMnemonicText text;
    for (std::size_t i = 0; i < marked.size(); ++i) {
        if (marked[i] == '&' && i + 1 < marked.size()) {
            ++i;
            if (marked[i] != '&' && text.underlined == kNone) {
                text.underlined = text.shown.size();
            }
        }
        text.shown.push_back(marked[i]);
    }
    return text;
}

bool KrMnemonicText::isChosenBy(std::string_view typed) const {
    return underlined != kNone && typed.size() == 1 &&
           kr::asciiLower(typed) == kr::asciiLower(std::string_view(shown).substr(underlined, 1));
}
