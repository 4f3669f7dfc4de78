#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "document/xml/AttributeSet.h"
#include "document/xml/KrXMLComplexAttribute2.h"
#include "document/xml/KrXMLComplexElement.h"

// An element with attributes: the base of every XML element read from a file, of the leaf
// nodes, of the documents and of every HTML element. The attribute map is ordered by name
// byte for byte, and that is the order in which the attributes are written. An entry may
// hold no object; it is written as a bare name. A copy of the element shares the map until
// one of them changes it.
class KrXMLGenericElement : public KrXMLComplexElement {
public:
    using GenericList = std::vector<KrXMLGenericElement*>;

    // Not a leaf, and written in the short form while it has no children.
    KrXMLGenericElement(std::string_view name, bool block);

    // The node as a generic element; null when it is none (or null). What dynamic_cast
    // gives, without its cost.
    static KrXMLGenericElement* from(KrXMLComplexElement* node) {
        return node != nullptr && node->generic_ ? static_cast<KrXMLGenericElement*>(node)
                                                 : nullptr;
    }

    void write(std::ostream& out) const override;

    // An existing attribute object takes the value; otherwise a plain attribute holding it
    // is stored. Always true.
    bool setAttribute(std::string_view name, std::string_view value);
    // Sets one attribute written as in markup: the name, "=", and the value between two
    // quote characters (whatever they are). A text without "=" or too short to hold the
    // quotes changes nothing. When the attribute refuses the value it keeps its own, the
    // error flag and text are set, and no exception escapes.
    void setAttributeText(std::string_view text);
    // The object stored under the name; a new empty plain attribute when the name is
    // absent; null for an entry without object. The object stays this element's own.
    KrXMLComplexAttribute2* attribute(std::string_view name);
    // The written value; an empty text for an entry without object; the fallback when the
    // name is absent.
    std::string getAttribute(std::string_view name, std::string_view fallback) const;
    bool attributeEquals(std::string_view name, std::string_view value) const;
    bool hasAttribute(std::string_view name) const;
    // Removes and deletes the named attribute; true when it was present.
    bool removeAttribute(std::string_view name);

    // Stores the object under a name that is not yet present; a name already present
    // throws the integer 2 and the object is deleted.
    void insertAttribute(std::string_view name, std::unique_ptr<KrXMLComplexAttribute2> object);
    // Registers a member attribute of this element under the name, through a proxy.
    void registerAttribute(std::string_view name, KrXMLComplexAttribute2& target);

    // Appends the children that are generic elements, in order.
    void genericChildren(GenericList& list) const;
    // findChildren, keeping the generic elements among the results.
    void findGenericChildren(std::string_view name, GenericList& list, int depth);
    // This element and every generic element below it, in pre-order, that has the
    // attribute / whose attribute has the value.
    void findChildrenHavingAttribute(GenericList& list, std::string_view name);
    void findChildrenWithAttribute(std::string_view name, std::string_view value,
                                   GenericList& list);
    KrXMLGenericElement* findFirstChildWithAttribute(std::string_view name, std::string_view value);

    bool replaceChildWithAttribute(std::unique_ptr<KrXMLGenericElement>& child,
                                   std::string_view attributeName, std::string_view value) override;
    // Replaces the element that bears the attribute value (replaceChildWithAttribute) and
    // then gives true; otherwise gives the child the attribute, adds it here and gives
    // false. A null child gives false.
    bool putChildWithAttribute(std::unique_ptr<KrXMLGenericElement> child,
                               std::string_view attributeName, std::string_view value);
    // Deletes the first generic child whose attribute has the value, if any.
    void deleteChildWithAttribute(std::string_view name, std::string_view value);

    // The generic elements a path selects. Steps are element names, each among this
    // element and its direct children, joined by "."; a step may carry a filter,
    // name[attribute] or name[attribute="value"].
    GenericList query(std::string_view path);

protected:
    using Attributes = kr::AttributeSet;

    // Starts with the attributes of the set, shared until this element changes them.
    KrXMLGenericElement(std::string_view name, bool block, const Attributes& attributes);
    KrXMLGenericElement(const KrXMLGenericElement&) = default;
    std::unique_ptr<KrXMLComplexElement> cloneNode(kr::NodeArena& arena) const override;
    std::size_t nodeSize() const override { return sizeof(KrXMLGenericElement); }

    const Attributes& attributeMap() const { return attributes_; }

    // Written after the start tag, before the first child.
    virtual void beforeChildren(std::ostream& /*out*/) const {}
    // Written after the last child, before the end tag.
    virtual void afterChildren(std::ostream& /*out*/) const {}

private:
    // Calls the visitor with this element and then with every generic element below it, in
    // pre-order, until it returns true; true when it did.
    template <class Visitor>
    bool visitGeneric(const Visitor& visit);

    Attributes attributes_;
};

namespace kr {

// Adds the child to the parent; the child as a generic element, null when it is none.
KrXMLGenericElement* appendGenericChild(KrXMLComplexElement& parent,
                                        std::unique_ptr<KrXMLComplexElement> child);

}  // namespace kr
