#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ReaderTestSupport.h"
#include "document/xml/xml.h"
#include "reader/KrDTDElementReader.h"
#include "reader/KrXMLContentSplitter.h"
#include "reader/ReadTransaction.h"

namespace {

struct TextCase {
    const char* input;
    const char* markup;
    const char* error;
};

void expectOutcomes(std::string_view dtd, std::initializer_list<TextCase> cases) {
    for (const auto& [input, markup, error] : cases) {
        const ParseOutcome outcome = parseText(input, dtd);
        EXPECT_EQ(outcome.error, error) << dtd << " on " << input;
        if (outcome.error.empty()) {
            EXPECT_EQ(outcome.markup, markup) << dtd << " on " << input;
        }
    }
}

TEST(Splitter, ReadsXMLIntoGenericNodes) {
    expectOutcomes("xml", {
                              {"a b", "a b", ""},
                              {"<a><!-- c --><?pi x?>t</a>", "<a><!-- c --><?pi x?>t</a>", ""},
                              {"<?xml version=\"1.0\"?>\n<a x=\"1\" y='2' z/>",
                               "<?xml version=\"1.0\"?>\n<a x=\"1\" y=\"2\" z=\"true\" />", ""},
                              {"<a>\n  <b>text</b>\n</a>", "<a>\n  <b>text</b>\n</a>", ""},
                              {"<a/><b></b>", "<a /><b />", ""},
                              {"x&amp;y &lt;", "x&amp;y &lt;", ""},
                              {"<a><b>open", "<a>\n<b>open</b>\n</a>", ""},
                              {"caf\xC3\xA9 <p>\xC3\xA9</p>", "caf\xC3\xA9 <p>\xC3\xA9</p>", ""},
                          });
}

TEST(Splitter, ReportsXMLErrorsWithTheirLine) {
    expectOutcomes(
        "xml", {
                   {"", "", "error in stream around line 1"},
                   {"<p class=x>", "", "reading error  around line 1"},
                   {"<!DOCTYPE html>", "", "reading error  around line 1"},
                   {"a\nb\n<", "", "reading error  around line 3"},
                   {"a < b", "", "reading error  around line 1"},
                   {"</p >", "", "incomplete tag '/p' around line 1"},
                   {"\n\n<a:b/>", "", "incomplete tag 'a' around line 3"},
                   {"<a>\n</b>", "", "wrong closing tag '/b' instead '/a' around line 2"},
                   {"</a>", "",
                    "wrong closing tag '/a' instead '/KrXMLContentSplitter::TOP' around line 1"},
                   {"<a><!-- open</a>", "", "reading error  around line 1"},
                   {"<a>\r\n\r\n<?pi", "", "reading error  around line 3"},
               });
}

TEST(Splitter, ReadsHTMLIntoTagClassesWithVoidElementsAndStyleSheets) {
    expectOutcomes(
        "html",
        {
            {"<!DOCTYPE html>", "<!DOCTYPE html>\n", ""},
            {"<!-- a -->", "<!-- a -->", ""},
            {"<br>text", "<br />text", ""},
            {"<input disabled>", "<input disabled=\"true\" />", ""},
            {"<p><br>text</p>", "<p>\n<br />text</p>", ""},
            {"<p><br/></p>", "<p>\n<br />\n</p>", ""},
            {"<p><br></br></p>", "<p>\n<br />\n</p>", ""},
            {"<p>a<br>\n<img src=\"i.png\"> </p>", "<p>a<br />\n<img src=\"i.png\" /> </p>", ""},
            // Any token but a closer ends an open void element, a tag as well.
            {"<br><br>", "<br /><br />", ""},
            {"<td><img src=\"x\"><img src=\"o\"/></td>",
             "<td>\n<img src=\"x\" />\n<img src=\"o\" />\n</td>", ""},
            {"<p style=\"color:red\">x</p>", "<p style=\"color: red;\">x</p>", ""},
            {"<blink a='1'>x</blink>", "<blink a=\"1\">x</blink>", ""},
            {"<style>p{color:red}</style>", "<style type=\"text/css\">p{color: red;}</style>", ""},
            {"<style>\n p { color: red; }\n @media print {\n  p { margin: 0; }\n }\n</style>",
             "<style type=\"text/css\">\n p { color: red; }\n @media print {\n  p { margin: 0; }\n "
             "}\n</style>",
             ""},
            {"<style>/* c */h1,h2{/* d */margin:0}</style>",
             "<style type=\"text/css\">/* c */h1,h2{/* d */margin: 0;}</style>", ""},
            {"<style><!-- --></style>", "<style type=\"text/css\"><!-- --></style>", ""},
            {"<style>p{color:red}</style><p>x</p>",
             "<style type=\"text/css\">p{color: red;}</style><p>x</p>", ""},
        });
}

TEST(Splitter, ReportsHTMLAndCSSErrorsWithTheirLine) {
    expectOutcomes(
        "html",
        {
            {"<p><br></p>", "", "wrong closing tag '/p' instead '/br' around line 1"},
            {"<p>\n<img src='a'></p>", "", "wrong closing tag '/p' instead '/img' around line 2"},
            {"<div>\n<p>\n</div>", "", "wrong closing tag '/div' instead '/p' around line 3"},
            {"<style>p{color}</style>", "",
             "CSS property not well formed (missing ':'). around line 1"},
            {"<style>\n<b></style>", "", "must be an CSS element around line 2"},
            {"<style><!--p{}--></style>", "", "child must be text around line 1"},
            {"<style>}</style>", "",
             "wrong closing tag '/style' instead '/KrXMLContentSplitter::TOP' around line 1"},
            {"<style>p{color:red</style>", "", "reading error  around line 1"},
            {"<progress value=\"abc\">", "",
             "element type 'xmlelement' not defined in DTD around line 1"},
            {"<p style=\"a:b:c\">", "", "style syntax wrong at: >a:b:c<  around line 1"},
            {"<br>\n<br/>x</br>", "",
             "wrong closing tag '/br' instead '/KrXMLContentSplitter::TOP' around line 2"},
        });
}

TEST(Splitter, StyleSwitchesToCSSAndBackToHTML) {
    KrDTDElementReaderString source("<style>p{color:red}</style><p>y</p>");
    KrXMLGenericElement* root = source.splitter().split(source, "html");
    KrXMLComplexElement::ElementList top;
    root->children(top);
    ASSERT_EQ(top.size(), 2u);
    KrXMLComplexElement::ElementList sheet;
    top[0]->children(sheet);
    ASSERT_EQ(sheet.size(), 1u);
    EXPECT_EQ(sheet[0]->name(), "cssrule");
    KrXMLComplexElement::ElementList rule;
    sheet[0]->children(rule);
    ASSERT_EQ(rule.size(), 1u);
    EXPECT_EQ(rule[0]->name(), "cssproperty");
    // Back in "html": the text after the sheet is an HTML text node.
    KrXMLComplexElement::ElementList paragraph;
    top[1]->children(paragraph);
    ASSERT_EQ(paragraph.size(), 1u);
    EXPECT_TRUE(paragraph[0]->isText());
}

TEST(Splitter, ReadsStyleSheetsInTheCSSGrammar) {
    expectOutcomes("css",
                   {
                       {"p{color:red}", "p{color: red;}", ""},
                       {"@media screen{p{margin:0}}", "@media screen{p{margin: 0;}}", ""},
                       {"<!--\n/* c */\n-->", "<!--\n/* c */\n-->", ""},
                       {"<!--p{}-->", "", "child must be text around line 1"},
                       {"<b>x", "", "reading error  around line 1"},
                       {"<b>", "<b />", ""},
                       {"p{a:1}\n}", "",
                        "wrong closing tag '}' instead '/KrXMLContentSplitter::TOP' around line 2"},
                   });
}

TEST(Splitter, TwoWordsAndABlankAreThreeNodes) {
    KrDTDElementReaderString source("a b");
    KrXMLComplexElement::ElementList nodes;
    source.splitter().split(source, "xml")->children(nodes);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0]->name(), "xmltext");
    EXPECT_EQ(nodes[1]->name(), "xmlwhitespace");
    EXPECT_EQ(nodes[2]->name(), "xmltext");
}

