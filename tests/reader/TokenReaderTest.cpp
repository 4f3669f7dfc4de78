#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ReaderTestSupport.h"
#include "foundation/KrException.h"
#include "reader/KrDTDElementReadCSS.h"
#include "reader/KrDTDElementReader.h"
#include "reader/ReadTransaction.h"

namespace {

// A fresh reader of the given name, from the "html" or else the "css" grammar.
std::unique_ptr<KrDTDElementRead> freshReader(const std::string& name) {
    KrDTDElementReaderString grammars("");
    for (const char* grammar : {"html", "css"}) {
        const KrDTD& dtd = grammars.dtds().at(grammar);
        if (const auto found = dtd.readers.find(name); found != dtd.readers.end()) {
            return found->second->createFresh();
        }
    }
    ADD_FAILURE() << "no reader " << name;
    return nullptr;
}

struct ReadCase {
    const char* reader;
    const char* input;
    const char* token;  // null: the reader refuses and consumes nothing
    const char* rest;   // what the source still holds afterwards
};

TEST(TokenReaders, ReadTheirTokenAndLeaveTheRest) {
    const ReadCase cases[] = {
        {"xmltext", "a b", "a", " b"},
        {"xmltext", "x&y;<b>", "x&y;", "<b>"},
        {"xmltext", "tail", "tail", ""},
        {"xmltext", "\xC3\xA9t\xC3\xA9 ", "\xC3\xA9t\xC3\xA9", " "},
        {"xmltext", "<b>", nullptr, "<b>"},
        {"xmltext", " a", nullptr, " a"},
        {"xmlwhitespace", " \t\r\n x", " \t\r\n ", "x"},
        {"xmlwhitespace", "\v x", nullptr, "\v x"},  // vertical tab is no whitespace
        {"xmlcomment", "<!-- a -->b", " a ", "b"},
        {"xmlcomment", "<!---->", "", ""},
        {"xmlcomment", "<!-- a -- b -->", " a -- b ", ""},
        {"xmlcomment", "<!-- a --->", nullptr, "<!-- a --->"},  // "--->" does not end it
        {"xmlcomment", "<!-- a --->-->", " a --->", ""},
        {"xmlcomment", "<!-- open", nullptr, "<!-- open"},
        {"xmlcomment", "<!- x -->", nullptr, "<!- x -->"},
        {"xmlprocinst", "<?xml version=\"1.0\"?>\n", "xml version=\"1.0\"", "\n"},
        {"xmlprocinst", "<?php echo ?", nullptr, "<?php echo ?"},
        {"htmldoctype", "<!DOCTYPE html>\n", "html", "\n"},
        {"htmldoctype", "<!doctype html>", nullptr, "<!doctype html>"},
        {"htmldoctype", "<!DOCTYPE  html>", " html", ""},
        {"htmldoctype", "<!DOCTYPEhtml>", nullptr, "<!DOCTYPEhtml>"},
        {"css_a_whitespace", "\n\tp", "\n\t", "p"},
        {"css_aa_whitespace", "<!--p", "<!--", "p"},
        {"css_aa_whitespace", "<!-p", nullptr, "<!-p"},
        {"css_aaa_whitespace", "-->x", "-->", "x"},
        {"css_b_closer", "}}", "}", "}"},
        {"css_c_comment", "/* a * / b */c", "/* a * / b */", "c"},
        {"css_c_comment", "/* open", nullptr, "/* open"},
        {"css_d_mediaquery", "@media screen {p", "@media screen ", "p"},
        {"css_d_mediaquery", "@media", nullptr, "@media"},
        {"css_e_rule", "h1,\n.c #i *{x", "h1,\n.c #i *", "x"},
        {"css_e_rule", ".c{", ".c", ""},
        {"css_e_rule", "_x{", "_x", ""},
        {"css_e_rule", "1p{", nullptr, "1p{"},
        {"css_e_rule", "p", nullptr, "p"},
        {"css_f_property", "color: red; x", "color: red;", " x"},
        {"css_f_property", "color: red \n}", "color: red", " \n}"},
        {"css_f_property", "color: red", nullptr, "color: red"},
        {"css_f_property", "-x: 1;", nullptr, "-x: 1;"},
    };
    for (const auto& [readerName, input, token, rest] : cases) {
        std::unique_ptr<KrDTDElementRead> reader = freshReader(readerName);
        ASSERT_NE(reader, nullptr);
        KrDTDElementReaderString source(input);
        KrDTDElementRead* read = reader->read(source);
        if (token) {
            EXPECT_EQ(read, reader.get()) << readerName << " on " << input;
            EXPECT_EQ(reader->text(), token) << readerName << " on " << input;
        } else {
            EXPECT_EQ(read, nullptr) << readerName << " on " << input;
        }
        EXPECT_EQ(remainingInput(source), rest) << readerName << " on " << input;
    }
}

TEST(TokenReaders, ClosersAreTheCSSClosersAndClosingTags) {
    struct Case {
        const char* reader;
        const char* input;
        bool closer;
    };
    const Case cases[] = {
        {"css_b_closer", "}", true},          {"css_aaa_whitespace", "-->", true},
        {"css_aa_whitespace", "<!--", false}, {"css_e_rule", "p{", false},
        {"xmlelement", "</p>", true},         {"xmlelement", "<p>", false},
        {"xmlelement", "<p/>", false},
    };
    for (const auto& [readerName, input, closer] : cases) {
        std::unique_ptr<KrDTDElementRead> reader = freshReader(readerName);
        KrDTDElementReaderString source(input);
        ASSERT_NE(reader->read(source), nullptr) << input;
        EXPECT_EQ(reader->isCloser(), closer) << input;
        EXPECT_EQ(reader->hasAttributes(), std::string(readerName) == "xmlelement") << input;
    }
}

// What the element reader makes of a tag.
struct TagCase {
    const char* input;
    const char* token;  // null: refused, nothing consumed
    const char* attributes;
    bool selfClosed;
    const char* rest;
};

std::string attributeList(const KrDTDElementReader::AttributeList& attributes) {
    std::string list;
    for (const auto& attribute : attributes) {
        list += attribute.name;
        list += attribute.valueless ? "" : "=[" + attribute.value + "]";
        list += ";";
    }
    return list;
}

TEST(ElementReader, ReadsTagsWithTheirAttributes) {
    const TagCase cases[] = {
        {"<p>", "p", "", false, ""},
        {"<br/>x", "br", "", true, "x"},
        {"<br />", "br", "", true, ""},
        {"</p>", "/p", "", false, ""},
        {"</p/>", "/p", "", true, ""},
        {"<h1-x_2>", "h1-x_2", "", false, ""},
        {"<_a>", "_a", "", false, ""},
        {"<a href=\"x y\" class='c'>", "a", "href=[x y];class=[c];", false, ""},
        {"<input disabled type=\"checkbox\">", "input", "disabled;type=[checkbox];", false, ""},
        {"<img\n src=\"a.png\"\n/>", "img", "src=[a.png];", true, ""},
        {"<a t=\"it's\" u='say \"hi\"'>", "a", "t=[it's];u=[say \"hi\"];", false, ""},
        {"<a t=\"two\nlines\">", "a", "t=[two\nlines];", false, ""},
        {"<a t=\"&amp;<b>\">", "a", "t=[&amp;<b>];", false, ""},
        {"<a t=\"\">", "a", "t=[];", false, ""},
        {"<p class=x>", nullptr, "", false, "<p class=x>"},
        {"<a b = 'x'>", nullptr, "", false, "<a b = 'x'>"},
        {"<a t=\"open>", nullptr, "", false, "<a t=\"open>"},
        {"<a / >", nullptr, "", false, "<a / >"},
        {"<a x:y='1'>", nullptr, "", false, "<a x:y='1'>"},
        {"<1a>", nullptr, "", false, "<1a>"},
        {"</ p>", nullptr, "", false, "</ p>"},
        {"</>", nullptr, "", false, "</>"},
        {"< p>", nullptr, "", false, "< p>"},
        {"<p", nullptr, "", false, "<p"},
        {"<p ", nullptr, "", false, "<p "},
        {"<\xC3\xA9>", nullptr, "", false, "<\xC3\xA9>"},
        {"p>", nullptr, "", false, "p>"},
    };
    for (const auto& [input, token, attributes, selfClosed, rest] : cases) {
        KrDTDElementRead_Element reader;
        KrDTDElementReaderString source(input);
        KrDTDElementRead* read = reader.read(source);
        if (token) {
            ASSERT_EQ(read, &reader) << input;
            EXPECT_EQ(reader.text(), token) << input;
            EXPECT_EQ(attributeList(source.attributes()), attributes) << input;
            EXPECT_EQ(reader.selfClosed(), selfClosed) << input;
        } else {
            EXPECT_EQ(read, nullptr) << input;
        }
        EXPECT_EQ(remainingInput(source), rest) << input;
    }
}

TEST(ElementReader, NameFollowedByAForbiddenCharacterIsAnIncompleteTag) {
    const std::pair<const char*, const char*> cases[] = {
        {"<a:b>", "incomplete tag 'a'"},       {"<a.b>", "incomplete tag 'a'"},
        {"</p >", "incomplete tag '/p'"},      {"</p\n>", "incomplete tag '/p'"},
        {"<p\xC3\xA9>", "incomplete tag 'p'"}, {"<p'>", "incomplete tag 'p'"},
    };
    for (const auto& [input, error] : cases) {
        KrDTDElementRead_Element reader;
        KrDTDElementReaderString source(input);
        try {
            reader.read(source);
            ADD_FAILURE() << input << " was read";
        } catch (const KrException& failure) {
            EXPECT_STREQ(failure.what(), error) << input;
        }
    }
}

TEST(ElementReader, ClosingTagClosesTheParentItNames) {
    KrDTDElementRead_Element reader;
    KrDTDElementReaderString source("</p>");
    ASSERT_NE(reader.read(source), nullptr);
    EXPECT_TRUE(reader.closes("p"));
    EXPECT_FALSE(reader.closes("pre"));
    EXPECT_FALSE(reader.closes("/p"));
    KrDTDElementRead_CloserCSS closer;
    EXPECT_TRUE(closer.closes("anything"));
}

TEST(TokenReaders, RefuseAtOnceWhenTheSourceCannotDeliver) {
    KrDTDElementReaderString source("");
    for (const char* name : {"xmltext", "xmlelement", "css_b_closer", "css_f_property"}) {
        EXPECT_EQ(freshReader(name)->read(source), nullptr) << name;
    }
    // A character given back is still delivered although the input itself is spent.
    source.giveBack("}");
    EXPECT_NE(freshReader("css_b_closer")->read(source), nullptr);
}

TEST(CharacterSource, CountsEachLineFeedOnceWhenItIsTakenFromTheInput) {
    KrDTDElementReaderString source("a\nb\n\nc");
    EXPECT_EQ(source.line(), 1u);
    {
        kr::ReadTransaction in(source);
        in.take();
        in.take();
        in.take();
        EXPECT_EQ(source.line(), 2u);
        in.fail();
    }
    // Given back and taken again: not counted again.
    EXPECT_EQ(remainingInput(source), "a\nb\n\nc");
    EXPECT_EQ(source.line(), 4u);
}

TEST(CharacterSource, LookingCountsNothingAndTakesNothing) {
    KrDTDElementReaderString source("\nx");
    kr::ReadTransaction in(source);
    EXPECT_EQ(in.look(), '\n');
    EXPECT_EQ(in.look(), '\n');
    EXPECT_EQ(source.line(), 1u);
    EXPECT_EQ(in.taken(), 0u);
}

TEST(CharacterSource, StringAndStreamSourcesDeliverBytesAbove127AsNonNegative) {
    const std::string text = "\xFF\x80";
    KrDTDElementReaderString fromString(text);
    std::istringstream in(text);
    KrDTDElementReaderStream fromStream(in);
    for (KrDTDElementReader* source :
         std::initializer_list<KrDTDElementReader*>{&fromString, &fromStream}) {
        EXPECT_EQ(source->peek(), 0xFF);
        EXPECT_EQ(source->get(), 0xFF);
        EXPECT_EQ(source->get(), 0x80);
        EXPECT_EQ(source->get(), KrDTDElementReader::kEnd);
        EXPECT_EQ(source->peek(), KrDTDElementReader::kEnd);
        EXPECT_TRUE(source->eof());
        EXPECT_FALSE(source->good());
    }
}

TEST(ReadTransaction, EndOfInputIsNeverBufferedNorGivenBack) {
    KrDTDElementReaderString source("ab");
    testing::internal::CaptureStderr();
    {
        kr::ReadTransaction in(source);
        EXPECT_EQ(in.take(), 'a');
        EXPECT_EQ(in.take(), 'b');
        EXPECT_EQ(in.take(), KrDTDElementReader::kEnd);
        EXPECT_EQ(in.taken(), 2u);
        in.giveBack(1);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "reading EOF is an error! ---> will become an exception\n");
    // Only "b" came back: no 0xFF byte stands for the end.
    EXPECT_EQ(remainingInput(source), "b");
    EXPECT_TRUE(source.pushBackUsedUp());
}

TEST(ReadTransaction, GivingBackMoreThanTakenReportsAndChangesNothing) {
    KrDTDElementReaderString source("abc");
    kr::ReadTransaction in(source);
    in.take();
    in.take();
    testing::internal::CaptureStderr();
    in.giveBack(3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "error! can't give more back than read---> will become an exception... 2 vs. 3\n");
    EXPECT_EQ(in.taken(), 2u);
    in.giveBack(1);
    EXPECT_EQ(in.take(), 'b');
}

TEST(ReadTransaction, CharactersFromThePositionOnGoBackInFrontOfTheSource) {
    KrDTDElementReaderString source("abcdef");
    source.giveBack("XY");
    {
        kr::ReadTransaction in(source);
        EXPECT_EQ(in.take(), 'X');
        EXPECT_EQ(in.take(), 'Y');
        EXPECT_EQ(in.take(), 'a');
        in.giveBack(2);  // "Y" and "a" go back
    }
    EXPECT_EQ(remainingInput(source), "Yabcdef");
}

}  // namespace
