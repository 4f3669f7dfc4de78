#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "StorageTestSupport.h"
#include "foundation/KrException.h"
#include "storage/KrPersistentAppStorage.h"
#include "storage/KrXMLDatabase.h"

// Application and project files read from disk through the markup reader.
namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class ConfigFiles : public InTemporaryDirectory {};

TEST_F(ConfigFiles, TheFilesTopElementBecomesTheWholeDocument) {
    writeFile("config.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<config>\n  <window><size width=\"640\" height=\"480\"/></window>\n</config>\n");
    KrXMLDatabase database("nuxel");
    database.setValue("old.value", "1");
    database.readFile("config.xml", nullptr);

    EXPECT_EQ(database.getValue("window.size.width", ""), "640");
    EXPECT_EQ(database.getValue("config.window.size.height", ""), "480");
    EXPECT_EQ(database.getValue("old.value", "gone"), "gone");
    KrXMLDatabase::ElementList found;
    database.findAllByName("config", found);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.front()->parent(), nullptr);
    found.clear();
    database.findAllByName("nuxel", found);
    EXPECT_TRUE(found.empty());

    // Values set afterwards live in the read tree.
    database.setValue("window.size.width", "800");
    EXPECT_EQ(database.getValue("window.size.width", ""), "800");
}

