#include "document/html/KrJavaScriptHandler.h"

#include "document/xml/MarkupOutput.h"

KrJavaScriptHandler::KrJavaScriptHandler(std::string_view text, bool wrap)
    : KrXMLGenericElement("JavaScript", true) {
    if (wrap && text.substr(0, 50).find("<script") == std::string_view::npos) {
        text_ = kr::SharedText("<script>\n<!--\n" + std::string(text) + "\n//-->\n</script>");
    } else {
        text_ = kr::SharedText(text);
    }
}

void KrJavaScriptHandler::write(std::ostream& out) const {
    beforeWrite(out);
    kr::writeMarkup(out, text_.view());
}
