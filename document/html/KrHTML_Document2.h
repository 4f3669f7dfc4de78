#pragma once

#include <memory>
#include <string_view>

#include "document/html/KrHTML_BaseElement2.h"
#include "document/xml/KrXMLComplexElement.h"

class KrHTML_div2;
class KrHTML_pre2;

// One HTML page: the document type node followed by the "html" element with its head and
// body. It writes its children one after another, with no tags of its own.
class KrHTML_Document2 : public KrHTML_BaseElement2 {
public:
    // A fresh page: the document type "html", and an "html" element whose head holds the
    // meta element charset="utf-8". There is no body until one is asked for.
    KrHTML_Document2();

    void write(std::ostream& out) const override;

    // The "html" element; the document type node and the "html" element are made first
    // when missing.
    KrXMLGenericElement* documentRoot();
    // The first "body" / "head" anywhere under html, made when missing: a body as its last
    // child, a head as its first.
    KrXMLGenericElement* documentBody(KrXMLGenericElement& html);
    KrXMLGenericElement* documentHead(KrXMLGenericElement& html);

    // Adds the element as the last child of the body / head and returns it.
    template <class Element>
    Element* addToBody(std::unique_ptr<Element> element) {
        return kr::appendChild(*documentBody(*documentRoot()), std::move(element));
    }
    template <class Element>
    Element* addToHead(std::unique_ptr<Element> element) {
        return kr::appendChild(*documentHead(*documentRoot()), std::move(element));
    }
    // A new div with that id (not draggable), added to the body.
    KrHTML_div2* addDivToBody(std::string_view id);
    // A new pre element, added to the body.
    KrHTML_pre2* addPreToBody();

protected:
    GRIDLO_NODE_COPY(KrHTML_Document2)

    // For derived documents (the 404 page): no children; documentRoot makes the structure
    // on first use.
    struct DerivedDocument {};
    explicit KrHTML_Document2(DerivedDocument);
};
