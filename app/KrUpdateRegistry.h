#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class KrHTML_Document2;
class KrXHeader;

// Answers the browser's "feskoupdate" polls of one page context. For each poll an answer
// page is opened whose one element, the div "novidade", tells the browser whether to poll
// again ("feskofim": "sim" stop, "nao" again), after how long ("feskoupdatetime") and for
// which reference ("feskoref"). An update callback registered for the reference decides;
// without one the answer says stop.
class KrUpdateRegistry {
public:
    // Takes the reference; gives the delay before the next poll, or a value below 1 to end
    // polling for that reference.
    using Callback = std::function<std::int64_t(const std::string&)>;

    static constexpr std::string_view kNoReference = "_none_";
    // The delay an answer carries unless a callback sets one.
    static constexpr std::int64_t kDefaultDelay = 500;
    // What runCallback gives for a reference without a callback.
    static constexpr std::int64_t kNoCallback = -2;

    KrUpdateRegistry();
    ~KrUpdateRegistry();
    KrUpdateRegistry(const KrUpdateRegistry&) = delete;
    KrUpdateRegistry& operator=(const KrUpdateRegistry&) = delete;

    // Files the callback under the reference, replacing one filed before.
    void setCallback(const std::string& reference, Callback callback);

    // The request parameter of that name ("_none_" when absent) is the reference; a new
    // answer with the defaults replaces any answer held for it.
    std::string openAnswer(const KrXHeader& request, const std::string& parameterName);
    // Whether a callback is registered; if so, and an answer is held, the answer names the
    // reference.
    bool markReference(const std::string& reference);
    // The callback's delay; kNoCallback without one. The callback runs with the registry's
    // lock released, so it may call back into the registry.
    std::int64_t runCallback(const std::string& reference);
    // Below 1: the answer says stop and the callback is dropped; otherwise it says poll
    // again after the delay. Nothing without an answer held.
    void setNextUpdate(const std::string& reference, std::int64_t delay);
    // The answer's markup, a whole page; the answer is dropped. Empty without one.
    std::string takeAnswer(const std::string& reference);

private:
    // Guards both maps. Taken under the application's session lock when a page hook polls;
    // no other lock is taken under it, and callbacks run without it.
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<KrHTML_Document2>> answers_;
    std::map<std::string, Callback> callbacks_;
};
