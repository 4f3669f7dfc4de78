#include "document/xml/KrXMLGenericElement.h"

#include "document/xml/MarkupOutput.h"

KrXMLGenericElement::KrXMLGenericElement(std::string_view name, bool block)
    : KrXMLComplexElement(name, false, true) {
    generic_ = true;
    setBlock(block);
}

KrXMLGenericElement::KrXMLGenericElement(std::string_view name, bool block,
                                         const Attributes& attributes)
    : KrXMLComplexElement(name, false, true), attributes_(attributes) {
    generic_ = true;
    setBlock(block);
}

std::unique_ptr<KrXMLComplexElement> KrXMLGenericElement::cloneNode(kr::NodeArena& arena) const {
    return std::unique_ptr<KrXMLComplexElement>(new (arena) KrXMLGenericElement(*this));
}

void KrXMLGenericElement::write(std::ostream& out) const {
    beforeWrite(out);
    kr::writeMarkup(out, '<', name());
    for (const auto& [attributeName, object] : attributes_) {
        if (!object) {
            kr::writeMarkup(out, ' ', attributeName.view());
        } else if (object->hasValue()) {
            kr::writeMarkup(out, ' ', attributeName.view(), "=\"");
            object->writeValue(out);
            kr::writeMarkup(out, '"');
        }
    }
    const Children& children = childSequence();
    if (isLeaf() || (isSelfClosing() && children.empty())) {
        kr::writeMarkup(out, " />");
        return;
    }
    kr::writeMarkup(out, '>');
    beforeChildren(out);
    // A block child starts a new line when it comes first or follows another block.
    bool previousWasBlock = true;
    for (const KrXMLComplexElement* child : children) {
        const bool block = child->isBlock();
        if (block && previousWasBlock) {
            kr::writeMarkup(out, '\n');
        }
        child->write(out);
        previousWasBlock = block;
    }
    afterChildren(out);
    if (!children.empty() && children.back()->isBlock()) {
        kr::writeMarkup(out, '\n');
    }
    kr::writeMarkup(out, "</", name(), '>');
}

bool KrXMLGenericElement::setAttribute(std::string_view name, std::string_view value) {
    if (KrXMLComplexAttribute2* object = attributes_.forChange(name)) {
        object->setFromText(value);
    } else {
        attributes_.assign(name, std::make_unique<KrXMLGenericAttribute>(value));
    }
    return true;
}

void KrXMLGenericElement::setAttributeText(std::string_view text) {
    const size_t equals = text.find('=');
    // The value stands between the quote after "=" and the last character.
    if (equals == std::string_view::npos || text.size() < equals + 3) {
        return;
    }
    const std::string_view name = text.substr(0, equals);
    const std::string_view value = text.substr(equals + 2, text.size() - 1 - (equals + 2));
    try {
        setAttribute(name, value);
    } catch (...) {
        setError("error catched while assigning attritutes");
    }
}

KrXMLComplexAttribute2* KrXMLGenericElement::attribute(std::string_view name) {
    if (attributes_.find(name) == nullptr) {
        attributes_.assign(name, std::make_unique<KrXMLGenericAttribute>());
    }
    return attributes_.handedOut(name);
}

std::string KrXMLGenericElement::getAttribute(std::string_view name,
                                              std::string_view fallback) const {
    const Attributes::Entry* found = attributes_.find(name);
    if (found == nullptr) {
        return std::string(fallback);
    }
    if (!found->object) {
        return {};
    }
    return found->object->valueText();
}

bool KrXMLGenericElement::attributeEquals(std::string_view name, std::string_view value) const {
    const Attributes::Entry* found = attributes_.find(name);
    return found != nullptr && found->object && found->object->valueEquals(value);
}

bool KrXMLGenericElement::hasAttribute(std::string_view name) const {
    return attributes_.find(name) != nullptr;
}

bool KrXMLGenericElement::removeAttribute(std::string_view name) { return attributes_.erase(name); }

void KrXMLGenericElement::insertAttribute(std::string_view name,
                                          std::unique_ptr<KrXMLComplexAttribute2> object) {
    if (hasAttribute(name)) {
        throw 2;
    }
    attributes_.assign(name, std::move(object));
}

void KrXMLGenericElement::registerAttribute(std::string_view name, KrXMLComplexAttribute2& target) {
    insertAttribute(name, std::make_unique<KrXMLComplexAttributeProxy2>(target));
}

void KrXMLGenericElement::genericChildren(GenericList& list) const {
    for (KrXMLComplexElement* child : childSequence()) {
        if (auto* generic = KrXMLGenericElement::from(child)) {
            list.push_back(generic);
        }
    }
}

void KrXMLGenericElement::findGenericChildren(std::string_view name, GenericList& list, int depth) {
    ElementList found;
    findChildren(name, found, depth);
    for (KrXMLComplexElement* element : found) {
        if (auto* generic = KrXMLGenericElement::from(element)) {
            list.push_back(generic);
        }
    }
}

template <class Visitor>
bool KrXMLGenericElement::visitGeneric(const Visitor& visit) {
    if (visit(*this)) {
        return true;
    }
    for (KrXMLComplexElement* child : childSequence()) {
        auto* generic = KrXMLGenericElement::from(child);
        if (generic && generic->visitGeneric(visit)) {
            return true;
        }
    }
    return false;
}

