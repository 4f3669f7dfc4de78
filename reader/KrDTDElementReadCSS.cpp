#include "reader/KrDTDElementReadCSS.h"

#include "reader/CharacterClass.h"
#include "reader/KrDTDElementReader.h"
#include "reader/ReadTransaction.h"

using kr::ReadTransaction;
namespace chars = kr::chars;

namespace {

constexpr int kEnd = KrDTDElementReader::kEnd;

// The text from a first character of the class up to the "{" that opens a block; the "{"
// is taken, not kept. Null when the first character is of another class or the input
// ends before the "{".
template <class Predicate>
bool readUpToBlock(ReadTransaction& in, Predicate isFirst, std::string& text) {
    if (!in.sourceCanDeliver() || !isFirst(in.look()) || !in.takeThrough("{", text)) {
        in.fail();
        return false;
    }
    return true;
}

bool isSelectorStart(int c) { return chars::isNameStart(c) || c == '#' || c == '*' || c == '.'; }

}  // namespace

KrDTDElementRead* KrDTDElementRead_CommentCSS::read(KrDTDElementReader& source) {
    KrDTDElementRead* comment = readDelimited(source, "/*", "*/");
    return comment ? accept("/*" + text() + "*/") : nullptr;
}

KrDTDElementRead* KrDTDElementRead_MediaQueryCSS::read(KrDTDElementReader& source) {
    ReadTransaction in(source);
    std::string query;
    if (!readUpToBlock(
            in, [](int c) { return c == '@'; }, query)) {
        return nullptr;
    }
    return accept(std::move(query));
}

KrDTDElementRead* KrDTDElementRead_RuleCSS::read(KrDTDElementReader& source) {
    ReadTransaction in(source);
    std::string selector;
    if (!readUpToBlock(in, isSelectorStart, selector)) {
        return nullptr;
    }
    return accept(std::move(selector));
}

KrDTDElementRead* KrDTDElementRead_PropertyCSS::read(KrDTDElementReader& source) {
    ReadTransaction in(source);
    if (!in.sourceCanDeliver() || !chars::isNameStart(in.look())) {
        return nullptr;
    }
    std::string declaration = in.takeWhile([](int c) { return c != ';' && c != '}' && c != kEnd; });
    if (in.takeIf(';')) {
        return accept(declaration + ';');
    }
    if (in.look() != '}') {
        in.fail();
        return nullptr;
    }
    // The blanks and line breaks before the "}" are left for the whitespace reader.
    const std::size_t kept = declaration.find_last_not_of(" \n\r\t") + 1;
    in.giveBack(declaration.size() - kept);
    declaration.resize(kept);
    return accept(std::move(declaration));
}