TEST_F(ConfigFiles, TheNotFoundHandlerMayCreateTheFile) {
    KrXMLDatabase database("");
    int calls = 0;
    database.readFile("made.xml", [&](const std::string& path) {
        ++calls;
        writeFile(path, "<made><a b=\"c\"/></made>");
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(database.getValue("a.b", ""), "c");

    // An existing file is not handed to the handler.
    database.readFile("made.xml", [&](const std::string&) { ++calls; });
    EXPECT_EQ(calls, 1);
}

TEST_F(ConfigFiles, ReadErrorsNameThePathAndTheReason) {
    writeFile("empty.xml", "");
    writeFile("declaration.xml", "<?xml version=\"1.0\"?>\n");
    writeFile("crossed.xml", "<a><b></a></b>");
    writeFile("cut.xml", "<a");
    const std::string noConfig = "no config was found - ";
    const std::pair<std::string, std::string> cases[] = {
        {"missing.xml", noConfig + "missing.xml with error in stream around line 1"},
        {"./sub/missing.xml", noConfig + "./sub/missing.xml with error in stream around line 1"},
        {"empty.xml", noConfig + "empty.xml with empty.xml"},
        {"declaration.xml", noConfig + "declaration.xml with declaration.xml"},
        {"crossed.xml",
         noConfig + "crossed.xml with wrong closing tag '/a' instead '/b' around line 1"},
        {"cut.xml", noConfig + "cut.xml with reading error  around line 1"},
    };
    KrXMLDatabase database("nuxel");
    database.setValue("kept.value", "yes");
    for (const auto& [file, message] : cases) {
        const std::string path = file;
        EXPECT_EQ(thrownBy([&] { database.readFile(path, nullptr); }), message);
        EXPECT_EQ(database.getValue("kept.value", ""), "yes") << path;
    }
}

TEST_F(ConfigFiles, StringVariablesAreTheMarkupOfTheirContent) {
    writeFile("p.xml",
              "<file><project><stringvariables>"
              "<stringvariable name=\"greeting\">Hello <b class=\"x\">world</b>!</stringvariable>"
              "<stringvariable name=\"plain\">text</stringvariable>"
              "<stringvariable name=\"plain\">shadowed</stringvariable>"
              "</stringvariables></project></file>");
    KrXMLDatabase database("");
    database.readFile("p.xml", nullptr);
    EXPECT_EQ(database.getStringVariable("greeting", ""), "Hello <b class=\"x\">world</b>!");
    EXPECT_EQ(database.getStringVariable("plain", ""), "text");
    EXPECT_EQ(database.getStringVariable("missing", "dflt"), "dflt");
    EXPECT_TRUE(database.hasStringVariable("greeting"));
}

constexpr std::string_view kApplicationFile = R"(<?xml version="1.0"?>
<configuration>
  <nuxel>
    <app>
      <options>
        <option name="tcp_port" value="2098"/>
        <option name="title" value="Game"/>
        <option value="nameless"/>
        <option name="tcp_port" value="8080"/>
      </options>
      <projects>
        <project name="p1" projectpath="p1"/>
        <project name="p2"/>
        <project name="abs" projectpath="ABSOLUTE"/>
      </projects>
    </app>
  </nuxel>
</configuration>
)";

std::string projectFileText(const std::string& value) {
    return "<project><stringvariables><stringvariable name=\"V\">" + value +
           "</stringvariable></stringvariables></project>";
}

// A storage with the application "app" selected from ./app.xml and the project p1 in
// ./app_projects/p1/p1.xml holding the string variable V.
class ApplicationFiles : public InTemporaryDirectory {
protected:
    void SetUp() override {
        InTemporaryDirectory::SetUp();
        std::string text(kApplicationFile);
        text.replace(text.find("ABSOLUTE"), 8, (directory_ / "absolute").string());
        writeFile("app.xml", text);
        fs::create_directories(projectDirectory_);
        writeProject("first");
        storage_.selectApplication("app");
    }

    void writeProject(const std::string& value) { writeFile(projectFile_, projectFileText(value)); }

    bool open(const std::string& name, bool create = false,
              const KrXMLDatabase::NotFoundHandler& notFound = nullptr) {
        CaptureStdout();
        const bool opened = storage_.openProject(name, create, notFound);
        GetCapturedStdout();
        return opened;
    }

    const fs::path projectDirectory_ = "app_projects/p1";
    const fs::path projectFile_ = projectDirectory_ / "p1.xml";
    KrPersistentAppStorage storage_;
};

TEST_F(ApplicationFiles, OptionsAndProjectsComeFromTheApplicationFile) {
    std::map<std::string, std::string> options;
    storage_.readOptions(options);
    EXPECT_EQ(options,
              (std::map<std::string, std::string>{{"tcp_port", "8080"}, {"title", "Game"}}));
    std::vector<std::string> projects;
    storage_.listProjects(projects);
    EXPECT_EQ(projects, (std::vector<std::string>{"p1", "p2", "abs"}));
}

TEST_F(ApplicationFiles, ApplicationFilesWithoutOneNuxelElementAreRefused) {
    writeFile("none.xml", "<configuration><other/></configuration>");
    writeFile("two.xml", "<nuxel><none/><nuxel/></nuxel>");
    for (const char* name : {"none", "two"}) {
        KrPersistentAppStorage storage;
        EXPECT_EQ(thrownBy([&] { storage.selectApplication(name); }),
                  "could not read the application config base 'nuxel'");
        std::map<std::string, std::string> options;
        EXPECT_EQ(thrownBy([&] { storage.readOptions(options); }), "no application selected");
    }
}

TEST_F(ApplicationFiles, AnApplicationElementIsAddedWhenTheFileLacksIt) {
    writeFile("bare.xml", "<nuxel><app/></nuxel>");
    KrPersistentAppStorage storage;
    storage.selectApplication("bare");
    std::map<std::string, std::string> options{{"x", "y"}};
    storage.readOptions(options);
    EXPECT_TRUE(options.empty());
    KrXMLDatabase::ElementList found;
    storage.findAllByName("bare", found);
    EXPECT_EQ(found.size(), 1u);
}

TEST_F(ApplicationFiles, HoldersShareAProjectUntilTheLastOneClosesIt) {
    ASSERT_TRUE(open("p1"));
    KrXMLDatabase* first = storage_.getProject("p1", "h1");
    KrXMLDatabase* second = storage_.getProject("p1", "h2");
    ASSERT_EQ(first, second);
    EXPECT_EQ(first->stringSet(), (std::set<std::string>{"h1", "h2"}));
    EXPECT_EQ(first->getStringVariable("V", ""), "first");

    CaptureStdout();
    CaptureStderr();
    storage_.closeProject("p1", "h1");
    storage_.closeProject("p1", "stranger");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(), "closing p1\nclosing p1\n");
    EXPECT_EQ(storage_.getProject("p1", "h3"), first);

    CaptureStdout();
    CaptureStderr();
    storage_.closeProject("p1", "h2");
    storage_.closeProject("p1", "h3");
    EXPECT_EQ(GetCapturedStderr(), "writing: ./app_projects/p1/p1.xml to disk is blocked!!\n");
    EXPECT_EQ(GetCapturedStdout(), "closing p1\nclosing p1\n");

    // The file stays recorded, so the project loads again.
    writeProject("second");
    KrXMLDatabase* again = storage_.getProject("p1", "h4");
    EXPECT_EQ(again->getStringVariable("V", ""), "second");
    EXPECT_EQ(again->stringSet(), std::set<std::string>{"h4"});
}

TEST_F(ApplicationFiles, OpeningPrintsTheDirectoryLinesAndRecordsTheFile) {
    CaptureStdout();
    EXPECT_TRUE(storage_.openProject("p1", false, nullptr));
    EXPECT_EQ(GetCapturedStdout(), "*#*#*#* p1\ncsd: ./app_projects/p1\n");
    EXPECT_NE(storage_.getProject("p1", "h"), nullptr);

    // An absolute project path is used as it is.
    fs::create_directories(directory_ / "absolute");
    writeFile(directory_ / "absolute" / "abs.xml", projectFileText("abs"));
    ASSERT_TRUE(open("abs"));
    EXPECT_EQ(storage_.getProject("abs", "h")->getStringVariable("V", ""), "abs");
}