TEST(Splitter, EmptyStreamGivesARootWithoutChildren) {
    std::istringstream in("");
    KrDTDElementReaderStream source(in);
    KrXMLComplexElement::ElementList nodes;
    source.splitter().split(source, "xml")->children(nodes);
    EXPECT_TRUE(nodes.empty());
}

TEST(Splitter, TextWithoutFinalLineFeedReadsCleanlyWithoutAStrayEndByte) {
    const std::pair<const char*, const char*> cases[] = {
        {"xml", "<a>x</a>"}, {"xml", "tail"},      {"xml", "<a/> "},
        {"html", "<br>"},    {"html", "<p>x</p>"}, {"css", "p{a:1}"},
        {"css", "/* c */"},  {"xml", "<!--c-->"},  {"xml", "<?pi?>"},
    };
    for (const auto& [dtd, text] : cases) {
        for (const bool fromStream : {false, true}) {
            std::istringstream in(text);
            KrDTDElementReaderStream streamSource(in);
            KrDTDElementReaderString stringSource(text);
            KrDTDElementReader& source =
                fromStream ? static_cast<KrDTDElementReader&>(streamSource) : stringSource;
            testing::internal::CaptureStderr();
            std::string markup;
            try {
                markup = childrenMarkup(*source.splitter().split(source, dtd));
            } catch (const KrException& failure) {
                ADD_FAILURE() << text << ": " << failure.what();
            }
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << text;
            EXPECT_EQ(markup.find('\xFF'), std::string::npos) << text;
            EXPECT_TRUE(source.pushBackUsedUp()) << text;
        }
    }
}

