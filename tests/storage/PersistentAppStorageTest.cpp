#include "storage/KrPersistentAppStorage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "StorageTestSupport.h"
#include "foundation/KrException.h"

namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using Options = std::map<std::string, std::string>;
using Names = std::vector<std::string>;

KrXMLGenericElement* add(KrXMLComplexElement& parent, const std::string& name,
                         const std::map<std::string, std::string>& attributes = {}) {
    auto* added = kr::appendChild(parent, std::make_unique<KrXMLGenericElement>(name, true));
    for (const auto& [attribute, value] : attributes) {
        added->setAttribute(attribute, value);
    }
    return added;
}

// The element of the application under the storage's "nuxel" root, as an application
// file would give it.
KrXMLGenericElement* applicationElement(KrPersistentAppStorage& storage, const std::string& name) {
    storage.bindApplication(name);
    KrXMLDatabase::ElementList found;
    storage.findAllByName(name, found);
    return found.at(0);
}

TEST(AppStorageBinding, AFreshStorageBindsAndHasNoOptions) {
    KrPersistentAppStorage storage;
    storage.bindApplication("game");
    KrXMLDatabase::ElementList games;
    storage.findElements("game", games);
    ASSERT_EQ(games.size(), 1u);
    EXPECT_EQ(games.front()->parent()->name(), "nuxel");

    Options options{{"stale", "x"}};
    storage.readOptions(options);
    EXPECT_TRUE(options.empty());

    // Binding again finds the element it made.
    storage.bindApplication("game");
    games.clear();
    storage.findAllByName("game", games);
    EXPECT_EQ(games.size(), 1u);
}

TEST(AppStorageBinding, EverythingOfTheApplicationNeedsABinding) {
    KrPersistentAppStorage storage;
    Options options;
    Names names;
    EXPECT_EQ(thrownBy([&] { storage.readOptions(options); }), "no application selected");
    EXPECT_EQ(thrownBy([&] { storage.listProjects(names); }), "no application selected");
    EXPECT_EQ(thrownBy([&] { storage.openProject("p", false, nullptr); }),
              "no application selected");
}

TEST(AppStorageBinding, RequiresExactlyOneNuxelElement) {
    KrPersistentAppStorage storage;
    KrXMLDatabase::ElementList roots;
    storage.findAllByName("nuxel", roots);
    add(*roots.at(0), "nuxel");
    EXPECT_EQ(thrownBy([&] { storage.bindApplication("game"); }),
              "could not read the application config base 'nuxel'");
    Options options;
    EXPECT_EQ(thrownBy([&] { storage.readOptions(options); }), "no application selected");
}

TEST(AppStorageOptions, LaterDuplicatesWinAndNamelessOptionsAreSkipped) {
    KrPersistentAppStorage storage;
    KrXMLGenericElement* options = add(*applicationElement(storage, "game"), "options");
    add(*options, "option", {{"name", "port"}, {"value", "2098"}});
    add(*options, "option", {{"value", "orphan"}});
    add(*options, "option", {{"name", "title"}});
    add(*options, "option", {{"name", "port"}, {"value", "8080"}});

    Options read;
    storage.readOptions(read);
    EXPECT_EQ(read, (Options{{"port", "8080"}, {"title", ""}}));
}

TEST(AppStorageProjects, ListsNamedProjectsInDocumentOrderWithDuplicates) {
    KrPersistentAppStorage storage;
    KrXMLGenericElement* projects = add(*applicationElement(storage, "game"), "projects");
    add(*projects, "project", {{"name", "b"}});
    add(*projects, "project", {{"projectpath", "nameless"}});
    add(*projects, "project", {{"name", "a"}});
    add(*projects, "project", {{"name", "b"}});

    Names names{"stale"};
    storage.listProjects(names);
    EXPECT_EQ(names, (Names{"b", "a", "b"}));
}

using AppStorageFiles = InTemporaryDirectory;

TEST_F(AppStorageFiles, ProjectDirectoriesAreMadeLevelByLevelUnderTheStorageDirectory) {
    KrPersistentAppStorage storage;
    storage.bindApplication("app");
    EXPECT_EQ(storage.projectStorageDirectory(), "./app_projects");

    std::string made;
    CaptureStdout();
    EXPECT_TRUE(storage.createProjectDirectory("p1/sub", made, true));
    EXPECT_EQ(GetCapturedStdout(), "*#*#*#* p1/sub\ncsd: ./app_projects/p1/sub\n");
    EXPECT_EQ(made, "./app_projects/p1/sub");
    EXPECT_TRUE(fs::is_directory(directory_ / "app_projects" / "p1" / "sub"));

    // Backslashes are separators too, and a path already under the directory stays as it is.
    const std::pair<std::string, std::string> cases[] = {
        {"p2\\deep", "./app_projects/p2/deep"},
        {"./app_projects/p3", "./app_projects/p3"},
        {"p4//x/", "./app_projects/p4//x/"},
    };
    for (const auto& [path, expected] : cases) {
        CaptureStdout();
        EXPECT_TRUE(storage.createProjectDirectory(path, made, true)) << path;
        GetCapturedStdout();
        EXPECT_EQ(made, expected);
        EXPECT_TRUE(fs::is_directory(expected)) << expected;
    }
}

