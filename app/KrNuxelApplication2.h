#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/KrHTMLKontextN.h"
#include "app/KrListenerEndpoint.h"
#include "app/KrPageCache.h"
#include "app/KrSettingsMap.h"
#include "http/KrBrowserLauncher.h"
#include "http/KrCommandTarget.h"
#include "jobs/KrRarediScheduler2.h"
#include "net/KrServerCallback_t.h"

class KrPersistentAppStorage;
class KrTransceiver;
class KrXHeader;
class KrXResponseHeader;

// The application: it owns the job scheduler, the transceiver hub and the listener
// endpoints, opens one listener per endpoint when started, records where the listeners are
// bound in its settings and opens the start page in the browser, and keeps the registry of
// page contexts, one per browser session, through which requests reach their session's page.
//
// Sessions: the registry owns its contexts. A session identifier is the key name followed by
// 18 random digits, never one already registered. The number of live sessions is capped: a
// new session evicts the least recently used one, whose identifier is then unknown. A
// context is deleted only when no hook of it is running: one that a scheme switch replaces
// goes once its hook has returned.
//
// Shutdown: the network stops first (listeners, connections and every job that could call
// in), then the page contexts are deleted, then the rest; the scheduler goes last.
class KrNuxelApplication2 : public KrCommandTarget {
public:
    using Settings = KrSettingsMap::Map;

    static constexpr std::size_t kDefaultSessionLimit = 1024;
    static constexpr std::size_t kSessionDigits = 18;

    // Copies the endpoints and the settings; the storage is not owned. Opens nothing.
    KrNuxelApplication2(KrPersistentAppStorage* storage, std::vector<KrListenerEndpoint> endpoints,
                        Settings settings);
    KrNuxelApplication2(const KrNuxelApplication2&) = delete;
    KrNuxelApplication2& operator=(const KrNuxelApplication2&) = delete;
    ~KrNuxelApplication2() override;

    // Called by the host just before start.
    virtual void init() {}
    // Opens one listener per endpoint, in order, without waiting for any to bind.
    virtual void start();
    virtual void stop() {}
    // A new session's page context, made and registered under a new identifier built on
    // keyName. The base application makes none.
    KrHTMLKontextN* createContext(const std::string& keyName) override;
    // Files the context under its session identifier, replacing (and deleting) an earlier
    // one, and evicts the least recently used session when there are more than the limit.
    // Null for null.
    virtual KrHTMLKontextN* registerContext(std::unique_ptr<KrHTMLKontextN> context);
    // prefix + 18 random digits, not registered at the time of the call.
    virtual std::string makeSessionId(const std::string& prefix);
    virtual KrPersistentAppStorage* storage();
    // Opens scheme://host:port in the browser; an empty host with port 0 takes the first
    // endpoint's.
    virtual void openInBrowser(const std::string& host, std::uint32_t port,
                               const std::string& scheme);
    virtual bool hasContext(const std::string& sessionId);
    // Runs the request on the session's context under the session lock; an unknown
    // identifier leaves the answer as it is. A next context that the answer names for the
    // same session takes the session's place.
    void dispatchToContext(const std::string& sessionId, KrXHeader& request,
                           KrXResponseHeader& response, const std::string& command) override;
    bool hasBuiltInFile(const std::string& name) override;
    // Answers with the built-in file's content (status 200); text files are template-expanded.
    bool serveBuiltInFile(const std::string& name, KrXHeader& response) override;
    // The hub; valid until shutdown.
    virtual KrTransceiver& transceiver();
    virtual KrRarediScheduler2& scheduler();
    virtual Settings settings();

    // Calls onServerEvent; start hands a copy to every request handler.
    KrServerStatusCallback serverCallback();
    // A server's status event: the access-log line is printed; a bound http or https
    // listener is recorded in the settings, and a bound http listener opens the start page.
    bool onServerEvent(KrServerCallback_t& event);

    // Stops the network: the CGI and PHP children that run, then listeners, connections and
    // every job of the hub, and waits for them. The host calls it before deleting the
    // application, so that no request thread calls into an application being destroyed;
    // the destructor calls it too.
    void shutdown();

    // Takes over the context that the answer names as the session's next one (a scheme
    // switch): filed in place of the session's context when named for sessionId, deleted
    // otherwise; the answer no longer names it. A context runs it, under the session lock,
    // when its hook returns.
    void adoptNextContext(const std::string& sessionId, KrXResponseHeader& response);

    // Guards the session registry; held while a context handles a request, so the hooks of
    // all sessions run one at a time. Recursive: a hook may call back into the application.
    // A context's update registry lock may be taken under it.
    std::recursive_mutex& sessionMutex() { return sessionMutex_; }
    void setSessionLimit(std::size_t limit);
    std::size_t contextCount();

    // The built-in pages as read once, which the page contexts copy.
    KrPageCache& pageCache() { return pageCache_; }

protected:
    // The settings themselves, shared with the page contexts (not a copy).
    KrSettingsMap* sharedSettings() { return &settings_; }
    // 18 digits from the system's random source.
    virtual std::string drawSessionDigits();

private:
    struct Session;
    // A session's place in the order of use: the registry's key and value, which stay where
    // they are while the session is registered.
    struct Use {
        const std::string* id;
        Session* session;
    };
    using UseOrder = std::list<Use>;
    struct Session {
        std::unique_ptr<KrHTMLKontextN> context;
        UseOrder::iterator use;
    };

    // Under the session lock. fileContext makes the context the session's (opening the
    // session when it is new) and its most recently used one; the context it replaces comes
    // back.
    std::unique_ptr<KrHTMLKontextN> fileContext(const std::string& sessionId,
                                                std::unique_ptr<KrHTMLKontextN> context);
    void touch(Session& session);
    bool isRegistered(const KrHTMLKontextN* context) const;
    // The least recently used sessions go, skipping keep and busy contexts, until the
    // registry is within its limit: usually the first in the order of use.
    void evictOverLimit(const std::string& keep);
    // Deletes the context, or keeps it until its running hook has returned.
    void discard(std::unique_ptr<KrHTMLKontextN> context);
    void deleteRetired();

    KrRarediScheduler2 scheduler_;
    const KrBrowserLauncher launcher_;
    std::unique_ptr<KrTransceiver> transceiverOwner_;
    // Stays valid until the hub's destructor has returned: its jobs report to onServerEvent
    // until they have been stopped.
    KrTransceiver* const transceiver_;
    KrPersistentAppStorage* const storage_;
    std::vector<KrListenerEndpoint> endpoints_;
    KrSettingsMap settings_;
    KrPageCache pageCache_;

    std::recursive_mutex sessionMutex_;
    // All guarded by sessionMutex_. useOrder_ holds every session, least recently used first;
    // registered_ every context that sessions_ holds. Every request of a session and every
    // new one looks its identifier up: hashed, not ordered.
    std::unordered_map<std::string, Session> sessions_;
    UseOrder useOrder_;
    std::unordered_set<const KrHTMLKontextN*> registered_;
    std::vector<std::unique_ptr<KrHTMLKontextN>> retired_;
    std::size_t sessionLimit_ = kDefaultSessionLimit;
};
