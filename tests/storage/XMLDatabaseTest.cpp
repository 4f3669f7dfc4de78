#include "storage/KrXMLDatabase.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "document/xml/KrXMLLeafNodes.h"
#include "foundation/KrException.h"
#include "tests/document/Markup.h"

namespace {

using ElementList = KrXMLDatabase::ElementList;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

std::vector<std::string> namesOf(const ElementList& list) {
    std::vector<std::string> names;
    for (const auto* element : list) {
        names.push_back(element->getAttribute("n", element->name()));
    }
    return names;
}

KrXMLGenericElement* add(KrXMLComplexElement& parent, const char* name, const char* tag = "") {
    auto* added = kr::appendChild(parent, std::make_unique<KrXMLGenericElement>(name, true));
    if (*tag != '\0') {
        added->setAttribute("n", tag);
    }
    return added;
}

KrXMLGenericElement* rootOf(KrXMLDatabase& database, const std::string& rootName) {
    ElementList found;
    database.findAllByName(rootName, found);
    return found.empty() ? nullptr : found.front();
}

TEST(XMLDatabasePaths, SetValueCreatesTheElementsOnTheWay) {
    KrXMLDatabase database("nuxel");
    database.setValue("a.b.c", "1");
    EXPECT_EQ(database.getValue("a.b.c", "default"), "1");
    EXPECT_EQ(markupOf(*rootOf(database, "nuxel")), "<nuxel>\n<a>\n<b c=\"1\" />\n</a>\n</nuxel>");

    // A second value on the same element creates nothing more.
    database.setValue("a.b.d", "2");
    EXPECT_EQ(markupOf(*rootOf(database, "nuxel")),
              "<nuxel>\n<a>\n<b c=\"1\" d=\"2\" />\n</a>\n</nuxel>");
}

TEST(XMLDatabasePaths, GetValueGivesTheDefaultAndCreatesNothing) {
    KrXMLDatabase database("nuxel");
    database.setValue("a.b.c", "1");
    const std::string before = markupOf(*rootOf(database, "nuxel"));

    EXPECT_EQ(database.getValue("a.b.q", "dflt"), "dflt");  // attribute missing
    EXPECT_EQ(database.getValue("a.x.c", "dflt"), "dflt");  // element missing
    EXPECT_EQ(database.getValue("x.y.z", "dflt"), "dflt");  // nothing of the path
    EXPECT_EQ(database.getValue("color", "dflt"), "dflt");  // one piece: path error
    EXPECT_EQ(database.getValue("", "dflt"), "dflt");       // no piece at all
    EXPECT_EQ(database.getValue("a.b.c.", "dflt"), "1");    // a trailing "." adds nothing
    EXPECT_EQ(markupOf(*rootOf(database, "nuxel")), before);
}

TEST(XMLDatabasePaths, TheCurrentElementMatchesBeforeItsChildren) {
    KrXMLDatabase database("nuxel");
    database.setValue("a.c", "1");
    EXPECT_EQ(database.getValue("a.a.c", ""), "1");
    database.setValue("a.a.a.c", "2");
    EXPECT_EQ(database.getValue("a.c", ""), "2");

    // The root itself answers to its name, so it may be named or left out.
    EXPECT_EQ(database.getValue("nuxel.a.c", ""), "2");

    // A child named like its parent is reached only through the first match: the parent.
    database.setValue("b.x", "outer");
    ElementList found;
    database.findElements("b", found);
    ASSERT_EQ(found.size(), 1u);
    add(*found.front(), "b")->setAttribute("x", "inner");
    EXPECT_EQ(database.getValue("b.b.x", ""), "outer");
}

TEST(XMLDatabasePaths, InvalidPathsStoreNothing) {
    KrXMLDatabase database("nuxel");
    database.setValue("color", "red");
    database.setValue("", "red");
    EXPECT_EQ(markupOf(*rootOf(database, "nuxel")), "<nuxel />");
}

TEST(XMLDatabasePaths, WithoutRootEveryPathGivesTheDefault) {
    KrXMLDatabase database("");
    database.setValue("a.b", "1");
    EXPECT_EQ(database.getValue("a.b", "dflt"), "dflt");
    EXPECT_EQ(database.getOrInitValue("a.b", "dflt"), "dflt");
    ElementList found;
    EXPECT_THROW(database.findElements("a", found), KrException);
    EXPECT_THROW(database.findAllByName("a", found), KrException);
}

TEST(XMLDatabasePaths, ValuesAreStoredUnescaped) {
    KrXMLDatabase database("nuxel");
    database.setValue("a.v", "x < y & \"z\"");
    EXPECT_EQ(database.getValue("a.v", ""), "x < y & \"z\"");
}

TEST(XMLDatabaseValues, GetOrInitValueStoresAMissingValueOnly) {
    KrXMLDatabase database("nuxel");
    EXPECT_EQ(database.getOrInitValue("w.size.width", "640"), "640");
    EXPECT_EQ(database.getValue("w.size.width", ""), "640");
    EXPECT_EQ(database.getOrInitValue("w.size.width", "800"), "640");

    database.setValueLocked("w.size.height", "480");
    EXPECT_EQ(database.getValueLocked("w.size.height", ""), "480");
    EXPECT_EQ(database.getValueLocked("w.size.depth", "none"), "none");
}

TEST(XMLDatabaseFresh, HoldsTheDeclarationAndAnEmptyRoot) {
    KrXMLDatabase database("nuxel");
    ElementList found;
    database.findAllByName("nuxel", found);
    ASSERT_EQ(found.size(), 1u);
    ASSERT_NE(found.front()->parent(), nullptr);
    EXPECT_EQ(markupOf(*found.front()->parent()),
              "<?version=\"1.0\" encoding=\"UTF-8\"?><nuxel />");
    EXPECT_TRUE(database.stringSet().empty());
}

TEST(XMLDatabaseFind, FindElementsFollowsFirstMatchesAndAppendsEveryLastMatch) {
    KrXMLDatabase database("nuxel");
    KrXMLGenericElement* root = rootOf(database, "nuxel");
    KrXMLGenericElement* a1 = add(*root, "a", "a1");
    add(*a1, "b", "b1");
    add(*a1, "c", "c1");
    add(*a1, "b", "b2");
    add(*add(*root, "a", "a2"), "b", "b3");

    ElementList found;
    database.findElements("a.b", found);
    EXPECT_EQ(namesOf(found), (std::vector<std::string>{"b1", "b2"}));

    // The list is appended to, never cleared.
    database.findElements("a", found);
    EXPECT_EQ(namesOf(found), (std::vector<std::string>{"b1", "b2", "a1", "a2"}));

    ElementList none;
    database.findElements("x.b", none);
    database.findElements("a.x", none);
    EXPECT_TRUE(none.empty());

    // The current element bearing the last name comes first.
    ElementList self;
    database.findElements("a.a", self);
    EXPECT_EQ(namesOf(self), (std::vector<std::string>{"a1"}));

    EXPECT_THROW(database.findElements("", found), KrException);
}

TEST(XMLDatabaseFind, FindAllByNameWalksTheWholeTreeInPreOrder) {
    KrXMLDatabase database("x");
    KrXMLGenericElement* root = rootOf(database, "x");
    root->setAttribute("n", "root");
    KrXMLGenericElement* first = add(*root, "x", "first");
    add(*add(*first, "y"), "x", "deep");
    add(*root, "x", "second");

    ElementList found;
    database.findAllByName("x", found);
    EXPECT_EQ(namesOf(found), (std::vector<std::string>{"root", "first", "deep", "second"}));
    EXPECT_THROW(database.findAllByName("", found), KrException);
}

// A database whose root is "project", so that the path project.stringvariables... starts
// at the root itself, as in a project file.
class StringVariables : public ::testing::Test {
protected:
    KrXMLGenericElement* addVariable(const char* name) {
        ElementList holders;
        database_.findElements("project.stringvariables", holders);
        KrXMLGenericElement* holder = holders.empty()
                                          ? add(*rootOf(database_, "project"), "stringvariables")
                                          : holders.front();
        auto* variable = add(*holder, "stringvariable");
        variable->setAttribute("name", name);
        return variable;
    }

