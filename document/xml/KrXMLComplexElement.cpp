#include "document/xml/KrXMLComplexElement.h"

#include <typeinfo>
#include <utility>

#include "document/xml/KrWidgetManager_base.h"
#include "document/xml/MarkupOutput.h"
#include "foundation/KrException.h"

namespace {

// How far ahead of the node being deleted memory is fetched: far enough that it arrives
// before the deletion gets there (measured best from 1 KiB on; nearer fetches came late).
constexpr std::size_t kDeletionPrefetchAhead = 1024;

}  // namespace

KrXMLComplexElement::KrXMLComplexElement(std::string_view name, bool leaf, bool selfClosing)
    : name_(kr::SharedText::name(name)), leaf_(leaf), selfClosing_(leaf || selfClosing) {}

KrXMLComplexElement::KrXMLComplexElement(const KrXMLComplexElement& other)
    : name_(other.name_),
      contentDTD_(other.contentDTD_),
      leaf_(other.leaf_),
      selfClosing_(other.selfClosing_),
      block_(other.block_),
      error_(other.error_),
      generic_(other.generic_) {
    if (other.rare_ != nullptr && !other.rare_->errorText.empty()) {
        rare_ = std::make_unique<Rare>(Rare{nullptr, other.rare_->errorText});
    }
}

void KrXMLComplexElement::setUserData(KrWidgetManager_base* userObject) {
    if (rare_ == nullptr) {
        if (userObject == nullptr) {
            return;
        }
        rare_ = std::make_unique<Rare>();
    }
    rare_->userObject = userObject;
}

std::unique_ptr<KrXMLComplexElement> KrXMLComplexElement::cloneNode(kr::NodeArena& arena) const {
    return std::unique_ptr<KrXMLComplexElement>(new (arena) KrXMLComplexElement(*this));
}

KrXMLComplexElement::~KrXMLComplexElement() {
    // The nodes of a copied tree lie in a few blocks: each is settled once, not per node.
    const kr::NodeArena::ReleaseBatch batch;
    if (KrWidgetManager_base* userObject = userData()) {
        userObject->elementDestroyed(this);
    }
    // A child deleted with its children still in it would delete them from its own
    // destructor, one nested call per level: a deep enough tree would exhaust the stack.
    // So every node leaves its children on a list of pending nodes before it goes, and the
    // list is worked through here. Taking the last entry first and putting each node's
    // children on in reverse keeps the order of a recursive deletion: every node before its
    // children, children front to back.
    std::vector<std::unique_ptr<KrXMLComplexElement>> pending;
    children_.takeAllReversed(pending);
    while (!pending.empty()) {
        std::unique_ptr<KrXMLComplexElement> next = std::move(pending.back());
        pending.pop_back();
        // A copied tree lies in its arena in the order it is deleted: what lies a little
        // ahead is what comes next, and a deleted page is mostly no longer in the cache.
        // For a tree made otherwise the hint costs next to nothing.
        __builtin_prefetch(reinterpret_cast<const char*>(next.get()) + kDeletionPrefetchAhead);
        next->children_.takeAllReversed(pending);
        next.reset();
    }
}

std::size_t KrXMLComplexElement::copyFootprint() const {
    std::size_t bytes = 0;
    forEachInTree([&bytes](const KrXMLComplexElement& node) {
        bytes += kr::NodeArena::footprint(node.nodeSize());
        if (!node.children_.empty()) {
            bytes += kr::NodeArena::footprint(Children::blockBytes(node.children_.size()));
        }
    });
    return bytes;
}

std::unique_ptr<KrXMLComplexElement> KrXMLComplexElement::copyTree() const {
    // The arena is sized for the whole copy, so that the copy is made in one block.
    return copyTree(copyFootprint());
}

