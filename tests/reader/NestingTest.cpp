#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "ReaderTestSupport.h"
#include "document/html/html.h"
#include "reader/KrXMLContentSplitter.h"
#include "reader/reader.h"

namespace {

constexpr int kLimit = KrXMLContentSplitter::kMaxNesting;
const std::string kTooDeep = "elements nested deeper than 512 levels around line 1";

// levels elements of the tag, each inside the one before, with inner in the innermost.
std::string nested(std::string_view tag, int levels, std::string_view inner = "") {
    std::string text;
    for (int level = 0; level < levels; ++level) {
        text.append("<").append(tag).append(">");
    }
    text += inner;
    for (int level = 0; level < levels; ++level) {
        text.append("</").append(tag).append(">");
    }
    return text;
}

std::string repeated(std::string_view text, int times) {
    std::string result;
    for (int time = 0; time < times; ++time) {
        result += text;
    }
    return result;
}

TEST(Nesting, ReaderTakesTheLimitAndRefusesOneLevelMore) {
    struct Case {
        std::string input;
        const char* dtd;
        std::string error;
    };
    const Case cases[] = {
        {nested("a", kLimit), "xml", ""},
        {nested("a", kLimit + 1), "xml", kTooDeep},
        {"\n" + nested("a", kLimit + 1), "xml",
         "elements nested deeper than 512 levels around line 2"},
        // Nodes that open nothing may stand inside the innermost element.
        {nested("a", kLimit, "<b/>text<!-- c --><?p?>"), "xml", ""},
        // Closing counts back down.
        {nested("a", kLimit) + nested("a", kLimit), "xml", ""},
        {nested("div", kLimit), "html", ""},
        {nested("div", kLimit + 1), "html", kTooDeep},
        // A void element is opened and closed by the next token: it leaves nothing open.
        {nested("div", kLimit - 1, repeated("<br>", 2 * kLimit) + "x"), "html", ""},
        // The nodes of a style sheet count like elements.
        {nested("div", kLimit - 2, "<style>p{color:red}</style>"), "html", ""},
        {nested("div", kLimit - 1, "<style>p{color:red}</style>"), "html", kTooDeep},
    };
    for (const auto& [input, dtd, error] : cases) {
        const ParseOutcome outcome = parseText(input, dtd);
        EXPECT_EQ(outcome.error, error) << dtd << " on " << input.substr(0, 80);
    }
}

TEST(Nesting, TooDeepAnXMLStreamIsAFailureWithItsText) {
    std::istringstream in(nested("a", kLimit + 1));
    std::string error = "untouched";
    EXPECT_EQ(kr::readXMLStream(in, "xml", error), nullptr);
    EXPECT_EQ(error, kTooDeep);
}

TEST(Nesting, TooDeepAPageIsShownAsItsErrorAndWritesSafely) {
    // 100 000 levels, 500 KB of text: deep enough to exhaust the stack of any writer that
    // recurses once per level.
    KrHTML_Document2 document;
    EXPECT_TRUE(kr::readHTMLString(nested("div", 100'000), document));
    EXPECT_EQ(
        markupOf(document),
        "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\" />\n</head>\n<body>\n<pre>" +
            kTooDeep + "</pre>\n</body>\n</html>");
}

// The innermost element of a tree whose elements hold one child each.
KrXMLComplexElement* innermost(KrXMLComplexElement& root, int& levels) {
    KrXMLComplexElement* element = &root;
    levels = 1;
    while (KrXMLComplexElement* child = element->firstElementChild(true)) {
        element = child;
        ++levels;
    }
    return element;
}

TEST(Nesting, ATreeJoinedFromReadPiecesGoesAtAnyDepth) {
    constexpr int kPieces = 2000;
    constexpr int kPieceLevels = 500;
    const std::string piece = nested("a", kPieceLevels);
    std::unique_ptr<KrXMLGenericElement> root;
    KrXMLComplexElement* end = nullptr;
    for (int count = 0; count < kPieces; ++count) {
        std::istringstream in(piece);
        std::string error;
        std::unique_ptr<KrXMLGenericElement> read = kr::readXMLStream(in, "xml", error);
        ASSERT_NE(read, nullptr) << error;
        int levels = 0;
        KrXMLComplexElement* readEnd = innermost(*read, levels);
        ASSERT_EQ(levels, kPieceLevels);
        if (root) {
            end->addChild(std::move(read));
        } else {
            root = std::move(read);
        }
        end = readEnd;
    }
    int levels = 0;
    EXPECT_EQ(innermost(*root, levels), end);
    EXPECT_EQ(levels, kPieces * kPieceLevels);
    root.reset();
}

}  // namespace
