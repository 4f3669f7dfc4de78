#include "http/KrHTML_ErrorMsg404.h"

#include <memory>

#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_text2.h"

KrHTML_ErrorMsg404::KrHTML_ErrorMsg404(std::string_view title, std::string_view bodyMarkup,
                                       std::string_view linkTarget, std::string_view linkText)
    : KrHTML_Document2(DerivedDocument{}) {
    addToHead(std::make_unique<KrHTML_title2>(title));
    addToBody(std::make_unique<KrHTML_text2>(bodyMarkup));
    addToBody(std::make_unique<KrHTML_br2>());
    addToBody(std::make_unique<KrHTML_a2>(linkTarget, linkText));
}
