#include "game/BuiltInFiles.h"

#include "game/BuiltInImages.h"
#include "game/BuiltInTexts.h"

namespace kr {

namespace {

// Binary kinds are embedded as Base64 text.
KrResourceRecord record(std::string_view name, std::uint32_t kind, std::string_view text) {
    return KrResourceRecord(name, kind, text, KrResourceRecord::isBinaryKind(kind));
}

void add(KrPersistentAppStorage::BuiltInFiles& files, KrResourceRecord file) {
    std::string name = file.name();
    files.insert_or_assign(std::move(name), std::move(file));
}

void add(KrPersistentAppStorage::BuiltInFiles& files, std::string_view name, std::uint32_t kind,
         std::string_view text) {
    add(files, record(name, kind, text));
}

std::string joined(const std::array<std::string_view, 5>& pieces) {
    std::string text;
    for (std::string_view piece : pieces) {
        text += piece;
    }
    return text;
}

}  // namespace

KrResourceRecord builtInIcon() {
    return record("favicon.ico", kBuiltInIconKind, joined(builtin::kFaviconIcoPieces));
}

KrPersistentAppStorage::BuiltInFiles fillBuiltInFiles() {
    KrPersistentAppStorage::BuiltInFiles files;
    add(files, "spiele.html", kBuiltInPageKind, builtin::kSpieleHtml);
    add(files, "spiele_post.html", kBuiltInPageKind, builtin::kSpielePostHtml);
    add(files, "spiele_widget.html", kBuiltInPageKind, builtin::kSpieleWidgetHtml);
    add(files, "spiele.css", kBuiltInStyleSheetKind, builtin::kSpieleCss);
    add(files, "leer.png", kBuiltInImageKind, builtin::kLeerPng);
    add(files, "kreuz.png", kBuiltInImageKind, builtin::kKreuzPng);
    add(files, "kreis.png", kBuiltInImageKind, builtin::kKreisPng);
    add(files, builtInIcon());
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
