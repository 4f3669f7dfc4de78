#include "storage/KrXMLDatabase.h"

#include <fstream>
#include <sstream>

#include "document/xml/KrXMLLeafNodes.h"
#include "document/xml/KrXML_Document2.h"
#include "foundation/Diagnostics.h"
#include "foundation/KrException.h"
#include "foundation/Paths.h"
#include "foundation/Strings.h"
#include "reader/MarkupReader.h"

namespace {

constexpr std::string_view kDeclaration = "version=\"1.0\" encoding=\"UTF-8\"";
constexpr std::string_view kStringVariables = "project.stringvariables.stringvariable";

[[noreturn]] void throwNoBase(int number) {
    throw KrException("the base element must have a length", number, "src");
}

}  // namespace

KrXMLDatabase::KrXMLDatabase(const std::string& rootName)
    : document_(std::make_unique<KrXML_Document2>()) {
    document_->addChild(std::make_unique<KrXML_Declaration2>(kDeclaration));
    if (!rootName.empty()) {
        root_ = kr::appendChild(*document_, std::make_unique<KrXMLGenericElement>(rootName, true));
    }
}

KrXMLDatabase::~KrXMLDatabase() = default;

KrXMLGenericElement* KrXMLDatabase::findElementByPath(const std::string& path,
                                                      std::string& attributeName, bool create) {
    if (root_ == nullptr) {
        throwNoBase(901);
    }
    const std::vector<std::string> pieces = kr::splitString(path, ".");
    if (pieces.size() < 2) {
        throw KrException("the element and attribute name can't be empty", 902, "src");
    }
    attributeName = pieces.back();
    return walkDown(pieces, create);
}

KrXMLGenericElement* KrXMLDatabase::walkDown(const std::vector<std::string>& pieces, bool create) {
    KrXMLGenericElement* current = root_;
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
        ElementList candidates;
        current->findGenericChildren(pieces[i], candidates, 1);
        if (!candidates.empty()) {
            current = candidates.front();
        } else if (create) {
            current =
                kr::appendChild(*current, std::make_unique<KrXMLGenericElement>(pieces[i], true));
        } else {
            return nullptr;
        }
    }
    return current;
}

void KrXMLDatabase::setValue(const std::string& path, const std::string& value) {
    try {
        std::string attributeName;
        KrXMLGenericElement* element = findElementByPath(path, attributeName, true);
        element->setAttributeText(attributeName + "=\"" + value + "\"");
    } catch (...) {
        // A path that cannot address a value stores nothing.
    }
}

std::string KrXMLDatabase::getValue(const std::string& path, const std::string& fallback) {
    try {
        std::string attributeName;
        const KrXMLGenericElement* element = findElementByPath(path, attributeName, false);
        return element != nullptr ? element->getAttribute(attributeName, fallback) : fallback;
    } catch (...) {
        return fallback;
    }
}

void KrXMLDatabase::writeFile(const std::string& path) {
    kr::errLine("writing: ", path, " to disk is blocked!!");
    // A write would wait for a read in progress; so does its stand-in.
    const std::lock_guard lock(mutex_);
}

void KrXMLDatabase::readFile(const std::string& path, const NotFoundHandler& notFound) {
    if (!kr::fileExists(path) && notFound) {
        notFound(path);
    }
    const std::lock_guard lock(mutex_);
    std::string errorText = kr::fileNameOf(path);
    std::unique_ptr<KrXMLGenericElement> top;
    {
        std::ifstream in(path, std::ios::in | std::ios::binary);
        top = kr::readXMLStream(in, "xml", errorText);
    }
    if (top) {
        root_ = top.get();
        document_ = std::move(top);
        return;
    }
    throw KrException("no config was found - " + path + " with " + errorText, 903, "src");
}

void KrXMLDatabase::setValueLocked(const std::string& path, const std::string& value) {
    const std::lock_guard lock(mutex_);
    setValue(path, value);
}

std::string KrXMLDatabase::getValueLocked(const std::string& path, const std::string& fallback) {
    const std::lock_guard lock(mutex_);
    return getValue(path, fallback);
}

std::string KrXMLDatabase::getOrInitValue(const std::string& path, const std::string& fallback) {
    const std::lock_guard lock(mutex_);
    std::string value = getValue(path, fallback);
    setValue(path, value);
    return value;
}

void KrXMLDatabase::findElements(const std::string& path, ElementList& list) {
    const std::lock_guard lock(mutex_);
    if (path.empty() || root_ == nullptr) {
        throwNoBase(904);
    }
    const std::vector<std::string> pieces = kr::splitString(path, ".");
    if (KrXMLGenericElement* parent = walkDown(pieces, false)) {
        parent->findGenericChildren(pieces.back(), list, 1);
    }
}

void KrXMLDatabase::findAllByName(const std::string& name, ElementList& list) {
    const std::lock_guard lock(mutex_);
    if (name.empty() || root_ == nullptr) {
        throwNoBase(905);
    }
    root_->findGenericChildren(name, list, -1);
}

std::set<std::string>& KrXMLDatabase::stringSet() { return holders_; }

KrXMLGenericElement* KrXMLDatabase::findStringVariable(const std::string& name) {
    ElementList variables;
    findElements(std::string(kStringVariables), variables);
    for (KrXMLGenericElement* variable : variables) {
        if (variable->getAttribute("name", "") == name) {
            return variable;
        }
    }
    return nullptr;
}

std::string KrXMLDatabase::getStringVariable(const std::string& name, const std::string& fallback) {
    const KrXMLGenericElement* variable = findStringVariable(name);
    if (variable == nullptr) {
        return fallback;
    }
    ElementList children;
    variable->genericChildren(children);
    std::ostringstream value;
    for (const KrXMLGenericElement* child : children) {
        child->write(value);
    }
    return value.str();
}

bool KrXMLDatabase::hasStringVariable(const std::string& name) {
    return findStringVariable(name) != nullptr;
}
