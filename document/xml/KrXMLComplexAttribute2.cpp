#include "document/xml/KrXMLComplexAttribute2.h"

#include <sstream>
#include <stdexcept>

#include "document/xml/MarkupOutput.h"
#include "foundation/Strings.h"

std::string KrXMLComplexAttribute2::valueText() const {
    std::ostringstream value;
    writeValue(value);
    return value.str();
}

void KrXMLGenericAttribute::setFromCString(const char* text) { text_ = text ? text : ""; }

void KrXMLStringKrAttribute::writeValue(std::ostream& out) const {
    if (set_) {
        kr::writeMarkup(out, text_);
    }
}

void KrXMLStringKrAttribute::setFromCString(const char* text) {
    set_ = text != nullptr;
    text_ = text ? text : "";
}

void KrXMLStringKrAttribute::setFromText(std::string_view text) {
    set_ = true;
    text_ = text;
}

void KrXMLDoubleKrAttribute::writeValue(std::ostream& out) const {
    if (set_) {
        out << value_;
    }
}

void KrXMLDoubleKrAttribute::setFromCString(const char* text) {
    set_ = text != nullptr;
    value_ = 0;
    if (text && *text) {
        try {
            value_ = std::stod(text);
        } catch (const std::logic_error&) {
            // Not a number: the value stays 0.
        }
    }
}

void KrXMLDoubleKrAttribute::setFromText(std::string_view text) {
    // Converted before anything is stored, so a text that is no number changes nothing.
    const double value = std::stod(std::string(text));
    value_ = value;
    set_ = true;
}

void KrXMLBoolKrAttribute::writeValue(std::ostream& out) const {
    if (set_) {
        kr::writeMarkup(out, value_ ? "true" : "false");
    }
}

void KrXMLBoolKrAttribute::setFromCString(const char* text) {
    set_ = text != nullptr;
    if (text && *text) {
        setFromText(text);
    }
}

void KrXMLBoolKrAttribute::setFromText(std::string_view text) {
    set_ = true;
    const std::string owned(text);
    try {
        value_ = std::stoll(owned, nullptr, 10) != 0;
        return;
    } catch (const std::logic_error&) {
        // No number at the start, or out of range: fall back to the word.
    }
    value_ = kr::asciiLower(owned) == "true";
}

void KrXMLBoolKrAttribute::set(bool value) {
    set_ = true;
    value_ = value;
}