    KrXMLDatabase database_{"project"};
};

TEST_F(StringVariables, ValueIsTheMarkupOfTheChildren) {
    KrXMLGenericElement* greeting = addVariable("greeting");
    greeting->addChild(std::make_unique<KrXMLGenericText>("Hello "));
    auto* bold = kr::appendChild(*greeting, std::make_unique<KrXMLGenericElement>("b", false));
    bold->setAttribute("class", "x");
    bold->addChild(std::make_unique<KrXMLGenericText>("world"));
    greeting->addChild(std::make_unique<KrXML_Comment2>(" c "));

    EXPECT_TRUE(database_.hasStringVariable("greeting"));
    EXPECT_EQ(database_.getStringVariable("greeting", "dflt"),
              "Hello <b class=\"x\">world</b><!-- c -->");
}

TEST_F(StringVariables, FirstOfTheNameWinsAndMissingOnesGiveTheDefault) {
    addVariable("v")->addChild(std::make_unique<KrXMLGenericText>("first"));
    addVariable("v")->addChild(std::make_unique<KrXMLGenericText>("second"));
    addVariable("empty");

    EXPECT_EQ(database_.getStringVariable("v", ""), "first");
    EXPECT_EQ(database_.getStringVariable("empty", "dflt"), "");
    EXPECT_TRUE(database_.hasStringVariable("empty"));
    EXPECT_EQ(database_.getStringVariable("V", "dflt"), "dflt");
    EXPECT_FALSE(database_.hasStringVariable("V"));
}

TEST(XMLDatabaseFiles, WriteFileOnlySaysThatWritingIsBlocked) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "gridlo-never-written.xml";
    std::filesystem::remove(path);
    KrXMLDatabase database("nuxel");
    CaptureStderr();
    database.writeFile(path.string());
    EXPECT_EQ(GetCapturedStderr(), "writing: " + path.string() + " to disk is blocked!!\n");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(XMLDatabaseFiles, MissingFileGoesToTheHandlerThenThrows) {
    const std::string path = "/nonexistent-gridlo-dir/config.xml";
    KrXMLDatabase database("nuxel");
    database.setValue("a.b", "kept");
    std::vector<std::string> calls;
    try {
        database.readFile(path, [&](const std::string& missing) { calls.push_back(missing); });
        FAIL() << "readFile of a missing file returned";
    } catch (const KrException& e) {
        EXPECT_EQ(std::string(e.what()),
                  "no config was found - " + path + " with error in stream around line 1");
    }
    EXPECT_EQ(calls, std::vector<std::string>{path});
    EXPECT_EQ(database.getValue("a.b", ""), "kept");

    // Without a handler the read fails the same way.
    EXPECT_THROW(database.readFile(path, nullptr), KrException);
    EXPECT_EQ(database.getValue("a.b", ""), "kept");
}

}  // namespace
