#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "document/xml/ChildList.h"
#include "document/xml/NodeArena.h"
#include "foundation/SharedText.h"

class KrWidgetManager_base;
class KrXMLGenericElement;

// One node of a document tree: XML, HTML and CSS nodes all are. A node has a name, an
// ordered sequence of children that it owns, and a pointer to the parent that owns it.
// Trees hand out raw pointers into themselves, so nodes are never moved; they are created
// on the heap and handed to a parent as std::unique_ptr. Operations that take a child out
// without deleting it give it back the same way. A whole tree can be copied (copyTree):
// the copy shares the texts and, until one side changes them, the attributes of the
// original, which is what keeps many copies of one parsed page small. The copy's nodes lie
// together in one arena (kr::NodeArena), which is what makes a copy and its deletion cheap;
// a node of it is owned, moved and deleted like any other.
//
// Trees are not locked: the owner of a tree serialises every access to it.
class KrXMLComplexElement {
public:
    using ElementList = std::vector<KrXMLComplexElement*>;

    // selfClosing makes an element without children write the short form; a leaf always
    // writes it and refuses children.
    KrXMLComplexElement(std::string_view name, bool leaf, bool selfClosing);
    KrXMLComplexElement& operator=(const KrXMLComplexElement&) = delete;
    // Tells the user object first, then deletes the children in order.
    virtual ~KrXMLComplexElement();

    // Every node, of whatever class, is made in node memory: on its own, or in the arena of
    // a copied tree. delete gives either back where it came from, so a node taken out of a
    // copied tree is owned by a std::unique_ptr like any other and may outlive the tree.
    static void* operator new(std::size_t bytes) { return kr::NodeArena::allocateAlone(bytes); }
    static void* operator new(std::size_t bytes, kr::NodeArena& arena) {
        return arena.allocate(bytes);
    }
    static void operator delete(void* node) noexcept { kr::NodeArena::release(node); }
    // Only for a constructor that throws in an arena.
    static void operator delete(void* node, kr::NodeArena& /*arena*/) noexcept {
        kr::NodeArena::release(node);
    }
    // Node memory is aligned for pointers: a node class that needs more does not compile.
    static void* operator new(std::size_t, std::align_val_t) = delete;

    // A copy of this element and everything below it, without parent and without user
    // objects; null when a node below cannot be copied (its class does not copy itself).
    // The original is only read, so several threads may copy one tree at once.
    std::unique_ptr<KrXMLComplexElement> copyTree() const;
    // The same, made in an arena planned for that many bytes: what copyFootprint measured
    // of this tree, kept by a caller that copies one tree many times. A plan that falls
    // short only costs further blocks.
    std::unique_ptr<KrXMLComplexElement> copyTree(std::size_t plannedBytes) const;
    // The bytes that a copy of the tree as it is now takes in its arena.
    std::size_t copyFootprint() const;

    const std::string& name() const { return name_.str(); }
    KrXMLComplexElement* parent() const { return parent_; }

    bool isLeaf() const { return leaf_; }
    void setLeaf(bool leaf) { leaf_ = leaf; }
    bool isSelfClosing() const { return selfClosing_; }
    void setSelfClosing(bool selfClosing) { selfClosing_ = selfClosing; }
    // A block node starts a line of its own when its parent is written.
    bool isBlock() const { return block_; }
    // True only for the HTML text node.
    virtual bool isText() const { return false; }

    // Set by setAttributeText when an attribute refuses its value.
    bool hasError() const { return error_; }
    const std::string& errorText() const { return rare_ ? rare_->errorText.str() : kNoText.str(); }

    // The user object is not owned; it is told when this element is destroyed.
    void setUserData(KrWidgetManager_base* userObject);
    KrWidgetManager_base* userData() const { return rare_ ? rare_->userObject : nullptr; }

    // The grammar the markup reader reads this element's content in: a non-empty name
    // replaces the stored one; the result is the stored name.
    virtual std::string contentDTD(std::string_view name);

    // Writes the element as markup. Nothing is escaped: names, values and texts go out
    // byte for byte as they are held.
    virtual void write(std::ostream& out) const;
    // Writes the texts of the HTML text nodes under this element.
    virtual void innerText(std::ostream& out) const;

