#include "app/KrHTML_CommandFormN1.h"

#include <memory>

#include "document/html/KrHTMLTags.h"

KrHTML_CommandFormN1::KrHTML_CommandFormN1(std::string_view formId, std::string_view action,
                                           std::string_view sessionId,
                                           std::string_view /*elementName*/)
    : KrHTML_BaseElement2("form", false, false) {
    setAttribute("id", formId);
    setAttribute("method", "POST");
    setAttribute("action", action);
    addChild(std::make_unique<KrHTML_input2_hidden>("", sessionId, "nuxelid"));
}
