#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KrResourceRecord.h"
#include "storage/KrXMLDatabase.h"

// The configuration storage of one hosted application, a database with the root element
// "nuxel". Beside the database it holds
//  - the application file "./<application>.xml" with the application's options and its
//    list of projects, under nuxel.<application>;
//  - projects, each read from "<project directory>/<project>.xml" into a database of its
//    own that named holders share;
//  - the built-in files served without touching the disk;
//  - the template variables and the expansion of "[[...]]" keys in page text.
// Nothing is ever written to disk.
//
// No lock of its own: the application, the projects, the built-in files and the template
// variables are set up before any request is served and only read afterwards, so
// builtInFiles, builtInFileKind and expandTemplate may run on many threads at once.
class KrPersistentAppStorage : public KrXMLDatabase {
public:
    using BuiltInFiles = std::map<std::string, KrResourceRecord>;

    // A template expansion stops after this many substitutions and leaves the rest of the
    // text as it is: a value that names itself, directly or through others, would
    // otherwise never finish.
    static constexpr std::size_t kMaxTemplateSubstitutions = 10000;

    KrPersistentAppStorage();
    ~KrPersistentAppStorage() override;

    // Prints that writing the application file is blocked (for the selected application
    // when the name is empty).
    virtual void save(const std::string& applicationName);
    // Reads "./<name>.xml" and binds the application. A missing or unreadable file throws
    // "no config was found - ..." and leaves the application unbound.
    virtual void selectApplication(const std::string& name);
    // Makes the one "nuxel" element of the document the root and makes sure it holds an
    // element named after the application.
    virtual void bindApplication(const std::string& name);
    // The non-empty names of the application's projects, in document order.
    virtual void listProjects(std::vector<std::string>& names);
    // The application's options, name to value; a later option of the same name wins.
    virtual void readOptions(std::map<std::string, std::string>& options);
    // Records the file of a listed project after reading it once. False when the project
    // cannot be opened; with create set, an unreadable file throws instead.
    virtual bool openProject(const std::string& name, bool create, const NotFoundHandler& notFound);
    // Makes the directories of a project path, level by level, under the project storage
    // directory unless the path is absolute. The full path is handed out.
    virtual bool createProjectDirectory(const std::string& path, std::string& finalPath,
                                        bool create);
    virtual void printProjectStorage();
    // "./<application>_projects".
    virtual std::string projectStorageDirectory();
    // The database of an opened project, loaded on first use, with the holder added.
    // It stays owned by the storage.
    virtual KrXMLDatabase* getProject(const std::string& name, const std::string& holder);
    // Reads the project's file again into a new database that takes the project's place.
    // A database it replaces stays alive for those who still hold it, until the storage is
    // deleted. A failed read throws and changes nothing; for a project that was not loaded
    // it prints its "%%%..." line first.
    virtual KrXMLDatabase* reloadProject(const std::string& name, const std::string& holder);
    // Removes the holder; the last holder's close unloads the project.
    virtual void closeProject(const std::string& name, const std::string& holder);

    // The table becomes a copy of the argument.
    virtual void setBuiltInFiles(const BuiltInFiles& files);
    virtual const BuiltInFiles& builtInFiles() const;
    // The kind of the named file; 0 when there is none.
    virtual std::uint32_t builtInFileKind(const std::string& name) const;
    // Replaces every "[[key]]" of the text in place: a key beginning with "!" by its
    // command's output, otherwise by the string variable of the loaded project of that
    // name, or the template variable, or nothing.
    virtual void expandTemplate(std::string& text, const std::string& projectName) const;
    virtual void setTemplateVariable(const std::string& name, const std::string& value);
    virtual void eraseTemplateVariable(const std::string& name);

private:
    // Throws "no application selected" while no application is bound.
    void requireBoundApplication() const;
    // The output of a template command, the key with its "!".
    std::string expandCommand(const std::string& command) const;
    // The replacement of one template key.
    std::string templateReplacement(const std::string& key, const std::string& projectName) const;
    // Reads the recorded file of a project into a new database; throws what readFile throws.
    std::unique_ptr<KrXMLDatabase> loadProjectFile(const std::string& file) const;
    // The recorded file of an opened project; throws "project <name>not found" otherwise.
    const std::string& projectFile(const std::string& name) const;

    std::string applicationName_;
    bool applicationBound_ = false;
    std::map<std::string, std::string> projectFiles_;
    std::map<std::string, std::unique_ptr<KrXMLDatabase>> loadedProjects_;
    // Databases that reloadProject replaced: their holders may still use them.
    std::vector<std::unique_ptr<KrXMLDatabase>> replacedProjects_;
    BuiltInFiles builtInFiles_;
    std::map<std::string, std::string> templateVariables_;
};
