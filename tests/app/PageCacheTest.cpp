#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/KrPageCache.h"
#include "document/html/KrHTML_Document2.h"
#include "reader/MarkupReader.h"

namespace {

std::string markupOf(const KrHTML_Document2& document) {
    std::ostringstream out;
    document.write(out);
    return out.str();
}

// What reading the text into a fresh document gives.
std::string readFresh(const std::string& text) {
    KrHTML_Document2 document;
    kr::readHTMLString(text, document);
    return markupOf(document);
}

TEST(PageCache, GivesWhatReadingTheTextIntoAFreshDocumentGives) {
    const std::string texts[] = {
        "<!DOCTYPE html>\n<html><head><title>T</title></head><body><p id=\"x\">a</p></body></html>",
        "<html><body><style>p { color: red; }</style></body></html>",
        "",                                    // a reading error, shown in the page
        "<html>\n<body>\n<p>\n</div>",         // another one
        "<!DOCTYPE x><p>no html element</p>",  // the document keeps its own
    };
    KrPageCache cache;
    for (const std::string& text : texts) {
        for (int time = 0; time < 2; ++time) {
            EXPECT_EQ(markupOf(*cache.document(text)), readFresh(text)) << text << " #" << time;
        }
    }
}

TEST(PageCache, EveryDocumentIsItsOwn) {
    KrPageCache cache;
    const std::string text = "<html><body><p id=\"x\">a</p></body></html>";
    std::unique_ptr<KrHTML_Document2> first = cache.document(text);
    std::unique_ptr<KrHTML_Document2> second = cache.document(text);
    ASSERT_NE(first, second);
    first->findFirstChildWithAttribute("id", "x")->setAttribute("class", "changed");
    first->addDivToBody("more");
    EXPECT_EQ(markupOf(*second), readFresh(text));
    EXPECT_EQ(markupOf(*cache.document(text)), readFresh(text));
}

TEST(PageCache, MorePagesThanItKeepsAreStillRight) {
    KrPageCache cache;
    std::vector<std::string> texts;
    for (std::size_t page = 0; page < 2 * KrPageCache::kMaxPages + 1; ++page) {
        texts.push_back("<html><body><p>" + std::to_string(page) + "</p></body></html>");
    }
    for (int round = 0; round < 2; ++round) {
        for (const std::string& text : texts) {
            EXPECT_EQ(markupOf(*cache.document(text)), readFresh(text)) << text;
        }
    }
}

}  // namespace
