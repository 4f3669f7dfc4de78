#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/KrResourceRecord.h"
#include "foundation/Version.h"
#include "storage/KrPersistentAppStorage.h"

// The files built into the game (its three pages, the style sheet, the cell images and the
// browser icon) and the template variables that its texts use.
namespace kr {

// Kinds of built-in files: text kinds are template-expanded before use, binary kinds are
// decoded from Base64 when their record is built.
inline constexpr std::uint32_t kBuiltInPageKind = 1;
inline constexpr std::uint32_t kBuiltInStyleSheetKind = 3;
inline constexpr std::uint32_t kBuiltInImageKind = 4;
inline constexpr std::uint32_t kBuiltInIconKind = 6;

struct TemplateVariable {
    std::string_view name;
    std::string_view value;
};

// The template variables in the order in which they are set. The pages write
// "[[NUXELFRAMEWORK]]" into their description and the style sheet
// "[[body:background-color]]" into its body rule; the others serve the footer.
inline constexpr std::array<TemplateVariable, 7> kTemplateVariables{{
    {"NUXELRELEASENUMBER", kReleaseNumber},
    {"NUXELFRAMEWORK_MAJOR", kFrameworkMajor},
    {"NUXELFRAMEWORK_MINOR", kFrameworkMinor},
    {"NUXELFRAMEWORK", kFrameworkVersion},
    {"FESKOVERSION", kApplicationVersion},
    {"NUXELSHORTCOPYRIGHTYY", "2026"},
    {"body:background-color", "#F0F0F0"},
}};

// The browser icon, favicon.ico (a 64 and a 32 pixel image), decoded from its embedded
// text. The windowed program's windows show the same icon.
KrResourceRecord builtInIcon();

// The eight built-in files by name.
KrPersistentAppStorage::BuiltInFiles fillBuiltInFiles();

// Sets the seven template variables in the storage, in their order.
void setTemplateVariables(KrPersistentAppStorage& storage);

// The game's storage initialiser, run once by the application host before the
// application exists: the built-in files, then the template variables.
void initStorage(KrPersistentAppStorage& storage);

}  // namespace kr
