#include "storage/KrPersistentAppStorage.h"

#include <utility>

#include "foundation/Diagnostics.h"
#include "foundation/KrException.h"
#include "foundation/Paths.h"
#include "foundation/Strings.h"
#include "storage/KrCommandCompiler.h"

namespace {

constexpr std::string_view kRootName = "nuxel";
constexpr std::string_view kReloadFailedLine = "%%%%%%%%%%**************%%%%%%%%%%%%%%%%%%%%%%%% ";

void ignoreMissingFile(const std::string& /*path*/) {}

}  // namespace

KrPersistentAppStorage::KrPersistentAppStorage() : KrXMLDatabase(std::string(kRootName)) {}

KrPersistentAppStorage::~KrPersistentAppStorage() = default;

void KrPersistentAppStorage::requireBoundApplication() const {
    if (!applicationBound_) {
        throw KrException("no application selected", 911, "src");
    }
}

void KrPersistentAppStorage::save(const std::string& applicationName) {
    const std::string& name = applicationName.empty() ? applicationName_ : applicationName;
    writeFile(kr::applicationBaseDirectory(name) + "/" + name + ".xml");
}

void KrPersistentAppStorage::selectApplication(const std::string& name) {
    applicationName_ = name;
    readFile(kr::applicationBaseDirectory(name) + "/" + name + ".xml", ignoreMissingFile);
    bindApplication(name);
}

void KrPersistentAppStorage::bindApplication(const std::string& name) {
    ElementList bases;
    document().findGenericChildren(kRootName, bases, -1);
    if (bases.size() != 1) {
        throw KrException("could not read the application config base 'nuxel'", 912, "src");
    }
    KrXMLGenericElement* base = bases.front();
    setRoot(base);
    ElementList applications;
    base->findGenericChildren(name, applications, -1);
    if (applications.empty()) {
        base->addChild(std::make_unique<KrXMLGenericElement>(name, true));
    }
    applicationName_ = name;
    applicationBound_ = true;
}

void KrPersistentAppStorage::listProjects(std::vector<std::string>& names) {
    requireBoundApplication();
    names.clear();
    ElementList projects;
    findElements(applicationName_ + ".projects.project", projects);
    for (const KrXMLGenericElement* project : projects) {
        std::string name = project->getAttribute("name", "");
        if (!name.empty()) {
            names.push_back(std::move(name));
        }
    }
}

void KrPersistentAppStorage::readOptions(std::map<std::string, std::string>& options) {
    requireBoundApplication();
    options.clear();
    ElementList elements;
    findElements(applicationName_ + ".options.option", elements);
    for (const KrXMLGenericElement* option : elements) {
        const std::string name = option->getAttribute("name", "");
        if (!name.empty()) {
            options.insert_or_assign(name, option->getAttribute("value", ""));
        }
    }
}

bool KrPersistentAppStorage::openProject(const std::string& name, bool create,
                                         const NotFoundHandler& notFound) {
    if (name.empty()) {
        return false;
    }
    requireBoundApplication();
    ElementList projects;
    findElements(applicationName_ + ".projects.project", projects);
    bool listed = false;
    for (KrXMLGenericElement* project : projects) {
        if (project->getAttribute("name", "") != name) {
            continue;
        }
        listed = true;
        std::string path = project->getAttribute("projectpath", "");
        if (path.empty()) {
            if (!create) {
                return false;
            }
            project->setAttribute("projectpath", name);
            path = name;
        }
        std::string directory;
        if (!createProjectDirectory(path, directory, create)) {
            return false;
        }
        try {
            const std::string file = directory + "/" + name + ".xml";
            KrXMLDatabase(std::string(kRootName)).readFile(file, notFound);
            projectFiles_.insert_or_assign(name, file);
        } catch (const KrException& caught) {
            if (create) {
                throw KrException(std::string("closing on catch... with ") + caught.what(), 913,
                                  "src");
            }
            return false;
        } catch (...) {
            if (create) {
                kr::outLine("closing on catch...");
            }
            return false;
        }
    }
    return listed;
}

bool KrPersistentAppStorage::createProjectDirectory(const std::string& path, std::string& finalPath,
                                                    bool create) {
    kr::outLine("*#*#*#* ", path);
    const std::string native = kr::toNativeSeparators(path, true);
    const bool absolute = native.starts_with('/');
    const std::string prefix = projectStorageDirectory() + "/";
    const std::string full = absolute || native.starts_with(prefix) ? native : prefix + native;
    kr::outLine("csd: ", full);

    std::string level = absolute ? "/" : "";
    bool first = true;
    for (const std::string& piece : kr::splitString(full, "/", true)) {
        if (!first) {
            level += '/';
        }
        level += piece;
        first = false;
        if (!kr::ensureDirectory(level, create)) {
            return false;
        }
    }
    finalPath = full;
    return true;
}

void KrPersistentAppStorage::printProjectStorage() {
    kr::outLine("projectstorage: ", projectStorageDirectory());
}

std::string KrPersistentAppStorage::projectStorageDirectory() {
    return kr::projectBaseDirectory(applicationName_) + "/" + applicationName_ + "_projects";
}