void KrXMLGenericElement::findChildrenHavingAttribute(GenericList& list, std::string_view name) {
    visitGeneric([&](KrXMLGenericElement& element) {
        if (element.hasAttribute(name)) {
            list.push_back(&element);
        }
        return false;
    });
}

void KrXMLGenericElement::findChildrenWithAttribute(std::string_view name, std::string_view value,
                                                    GenericList& list) {
    visitGeneric([&](KrXMLGenericElement& element) {
        if (element.attributeEquals(name, value)) {
            list.push_back(&element);
        }
        return false;
    });
}

KrXMLGenericElement* KrXMLGenericElement::findFirstChildWithAttribute(std::string_view name,
                                                                      std::string_view value) {
    // Stops at the first match: pages look up their elements by identifier on every request.
    KrXMLGenericElement* found = nullptr;
    visitGeneric([&](KrXMLGenericElement& element) {
        if (element.attributeEquals(name, value)) {
            found = &element;
        }
        return found != nullptr;
    });
    return found;
}

bool KrXMLGenericElement::replaceChildWithAttribute(std::unique_ptr<KrXMLGenericElement>& child,
                                                    std::string_view attributeName,
                                                    std::string_view value) {
    if (!child) {
        return false;
    }
    for (KrXMLComplexElement* candidate : childSequence()) {
        auto* generic = KrXMLGenericElement::from(candidate);
        if (generic && generic->attributeEquals(attributeName, value)) {
            child->setAttribute(attributeName, value);
            return replaceChild(generic, std::move(child));
        }
    }
    for (KrXMLComplexElement* candidate : childSequence()) {
        if (candidate->replaceChildWithAttribute(child, attributeName, value)) {
            return true;
        }
    }
    return false;
}

bool KrXMLGenericElement::putChildWithAttribute(std::unique_ptr<KrXMLGenericElement> child,
                                                std::string_view attributeName,
                                                std::string_view value) {
    if (!child) {
        return false;
    }
    if (replaceChildWithAttribute(child, attributeName, value)) {
        return true;
    }
    child->setAttribute(attributeName, value);
    addChild(std::move(child));
    return false;
}

void KrXMLGenericElement::deleteChildWithAttribute(std::string_view name, std::string_view value) {
    for (KrXMLComplexElement* candidate : childSequence()) {
        auto* generic = KrXMLGenericElement::from(candidate);
        if (generic && generic->attributeEquals(name, value)) {
            removeChild(generic);  // the returned owner deletes it here
            return;
        }
    }
}

namespace {

// The filter of one query step, read up to its "]".
struct QueryFilter {
    std::string name;
    std::string value;
    size_t end = 0;  // the position after the "]", or the end of the path
};

// A double quote toggles quoting and is dropped; outside quotes "=" moves from the name to
// the value, a backslash is dropped and "]" ends the filter; inside quotes a backslash
// makes the next character literal (an escaped double quote is dropped), and "=" and "]"
// are dropped.
QueryFilter readFilter(std::string_view path, size_t start) {
    QueryFilter filter;
    std::string* text = &filter.name;
    bool quoted = false;
    bool escaped = false;
    size_t i = start;
    for (; i < path.size(); ++i) {
        const char c = path[i];
        if (escaped) {
            escaped = false;
            if (c != '"') {
                *text += c;
            }
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == '\\') {
            escaped = quoted;
        } else if (c == '=') {
            if (!quoted) {
                text = &filter.value;
            }
        } else if (c == ']') {
            if (!quoted) {
                ++i;
                break;
            }
        } else {
            *text += c;
        }
    }
    filter.end = i;
    return filter;
}

void appendAll(KrXMLGenericElement::GenericList& list,
               const KrXMLGenericElement::GenericList& more) {
    list.insert(list.end(), more.begin(), more.end());
}

}  // namespace

KrXMLGenericElement::GenericList KrXMLGenericElement::query(std::string_view path) {
    GenericList result;
    if (path.empty()) {
        return result;
    }
    const size_t separator = path.find_first_of(".[");
    if (separator == std::string_view::npos) {
        findGenericChildren(path, result, 1);
        return result;
    }
    GenericList candidates;
    findGenericChildren(path.substr(0, separator), candidates, 1);
    if (path[separator] == '.') {
        for (KrXMLGenericElement* candidate : candidates) {
            appendAll(result, candidate->query(path.substr(separator + 1)));
        }
        return result;
    }
    const QueryFilter filter = readFilter(path, separator + 1);
    if (filter.name.empty()) {
        return result;
    }
    const bool more = filter.end < path.size();
    for (KrXMLGenericElement* candidate : candidates) {
        const bool passes = filter.value.empty()
                                ? candidate->hasAttribute(filter.name)
                                : candidate->attributeEquals(filter.name, filter.value);
        if (!passes) {
            continue;
        }
        if (more) {
            // The character after "]" is the "." of the next step.
            appendAll(result, candidate->query(path.substr(filter.end + 1)));
        } else {
            result.push_back(candidate);
        }
    }
    return result;
}

namespace kr {

KrXMLGenericElement* appendGenericChild(KrXMLComplexElement& parent,
                                        std::unique_ptr<KrXMLComplexElement> child) {
    return KrXMLGenericElement::from(parent.addChild(std::move(child)));
}

}  // namespace kr