TEST_F(ApplicationFiles, CreatingAProjectMakesItsDirectoryAndMayMakeItsFile) {
    std::vector<std::string> missing;
    ASSERT_TRUE(open("p2", true, [&](const std::string& path) {
        missing.push_back(path);
        writeFile(path, projectFileText("made"));
    }));
    EXPECT_EQ(missing, std::vector<std::string>{"./app_projects/p2/p2.xml"});
    EXPECT_EQ(storage_.getProject("p2", "h")->getStringVariable("V", ""), "made");
}

TEST_F(ApplicationFiles, ProjectStringVariablesComeBeforeTemplateVariables) {
    ASSERT_TRUE(open("p1"));
    writeProject("<b>bold</b> [[T]]");
    storage_.getProject("p1", "h");
    storage_.setTemplateVariable("V", "template");
    storage_.setTemplateVariable("T", "t");

    std::string page = "[[V]]|[[T]]";
    storage_.expandTemplate(page, "p1");
    EXPECT_EQ(page, "<b>bold</b> t|t");

    page = "[[V]]";
    storage_.expandTemplate(page, "");
    EXPECT_EQ(page, "template");
}

// Sound behaviour: a project that cannot be read again is the caller's problem, never a
// reason to end the process.
TEST_F(ApplicationFiles, ReloadingAnUnloadedProjectThatFailsThrowsInsteadOfExiting) {
    ASSERT_TRUE(open("p1"));
    fs::remove(projectFile_);
    const std::string reason =
        "no config was found - ./app_projects/p1/p1.xml with error in stream around line 1";

    CaptureStdout();
    const std::string message = thrownBy([&] { storage_.reloadProject("p1", "h"); });
    EXPECT_EQ(GetCapturedStdout(),
              "reading DB again\n"
              "%%%%%%%%%%**************%%%%%%%%%%%%%%%%%%%%%%%% " +
                  reason + "\n");
    EXPECT_EQ(message, reason);

    writeProject("back");
    CaptureStdout();
    KrXMLDatabase* project = storage_.reloadProject("p1", "h");
    GetCapturedStdout();
    EXPECT_EQ(project->getStringVariable("V", ""), "back");
    EXPECT_EQ(storage_.getProject("p1", "h2"), project);
}

// Sound behaviour: those who hold a replaced database keep a live object; it goes with
// the storage.
TEST_F(ApplicationFiles, AReplacedProjectDatabaseStaysAliveForItsHolders) {
    ASSERT_TRUE(open("p1"));
    KrXMLDatabase* old = storage_.getProject("p1", "h1");
    writeProject("second");
    KrXMLDatabase* fresh = storage_.reloadProject("p1", "h2");
    ASSERT_NE(fresh, old);
    EXPECT_EQ(fresh->stringSet(), std::set<std::string>{"h2"});
    EXPECT_EQ(storage_.getProject("p1", "h3"), fresh);

    // Closing the new database's holders unloads it; the old one is still usable.
    CaptureStdout();
    CaptureStderr();
    storage_.closeProject("p1", "h2");
    storage_.closeProject("p1", "h3");
    storage_.closeProject("p1", "h1");
    GetCapturedStderr();
    GetCapturedStdout();
    EXPECT_EQ(old->getStringVariable("V", ""), "first");
    EXPECT_EQ(old->stringSet(), std::set<std::string>{"h1"});

    // A failed reload of a loaded project leaves it in place.
    KrXMLDatabase* loaded = storage_.getProject("p1", "h4");
    writeFile(projectFile_, "<project");
    EXPECT_EQ(thrownBy([&] { storage_.reloadProject("p1", "h5"); }),
              "no config was found - ./app_projects/p1/p1.xml with reading error  around line 1");
    EXPECT_EQ(storage_.getProject("p1", "h6"), loaded);
}

// Sound behaviour: a failed load stores nothing and frees what it built.
TEST_F(ApplicationFiles, AFailedGetProjectStoresNothing) {
    ASSERT_TRUE(open("p1"));
    fs::remove(projectFile_);
    EXPECT_EQ(thrownBy([&] { storage_.getProject("p1", "h1"); }),
              "no config was found - ./app_projects/p1/p1.xml with error in stream around line 1");

    writeProject("later");
    KrXMLDatabase* project = storage_.getProject("p1", "h2");
    EXPECT_EQ(project->stringSet(), std::set<std::string>{"h2"});
    CaptureStdout();
    CaptureStderr();
    storage_.closeProject("p1", "h2");
    EXPECT_EQ(GetCapturedStderr(), "writing: ./app_projects/p1/p1.xml to disk is blocked!!\n");
    GetCapturedStdout();
}

}  // namespace
