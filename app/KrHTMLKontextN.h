#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/KrUpdateRegistry.h"
#include "app/KrWidgetManager.h"
#include "foundation/KrResourceRecord.h"
#include "http/KrCommandTarget.h"

class KrHTML_Document2;
class KrNuxelApplication2;
class KrRarediScheduler2;
class KrSettingsMap;
class KrXHeader;
class KrXMLGenericElement;
class KrXResponseHeader;

// A URL hook: takes the request, the answer to fill and the command, which is the request's
// "nuxelcommand" for a session's request, "&new" for a new session's first request, and ""
// when a scheme switch hands the request to a freshly made context.
using KrPageHandler = std::function<void(KrXHeader&, KrXResponseHeader&, const std::string&)>;

// One browser session's page: an HTML document held in memory, the URL hooks that answer
// the session's requests, the session identifier the page carries, a widget manager and an
// update registry. The application keeps one per session and hands it every request of the
// session; derived pages load their document, stamp the identifier into it and add hooks.
//
// No lock of its own: handleRequest takes the application's session lock, under which all
// hooks of all sessions run one at a time.
class KrHTMLKontextN : public KrCommandContext {
public:
    using SessionIds = std::map<std::string, std::uint64_t>;
    using BuiltInFiles = std::map<std::string, KrResourceRecord>;

    // settings is the application's settings map (not owned); loadPage reads "startpath"
    // from it. The flag and the page name are not kept. A null application throws.
    KrHTMLKontextN(KrNuxelApplication2* application, const std::string& sessionId, bool flag,
                   const std::string& pageName, KrSettingsMap* settings);
    ~KrHTMLKontextN() override;

    virtual void noOp(const std::string& /*text*/) {}
    // The document's body and head, made when missing; null without a document.
    virtual KrXMLGenericElement* body();
    virtual KrXMLGenericElement* head();
    // The page's markup; empty without a document.
    virtual std::string render();
    // Answers with the page: the markup render gives, written straight into the answer's
    // body, status 200, answer ready.
    void answerWithPage(KrXResponseHeader& response);
    // Turns the element whose "name" is elementName into a command: a hidden POST form
    // "formcommand<n>" to that path is added to the body and the element's click submits
    // it. False when no element bears the name.
    virtual bool makeCommandElement(const std::string& elementName, bool flag);
    // What makeCommandElement (of this class) does for each name in turn, with one search
    // of the page for all of them instead of one each.
    void makeCommandElements(const std::vector<std::string>& elementNames);
    virtual KrHTML_Document2* document();
    // Enters a non-empty identifier as one of the context's own.
    virtual void addSessionId(const std::string& sessionId);
    // The first own identifier in key order; empty when there is none.
    virtual std::string sessionId();
    virtual SessionIds sessionIds();
    // Puts the identifier into the page: a head script that sets the variable nuxelid, and a
    // hidden "nuxelid" input (and "nuxelgeometry") in every form. Throws without a
    // document.
    virtual void stampSessionId(const std::string& sessionId);
    // Runs the hook of the request's path, under the application's session lock; a path
    // without a hook leaves the answer as it is. A next context that the hook names is handed
    // to the application.
    void handleRequest(KrXHeader& request, KrXResponseHeader& response,
                       const std::string& command) override;
    virtual KrRarediScheduler2& scheduler();

    // Replaces the document by the page: a built-in file of that name after template
    // expansion, else the file of that name under the setting "startpath". False, with an
    // empty page, when the file is missing or reading throws.
    bool loadPage(const std::string& fileName, const BuiltInFiles& builtInFiles);
    // How often loadPage has replaced the document: what a page remembers of its document
    // holds only while this count stays the same.
    std::uint64_t pageLoads() const { return pageLoads_; }

    // Stores the handler under the path, replacing an earlier one.
    void setHook(const std::string& path, KrPageHandler handler);
    bool hasHook(const std::string& path) const;

    // The hook "/": the update channel's "feskoupdate" polls; any other command gets the page.
    void onUpdateRequest(KrXHeader& request, KrXResponseHeader& response,
                         const std::string& command);
    // The hook "/nuxelwidget.handler": a widget action.
    void onWidgetRequest(KrXHeader& request, KrXResponseHeader& response,
                         const std::string& command);

    KrNuxelApplication2* application() const { return application_; }
    KrSettingsMap* settings() const { return settings_; }
    KrWidgetManager& widgetManager() { return widgetManager_; }
    KrUpdateRegistry& updateRegistry() { return updates_; }

    // Read by the application under its session lock: a context that is running a hook, or
    // has not yet answered its first request, must not be evicted.
    bool isEvictable() const { return firstRequestDone_ && !isRunning(); }
    bool isRunning() const { return activeRequests_ > 0; }

private:
    // The command of makeCommandElement for the element found under that name.
    bool addCommand(KrXMLGenericElement* element, const std::string& elementName);

    // The widget manager goes last: the document's elements tell it when they are destroyed.
    KrWidgetManager widgetManager_;
    KrNuxelApplication2* const application_;
    KrSettingsMap* const settings_;
    // By path, sorted: a page has a dozen or two, and every request looks one up. In one
    // block, made once with room for what a game page sets.
    struct Hook {
        std::string path;
        KrPageHandler handler;
    };
    static constexpr std::size_t kHooksExpected = 16;
    std::vector<Hook>::const_iterator findHook(std::string_view path) const;
    std::vector<Hook> hooks_;
    std::unique_ptr<KrHTML_Document2> document_;
    std::uint64_t pageLoads_ = 0;
    SessionIds sessionIds_;
    KrUpdateRegistry updates_;
    unsigned commandFormCounter_ = 0;
    // Guarded by the application's session lock.
    bool firstRequestDone_ = false;
    int activeRequests_ = 0;
};