const std::string& KrPersistentAppStorage::projectFile(const std::string& name) const {
    const auto found = projectFiles_.find(name);
    if (found == projectFiles_.end()) {
        throw KrException("project " + name + "not found", 914, "src");
    }
    return found->second;
}

std::unique_ptr<KrXMLDatabase> KrPersistentAppStorage::loadProjectFile(
    const std::string& file) const {
    auto database = std::make_unique<KrXMLDatabase>("");
    database->readFile(file, ignoreMissingFile);
    return database;
}

KrXMLDatabase* KrPersistentAppStorage::getProject(const std::string& name,
                                                  const std::string& holder) {
    const std::string& file = projectFile(name);
    if (const auto loaded = loadedProjects_.find(name); loaded != loadedProjects_.end()) {
        loaded->second->stringSet().insert(holder);
        return loaded->second.get();
    }
    // A failed read throws before anything is stored, and the new database is freed.
    std::unique_ptr<KrXMLDatabase> database = loadProjectFile(file);
    database->stringSet().insert(holder);
    KrXMLDatabase* project = database.get();
    loadedProjects_.emplace(name, std::move(database));
    return project;
}

KrXMLDatabase* KrPersistentAppStorage::reloadProject(const std::string& name,
                                                     const std::string& holder) {
    const std::string& file = projectFile(name);
    const auto loaded = loadedProjects_.find(name);
    const bool wasLoaded = loaded != loadedProjects_.end();
    if (!wasLoaded) {
        kr::outLine("reading DB again");
    }
    std::unique_ptr<KrXMLDatabase> database;
    try {
        database = loadProjectFile(file);
    } catch (const KrException& caught) {
        if (!wasLoaded) {
            // The line is printed as before, but the caller decides what a failed read
            // means: a configuration problem must not end the whole server.
            kr::outLine(kReloadFailedLine, caught.what());
        }
        throw KrException(caught, wasLoaded ? 916 : 915, "src");
    }
    database->stringSet().insert(holder);
    KrXMLDatabase* project = database.get();
    if (!wasLoaded) {
        loadedProjects_.emplace(name, std::move(database));
    } else {
        // Holders of the replaced database keep using it.
        replacedProjects_.push_back(std::exchange(loaded->second, std::move(database)));
    }
    return project;
}

void KrPersistentAppStorage::closeProject(const std::string& name, const std::string& holder) {
    if (const auto loaded = loadedProjects_.find(name); loaded != loadedProjects_.end()) {
        std::set<std::string>& holders = loaded->second->stringSet();
        holders.erase(holder);
        if (holders.empty()) {
            std::unique_ptr<KrXMLDatabase> database = std::move(loaded->second);
            loadedProjects_.erase(loaded);
            database->writeFile(projectFiles_.at(name));
        }
    }
    kr::outLine("closing ", name);
}

void KrPersistentAppStorage::setBuiltInFiles(const BuiltInFiles& files) { builtInFiles_ = files; }

const KrPersistentAppStorage::BuiltInFiles& KrPersistentAppStorage::builtInFiles() const {
    return builtInFiles_;
}

std::uint32_t KrPersistentAppStorage::builtInFileKind(const std::string& name) const {
    const auto found = builtInFiles_.find(name);
    return found != builtInFiles_.end() ? found->second.kind() : 0;
}

void KrPersistentAppStorage::setTemplateVariable(const std::string& name,
                                                 const std::string& value) {
    templateVariables_.insert_or_assign(name, value);
}

void KrPersistentAppStorage::eraseTemplateVariable(const std::string& name) {
    try {
        templateVariables_.erase(name);
    } catch (...) {
        // Erasing a variable never fails its caller.
    }
}

std::string KrPersistentAppStorage::expandCommand(const std::string& command) const {
    return KrCommandCompiler().compile(command);
}

std::string KrPersistentAppStorage::templateReplacement(const std::string& key,
                                                        const std::string& projectName) const {
    if (key.starts_with('!')) {
        return expandCommand(key);
    }
    if (const auto project = loadedProjects_.find(projectName);
        project != loadedProjects_.end() && project->second->hasStringVariable(key)) {
        return project->second->getStringVariable(key, "");
    }
    return kr::valueOrDefault(templateVariables_, key, "");
}

void KrPersistentAppStorage::expandTemplate(std::string& text,
                                            const std::string& projectName) const {
    static constexpr std::string_view kOpen = "[[";
    static constexpr std::string_view kClose = "]]";
    std::size_t position = 0;
    for (std::size_t substitutions = 0; substitutions < kMaxTemplateSubstitutions;
         ++substitutions) {
        const std::size_t open = text.find(kOpen, position);
        if (open == std::string::npos) {
            return;
        }
        const std::size_t close = text.find(kClose, open);
        if (close == std::string::npos) {
            return;  // no later "[[" can be closed either
        }
        const std::string key = text.substr(open + kOpen.size(), close - open - kOpen.size());
        text.replace(open, close + kClose.size() - open, templateReplacement(key, projectName));
        // The replacement is searched again: a value may hold keys of its own.
        position = open;
    }
}
