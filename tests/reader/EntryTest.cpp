#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "GamePage.h"
#include "ReaderTestSupport.h"
#include "document/html/html.h"
#include "reader/reader.h"

namespace {

struct XMLStreamCase {
    const char* input;
    const char* element;  // the markup of the element handed back; "" for none
    const char* error;    // the error text afterwards; it starts as "untouched"
};

TEST(ReadXMLStream, HandsBackTheFirstTopLevelElementOrTheError) {
    const XMLStreamCase cases[] = {
        {"", "", "untouched"},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n  \n", "", "untouched"},
        {"<?xml version=\"1.0\"?>\n<!-- settings -->\n<app name=\"game\">\n <window "
         "w=\"3\"/>\n</app>\n",
         "<app name=\"game\">\n <window w=\"3\" />\n</app>", "untouched"},
        {"<a>1</a><b>2</b>", "<a>1</a>", "untouched"},
        {"text before <a/>", "<a />", "untouched"},
        // No final line feed: the end of input ends the last token cleanly.
        {"<a x='1'>y</a>", "<a x=\"1\">y</a>", "untouched"},
        {"<a>\n</b>", "", "wrong closing tag '/b' instead '/a' around line 2"},
        {"<a>\n<b>\n</a>", "", "wrong closing tag '/a' instead '/b' around line 3"},
        {"<a>\n<", "", "reading error  around line 2"},
        // Cut off right after a tag name: the tag is unfinished, not malformed.
        {"<a>\n<b", "", "reading error  around line 2"},
        {"<a>\n</a", "", "reading error  around line 2"},
        {"<!DOCTYPE html>\n<a/>", "", "reading error  around line 1"},
        {"<a:b/>", "", "incomplete tag 'a' around line 1"},
        {"</a>", "", "wrong closing tag '/a' instead '/KrXMLContentSplitter::TOP' around line 1"},
        // An element still open at the end stays as it is.
        {"<a><b>x", "<a>\n<b>x</b>\n</a>", "untouched"},
    };
    for (const auto& [input, element, error] : cases) {
        std::istringstream in(input);
        std::string errorText = "untouched";
        std::unique_ptr<KrXMLGenericElement> read = kr::readXMLStream(in, "xml", errorText);
        EXPECT_EQ(read ? markupOf(*read) : "", element) << input;
        EXPECT_EQ(errorText, error) << input;
    }
}

TEST(ReadXMLStream, HandedBackElementHasNoParent) {
    std::istringstream in("<?xml version=\"1.0\"?>\n<root><child/></root>");
    std::string error;
    std::unique_ptr<KrXMLGenericElement> root = kr::readXMLStream(in, "xml", error);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->parent(), nullptr);
    EXPECT_EQ(root->name(), "root");
    // The tree below it is intact and its own.
    KrXMLGenericElement::GenericList children;
    root->genericChildren(children);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0]->parent(), root.get());
}

TEST(ReadXMLStream, ReadsAttributesIntoTheElement) {
    std::istringstream in("<project name=\"p1\" dir='/tmp/x' locked>\n</project>");
    std::string error;
    std::unique_ptr<KrXMLGenericElement> project = kr::readXMLStream(in, "xml", error);
    ASSERT_NE(project, nullptr);
    EXPECT_EQ(project->getAttribute("name", "?"), "p1");
    EXPECT_EQ(project->getAttribute("dir", "?"), "/tmp/x");
    EXPECT_EQ(project->getAttribute("locked", "?"), "true");
    EXPECT_EQ(error, "");
}

TEST(ReadXMLStream, GrammarNameMattersAndMustNotBeEmpty) {
    struct Case {
        const char* dtd;
        const char* error;
    };
    const Case cases[] = {
        {"", "DTD can't be empty around line 1"},
        {"nosuch", "DTD 'nosuch' not defined around line 1"},
    };
    for (const auto& [dtd, error] : cases) {
        std::istringstream in("<a/>");
        std::string errorText;
        EXPECT_EQ(kr::readXMLStream(in, dtd, errorText), nullptr) << dtd;
        EXPECT_EQ(errorText, error) << dtd;
    }
}

TEST(ReadXMLStream, StreamInErrorStateFromTheStartIsAnErrorInStream) {
    std::istringstream in("<a/>");
    in.setstate(std::ios::failbit);
    std::string error;
    EXPECT_EQ(kr::readXMLStream(in, "xml", error), nullptr);
    EXPECT_EQ(error, "error in stream around line 1");
}

}  // namespace

