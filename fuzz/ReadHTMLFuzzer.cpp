// Feeds arbitrary bytes to readHTMLString as a page and writes the document it leaves.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string_view>

#include "document/html/KrHTML_Document2.h"
#include "reader/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    KrHTML_Document2 document;
    kr::readHTMLString(std::string_view(reinterpret_cast<const char*>(data), size), document);
    std::ostringstream markup;
    document.write(markup);
    return 0;
}