    // Appends the child and makes this element its parent. A leaf refuses any child, null
    // included, before taking it (KrException 631). The child is returned, null for null.
    // When checkChild refuses the child it stays linked and the exception passes on.
    KrXMLComplexElement* addChild(std::unique_ptr<KrXMLComplexElement> child);
    // Inserts the child in front of the others, leaf or not; otherwise like addChild.
    KrXMLComplexElement* prependChild(std::unique_ptr<KrXMLComplexElement> child);
    // Takes the child out without deleting it and hands it back, parentless; null when it
    // is not a child of this element.
    std::unique_ptr<KrXMLComplexElement> removeChild(KrXMLComplexElement* child);
    // Deletes every child, then adds the new one.
    KrXMLComplexElement* replaceChildren(std::unique_ptr<KrXMLComplexElement> child);
    // Deletes every child.
    void deleteChildren();
    // Puts the wrapper in the child's place and the child into the wrapper as its last
    // child. False, with nothing changed, for a child that is not here or a null wrapper.
    // When the wrapper refuses the child, the child is back in its place and the exception
    // passes on. A wrapper that is not used is deleted.
    bool wrapChild(KrXMLComplexElement* child, std::unique_ptr<KrXMLComplexElement> wrapper);
    // Puts the replacement in the old child's place and deletes the old child. False, with
    // nothing changed, for an old child that is not here or a null replacement.
    bool replaceChild(KrXMLComplexElement* oldChild,
                      std::unique_ptr<KrXMLComplexElement> replacement);
    // Replaces the first element child, at any depth, that bears the attribute value and
    // gives the new child that attribute. The new child is taken from the argument only
    // when the result is true. The base finds nothing.
    virtual bool replaceChildWithAttribute(std::unique_ptr<KrXMLGenericElement>& child,
                                           std::string_view attributeName, std::string_view value);

    // Appends the child pointers in order.
    void children(ElementList& list) const;
    // Appends this element when it bears the name, then searches the children: depth 0
    // looks at this element alone, 1 also at its children, -1 at the whole subtree.
    void findChildren(std::string_view name, ElementList& list, int depth);
    // The first of this element and the elements below it, in pre-order, for which the
    // predicate holds; null when there is none. The search stops at the first.
    template <class Predicate>
    KrXMLComplexElement* findFirstWhere(const Predicate& matches);
    // The first, second and third child that is neither a processing instruction nor a
    // comment, nor a text node when skipText is set; null when there is none.
    KrXMLComplexElement* firstElementChild(bool skipText) const;
    KrXMLComplexElement* secondElementChild(bool skipText) const;
    KrXMLComplexElement* thirdElementChild(bool skipText) const;

    // Called by the markup reader when the element's content has ended.
    virtual void finish() {}

protected:
    // Copies the node alone: its name, flags, grammar and error, not its children, its
    // parent or its user object. Node classes copy themselves through it in cloneNode.
    KrXMLComplexElement(const KrXMLComplexElement& other);
    // A copy of this node alone, of its own class, made in the arena; every node class that
    // can be copied overrides it and nodeSize. copyTree refuses a tree with a node whose
    // copy has another class.
    virtual std::unique_ptr<KrXMLComplexElement> cloneNode(kr::NodeArena& arena) const;
    // The size of this node's class, which its copy takes in the arena.
    virtual std::size_t nodeSize() const { return sizeof(KrXMLComplexElement); }

    // Called first by every write.
    virtual void beforeWrite(std::ostream& /*out*/) const {}
    // Called after a child has been linked in; throws to refuse it (the child stays).
    // Neither this hook nor childRemoved may add or remove children of this element.
    virtual void checkChild(KrXMLComplexElement* /*child*/) {}
    // Called before a child leaves the sequence (not when the element is destroyed).
    virtual void childRemoved(KrXMLComplexElement* /*child*/) {}

