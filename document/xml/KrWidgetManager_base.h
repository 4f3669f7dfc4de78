#pragma once

class KrXMLComplexElement;

// The user object an element can carry: the widget manager implements it, so that an
// element it tracks can tell it when the element goes away. It lives here, beside the
// element, so that the document model does not depend on the application framework.
class KrWidgetManager_base {
public:
    KrWidgetManager_base() = default;
    KrWidgetManager_base(const KrWidgetManager_base&) = delete;
    KrWidgetManager_base& operator=(const KrWidgetManager_base&) = delete;
    virtual ~KrWidgetManager_base() = default;

    // Called from the destructor of an element whose user object this is, before its
    // children are destroyed. The parts of the element above KrXMLComplexElement are
    // already gone: the element may only be compared by address, never used.
    virtual void elementDestroyed(const KrXMLComplexElement* /*element*/) {}
};
