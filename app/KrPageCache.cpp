#include "app/KrPageCache.h"

#include "document/html/KrHTML_Document2.h"
#include "reader/MarkupReader.h"

namespace {

std::unique_ptr<KrHTML_Document2> readPage(std::string_view text) {
    auto document = std::make_unique<KrHTML_Document2>();
    kr::readHTMLString(text, *document);
    return document;
}

}  // namespace

KrPageCache::~KrPageCache() = default;

std::unique_ptr<KrHTML_Document2> KrPageCache::document(std::string_view text) {
    const Page page = readOnce(text);
    std::unique_ptr<KrXMLComplexElement> copy = page.document->copyTree(page.copyBytes);
    if (copy == nullptr) {
        // Every node the reader makes copies itself; should one not, the page is read.
        return readPage(text);
    }
    // copyTree keeps the class of every node it copies.
    return std::unique_ptr<KrHTML_Document2>(static_cast<KrHTML_Document2*>(copy.release()));
}

KrPageCache::Page KrPageCache::readOnce(std::string_view text) {
    {
        std::lock_guard lock(mutex_);
        if (const auto found = pages_.find(text); found != pages_.end()) {
            return found->second;
        }
    }
    // Read without the lock: a page read twice at once is stored once, and either is right.
    std::shared_ptr<const KrHTML_Document2> document = readPage(text);
    const std::size_t copyBytes = document->copyFootprint();
    Page page{std::move(document), copyBytes};
    std::lock_guard lock(mutex_);
    if (pages_.size() >= kMaxPages) {
        pages_.clear();
    }
    return pages_.try_emplace(std::string(text), std::move(page)).first->second;
}