    // For an element whose content is read in a grammar of its own: a non-empty name (the
    // grammar the element was opened in) is stored and the content's grammar is the
    // answer; an empty name gets the stored one back.
    std::string switchContentDTD(std::string_view name, std::string_view contentGrammar);
    void setBlock(bool block) { block_ = block; }
    void setError(std::string_view text);
    // Throws KrException 631 when this element is a leaf.
    void refuseChildIfLeaf() const;
    // Writes every child in order, with nothing between them.
    void writeChildren(std::ostream& out) const;

    using Children = kr::ChildList;
    const Children& childSequence() const { return children_; }

private:
    // Sets generic_.
    friend class KrXMLGenericElement;

    // The room a walk through a tree makes for its list of pending nodes at once: enough
    // for the pages of the system, so that a walk allocates once and not as the list grows.
    static constexpr std::size_t kWalkReserve = 32;

    KrXMLComplexElement* linkChild(std::size_t where, std::unique_ptr<KrXMLComplexElement> child);
    // Calls the visitor with this node and every node below it, in pre-order.
    template <class Visitor>
    void forEachInTree(const Visitor& visit) const;
    KrXMLComplexElement* elementChild(int index, bool skipText) const;

    // Every node of every page has these, so they are kept small: texts are shared with
    // copies, and a node without children holds a null list.
    kr::SharedText name_;
    KrXMLComplexElement* parent_ = nullptr;
    Children children_;
    kr::SharedText contentDTD_;
    // What few nodes have; null while a node has neither.
    struct Rare {
        KrWidgetManager_base* userObject = nullptr;
        kr::SharedText errorText;
    };
    static inline const kr::SharedText kNoText;
    std::unique_ptr<Rare> rare_;
    bool leaf_;
    bool selfClosing_;
    bool block_ = false;
    bool error_ = false;
    // This node is a KrXMLGenericElement: the searches ask it of every node they pass.
    bool generic_ = false;
};

template <class Predicate>
KrXMLComplexElement* KrXMLComplexElement::findFirstWhere(const Predicate& matches) {
    // Nodes still to look at, the next one last: a list, not recursion, at any depth.
    std::vector<KrXMLComplexElement*> pending;
    pending.reserve(kWalkReserve);
    pending.push_back(this);
    while (!pending.empty()) {
        KrXMLComplexElement* const node = pending.back();
        pending.pop_back();
        if (matches(*node)) {
            return node;
        }
        const Children& children = node->children_;
        for (std::size_t i = children.size(); i > 0; --i) {
            pending.push_back(children[i - 1]);
        }
    }
    return nullptr;
}

template <class Visitor>
void KrXMLComplexElement::forEachInTree(const Visitor& visit) const {
    // A list, not recursion, at any depth.
    std::vector<const KrXMLComplexElement*> pending;
    pending.reserve(kWalkReserve);
    pending.push_back(this);
    while (!pending.empty()) {
        const KrXMLComplexElement* const node = pending.back();
        pending.pop_back();
        visit(*node);
        const Children& children = node->children_;
        for (std::size_t i = children.size(); i > 0; --i) {
            pending.push_back(children[i - 1]);
        }
    }
}

// The copy constructor, cloneNode and nodeSize of a node class whose own members copy as
// they are, for the protected part of the class: every node class that copies itself needs
// the same three declarations.
#define GRIDLO_NODE_COPY(Class)                                                           \
    Class(const Class&) = default;                                                        \
    std::unique_ptr<KrXMLComplexElement> cloneNode(kr::NodeArena& arena) const override { \
        return std::unique_ptr<KrXMLComplexElement>(new (arena) Class(*this));            \
    }                                                                                     \
    std::size_t nodeSize() const override { return sizeof(Class); }

namespace kr {

// True when the element is an object of one of the given node classes.
template <class... Kinds>
bool isOneOf(const KrXMLComplexElement* element) {
    return ((dynamic_cast<const Kinds*>(element) != nullptr) || ...);
}

// Adds the child to the parent (addChild) and returns it with its own type.
template <class Element>
Element* appendChild(KrXMLComplexElement& parent, std::unique_ptr<Element> child) {
    Element* added = child.get();
    parent.addChild(std::move(child));
    return added;
}

}  // namespace kr
