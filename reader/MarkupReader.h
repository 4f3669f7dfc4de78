#pragma once

#include <istream>
#include <memory>
#include <string>
#include <string_view>

#include "document/html/KrHTML_Document2.h"
#include "document/xml/KrXMLGenericElement.h"

// The markup reader's entries. Each call builds its own reader object and grammars, parses
// once and destroys them, so calls on different inputs and documents may run at the same
// time; a call changes the document it is given without a lock. An input that nests more
// than KrXMLContentSplitter::kMaxNesting elements fails like any other reading error.
namespace kr {

// Reads an XML document from the stream in the named grammar (callers pass "xml") and
// hands back its first top-level element, parentless and owned by the caller. Null when
// there is none or the parse failed; a failure's text, ending with the line it happened
// on, then goes to error. Everything else the parse made is deleted.
std::unique_ptr<KrXMLGenericElement> readXMLStream(std::istream& in, std::string_view dtdName,
                                                   std::string& error);

// Read an HTML page from a file or from a text into the document: the page's doctype node
// and "html" element replace the document's own. A parse error never leaves as an
// exception: the document keeps what it held and gets a "pre" element with the error text
// at the end of its body. A file that cannot be opened reads as an empty input
// ("error in stream around line 1"). Always true.
bool readHTMLFile(const std::string& path, KrHTML_Document2& document);
bool readHTMLString(std::string_view text, KrHTML_Document2& document);

}  // namespace kr
