#include "reader/KrDTDElementReadCSS.h"

#include <optional>

#include "reader/CharacterClass.h"
#include "reader/KrDTDElementReader.h"
#include "reader/ReadTransaction.h"

using kr::ReadTransaction;
namespace chars = kr::chars;

namespace {

constexpr int kEnd = KrDTDElementReader::kEnd;

// The text from a first character of the class up to the "{" that opens a block; the "{"
// is taken, not kept. Nothing, with nothing consumed, when the first character is of
// another class or the input ends before the "{".
template <class Predicate>
std::optional<std::string> readUpToBlock(KrDTDElementReader& source, Predicate isFirst) {
    ReadTransaction in(source);
    std::string text;
    if (!in.sourceCanDeliver() || !isFirst(in.look()) || !in.takeThrough("{", text)) {
        in.fail();
        return std::nullopt;
    }
    return text;
}

bool isSelectorStart(int c) { return chars::isNameStart(c) || c == '#' || c == '*' || c == '.'; }

}  // namespace

KrDTDElementRead* KrDTDElementRead_CommentCSS::read(KrDTDElementReader& source) {
    KrDTDElementRead* comment = readDelimited(source, "/*", "*/");
    return comment ? accept("/*" + text() + "*/") : nullptr;
}

KrDTDElementRead* KrDTDElementRead_MediaQueryCSS::read(KrDTDElementReader& source) {
    std::optional<std::string> query = readUpToBlock(source, [](int c) { return c == '@'; });
    return query ? accept(std::move(*query)) : nullptr;
}

KrDTDElementRead* KrDTDElementRead_RuleCSS::read(KrDTDElementReader& source) {
    std::optional<std::string> selector = readUpToBlock(source, isSelectorStart);
    return selector ? accept(std::move(*selector)) : nullptr;
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
