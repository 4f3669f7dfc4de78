#include "reader/KrDTDElementRead.h"

#include <optional>

#include "foundation/KrException.h"
#include "reader/CharacterClass.h"
#include "reader/KrDTDElementReader.h"
#include "reader/ReadTransaction.h"

using kr::ReadTransaction;
namespace chars = kr::chars;

namespace {

constexpr int kEnd = KrDTDElementReader::kEnd;

bool isTextCharacter(int c) { return c != kEnd && c != '<' && !chars::isWhitespace(c); }

// One attribute of a tag: name="value", name='value' or a bare name. Nothing when the
// characters here make none; a "/" without ">" begins no attribute name and ends up here.
std::optional<KrDTDElementReader::Attribute> readAttribute(ReadTransaction& in) {
    if (!chars::isNameStart(in.look())) {
        return std::nullopt;
    }
    KrDTDElementReader::Attribute attribute;
    attribute.name = in.takeWhile(chars::isNamePart);
    if (!in.takeIf('=')) {
        attribute.valueless = true;
        return attribute;
    }
    const int quote = in.look();
    if (quote != '"' && quote != '\'') {
        return std::nullopt;
    }
    in.take();
    attribute.value = in.takeWhile([quote](int c) { return c != quote && c != kEnd; });
    if (!in.takeIf(static_cast<char>(quote))) {
        return std::nullopt;
    }
    return attribute;
}

}  // namespace

KrDTDElementRead* KrDTDElementRead::readLiteral(KrDTDElementReader& source,
                                                std::string_view literal) {
    ReadTransaction in(source);
    if (!in.sourceCanDeliver() || !in.takeLiteral(literal)) {
        return nullptr;
    }
    return accept(std::string(literal));
}

KrDTDElementRead* KrDTDElementRead::readDelimited(KrDTDElementReader& source, std::string_view open,
                                                  std::string_view close) {
    ReadTransaction in(source);
    std::string between;
    if (!in.sourceCanDeliver() || !in.takeLiteral(open) || !in.takeThrough(close, between)) {
        in.fail();
        return nullptr;
    }
    return accept(std::move(between));
}

KrDTDElementRead* KrDTDElementRead::readRun(KrDTDElementReader& source, bool (*inClass)(int)) {
    ReadTransaction in(source);
    if (!in.sourceCanDeliver()) {
        return nullptr;
    }
    std::string run = in.takeWhile(inClass);
    if (run.empty()) {
        return nullptr;
    }
    return accept(std::move(run));
}

KrDTDElementRead* KrDTDElementRead_Element::read(KrDTDElementReader& source) {
    ReadTransaction in(source);
    if (!in.sourceCanDeliver() || !in.takeIf('<')) {
        return nullptr;
    }
    const bool closing = in.takeIf('/');
    if (!chars::isNameStart(in.look())) {
        in.fail();
        return nullptr;
    }
    // The token text of a closing tag keeps its "/".
    std::string name = (closing ? "/" : "") + in.takeWhile(chars::isNamePart);
    const int next = in.look();
    if (next == kEnd) {
        in.fail();
        return nullptr;
    }
    if (!(next == '/' || next == '>' || (!closing && chars::isWhitespace(next)))) {
        throw KrException("incomplete tag '" + name + "'", 2201, "src");
    }

    KrDTDElementReader::AttributeList& attributes = source.attributes();
    attributes.clear();
    for (;;) {
        in.takeWhile(chars::isWhitespace);
        if (in.takeLiteral("/>")) {
            setSelfClosed();
            return accept(std::move(name));
        }
        if (in.takeIf('>')) {
            return accept(std::move(name));
        }
        std::optional<KrDTDElementReader::Attribute> attribute = readAttribute(in);
        if (!attribute) {
            in.fail();
            return nullptr;
        }
        attributes.push_back(std::move(*attribute));
    }
}

bool KrDTDElementRead_Element::isCloser() const {
    return text().size() >= 2 && text().front() == '/';
}

bool KrDTDElementRead_Element::closes(std::string_view parentName) const {
    return !text().empty() && std::string_view(text()).substr(1) == parentName;
}

KrDTDElementRead* KrDTDElementRead_Text::read(KrDTDElementReader& source) {
    return readRun(source, isTextCharacter);
}

KrDTDElementRead* KrDTDElementRead_WhitespaceText::read(KrDTDElementReader& source) {
    return readRun(source, chars::isWhitespace);
}

KrDTDElementRead* KrDTDElementRead_Comment::read(KrDTDElementReader& source) {
    ReadTransaction in(source);
    if (!in.sourceCanDeliver() || !in.takeLiteral("<!--")) {
        return nullptr;
    }
    // Two dashes end the comment only when ">" follows them; after a pair that is not so
    // followed the scan goes on behind the pair, so "--->" does not end it.
    std::string text;
    for (;;) {
        if (in.look() == kEnd) {
            in.fail();
            return nullptr;
        }
        if (in.takeLiteral("--")) {
            if (in.takeIf('>')) {
                return accept(std::move(text));
            }
            text += "--";
            continue;
        }
        text += static_cast<char>(in.take());
    }
}

KrDTDElementRead* KrDTDElementRead_ProcInst::read(KrDTDElementReader& source) {
    return readDelimited(source, "<?", "?>");
}

KrDTDElementRead* KrDTDElementRead_Doctype::read(KrDTDElementReader& source) {
    return readDelimited(source, "<!DOCTYPE ", ">");
}
