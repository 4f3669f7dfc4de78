#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "document/xml/MarkupOutput.h"

// The attribute kinds of a KrXMLGenericElement. Each knows whether it is written with a
// value, how to write that value and how to take a value from text, and how to copy
// itself. Plain attributes read from markup are KrXMLGenericAttribute; HTML elements store
// typed attributes of their own under their names.
class KrXMLComplexAttribute2 {
public:
    KrXMLComplexAttribute2() = default;
    KrXMLComplexAttribute2& operator=(const KrXMLComplexAttribute2&) = delete;
    virtual ~KrXMLComplexAttribute2() = default;

    // A copy of the same class, for an element that gets attributes of its own.
    virtual std::unique_ptr<KrXMLComplexAttribute2> clone() const = 0;

    // Whether the attribute is written with a value; an attribute without one is left out.
    virtual bool hasValue() const { return true; }
    virtual void writeValue(std::ostream& /*out*/) const {}
    // What writeValue writes, as a text.
    virtual std::string valueText() const;
    // Whether writeValue writes exactly that text. Pages look their elements up by attribute
    // values on every request, so the text kinds compare without writing.
    virtual bool valueEquals(std::string_view value) const { return valueText() == value; }
    // Takes a value from a zero-terminated text; null stands for "no value".
    virtual void setFromCString(const char* /*text*/) {}
    virtual void setFromText(std::string_view /*text*/) {}

protected:
    KrXMLComplexAttribute2(const KrXMLComplexAttribute2&) = default;
};

// A plain text attribute, always written.
class KrXMLGenericAttribute : public KrXMLComplexAttribute2 {
public:
    explicit KrXMLGenericAttribute(std::string_view text = {}) : text_(text) {}

    std::unique_ptr<KrXMLComplexAttribute2> clone() const override {
        return std::make_unique<KrXMLGenericAttribute>(*this);
    }

    void writeValue(std::ostream& out) const override { kr::writeMarkup(out, text_); }
    std::string valueText() const override { return text_; }
    bool valueEquals(std::string_view value) const override { return text_ == value; }
    void setFromCString(const char* text) override;
    void setFromText(std::string_view text) override { text_ = text; }

private:
    std::string text_;
};

// A text attribute that is written only once it has been set.
class KrXMLStringKrAttribute : public KrXMLComplexAttribute2 {
public:
    std::unique_ptr<KrXMLComplexAttribute2> clone() const override {
        return std::make_unique<KrXMLStringKrAttribute>(*this);
    }
    bool hasValue() const override { return set_; }
    void writeValue(std::ostream& out) const override;
    std::string valueText() const override { return set_ ? text_ : std::string(); }
    bool valueEquals(std::string_view value) const override {
        return set_ ? text_ == value : value.empty();
    }
    void setFromCString(const char* text) override;
    void setFromText(std::string_view text) override;
    virtual const std::string& get() const { return text_; }

private:
    std::string text_;
    bool set_ = false;
};

// A number attribute, written in the stream's default number format once set.
class KrXMLDoubleKrAttribute : public KrXMLComplexAttribute2 {
public:
    std::unique_ptr<KrXMLComplexAttribute2> clone() const override {
        return std::make_unique<KrXMLDoubleKrAttribute>(*this);
    }
    bool hasValue() const override { return set_; }
    void writeValue(std::ostream& out) const override;
    // A text that does not convert leaves the empty text's value 0.
    void setFromCString(const char* text) override;
    // Throws std::invalid_argument or std::out_of_range for a text that does not convert,
    // and then leaves the attribute as it was.
    void setFromText(std::string_view text) override;

private:
    double value_ = 0;
    bool set_ = false;
};

// A yes/no attribute, written as "true" or "false" once set. A text converts as a base-10
// number (not 0 is true); a text that does not start with one is true when it reads "true"
// in any case.
class KrXMLBoolKrAttribute : public KrXMLComplexAttribute2 {
public:
    std::unique_ptr<KrXMLComplexAttribute2> clone() const override {
        return std::make_unique<KrXMLBoolKrAttribute>(*this);
    }
    bool hasValue() const override { return set_; }
    void writeValue(std::ostream& out) const override;
    // An empty text marks the attribute set and keeps its value.
    void setFromCString(const char* text) override;
    void setFromText(std::string_view text) override;
    void set(bool value);

private:
    bool value_ = false;
    bool set_ = false;
};

// Stands in an attribute map for an attribute object held elsewhere (a member of the same
// element), forwarding every operation to it. Deleting the proxy leaves the target alone;
// a copy forwards to the same target.
class KrXMLComplexAttributeProxy2 : public KrXMLComplexAttribute2 {
public:
    explicit KrXMLComplexAttributeProxy2(KrXMLComplexAttribute2& target) : target_(target) {}

    std::unique_ptr<KrXMLComplexAttribute2> clone() const override {
        return std::make_unique<KrXMLComplexAttributeProxy2>(*this);
    }

    bool hasValue() const override { return target_.hasValue(); }
    void writeValue(std::ostream& out) const override { target_.writeValue(out); }
    std::string valueText() const override { return target_.valueText(); }
    bool valueEquals(std::string_view value) const override { return target_.valueEquals(value); }
    void setFromCString(const char* text) override { target_.setFromCString(text); }
    void setFromText(std::string_view text) override { target_.setFromText(text); }

private:
    KrXMLComplexAttribute2& target_;
};
