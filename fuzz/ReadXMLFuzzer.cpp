// Feeds arbitrary bytes to readXMLStream. The first byte picks the grammar the stream is
// read in, so the style-sheet grammars are reached from the top level too; the rest is the
// stream.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "reader/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    static const char* const kGrammars[] = {"xml", "xmlhtml", "css", "html"};
    const char* grammar = kGrammars[data[0] % 4];
    std::istringstream in(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    std::string error;
    if (std::unique_ptr<KrXMLGenericElement> element = kr::readXMLStream(in, grammar, error)) {
        std::ostringstream markup;
        element->write(markup);
    }
    return 0;
}