std::unique_ptr<KrXMLComplexElement> KrXMLComplexElement::copyTree(std::size_t plannedBytes) const {
    kr::NodeArena arena(plannedBytes);
    // A node whose class does not copy itself would come back as one of its bases.
    const auto copyOf = [&arena](const KrXMLComplexElement& node) {
        std::unique_ptr<KrXMLComplexElement> copy = node.cloneNode(arena);
        const KrXMLComplexElement* made = copy.get();
        return made != nullptr && typeid(*made) == typeid(node) ? std::move(copy) : nullptr;
    };
    std::unique_ptr<KrXMLComplexElement> top = copyOf(*this);
    if (!top) {
        return nullptr;
    }
    // The path from the top to the node being copied, each with the next child to copy: a
    // list, not recursion, so that a tree of any depth copies. The nodes are made in the
    // order they are written, and each list of children right after its node, so that
    // writing the copy and deleting it walk the arena front to back.
    struct Step {
        const KrXMLComplexElement* original;
        KrXMLComplexElement* copy;
        std::size_t next;
    };
    std::vector<Step> path;
    path.reserve(kWalkReserve);
    path.push_back({this, top.get(), 0});
    while (!path.empty()) {
        Step& step = path.back();
        const Children& children = step.original->children_;
        if (step.next == children.size()) {
            path.pop_back();
            continue;
        }
        if (step.next == 0) {
            step.copy->children_.reserve(children.size(), &arena);
        }
        const KrXMLComplexElement* child = children[step.next++];
        std::unique_ptr<KrXMLComplexElement> childCopy = copyOf(*child);
        if (!childCopy) {
            return nullptr;
        }
        KrXMLComplexElement* const made = childCopy.get();
        made->parent_ = step.copy;
        step.copy->children_.append(std::move(childCopy));
        path.push_back({child, made, 0});
    }
    return top;
}

std::string KrXMLComplexElement::contentDTD(std::string_view name) {
    if (!name.empty()) {
        contentDTD_ = kr::SharedText::name(name);
    }
    return contentDTD_.str();
}

std::string KrXMLComplexElement::switchContentDTD(std::string_view name,
                                                  std::string_view contentGrammar) {
    if (name.empty()) {
        return contentDTD_.str();
    }
    contentDTD_ = kr::SharedText::name(name);
    return std::string(contentGrammar);
}

void KrXMLComplexElement::write(std::ostream& out) const {
    beforeWrite(out);
    kr::writeMarkup(out, '<', name());
    if (leaf_ || (selfClosing_ && children_.empty())) {
        kr::writeMarkup(out, " />");
        return;
    }
    kr::writeMarkup(out, '>');
    writeChildren(out);
    kr::writeMarkup(out, "</", name(), '>');
}

void KrXMLComplexElement::innerText(std::ostream& out) const {
    for (const KrXMLComplexElement* child : children_) {
        child->innerText(out);
    }
}

void KrXMLComplexElement::refuseChildIfLeaf() const {
    if (leaf_) {
        throw KrException("child elements not allowed for " + name(), 631, "src");
    }
}

KrXMLComplexElement* KrXMLComplexElement::addChild(std::unique_ptr<KrXMLComplexElement> child) {
    refuseChildIfLeaf();
    return linkChild(children_.size(), std::move(child));
}

KrXMLComplexElement* KrXMLComplexElement::prependChild(std::unique_ptr<KrXMLComplexElement> child) {
    return linkChild(0, std::move(child));
}

KrXMLComplexElement* KrXMLComplexElement::linkChild(std::size_t where,
                                                    std::unique_ptr<KrXMLComplexElement> child) {
    if (!child) {
        return nullptr;
    }
    KrXMLComplexElement* added = child.get();
    children_.insert(where, std::move(child));
    added->parent_ = this;
    checkChild(added);
    return added;
}

std::unique_ptr<KrXMLComplexElement> KrXMLComplexElement::removeChild(KrXMLComplexElement* child) {
    const std::size_t slot = children_.find(child);
    if (slot == Children::npos) {
        return nullptr;
    }
    childRemoved(child);
    std::unique_ptr<KrXMLComplexElement> removed = children_.take(slot);
    // The caller owns it now; a parent pointer into this tree would dangle once the tree
    // goes away.
    removed->parent_ = nullptr;
    return removed;
}

