#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "ReaderTestSupport.h"
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
