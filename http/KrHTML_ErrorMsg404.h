#pragma once

#include <string_view>

#include "document/html/KrHTML_Document2.h"

// The page the server answers with when nothing else does: a title in the head, and in the
// body the given markup (written as it stands, so its tags reach the browser), a line break
// and one link.
class KrHTML_ErrorMsg404 : public KrHTML_Document2 {
public:
    KrHTML_ErrorMsg404(std::string_view title, std::string_view bodyMarkup,
                       std::string_view linkTarget, std::string_view linkText);

protected:
    GRIDLO_NODE_COPY(KrHTML_ErrorMsg404)
};
