#include "game/PageElements.h"

#include "app/KrHTMLKontextN.h"
#include "document/html/KrHTML_Document2.h"

namespace kr {

KrXMLGenericElement* PageElements::byId(KrHTMLKontextN& page, std::string_view id) {
    if (pageLoad_ != page.pageLoads()) {
        found_.clear();
        pageLoad_ = page.pageLoads();
    }
    for (const auto& [knownId, element] : found_) {
        if (knownId == id) {
            return element;
        }
    }
    KrHTML_Document2* document = page.document();
    KrXMLGenericElement* element =
        document != nullptr ? document->findFirstChildWithAttribute("id", id) : nullptr;
    if (element != nullptr) {
        found_.emplace_back(std::string(id), element);
    }
    return element;
}

}  // namespace kr