TEST(Splitter, ContentModelLimitsTheReadersUnderAParentOfThatName) {
    const std::pair<const char*, const char*> cases[] = {
        {"<list><item/> <item/></list>", ""},
        {"<list>x</list>", "reading error  around line 1"},
        {"<other>x</other>", ""},
    };
    for (const auto& [input, error] : cases) {
        KrDTDElementReaderString source(input);
        source.dtds().at("xml").addContentModel("list", {"xmlelement", "xmlwhitespace"});
        std::string errorText;
        try {
            source.splitter().split(source, "xml");
        } catch (const KrException& failure) {
            errorText = failure.what();
        }
        EXPECT_EQ(errorText, error) << input;
    }
}

// Test readers for the loop's own guarantees.
class ScriptedReader : public KrDTDElementRead {
public:
    enum class Kind { claimsWithoutReading, leavesStateBehind, throwsOther };
    ScriptedReader(Kind kind, int& dirtyStarts)
        : KrDTDElementRead("a_scripted"), kind_(kind), dirtyStarts_(dirtyStarts) {}

    KrDTDElementRead* read(KrDTDElementReader&) override {
        switch (kind_) {
            case Kind::claimsWithoutReading: return this;
            case Kind::leavesStateBehind:
                dirtyStarts_ += used_ ? 1 : 0;
                used_ = true;
                return nullptr;
            case Kind::throwsOther: throw std::runtime_error("boom");
        }
        return nullptr;
    }
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<ScriptedReader>(kind_, dirtyStarts_);
    }

private:
    Kind kind_;
    int& dirtyStarts_;
    bool used_ = false;
};