namespace {

// The page's markup, and what stands in the "pre" elements of its body.
std::string preTexts(KrHTML_Document2& document) {
    KrXMLComplexElement::ElementList pres;
    document.findChildren("pre", pres, -1);
    std::string texts;
    for (KrXMLComplexElement* pre : pres) {
        std::ostringstream text;
        pre->innerText(text);
        texts += text.str() + ";";
    }
    return texts;
}

const std::string kFreshPageWithError =
    "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\" />\n</head>\n<body>\n<pre>"
    "error in stream around line 1</pre>\n</body>\n</html>";

TEST(ReadHTMLString, EmptyTextKeepsTheFreshPageAndShowsTheErrorInItsBody) {
    KrHTML_Document2 document;
    EXPECT_TRUE(kr::readHTMLString("", document));
    EXPECT_EQ(markupOf(document), kFreshPageWithError);
    EXPECT_EQ(preTexts(document), "error in stream around line 1;");
}

TEST(ReadHTMLFile, MissingFileReadsLikeAnEmptyText) {
    KrHTML_Document2 document;
    EXPECT_TRUE(kr::readHTMLFile(testing::TempDir() + "no/such/page.html", document));
    EXPECT_EQ(markupOf(document), kFreshPageWithError);
}

TEST(ReadHTMLFile, DirectoryIsNoPageAndEndsAsAnError) {
    KrHTML_Document2 document;
    EXPECT_TRUE(kr::readHTMLFile(testing::TempDir(), document));
    EXPECT_NE(preTexts(document), "");
}

TEST(ReadHTMLString, PageReplacesTheDocumentsDoctypeAndHtmlElement) {
    struct Case {
        const char* page;
        const char* markup;
    };
    const Case cases[] = {
        {"<!DOCTYPE html>\n<html><body><p>x</p></body></html>",
         "<!DOCTYPE html>\n<html>\n<body>\n<p>x</p>\n</body>\n</html>"},
        {"<!DOCTYPE html5>\n<!-- c --><html></html>\ntext after",
         "<!DOCTYPE html5>\n<html></html>"},
        // Without a doctype the document keeps its own.
        {"<html><head><title>T</title></head></html>",
         "<!DOCTYPE html>\n<html>\n<head>\n<title>T</title>\n</head>\n</html>"},
        // Without an "html" element the document keeps its own, head and all.
        {"<!DOCTYPE x><p>stray</p>",
         "<!DOCTYPE x>\n<html>\n<head>\n<meta charset=\"utf-8\" />\n</head>\n</html>"},
    };
    for (const auto& [page, markup] : cases) {
        KrHTML_Document2 document;
        EXPECT_TRUE(kr::readHTMLString(page, document));
        EXPECT_EQ(markupOf(document), markup) << page;
    }
}

TEST(ReadHTMLString, PageWithoutDoctypeKeepsTheDocumentsOwnNode) {
    KrHTML_Document2 document;
    KrXMLComplexElement::ElementList before;
    document.children(before);
    kr::readHTMLString("<html></html>", document);
    KrXMLComplexElement::ElementList after;
    document.children(after);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], before[0]);
    EXPECT_NE(after[1], before[1]);
    EXPECT_EQ(after[1]->parent(), &document);
}

TEST(ReadHTMLString, ParseErrorLeavesTheDocumentAsItWasPlusAPreWithTheMessage) {
    struct Case {
        const char* page;
        const char* shown;
    };
    const Case cases[] = {
        {"<!DOCTYPE html>\n<html><body><p><br></p></body></html>",
         "wrong closing tag '/p' instead '/br' around line 2;"},
        {"<html>\n<body>\n<p>\n</div>", "wrong closing tag '/div' instead '/p' around line 4;"},
        {"<html><p class=x></html>", "reading error  around line 1;"},
        {"<html>\n</p >", "incomplete tag '/p' around line 2;"},
        {"<style>\np{color}</style>", "CSS property not well formed (missing ':'). around line 2;"},
        // The message may quote the page: it is shown as text, not as markup.
        {"<p style=\"a:b:<i>\">", "style syntax wrong at: &gt;a:b:&lt;i&gt;&lt;  around line 1;"},
    };
    for (const auto& [page, shown] : cases) {
        KrHTML_Document2 document;
        EXPECT_TRUE(kr::readHTMLString(page, document));
        EXPECT_EQ(preTexts(document), shown) << page;
        // Nothing of the failed parse reached the document.
        KrXMLComplexElement::ElementList paragraphs;
        document.findChildren("p", paragraphs, -1);
        EXPECT_TRUE(paragraphs.empty()) << page;
    }
}

