#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "document/xml/KrWidgetManager_base.h"

class KrHTMLKontextN;
class KrHTML_BaseElement2;
class KrHTML_Document2;
class KrXHeader;
class KrXMLComplexElement;
class KrXMLGenericElement;
class KrXResponseHeader;

// Takes the element identifier and the request; gives JavaScript for the browser to run.
using KrWidgetHandler = std::function<std::string(const std::string&, KrXHeader&)>;

// One widget: an element of the page and its handlers by browser event. The pointers point
// into the page document, which owns the elements; the manager forgets a widget when its
// element is destroyed.
struct KrWidgetEntry {
    std::string elementId;
    KrXMLGenericElement* element = nullptr;
    KrXMLGenericElement* overlay = nullptr;   // of a modal lock
    KrXMLGenericElement* envelope = nullptr;  // of a modal lock
    std::map<std::string, KrWidgetHandler> handlers;
};

// Turns elements of a page context's document into widgets. For each element and browser
// event it keeps a handler that runs when the browser reports the event through the widget
// form (the page posts it to "/nuxelwidget.handler" in the background), and every change it
// makes to the page document it also returns as JavaScript, so the browser's copy stays in
// step. It installs the widget form and script in the page the first time a widget is
// added to a document.
//
// No lock of its own: it is used from page hooks, which run under the application's session
// lock. Every text it puts into a JavaScript string literal goes through the one escaper;
// what it echoes into a JavaScript comment has its line ends blanked.
class KrWidgetManager : public KrWidgetManager_base {
public:
    using Options = std::map<std::string, std::string>;

    static constexpr std::string_view kDefaultElementId = "nuxeldummy";

    KrWidgetManager();
    // Forgets every widget.
    ~KrWidgetManager() override;

    // Forgets every widget; the elements no longer report their destruction here.
    virtual void clear();
    // JavaScript that removes the widget's element, and its modal lock's overlay and
    // envelope, from the browser's page; they leave the page document too, so a later render
    // agrees with the browser. The top modal lock is popped. "ret: " and the script are
    // printed. Empty for an identifier without a widget.
    virtual std::string removeElementScript(const std::string& elementId, KrHTMLKontextN& page);
    // Forgets the first widget, in identifier order, whose element this is.
    virtual void removeWidget(const KrXMLGenericElement* element);
    // Registers the handler for the event on the page element whose "id" is elementId, and
    // makes the element report the event (unless the options hold "silent"). The statement
    // that does the same in the browser; empty when nothing was registered or "silent".
    virtual std::string addEventHandler(const std::string& elementId, KrHTMLKontextN& page,
                                        const std::string& event, KrWidgetHandler handler,
                                        const Options& options);
    virtual std::string addSilentEventHandler(const std::string& elementId, KrHTMLKontextN& page,
                                              const std::string& event, KrWidgetHandler handler,
                                              const Options& options);
    // Puts the element (which must have no parent) into an envelope above an overlay that
    // blocks the page; both are added to the body. The script that creates both in the
    // browser; empty for an empty widget identifier or a null element.
    virtual std::string addModalLock(const std::string& widgetId,
                                     std::unique_ptr<KrHTML_BaseElement2> element,
                                     KrHTMLKontextN& page);
    // Answers a widget action ("nuxelaction", "nuxelactionelement", "nuxelactionparam1")
    // with the JavaScript of the element's handler for the action.
    virtual void handleAction(KrXHeader& request, KrXResponseHeader& response);
    // The element stops reporting the event; its handler stays registered.
    virtual std::string dropEventHandler(const std::string& elementId, const std::string& event);
    virtual std::string setAttributeScript(const std::string& elementId, const std::string& name,
                                           const std::string& value);
    // Replaces the element's content by the text (markup, written as it stands).
    virtual std::string setTextScript(const std::string& elementId, const std::string& text);

    // Adds the widget form and script to the document unless it holds "nuxelwidget".
    void installWidgetSupport();
    // The widget, or the default entry (no element) for an identifier without one.
    const KrWidgetEntry& findWidget(const std::string& elementId) const;
    // Runs the handler; an empty one throws std::bad_function_call.
    std::string callHandler(const KrWidgetHandler& handler, const std::string& elementId,
                            KrXHeader& request);

    void elementDestroyed(const KrXMLComplexElement* element) override;

private:
    // Widgets belong to one document: when the page holds another one, the manager forgets
    // its widgets and installs the widget support in the new document. False when the page
    // has no document.
    bool followPage(KrHTMLKontextN& page);
    void takeDocument(KrHTML_Document2* document);
    // An element is watched (its user object is this manager) while a widget refers to it.
    void watch(KrXMLGenericElement* element);
    void unwatchUnused(KrXMLGenericElement* element);
    void unwatchEntry(const KrWidgetEntry& entry);
    bool isUsed(const KrXMLGenericElement* element) const;
    // Files the entry under its identifier, replacing (and unwatching) an earlier one.
    void fileEntry(KrWidgetEntry entry);

    const KrWidgetEntry defaultEntry_;
    std::map<std::string, KrWidgetEntry> widgets_;
    KrHTML_Document2* document_ = nullptr;
    // The watched elements by the address they report their destruction with, which is
    // taken while they are alive: a dying element may not even be converted to its base.
    std::map<const KrXMLComplexElement*, KrXMLGenericElement*> watched_;
    // document_ under the address its destruction is reported with, for the same reason.
    const KrXMLComplexElement* documentNode_ = nullptr;
    std::string sessionId_;
    std::deque<std::string> modalStack_;
};
