#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ReaderTestSupport.h"
#include "document/css/css.h"
#include "document/html/html.h"
#include "document/xml/xml.h"
#include "foundation/KrException.h"
#include "reader/KrDTD.h"
#include "reader/KrDTDElementReader.h"

namespace {

using Names = std::vector<std::string>;

// The grammars as a reader object builds them.
class Grammars : public ::testing::Test {
protected:
    KrDTD& dtd(const char* name) { return source_.dtds().at(name); }

    Names readerOrder(const char* name) {
        Names order;
        for (const auto& [readerName, reader] : dtd(name).readers) {
            EXPECT_EQ(reader->name(), readerName);
            order.push_back(readerName);
        }
        return order;
    }

    Names containers(const char* name) {
        const KrDTD::NameSet& set = dtd(name).containers;
        return Names(set.begin(), set.end());
    }

    // The node the grammar's factory makes for a token of that reader.
    std::unique_ptr<KrXMLComplexElement> make(const char* name, const char* readerName,
                                              const std::string& text) {
        KrDTD& grammar = dtd(name);
        return grammar.elementFactories.at(readerName)(text, grammar);
    }

    KrDTDElementReaderString source_{""};
};

TEST_F(Grammars, TableHoldsTheFiveGrammarsUnderTheirNames) {
    Names names;
    for (const auto& [name, grammar] : source_.dtds()) {
        EXPECT_EQ(grammar.name, name);
        names.push_back(name);
    }
    EXPECT_EQ(names, (Names{"css", "cssRule", "html", "xml", "xmlhtml"}));
}

TEST_F(Grammars, ReadersAreTriedInByteOrderOfTheirNames) {
    EXPECT_EQ(readerOrder("xml"),
              (Names{"xmlcomment", "xmlelement", "xmlprocinst", "xmltext", "xmlwhitespace"}));
    EXPECT_EQ(readerOrder("html"), (Names{"htmldoctype", "xmlcomment", "xmlelement", "xmlprocinst",
                                          "xmltext", "xmlwhitespace"}));
    EXPECT_EQ(readerOrder("xmlhtml"),
              (Names{"xmlcomment", "xmlelement", "xmlprocinst", "xmltext", "xmlwhitespace"}));
    // The underscore sorts before the letter "a".
    EXPECT_EQ(
        readerOrder("css"),
        (Names{"css_a_whitespace", "css_aa_whitespace", "css_aaa_whitespace", "css_b_closer",
               "css_c_comment", "css_d_mediaquery", "css_e_rule", "css_f_property", "xmlelement"}));
    EXPECT_EQ(readerOrder("cssRule"),
              (Names{"css_a_whitespace", "css_b_closer", "css_c_comment", "css_f_property"}));
}

TEST_F(Grammars, EveryReaderHasAFactoryAndTheContainersAreTheOpeningTokens) {
    for (auto& [name, grammar] : source_.dtds()) {
        for (const auto& [readerName, reader] : grammar.readers) {
            EXPECT_TRUE(grammar.elementFactories.contains(readerName)) << name << readerName;
        }
        EXPECT_TRUE(grammar.contentModels.empty()) << name;
    }
    EXPECT_EQ(containers("xml"), Names{"xmlelement"});
    EXPECT_EQ(containers("html"), Names{"xmlelement"});
    EXPECT_EQ(containers("xmlhtml"), Names{"xmlelement"});
    EXPECT_EQ(containers("css"), (Names{"css_aa_whitespace", "css_d_mediaquery", "css_e_rule"}));
    EXPECT_EQ(containers("cssRule"), Names{});
}

TEST_F(Grammars, OnlyTheHTMLGrammarsKnowTags) {
    for (const char* name : {"html", "xmlhtml"}) {
        EXPECT_EQ(dtd(name).tagCreators.size(), 115u) << name;
        EXPECT_EQ(dtd(name).voidTags.size(), 16u) << name;
    }
    for (const char* name : {"xml", "css", "cssRule"}) {
        EXPECT_TRUE(dtd(name).tagCreators.empty()) << name;
        EXPECT_TRUE(dtd(name).voidTags.empty()) << name;
    }
}

TEST_F(Grammars, XMLMakesGenericNodesAndOnlyElementsAreBlocks) {
    struct Case {
        const char* reader;
        const char* text;
        const char* markup;
        bool block;
    };
    const Case cases[] = {
        {"xmlelement", "a", "<a />", true},
        {"xmltext", "x&amp;", "x&amp;", false},
        {"xmlwhitespace", " \n", " \n", false},
        {"xmlcomment", " c ", "<!-- c -->", false},
        {"xmlprocinst", "xml version=\"1.0\"", "<?xml version=\"1.0\"?>", false},
    };
    for (const auto& [reader, text, markup, block] : cases) {
        std::unique_ptr<KrXMLComplexElement> node = make("xml", reader, text);
        ASSERT_NE(node, nullptr) << reader;
        EXPECT_EQ(markupOf(*node), markup) << reader;
        EXPECT_EQ(node->isBlock(), block) << reader;
    }
    const std::unique_ptr<KrXMLComplexElement> element = make("xml", "xmlelement", "div");
    const KrXMLComplexElement& made = *element;
    EXPECT_EQ(typeid(made), typeid(KrXMLGenericElement));
}

TEST_F(Grammars, HTMLGrammarsMakeTagClassesAndDifferInTheirTextNodes) {
    EXPECT_NE(dynamic_cast<KrHTML_div2*>(make("html", "xmlelement", "div").get()), nullptr);
    EXPECT_NE(dynamic_cast<KrHTML_div2*>(make("xmlhtml", "xmlelement", "div").get()), nullptr);
    EXPECT_EQ(markupOf(*make("html", "xmlelement", "blink")), "<blink />");
    EXPECT_NE(dynamic_cast<KrHTML_text2*>(make("html", "xmltext", "t").get()), nullptr);
    const std::unique_ptr<KrXMLComplexElement> plainText = make("xmlhtml", "xmltext", "t");
    const KrXMLComplexElement& text = *plainText;
    EXPECT_EQ(typeid(text), typeid(KrXMLGenericText));
    EXPECT_EQ(markupOf(*make("html", "htmldoctype", "html")), "<!DOCTYPE html>\n");
    EXPECT_FALSE(dtd("xmlhtml").readers.contains("htmldoctype"));
}

TEST_F(Grammars, CSSFactoriesMakeTheStyleSheetNodes) {
    struct Case {
        const char* dtd;
        const char* reader;
        const char* text;
        const char* markup;
    };
    const Case cases[] = {
        {"css", "css_a_whitespace", "\n ", "\n "},
        {"css", "css_aa_whitespace", "<!--", "<!---->"},
        {"css", "css_c_comment", "/* c */", "/* c */"},
        {"css", "css_d_mediaquery", "@media print", "@media print{}"},
        {"css", "css_e_rule", "p, h1 ", "p, h1 {}"},
        {"css", "css_f_property", "color : red ;", "color: red;"},
        {"css", "xmlelement", "b", "<b />"},
        {"cssRule", "css_a_whitespace", " ", " "},
        {"cssRule", "css_c_comment", "/**/", "/**/"},
        {"cssRule", "css_f_property", "margin:0", "margin: 0;"},
    };
    for (const auto& [name, reader, text, markup] : cases) {
        std::unique_ptr<KrXMLComplexElement> node = make(name, reader, text);
        ASSERT_NE(node, nullptr) << name << reader;
        EXPECT_EQ(markupOf(*node), markup) << name << reader;
    }
    EXPECT_THROW(make("cssRule", "css_f_property", "color"), KrException);
}

// A token reader that counts its instances, to see when one is freed.
class CountedReader : public KrDTDElementRead {
public:
    explicit CountedReader(int& alive) : KrDTDElementRead("xmltext"), alive_(alive) { ++alive_; }
    ~CountedReader() override { --alive_; }