// The game's pages, written to a file and read back from it and from their text.
class GamePageTest : public ::testing::Test {
protected:
    // comments: the page has one; the script element writes its body inside another.
    void expectWholePage(KrHTML_Document2& document, std::size_t comments = 1) {
        EXPECT_EQ(preTexts(document), "");
        auto count = [&document](const char* tag) {
            KrXMLComplexElement::ElementList found;
            document.findChildren(tag, found, -1);
            return found.size();
        };
        EXPECT_EQ(count("meta"), 3u);
        EXPECT_EQ(count("title"), 1u);
        EXPECT_EQ(count("link"), 1u);
        EXPECT_EQ(count("script"), 1u);
        EXPECT_EQ(count("cssrule"), 3u);
        EXPECT_EQ(count("cssmediaquery"), 1u);
        EXPECT_EQ(count("header"), 1u);
        EXPECT_EQ(count("nav"), 1u);
        EXPECT_EQ(count("section"), 1u);
        EXPECT_EQ(count("td"), 6u);
        EXPECT_EQ(count("img"), 6u);
        EXPECT_EQ(count("form"), 1u);
        EXPECT_EQ(count("input"), 3u);
        EXPECT_EQ(count("option"), 2u);
        EXPECT_EQ(count("a"), 3u);
        EXPECT_EQ(count("footer"), 1u);
        EXPECT_EQ(count("comment"), comments);

        KrXMLGenericElement* html = document.documentRoot();
        EXPECT_EQ(html->getAttribute("lang", "?"), "en");
        const std::string markup = markupOf(document);
        for (const char* piece : {
                 "<!DOCTYPE html>\n<html lang=\"en\">",
                 "<title>Tic-tac-toe</title>",
                 "<link href=\"spiele.css\" rel=\"stylesheet\" type=\"text/css\" />",
                 "body { background-color: #F0F0F0; }",
                 "@media print {\n      nav { display: none; }\n    }",
                 "<a href=\"?nuxelcommand=set&amp;field=0\">\n<img alt=\"\" src=\"leer.png\" "
                 "/>\n</a>",
                 "<option selected=\"true\" value=\"1\">easy</option>",
                 "<input disabled=\"true\" type=\"submit\" value=\"New game\" />",
                 "<p>&copy; Gridlo</p>",
             }) {
            EXPECT_NE(markup.find(piece), std::string::npos) << piece << "\nin\n" << markup;
        }
    }
};

TEST_F(GamePageTest, ReadsFromItsTextWithoutError) {
    KrHTML_Document2 document;
    kr::readHTMLString(kGamePage, document);
    expectWholePage(document);
}

TEST_F(GamePageTest, ReadsFromItsFileWithoutError) {
    const std::string path = testing::TempDir() + "gridlo_reader_game_page.html";
    std::ofstream(path, std::ios::binary) << kGamePage;
    KrHTML_Document2 document;
    kr::readHTMLFile(path, document);
    std::remove(path.c_str());
    expectWholePage(document);
}

TEST_F(GamePageTest, WrittenPageReadsAgainToTheSameStructure) {
    KrHTML_Document2 first;
    kr::readHTMLString(kGamePage, first);
    KrHTML_Document2 second;
    kr::readHTMLString(markupOf(first), second);
    expectWholePage(second, 2);
}

}  // namespace

namespace {

// Each call builds its own reader and grammars: pages read on several threads at once do
// not disturb each other.
TEST(MarkupReader, CallsOnSeveralThreadsAtOnceReadTheirOwnInputs) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 10;
    std::vector<int> clean(kThreads, 0);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &clean] {
                for (int round = 0; round < kRounds; ++round) {
                    KrHTML_Document2 document;
                    kr::readHTMLString(t % 2 ? kGamePage : "<p><br></p>", document);
                    std::istringstream in("<a><b/></a>");
                    std::string error;
                    const bool xmlRead = kr::readXMLStream(in, "xml", error) != nullptr;
                    const std::string expected =
                        t % 2 ? "" : "wrong closing tag '/p' instead '/br' around line 1;";
                    clean[t] += (preTexts(document) == expected && xmlRead) ? 1 : 0;
                }
            });
        }
    }
    EXPECT_EQ(clean, std::vector<int>(kThreads, kRounds));
}

}  // namespace
