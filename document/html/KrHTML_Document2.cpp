#include "document/html/KrHTML_Document2.h"

#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_Doctype2.h"

namespace {

// The first generic element of that name in the subtree, or null. Every addition to the
// head or the body looks for the page's elements this way, so the search stops at the
// first: the document type and "html" are the first children.
KrXMLGenericElement* findFirst(KrXMLGenericElement& root, std::string_view name) {
    return static_cast<KrXMLGenericElement*>(root.findFirstWhere([name](KrXMLComplexElement& node) {
        return node.name() == name && KrXMLGenericElement::from(&node) != nullptr;
    }));
}

}  // namespace

KrHTML_Document2::KrHTML_Document2(DerivedDocument)
    : KrHTML_BaseElement2("HTMLDocument", false, false) {}

KrHTML_Document2::KrHTML_Document2() : KrHTML_Document2(DerivedDocument{}) {
    auto meta = std::make_unique<KrHTML_meta2>("charset=\"utf-8\"");
    KrXMLGenericElement* html = documentRoot();
    documentHead(*html)->addChild(std::move(meta));
}

void KrHTML_Document2::write(std::ostream& out) const {
    beforeWrite(out);
    writeChildren(out);
}

KrXMLGenericElement* KrHTML_Document2::documentRoot() {
    if (!findFirst(*this, "HTMLDoctype")) {
        prependChild(std::make_unique<KrHTML_Doctype2>("html"));
    }
    if (KrXMLGenericElement* html = findFirst(*this, "html")) {
        return html;
    }
    return kr::appendChild(*this, std::make_unique<KrHTML_html2>());
}

KrXMLGenericElement* KrHTML_Document2::documentBody(KrXMLGenericElement& html) {
    if (KrXMLGenericElement* body = findFirst(html, "body")) {
        return body;
    }
    return kr::appendChild(html, std::make_unique<KrHTML_body2>());
}

KrXMLGenericElement* KrHTML_Document2::documentHead(KrXMLGenericElement& html) {
    if (KrXMLGenericElement* head = findFirst(html, "head")) {
        return head;
    }
    auto head = std::make_unique<KrHTML_head2>();
    KrXMLGenericElement* made = head.get();
    html.prependChild(std::move(head));
    return made;
}

KrHTML_div2* KrHTML_Document2::addDivToBody(std::string_view id) {
    return addToBody(std::make_unique<KrHTML_div2>(id, false));
}

KrHTML_pre2* KrHTML_Document2::addPreToBody() { return addToBody(std::make_unique<KrHTML_pre2>()); }
