#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "document/xml/KrXMLGenericElement.h"

// A small configuration store held in memory as an XML document. A value is the text of
// an attribute, addressed by a dotted path: element names from below the root element
// down, the attribute name last ("window.size.width"). The whole document can be loaded
// from an XML file; nothing is ever written back (writeFile only says so).
//
// setValue, getValue and stringSet take no lock: a database shared between threads is
// used through the locked operations. Every operation calls the others through the
// virtual table.
class KrXMLDatabase {
public:
    using ElementList = KrXMLGenericElement::GenericList;
    // Called by readFile with the path of a file that does not exist; it may create it.
    using NotFoundHandler = std::function<void(const std::string& path)>;

    // An empty root name makes a database without root element: every path then fails
    // until a file has been read.
    explicit KrXMLDatabase(const std::string& rootName);
    KrXMLDatabase(const KrXMLDatabase&) = delete;
    KrXMLDatabase& operator=(const KrXMLDatabase&) = delete;

    // Stores the value at the path, creating the elements on the way. A path that cannot
    // address a value changes nothing; nothing is thrown.
    virtual void setValue(const std::string& path, const std::string& value);
    // The value at the path, or the fallback when there is none or the path is not valid.
    // Never creates an element.
    virtual std::string getValue(const std::string& path, const std::string& fallback);

    virtual ~KrXMLDatabase();

    // Writes nothing: prints that writing the file is blocked.
    virtual void writeFile(const std::string& path);
    // Replaces the whole document by the top element of the file. A missing file is
    // handed to notFound first (when set); a file that still yields no element throws
    // KrException "no config was found - " + path + " with " + the reason, and the
    // database keeps its content.
    virtual void readFile(const std::string& path, const NotFoundHandler& notFound);

    virtual void setValueLocked(const std::string& path, const std::string& value);
    virtual std::string getValueLocked(const std::string& path, const std::string& fallback);
    // The value at the path, stored with the fallback when it was missing.
    virtual std::string getOrInitValue(const std::string& path, const std::string& fallback);

    // Appends the elements that a dotted element path selects: the path is walked down from
    // the root by first matches, and every match of its last name is appended (the current
    // element first when it bears that name, then its children of that name).
    virtual void findElements(const std::string& path, ElementList& list);
    // Appends every element of that name in the root's subtree, the root included, an
    // element before its children.
    virtual void findAllByName(const std::string& name, ElementList& list);

    // The names of those who hold this database open; the database only hands it out.
    virtual std::set<std::string>& stringSet();

    // The value of the string variable of that name: the markup of the children of the
    // first project.stringvariables.stringvariable element whose "name" is the name.
    virtual std::string getStringVariable(const std::string& name, const std::string& fallback);
    virtual bool hasStringVariable(const std::string& name);

protected:
    // The element under which every path starts; null while there is none.
    KrXMLGenericElement* root() const { return root_; }
    void setRoot(KrXMLGenericElement* root) { root_ = root; }
    // The top of the tree: the root, or the node that holds the declaration and the root.
    KrXMLGenericElement& document() const { return *document_; }

private:
    // Walks the path down from the root; the attribute name (the last piece) is handed out.
    // Null when an element is missing and create is not set. Throws for an invalid path.
    KrXMLGenericElement* findElementByPath(const std::string& path, std::string& attributeName,
                                           bool create);
    // Walks down from the root through every piece but the last, taking the first match at
    // each level. A missing element is made when create is set; otherwise the walk ends
    // with null.
    KrXMLGenericElement* walkDown(const std::vector<std::string>& pieces, bool create);
    // The first stringvariable element of that name, or null.
    KrXMLGenericElement* findStringVariable(const std::string& name);

    std::unique_ptr<KrXMLGenericElement> document_;
    KrXMLGenericElement* root_ = nullptr;
    std::set<std::string> holders_;
    // Guards the tree in readFile, writeFile and the locked operations. Nothing else is
    // locked while it is held, and no operation that holds it calls a locked one.
    std::mutex mutex_;
};
