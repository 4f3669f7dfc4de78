#include "document/xml/KrXMLComplexElement.h"

#include <algorithm>

#include "document/xml/KrWidgetManager_base.h"
#include "foundation/KrException.h"

KrXMLComplexElement::KrXMLComplexElement(std::string_view name, bool leaf, bool selfClosing)
    : name_(name), leaf_(leaf), selfClosing_(leaf || selfClosing) {}

KrXMLComplexElement::~KrXMLComplexElement() {
    if (userObject_) {
        userObject_->elementDestroyed(this);
    }
    // A child deleted with its children still in it would delete them from its own
    // destructor, one nested call per level: a deep enough tree would exhaust the stack.
    // So every node leaves its children on a list of pending nodes before it goes, and the
    // list is worked through here. Taking the last entry first and putting each node's
    // children on in reverse keeps the order of a recursive deletion: every node before its
    // children, children front to back.
    std::vector<std::unique_ptr<KrXMLComplexElement>> pending;
    const auto moveChildrenTo = [&pending](Children& children) {
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            pending.push_back(std::move(*child));
        }
        children.clear();
    };
    moveChildrenTo(children_);
    while (!pending.empty()) {
        std::unique_ptr<KrXMLComplexElement> next = std::move(pending.back());
        pending.pop_back();
        moveChildrenTo(next->children_);
        next.reset();
    }
}

std::string KrXMLComplexElement::contentDTD(std::string_view name) {
    if (!name.empty()) {
        contentDTD_ = name;
    }
    return contentDTD_;
}

std::string KrXMLComplexElement::switchContentDTD(std::string_view name,
                                                  std::string_view contentGrammar) {
    if (name.empty()) {
        return contentDTD_;
    }
    contentDTD_ = name;
    return std::string(contentGrammar);
}

void KrXMLComplexElement::write(std::ostream& out) const {
    beforeWrite(out);
    out << '<' << name_;
    if (leaf_ || (selfClosing_ && children_.empty())) {
        out << " />";
        return;
    }
    out << '>';
    writeChildren(out);
    out << "</" << name_ << '>';
}

void KrXMLComplexElement::innerText(std::ostream& out) const {
    for (const auto& child : children_) {
        child->innerText(out);
    }
}

void KrXMLComplexElement::refuseChildIfLeaf() const {
    if (leaf_) {
        throw KrException("child elements not allowed for " + name_, 631, "src");
    }
}

KrXMLComplexElement* KrXMLComplexElement::addChild(std::unique_ptr<KrXMLComplexElement> child) {
    refuseChildIfLeaf();
    return linkChild(children_.end(), std::move(child));
}

KrXMLComplexElement* KrXMLComplexElement::prependChild(std::unique_ptr<KrXMLComplexElement> child) {
    return linkChild(children_.begin(), std::move(child));
}

KrXMLComplexElement* KrXMLComplexElement::linkChild(Children::iterator where,
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

KrXMLComplexElement::Children::iterator KrXMLComplexElement::findSlot(
    const KrXMLComplexElement* child) {
    return std::find_if(children_.begin(), children_.end(),
                        [child](const auto& slot) { return slot.get() == child; });
}

std::unique_ptr<KrXMLComplexElement> KrXMLComplexElement::removeChild(KrXMLComplexElement* child) {
    const auto slot = findSlot(child);
    if (!child || slot == children_.end()) {
        return nullptr;
    }
    childRemoved(child);
    std::unique_ptr<KrXMLComplexElement> removed = std::move(*slot);
    children_.erase(slot);
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
    for (const auto& child : children_) {
        childRemoved(child.get());
    }
    Children doomed;
    doomed.swap(children_);
    for (auto& child : doomed) {
        child.reset();
    }
}

bool KrXMLComplexElement::wrapChild(KrXMLComplexElement* child,
                                    std::unique_ptr<KrXMLComplexElement> wrapper) {
    const auto slot = findSlot(child);
    if (!child || !wrapper || slot == children_.end()) {
        return false;
    }
    // A leaf wrapper would delete the child it refuses: refuse it before anything moves.
    wrapper->refuseChildIfLeaf();
    childRemoved(child);
    try {
        wrapper->addChild(std::move(*slot));
    } catch (...) {
        // The wrapper refused the child after linking it: put it back where it was.
        if (std::unique_ptr<KrXMLComplexElement> back = wrapper->removeChild(child)) {
            back->parent_ = this;
            *slot = std::move(back);
        } else {
            children_.erase(slot);  // the wrapper gave it away: no empty slot stays behind
        }
        throw;
    }
    KrXMLComplexElement* placed = wrapper.get();
    *slot = std::move(wrapper);
    placed->parent_ = this;
    checkChild(placed);
    return true;
}

bool KrXMLComplexElement::replaceChild(KrXMLComplexElement* oldChild,
                                       std::unique_ptr<KrXMLComplexElement> replacement) {
    const auto slot = findSlot(oldChild);
    if (!oldChild || !replacement || slot == children_.end()) {
        return false;
    }
    childRemoved(oldChild);
    // Held here until the end, so the old child is deleted even when checkChild throws.
    const std::unique_ptr<KrXMLComplexElement> old = std::move(*slot);
    KrXMLComplexElement* placed = replacement.get();
    *slot = std::move(replacement);
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
    for (const auto& child : children_) {
        list.push_back(child.get());
    }
}

void KrXMLComplexElement::findChildren(std::string_view name, ElementList& list, int depth) {
    if (name_ == name) {
        list.push_back(this);
    }
    if (depth == -1 || depth > 0) {
        const int childDepth = depth == -1 ? -1 : depth - 1;
        for (const auto& child : children_) {
            child->findChildren(name, list, childDepth);
        }
    }
}

KrXMLComplexElement* KrXMLComplexElement::elementChild(int index, bool skipText) const {
    for (const auto& child : children_) {
        const std::string& name = child->name();
        if (name == "procinst" || name == "comment" || (skipText && name == "xmltext")) {
            continue;
        }
        if (index-- == 0) {
            return child.get();
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
    errorText_ = text;
}

void KrXMLComplexElement::writeChildren(std::ostream& out) const {
    for (const auto& child : children_) {
        child->write(out);
    }
}
