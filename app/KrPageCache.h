#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class KrHTML_Document2;

// The built-in pages as read once. Every new page context used to read its page's text
// again; now each gets a copy of the document read the first time, which shares that
// document's texts and (until it changes them) its attributes, so a session holds little
// more than its own changes. Pages are found by their text after template expansion: a
// changed template value or a replaced file is a new page, never a stale one.
class KrPageCache {
public:
    // Different texts beyond this many are not expected (a few built-in pages, each with
    // one expansion); should there be more, the pages read so far are dropped and read again
    // when asked for.
    static constexpr std::size_t kMaxPages = 16;

    KrPageCache() = default;
    KrPageCache(const KrPageCache&) = delete;
    KrPageCache& operator=(const KrPageCache&) = delete;
    ~KrPageCache();

    // A new document holding the page of this text, byte for byte what readHTMLString
    // makes of it in a fresh document (a reading error included).
    std::unique_ptr<KrHTML_Document2> document(std::string_view text);

private:
    // A page as read, and the bytes a copy of it takes, measured once.
    struct Page {
        std::shared_ptr<const KrHTML_Document2> document;
        std::size_t copyBytes;
    };

    Page readOnce(std::string_view text);

    // Guards pages_; no other lock is taken under it. The documents themselves are never
    // changed once stored, so they are copied with the lock released.
    std::mutex mutex_;
    std::map<std::string, Page, std::less<>> pages_;
};
