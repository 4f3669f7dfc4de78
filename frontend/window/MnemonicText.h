#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A menu text with its "&" mark, as the menu resources write it: "&Datei" shows "Datei" with
// the "D" underlined, and the key D chooses it (with Alt on the menu bar, alone inside an
// open menu). "&&" shows one "&"; the first marked letter counts.
struct KrMnemonicText {
    static constexpr std::size_t kNone = std::string::npos;

    std::string shown;
    std::size_t underlined = kNone;  // the marked letter's index in shown

    static KrMnemonicText parse(std::string_view marked);

    // Whether the text of a pressed key is the marked letter, in either case.
    bool isChosenBy(std::string_view typed) const;
};
