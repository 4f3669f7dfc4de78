#include "document/html/KrHTML_ElementTypes.h"

#include <memory>

#include "document/html/KrHTML_text2.h"

void KrHTML_ElementType0A::appendText(std::string_view text) {
    addChild(std::make_unique<KrHTML_text2>(text));
}

void KrHTML_ElementType0A::flushText() { addChild(std::make_unique<KrHTML_text2>()); }
