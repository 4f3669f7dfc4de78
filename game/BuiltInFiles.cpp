#include "game/BuiltInFiles.h"

#include "game/BuiltInImages.h"
#include "game/BuiltInTexts.h"

namespace kr {

namespace {

void add(KrPersistentAppStorage::BuiltInFiles& files, std::string_view name, std::uint32_t kind,
         std::string_view text) {
    const bool isBase64 = KrResourceRecord::isBinaryKind(kind);
    files.insert_or_assign(std::string(name), KrResourceRecord(name, kind, text, isBase64));
}

std::string joined(const std::array<std::string_view, 5>& pieces) {
    std::string text;
    for (std::string_view piece : pieces) {
        text += piece;
    }
    return text;
}

}  // namespace

KrPersistentAppStorage::BuiltInFiles fillBuiltInFiles() {
    KrPersistentAppStorage::BuiltInFiles files;
    add(files, "spiele.html", kBuiltInPageKind, builtin::kSpieleHtml);
    add(files, "spiele_post.html", kBuiltInPageKind, builtin::kSpielePostHtml);
    add(files, "spiele_widget.html", kBuiltInPageKind, builtin::kSpieleWidgetHtml);
    add(files, "spiele.css", kBuiltInStyleSheetKind, builtin::kSpieleCss);
    add(files, "leer.png", kBuiltInImageKind, builtin::kLeerPng);
    add(files, "kreuz.png", kBuiltInImageKind, builtin::kKreuzPng);
    add(files, "kreis.png", kBuiltInImageKind, builtin::kKreisPng);
    add(files, "favicon.ico", kBuiltInIconKind, joined(builtin::kFaviconIcoPieces));
    return files;
}

void setTemplateVariables(KrPersistentAppStorage& storage) {
    for (const TemplateVariable& variable : kTemplateVariables) {
        storage.setTemplateVariable(std::string(variable.name), std::string(variable.value));
    }
}

void initStorage(KrPersistentAppStorage& storage) {
    storage.setBuiltInFiles(fillBuiltInFiles());
    setTemplateVariables(storage);
}

}  // namespace kr
