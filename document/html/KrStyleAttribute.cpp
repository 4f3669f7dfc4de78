#include "document/html/KrStyleAttribute.h"

#include "foundation/KrException.h"
#include "foundation/Strings.h"

KrStyleAttribute::KrStyleAttribute(const KrStyleAttribute& other) : KrXMLComplexAttribute2(other) {
    for (const auto& [name, property] : other.properties_) {
        // A property has no children, and its class copies itself.
        properties_.emplace(name, static_cast<KrCSSProperty*>(property->copyTree().release()));
    }
}

void KrStyleAttribute::writeValue(std::ostream& out) const {
    for (const auto& [name, property] : properties_) {
        if (!property->valueEmpty()) {
            property->write(out);
        }
    }
}

void KrStyleAttribute::setFromCString(const char* text) {
    if (text && *text) {
        assign(text);
    }
}

void KrStyleAttribute::assign(std::string_view text) {
    for (const std::string& piece : kr::splitString(text, ";")) {
        const std::vector<std::string> parts = kr::splitString(kr::trim(piece, " "), ":");
        if (parts.empty()) {
            continue;
        }
        if (parts.size() != 2) {
            throw KrException("style syntax wrong at: >" + std::string(text) + "< ", 59, "src");
        }
        auto property = std::make_unique<KrCSSProperty>(
            kr::trim(parts[0], " ") + ":" + kr::trim(parts[1], " ") + ";", false);
        const std::string name = property->propertyName();
        properties_.insert_or_assign(name, std::move(property));
    }
}

KrCSSProperty* KrStyleAttribute::property(std::string_view name) {
    auto found = properties_.find(name);
    if (found == properties_.end()) {
        found = properties_.emplace(std::string(name), std::make_unique<KrCSSProperty>(name, true))
                    .first;
    }
    return found->second.get();
}
