#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "reader/KrDTDElementRead.h"

// The token readers of the style-sheet grammars "css" and "cssRule".

// A run of whitespace between CSS tokens ("css_a_whitespace").
class KrDTDElementRead_WhitespaceCSS : public KrDTDElementRead_WhitespaceText {
public:
    KrDTDElementRead_WhitespaceCSS() : KrDTDElementRead_WhitespaceText("css_a_whitespace") {}

    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_WhitespaceCSS>();
    }
};

// The "<!--" that old pages put in front of a style sheet ("css_aa_whitespace").
class KrDTDElementRead_WhitespaceCSSHTMLComment : public KrDTDElementRead {
public:
    KrDTDElementRead_WhitespaceCSSHTMLComment() : KrDTDElementRead("css_aa_whitespace") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override {
        return readLiteral(source, "<!--");
    }
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_WhitespaceCSSHTMLComment>();
    }
};

// The "-->" after such a style sheet; it closes the current parent ("css_aaa_whitespace").
class KrDTDElementRead_WhitespaceCSSHTMLCommentCloser : public KrDTDElementRead {
public:
    KrDTDElementRead_WhitespaceCSSHTMLCommentCloser() : KrDTDElementRead("css_aaa_whitespace") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override {
        return readLiteral(source, "-->");
    }
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_WhitespaceCSSHTMLCommentCloser>();
    }
    bool isCloser() const override { return true; }
};

// The "}" that ends a rule or a media query ("css_b_closer").
class KrDTDElementRead_CloserCSS : public KrDTDElementRead {
public:
    KrDTDElementRead_CloserCSS() : KrDTDElementRead("css_b_closer") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override { return readLiteral(source, "}"); }
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_CloserCSS>();
    }
    bool isCloser() const override { return !text().empty() && text().front() == '}'; }
};

// "/*" to "*/"; the token is the whole comment ("css_c_comment").
class KrDTDElementRead_CommentCSS : public KrDTDElementRead {
public:
    KrDTDElementRead_CommentCSS() : KrDTDElementRead("css_c_comment") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override;
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_CommentCSS>();
    }
};

// "@" up to the "{" that opens the block, which is taken and not kept
// ("css_d_mediaquery").
class KrDTDElementRead_MediaQueryCSS : public KrDTDElementRead {
public:
    KrDTDElementRead_MediaQueryCSS() : KrDTDElementRead("css_d_mediaquery") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override;
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_MediaQueryCSS>();
    }
};

// A selector, from a letter, "_", "#", "*" or "." up to the "{" that opens the rule, which
// is taken and not kept; blanks and line breaks stay in the selector ("css_e_rule").
class KrDTDElementRead_RuleCSS : public KrDTDElementRead {
public:
    KrDTDElementRead_RuleCSS() : KrDTDElementRead("css_e_rule") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override;
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_RuleCSS>();
    }
};

// A declaration, from a letter or "_" up to ";" (taken and kept) or "}" (left for the
// closer, with the blanks and line breaks before it) ("css_f_property").
class KrDTDElementRead_PropertyCSS : public KrDTDElementRead {
public:
    KrDTDElementRead_PropertyCSS() : KrDTDElementRead("css_f_property") {}

    KrDTDElementRead* read(KrDTDElementReader& source) override;
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<KrDTDElementRead_PropertyCSS>();
    }
};