    KrDTDElementRead* read(KrDTDElementReader&) override { return nullptr; }
    std::unique_ptr<KrDTDElementRead> createFresh() const override {
        return std::make_unique<CountedReader>(alive_);
    }

private:
    int& alive_;
};

TEST(DTD, CreatedByLookupHoldsNotSet) {
    std::map<std::string, KrDTD, std::less<>> table;
    EXPECT_EQ(table["any"].name, "not set");
}

TEST(DTD, AddReaderRegistersUnderTheReadersNameAndNullRegistersNothing) {
    KrDTD dtd;
    EXPECT_EQ(dtd.addReader(nullptr), "");
    EXPECT_TRUE(dtd.readers.empty());
    EXPECT_EQ(dtd.addReader(std::make_unique<KrDTDElementRead_Comment>()), "xmlcomment");
    ASSERT_TRUE(dtd.readers.contains("xmlcomment"));
}

TEST(DTD, DuplicateReaderNameThrowsKeepsTheFirstAndFreesTheSecond) {
    int alive = 0;
    KrDTD dtd;
    dtd.addReader(std::make_unique<CountedReader>(alive));
    const KrDTDElementRead* first = dtd.readers.at("xmltext").get();
    try {
        dtd.addReader(std::make_unique<CountedReader>(alive));
        FAIL() << "a second reader under the same name was taken";
    } catch (const KrException& failure) {
        EXPECT_STREQ(failure.what(), "name can't be twice");
        // Freed before the exception reached us.
        EXPECT_EQ(alive, 1);
    }
    EXPECT_EQ(dtd.readers.at("xmltext").get(), first);
    dtd.readers.clear();
    EXPECT_EQ(alive, 0);
}

TEST(DTD, LaterFactoriesAndContentModelsReplaceEarlierOnes) {
    KrDTD dtd;
    auto text = [](const char* made) {
        return
            [made](const std::string&, KrDTD&) { return std::make_unique<KrXMLGenericText>(made); };
    };
    EXPECT_EQ(dtd.addElementCreator("r", text("first")), "r");
    dtd.addElementCreator("r", text("second"));
    EXPECT_EQ(markupOf(*dtd.elementFactories.at("r")("", dtd)), "second");
    EXPECT_EQ(dtd.addContentModel("p", {"a", "b"}), "p");
    dtd.addContentModel("p", {"c"});
    EXPECT_EQ(dtd.contentModels.at("p"), (KrDTD::NameSet{"c"}));
    EXPECT_EQ(dtd.addContainer("r"), "r");
    EXPECT_TRUE(dtd.containers.contains("r"));
}

}  // namespace