// Parses the text in a grammar "test" of the scripted reader and, when withText is set,
// the text and whitespace readers.
std::string parseWithScripted(const char* text, ScriptedReader::Kind kind, bool withText,
                              int& dirtyStarts) {
    KrDTDElementReaderString source(text);
    KrDTD& test = source.dtds()["test"];
    auto add = [&test](std::unique_ptr<KrDTDElementRead> reader) {
        test.addElementCreator(test.addReader(std::move(reader)), [](const std::string& t, KrDTD&) {
            return std::make_unique<KrXMLGenericText>(t);
        });
    };
    add(std::make_unique<ScriptedReader>(kind, dirtyStarts));
    if (withText) {
        add(std::make_unique<KrDTDElementRead_Text>());
        add(std::make_unique<KrDTDElementRead_WhitespaceText>());
    }
    try {
        return childrenMarkup(*source.splitter().split(source, "test"));
    } catch (const KrException& failure) {
        return failure.what();
    }
}

TEST(Splitter, ReaderThatClaimsATokenWithoutReadingOneDoesNotWin) {
    int dirty = 0;
    EXPECT_EQ(parseWithScripted("ab", ScriptedReader::Kind::claimsWithoutReading, false, dirty),
              "reading error  around line 1");
    EXPECT_EQ(parseWithScripted("a b", ScriptedReader::Kind::claimsWithoutReading, true, dirty),
              "a b");
}

TEST(Splitter, EveryAttemptStartsFromAnEmptyReader) {
    int dirtyStarts = 0;
    EXPECT_EQ(
        parseWithScripted("a b c d", ScriptedReader::Kind::leavesStateBehind, true, dirtyStarts),
        "a b c d");
    EXPECT_EQ(dirtyStarts, 0);
}

TEST(Splitter, NonKrExceptionsBecomeTheLoopsOwnErrors) {
    int dirty = 0;
    // Thrown by a reader: outside the handling of a token.
    EXPECT_EQ(parseWithScripted("a", ScriptedReader::Kind::throwsOther, false, dirty),
              "catched an error while processing input");

    struct Case {
        const char* name;
        KrDTD::ElementFactory factory;  // null: no factory at all
        const char* error;
    };
    const Case cases[] = {
        {"no factory", nullptr, "element type 'xmltext' not defined in DTD around line 2"},
        {"throws",
         [](const std::string&, KrDTD&) -> std::unique_ptr<KrXMLComplexElement> {
             throw std::runtime_error("boom");
         },
         "element type 'xmltext' not defined in DTD around line 2"},
        {"makes nothing", [](const std::string&, KrDTD&) { return nullptr; },
         "problem in DTD with 'xmltext' around line 2"},
    };
    for (const auto& [name, factory, error] : cases) {
        KrDTDElementReaderString source("\nx");
        KrDTD& xml = source.dtds().at("xml");
        if (factory) {
            xml.addElementCreator("xmltext", factory);
        } else {
            xml.elementFactories.erase("xmltext");
        }
        std::string errorText;
        try {
            source.splitter().split(source, "xml");
        } catch (const KrException& failure) {
            errorText = failure.what();
        }
        EXPECT_EQ(errorText, error) << name;
    }
}

TEST(Splitter, GrammarThatANodeNamesMustExist) {
    KrDTDElementReaderString source("<style>p{}</style>");
    source.dtds().erase("css");
    try {
        source.splitter().split(source, "html");
        FAIL() << "read without its grammar";
    } catch (const KrException& failure) {
        EXPECT_STREQ(failure.what(), "DTD 'css' not defined around line 1");
    }
}

TEST(Splitter, NodesReadBeforeAFailureStayUnderTheRoot) {
    KrDTDElementReaderString source("<a/>\n<b>\n<c></d>");
    EXPECT_THROW(source.splitter().split(source, "xml"), KrException);
    EXPECT_EQ(childrenMarkup(source.splitter().root()), "<a />\n<b>\n<c />\n</b>");
}

}  // namespace