TEST_F(AppStorageFiles, AnAbsoluteProjectPathIsUsedWithoutThePrefix) {
    KrPersistentAppStorage storage;
    storage.bindApplication("app");
    const std::string absolute = (directory_ / "elsewhere" / "p").string();
    std::string made;
    CaptureStdout();
    EXPECT_TRUE(storage.createProjectDirectory(absolute, made, true));
    EXPECT_EQ(GetCapturedStdout(), "*#*#*#* " + absolute + "\ncsd: " + absolute + "\n");
    EXPECT_EQ(made, absolute);
    EXPECT_TRUE(fs::is_directory(absolute));
    EXPECT_FALSE(fs::exists(directory_ / "app_projects"));
}

TEST_F(AppStorageFiles, WithoutCreateAMissingLevelFails) {
    KrPersistentAppStorage storage;
    storage.bindApplication("app");
    std::string made = "untouched";
    CaptureStdout();
    EXPECT_FALSE(storage.createProjectDirectory("p1", made, false));
    GetCapturedStdout();
    EXPECT_EQ(made, "untouched");
    EXPECT_FALSE(fs::exists(directory_ / "app_projects"));

    // A file where a level should be cannot be made a directory.
    writeFile(directory_ / "blocked", "x");
    CaptureStdout();
    EXPECT_FALSE(
        storage.createProjectDirectory((directory_ / "blocked" / "p").string(), made, true));
    GetCapturedStdout();
}

TEST_F(AppStorageFiles, PrintsTheProjectStorage) {
    KrPersistentAppStorage storage;
    storage.bindApplication("app");
    CaptureStdout();
    storage.printProjectStorage();
    EXPECT_EQ(GetCapturedStdout(), "projectstorage: ./app_projects\n");
}

TEST_F(AppStorageFiles, AMissingApplicationFileLeavesTheApplicationUnbound) {
    KrPersistentAppStorage storage;
    const std::string message = thrownBy([&] { storage.selectApplication("app"); });
    EXPECT_EQ(message, "no config was found - ./app.xml with error in stream around line 1");
    Options options;
    EXPECT_EQ(thrownBy([&] { storage.readOptions(options); }), "no application selected");
    EXPECT_EQ(storage.projectStorageDirectory(), "./app_projects");  // the name is set
}

TEST_F(AppStorageFiles, SaveOnlySaysThatWritingIsBlocked) {
    KrPersistentAppStorage storage;
    storage.bindApplication("app");
    CaptureStderr();
    storage.save("");
    storage.save("other");
    EXPECT_EQ(GetCapturedStderr(),
              "writing: ./app.xml to disk is blocked!!\n"
              "writing: ./other.xml to disk is blocked!!\n");
    EXPECT_TRUE(fs::is_empty(directory_));
}

TEST_F(AppStorageFiles, ProjectsThatCannotBeOpenedAnswerFalse) {
    KrPersistentAppStorage storage;
    KrXMLGenericElement* projects = add(*applicationElement(storage, "app"), "projects");
    KrXMLGenericElement* pathless = add(*projects, "project", {{"name", "pathless"}});
    add(*projects, "project", {{"name", "nofile"}, {"projectpath", "nofile"}});

    CaptureStdout();
    EXPECT_FALSE(storage.openProject("", true, nullptr));
    EXPECT_FALSE(storage.openProject("unlisted", true, nullptr));
    EXPECT_FALSE(storage.openProject("pathless", false, nullptr));
    EXPECT_EQ(pathless->getAttribute("projectpath", "absent"), "absent");
    // The directory is missing and may not be made.
    EXPECT_FALSE(storage.openProject("nofile", false, nullptr));
    EXPECT_FALSE(fs::exists(directory_ / "app_projects"));
    GetCapturedStdout();

    // Made, but without a file in it.
    fs::create_directories(directory_ / "app_projects" / "nofile");
    std::vector<std::string> missing;
    CaptureStdout();
    EXPECT_FALSE(storage.openProject("nofile", false,
                                     [&](const std::string& path) { missing.push_back(path); }));
    GetCapturedStdout();
    EXPECT_EQ(missing, (std::vector<std::string>{"./app_projects/nofile/nofile.xml"}));
    EXPECT_EQ(thrownBy([&] { storage.getProject("nofile", "h"); }), "project nofilenot found");
}

TEST_F(AppStorageFiles, WithCreateAnUnreadableProjectFileThrows) {
    KrPersistentAppStorage storage;
    KrXMLGenericElement* projects = add(*applicationElement(storage, "app"), "projects");
    KrXMLGenericElement* pathless = add(*projects, "project", {{"name", "p"}});

    CaptureStdout();
    const std::string message = thrownBy([&] { storage.openProject("p", true, nullptr); });
    GetCapturedStdout();
    EXPECT_EQ(message,
              "closing on catch... with no config was found - ./app_projects/p/p.xml with "
              "error in stream around line 1");
    // The empty path was set to the project's name, and its directory made.
    EXPECT_EQ(pathless->getAttribute("projectpath", ""), "p");
    EXPECT_TRUE(fs::is_directory(directory_ / "app_projects" / "p"));
}

TEST(AppStorageProjectLifecycle, UnopenedProjectsAreNotFoundAndCloseOnlyPrints) {
    KrPersistentAppStorage storage;
    EXPECT_EQ(thrownBy([&] { storage.getProject("p", "h"); }), "project pnot found");
    EXPECT_EQ(thrownBy([&] { storage.reloadProject("p", "h"); }), "project pnot found");
    CaptureStdout();
    CaptureStderr();
    storage.closeProject("p", "h");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(), "closing p\n");
}

}  // namespace
