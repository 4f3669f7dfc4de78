#include "reader/MarkupReader.h"

#include <fstream>

#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_text2.h"
#include "foundation/KrException.h"
#include "reader/KrDTDElementReader.h"

namespace {

// The first top-level node that matches, taken out of the parse; null when none does.
template <class Predicate>
std::unique_ptr<KrXMLComplexElement> takeTopLevel(KrXMLGenericElement& parseRoot,
                                                  Predicate matches) {
    KrXMLComplexElement::ElementList top;
    parseRoot.children(top);
    for (KrXMLComplexElement* node : top) {
        if (matches(*node)) {
            return parseRoot.removeChild(node);
        }
    }
    return nullptr;
}

// The error text as page text: the text node writes what it holds as it is, and an error
// may quote the input, so the characters that would make markup are escaped.
std::string asPageText(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

// Parses the source in "html" and moves the page's doctype node and "html" element into
// the document in place of its own.
void readPage(KrDTDElementReader& source, KrHTML_Document2& document) {
    KrXMLGenericElement& parsed = *source.splitter().split(source, "html");
    // Makes the document's own doctype node and "html" element, the places the page's take.
    document.documentRoot();
    KrXMLGenericElement::GenericList children;
    document.genericChildren(children);
    for (KrXMLGenericElement* child : children) {
        const std::string& name = child->name();
        if (name != "HTMLDoctype" && name != "html") {
            continue;
        }
        std::unique_ptr<KrXMLComplexElement> replacement = takeTopLevel(
            parsed, [&name](const KrXMLComplexElement& node) { return node.name() == name; });
        if (replacement) {
            document.replaceChild(child, std::move(replacement));
        }
    }
}

bool readHTML(KrDTDElementReader& source, KrHTML_Document2& document) {
    std::string error;
    try {
        readPage(source, document);
    } catch (const KrException& failure) {
        error = failure.what();
    } catch (...) {
        // Nothing to show: the parse wraps every failure of its own in a KrException.
    }
    if (!error.empty()) {
        document.addPreToBody()->addChild(std::make_unique<KrHTML_text2>(asPageText(error)));
    }
    return true;
}

}  // namespace

namespace kr {

std::unique_ptr<KrXMLGenericElement> readXMLStream(std::istream& in, std::string_view dtdName,
                                                   std::string& error) {
    try {
        KrDTDElementReaderStream source(in);
        KrXMLGenericElement& parsed = *source.splitter().split(source, dtdName);
        // The top element is the first block: text, whitespace, comments and processing
        // instructions are none.
        std::unique_ptr<KrXMLComplexElement> top =
            takeTopLevel(parsed, [](const KrXMLComplexElement& node) {
                return node.isBlock() && dynamic_cast<const KrXMLGenericElement*>(&node);
            });
        return std::unique_ptr<KrXMLGenericElement>(
            static_cast<KrXMLGenericElement*>(top.release()));
    } catch (const KrException& failure) {
        error = failure.what();
    } catch (...) {
    }
    return nullptr;
}

bool readHTMLFile(const std::string& path, KrHTML_Document2& document) {
    std::ifstream file(path, std::ios::binary);
    KrDTDElementReaderStream source(file);
    return readHTML(source, document);
}

bool readHTMLString(std::string_view text, KrHTML_Document2& document) {
    KrDTDElementReaderString source(text);
    return readHTML(source, document);
}

}  // namespace kr
