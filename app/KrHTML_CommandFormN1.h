#pragma once

#include <string_view>

#include "document/html/KrHTML_BaseElement2.h"

// A hidden form that turns a page element into a command: the element's click submits it,
// and the browser posts the session identifier to the path named by the action.
class KrHTML_CommandFormN1 : public KrHTML_BaseElement2 {
public:
    // The form's "id" is formId, its "method" "POST" and its "action" the action; it holds
    // one hidden input "nuxelid" with the session identifier. elementName is not kept.
    KrHTML_CommandFormN1(std::string_view formId, std::string_view action,
                         std::string_view sessionId, std::string_view elementName);

protected:
    GRIDLO_NODE_COPY(KrHTML_CommandFormN1)
};
