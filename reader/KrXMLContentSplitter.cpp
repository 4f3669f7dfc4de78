#include "reader/KrXMLContentSplitter.h"

#include <string>
#include <utility>

#include "foundation/KrException.h"
#include "reader/KrDTD.h"
#include "reader/KrDTDElementRead.h"
#include "reader/KrDTDElementReader.h"

namespace {

constexpr std::string_view kLineMark = "around line";

std::string aroundLine(const KrDTDElementReader& source) {
    return " around line " + std::to_string(source.line());
}

}  // namespace

KrXMLContentSplitter::KrXMLContentSplitter()
    : root_(std::make_unique<KrXMLGenericElement>("KrXMLContentSplitter::TOP", true)),
      current_(root_.get()) {}

KrXMLContentSplitter::~KrXMLContentSplitter() = default;

KrXMLGenericElement* KrXMLContentSplitter::split(KrDTDElementReader& source,
                                                 std::string_view dtdName) {
    try {
        readAll(source, dtdName);
    } catch (const KrException& failure) {
        std::string text = failure.what();
        if (text.find(kLineMark) == std::string::npos) {
            text += aroundLine(source);
        }
        throw KrException(text, 2110, "src");
    } catch (...) {
        throw KrException("catched an error while processing input", 2111, "src");
    }
    return root_.get();
}

void KrXMLContentSplitter::readAll(KrDTDElementReader& source, std::string_view dtdName) {
    if (!current_) {
        throw KrException("missing topelement", 2112, "src");
    }
    if (dtdName_.empty()) {
        dtdName_ = root_->contentDTD(dtdName);
        if (dtdName_.empty()) {
            throw KrException("DTD can't be empty", 2113, "src");
        }
    }
    if (source.pushBackUsedUp() && !source.good()) {
        throw KrException("error in stream", 2114, "src");
    }
    while (!source.pushBackUsedUp() || !source.eof()) {
        const auto found = source.dtds().find(dtdName_);
        if (found == source.dtds().end()) {
            throw KrException("DTD '" + dtdName_ + "' not defined", 2115, "src");
        }
        KrDTD& dtd = found->second;
        const std::unique_ptr<KrDTDElementRead> token = readToken(source, dtd);
        if (!token) {
            if (source.pushBackUsedUp() && source.eof()) {
                break;
            }
            throw KrException("reading error ", 2116, "src");
        }
        try {
            handleToken(source, dtd, *token);
        } catch (const KrException&) {
            throw;
        } catch (...) {
            throw KrException(
                "element type '" + token->name() + "' not defined in DTD" + aroundLine(source),
                2117, "src");
        }
    }
}

std::unique_ptr<KrDTDElementRead> KrXMLContentSplitter::readToken(KrDTDElementReader& source,
                                                                  KrDTD& dtd) {
    const auto model = dtd.contentModels.find(current_->name());
    const KrDTD::NameSet* allowed = model != dtd.contentModels.end() ? &model->second : nullptr;
    for (auto& [readerName, slot] : dtd.readers) {
        if (!slot || (allowed && !allowed->contains(readerName))) {
            continue;
        }
        const std::size_t consumedBefore = source.consumed();
        const bool read = slot->read(source) != nullptr;
        // Every attempt starts from an empty reader: the one just used, winner or not, is
        // replaced by a fresh one.
        std::unique_ptr<KrDTDElementRead> used = std::exchange(slot, slot->createFresh());
        // A token is at least one character; a reader that claims one without consuming
        // anything would hold the loop at this position forever.
        if (read && source.consumed() > consumedBefore) {
            return used;
        }
    }
    return nullptr;
}

void KrXMLContentSplitter::handleToken(KrDTDElementReader& source, KrDTD& dtd,
                                       const KrDTDElementRead& token) {
    if (token.isCloser()) {
        closeCurrent(source, token);
        return;
    }
    // A void element holds no content: the next token, whatever it is, ends it.
    if (dtd.voidTags.contains(current_->name())) {
        closeCurrent(source, token);
    }
    const bool opens = !token.selfClosed() && dtd.containers.contains(token.name());
    if (opens && depth_ >= kMaxNesting) {
        throw KrException("elements nested deeper than " + std::to_string(kMaxNesting) + " levels",
                          2120, "src");
    }
    std::unique_ptr<KrXMLComplexElement> node =
        dtd.elementFactories.at(token.name())(token.text(), dtd);
    if (!node || !current_) {
        throw KrException("problem in DTD with '" + token.name() + "'", 2118, "src");
    }
    if (token.hasAttributes()) {
        if (auto* element = dynamic_cast<KrXMLGenericElement*>(node.get())) {
            for (const KrDTDElementReader::Attribute& attribute : source.attributes()) {
                element->setAttribute(attribute.name,
                                      attribute.valueless ? "true" : attribute.value);
            }
        }
    }
    KrXMLComplexElement* added = current_->addChild(std::move(node));
    if (opens) {
        dtdName_ = added->contentDTD(dtdName_);
        current_ = added;
        ++depth_;
        return;
    }
    added->finish();
}

void KrXMLContentSplitter::closeCurrent(const KrDTDElementReader& source,
                                        const KrDTDElementRead& token) {
    current_->finish();
    KrXMLComplexElement* parent = current_->parent();
    // Only a closer has to name what it closes; any other token ends a void element.
    if (!parent || (token.isCloser() && !token.closes(current_->name()))) {
        throw KrException("wrong closing tag '" + token.text() + "' instead '/" + current_->name() +
                              "'" + aroundLine(source),
                          2119, "src");
    }
    dtdName_ = current_->contentDTD("");
    current_ = parent;
    --depth_;
}