KrXMLComplexElement* KrXMLComplexElement::replaceChildren(
    std::unique_ptr<KrXMLComplexElement> child) {
    deleteChildren();
    return addChild(std::move(child));
}

void KrXMLComplexElement::deleteChildren() {
    for (KrXMLComplexElement* child : children_) {
        childRemoved(child);
    }
    // Deleted in order, front to back, once the sequence is empty.
    const Children doomed = std::move(children_);
}

bool KrXMLComplexElement::wrapChild(KrXMLComplexElement* child,
                                    std::unique_ptr<KrXMLComplexElement> wrapper) {
    const std::size_t slot = children_.find(child);
    if (!wrapper || slot == Children::npos) {
        return false;
    }
    // A leaf wrapper would delete the child it refuses: refuse it before anything moves.
    wrapper->refuseChildIfLeaf();
    childRemoved(child);
    KrXMLComplexElement* placed = wrapper.get();
    // The wrapper holds the child's place while the child moves into it.
    std::unique_ptr<KrXMLComplexElement> moving = children_.replace(slot, std::move(wrapper));
    try {
        placed->addChild(std::move(moving));
    } catch (...) {
        // The wrapper refused the child after linking it: put it back where it was.
        if (std::unique_ptr<KrXMLComplexElement> back = placed->removeChild(child)) {
            back->parent_ = this;
            children_.replace(slot, std::move(back));  // the unused wrapper is deleted
        } else {
            children_.take(slot);  // the wrapper gave it away: no empty slot stays behind
        }
        throw;
    }
    placed->parent_ = this;
    checkChild(placed);
    return true;
}

bool KrXMLComplexElement::replaceChild(KrXMLComplexElement* oldChild,
                                       std::unique_ptr<KrXMLComplexElement> replacement) {
    const std::size_t slot = children_.find(oldChild);
    if (!replacement || slot == Children::npos) {
        return false;
    }
    childRemoved(oldChild);
    KrXMLComplexElement* placed = replacement.get();
    // Held here until the end, so the old child is deleted even when checkChild throws.
    const std::unique_ptr<KrXMLComplexElement> old =
        children_.replace(slot, std::move(replacement));
    placed->parent_ = this;
    checkChild(placed);
    return true;
}

bool KrXMLComplexElement::replaceChildWithAttribute(std::unique_ptr<KrXMLGenericElement>& /*child*/,
                                                    std::string_view /*attributeName*/,
                                                    std::string_view /*value*/) {
    return false;
}

void KrXMLComplexElement::children(ElementList& list) const {
    list.insert(list.end(), children_.begin(), children_.end());
}

void KrXMLComplexElement::findChildren(std::string_view name, ElementList& list, int depth) {
    if (name_.view() == name) {
        list.push_back(this);
    }
    if (depth == -1 || depth > 0) {
        const int childDepth = depth == -1 ? -1 : depth - 1;
        for (KrXMLComplexElement* child : children_) {
            child->findChildren(name, list, childDepth);
        }
    }
}

KrXMLComplexElement* KrXMLComplexElement::elementChild(int index, bool skipText) const {
    for (KrXMLComplexElement* child : children_) {
        const std::string& name = child->name();
        if (name == "procinst" || name == "comment" || (skipText && name == "xmltext")) {
            continue;
        }
        if (index-- == 0) {
            return child;
        }
    }
    return nullptr;
}

KrXMLComplexElement* KrXMLComplexElement::firstElementChild(bool skipText) const {
    return elementChild(0, skipText);
}

KrXMLComplexElement* KrXMLComplexElement::secondElementChild(bool skipText) const {
    return elementChild(1, skipText);
}

KrXMLComplexElement* KrXMLComplexElement::thirdElementChild(bool skipText) const {
    return elementChild(2, skipText);
}

void KrXMLComplexElement::setError(std::string_view text) {
    error_ = true;
    if (rare_ == nullptr) {
        rare_ = std::make_unique<Rare>();
    }
    rare_->errorText = kr::SharedText(text);
}

void KrXMLComplexElement::writeChildren(std::ostream& out) const {
    for (const KrXMLComplexElement* child : children_) {
        child->write(out);
    }
}
