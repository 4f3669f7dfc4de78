#include "app/KrWidgetManager.h"

#include <utility>

#include "app/KrHTMLKontextN.h"
#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_Document2.h"
#include "document/html/KrHTML_text2.h"
#include "foundation/Diagnostics.h"
#include "foundation/Strings.h"
#include "http/KrXHeader.h"
#include "http/KrXResponseHeader.h"

namespace {

// The browser side of the widget protocol: it fills the widget form with the action, the
// element and a parameter and posts it in the background, then runs the JavaScript that
// comes back unless it is a page ("<!" near its start).
constexpr std::string_view kWidgetScript = R"js(

function nuxelwidgethandlerP1(theobject, theaction, param1)
{
  var cf = document.getElementById("nuxelwidgetform");
  document.getElementById("nuxelactionfrm").setAttribute("value",theaction);
  document.getElementById("nuxelactionparam1frm").setAttribute("value",param1);  
  document.getElementById("nuxelactionelementfrm").setAttribute("value",theobject.getAttribute("id"));  
  nuxelsubmit(cf);
}    
      
function nuxelwidgethandler(theobject, theaction)
{
  var cf = document.getElementById("nuxelwidgetform");
  document.getElementById("nuxelactionfrm").setAttribute("value",theaction);
  document.getElementById("nuxelactionparam1frm").setAttribute("value","none");
  document.getElementById("nuxelactionelementfrm").setAttribute("value",theobject.getAttribute("id"));  
  nuxelsubmit(cf);
} 

function nuxelwidgetsuccess () {
  var s = this.responseText;
  var pos = s.search("<!");
  if(pos<0 || pos>10)  
    eval(s);
}

function nuxelsubmit(theform)
{
  if (!theform.action) { return; }
  var oReq = new XMLHttpRequest();
  oReq.onload = nuxelwidgetsuccess;
  if (theform.method.toLowerCase() === "post") 
  {
    oReq.open("post", theform.action, true);
    oReq.send(new FormData(theform));
  } 
}

)js";

constexpr std::string_view kFormHead =
    "\n<form action=\"nuxelwidget.handler\" id=\"nuxelwidgetform\" method=\"post\" "
    "enctype=\"multipart/form-data\" onsubmit=\"return false\">\n"
    "  <input name=\"nuxelid\" type=\"hidden\" value=\"";
constexpr std::string_view kFormTail =
    "\" />\n"
    "  <input id=\"nuxelactionfrm\" name=\"nuxelaction\" type=\"hidden\" value=\"none\" />\n"
    "  <input id=\"nuxelactionelementfrm\" name=\"nuxelactionelement\" type=\"hidden\" "
    "value=\"none\" />\n"
    "  <input id=\"nuxelactionparam1frm\" name=\"nuxelactionparam1\" type=\"hidden\" "
    "value=\"none\" />\n"
    "</form>\n\n";

constexpr std::string_view kNoParameter = "nix";

// The start of every statement about one page element.
std::string elementExpression(std::string_view elementId) {
    return "document.getElementById(\"" + kr::escapeJavaScriptString(elementId) + "\")";
}

std::string removalStatement(std::string_view elementId) {
    return "{\nvar elem = " + elementExpression(elementId) +
           ";\nelem.parentElement.removeChild(elem);\n}\n";
}

// Text from a request that is echoed into a line comment: a line end (CR, LF, or the
// UTF-8 line and paragraph separators that JavaScript also ends lines at) would end the
// comment and let the rest run as code, so each becomes a blank.
std::string commentText(std::string_view text) {
    std::string safe;
    safe.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            safe += ' ';
        } else if (text.substr(i, 3) == "\xE2\x80\xA8" || text.substr(i, 3) == "\xE2\x80\xA9") {
            safe += ' ';
            i += 2;
        } else {
            safe += c;
        }
    }
    return safe;
}

std::string parameterOr(const KrXHeader& request, const std::string& name) {
    std::string value;
    return request.getParameter(name, value) ? value : std::string(kNoParameter);
}

// Takes the element out of its parent and deletes it.
void deleteFromDocument(KrXMLGenericElement* element) {
    if (element != nullptr && element->parent() != nullptr) {
        element->parent()->removeChild(element);
    }
}

}  // namespace

KrWidgetManager::KrWidgetManager()
    : defaultEntry_{std::string(kDefaultElementId), {}, {}, {}, {}} {}

KrWidgetManager::~KrWidgetManager() {
    clear();
    takeDocument(nullptr);
}

// ---- following the page ----

bool KrWidgetManager::followPage(KrHTMLKontextN& page) {
    KrHTML_Document2* current = page.document();
    if (current != document_) {
        sessionId_ = page.sessionId();
        clear();
        takeDocument(current);
        if (document_ != nullptr) {
            installWidgetSupport();
        }
    }
    return document_ != nullptr;
}

void KrWidgetManager::takeDocument(KrHTML_Document2* document) {
    if (document_ != nullptr) {
        document_->setUserData(nullptr);
    }
    document_ = document;
    documentNode_ = document;
    // Told when the document goes, so that a new document at the same address is not taken
    // for the old one.
    if (document_ != nullptr) {
        document_->setUserData(this);
    }
}

void KrWidgetManager::installWidgetSupport() {
    if (document_ == nullptr || document_->findFirstChildWithAttribute("id", "nuxelwidget")) {
        return;
    }
    auto script = std::make_unique<KrHTML_script2>("", kWidgetScript);
    script->setAttributeText("id='nuxelwidget'");
    document_->addToHead(std::move(script));
    std::string form(kFormHead);
    form += sessionId_;
    form += kFormTail;
    document_->addToBody(std::make_unique<KrHTML_text2>(form));
}

// ---- watching elements ----

void KrWidgetManager::watch(KrXMLGenericElement* element) {
    if (element != nullptr) {
        element->setUserData(this);
        watched_[element] = element;
    }
}

bool KrWidgetManager::isUsed(const KrXMLGenericElement* element) const {
    for (const auto& [id, entry] : widgets_) {
        if (entry.element == element || entry.overlay == element || entry.envelope == element) {
            return true;
        }
    }
    return false;
}

void KrWidgetManager::unwatchUnused(KrXMLGenericElement* element) {
    if (element != nullptr && !isUsed(element)) {
        element->setUserData(nullptr);
        watched_.erase(element);
    }
}

void KrWidgetManager::unwatchEntry(const KrWidgetEntry& entry) {
    unwatchUnused(entry.element);
    unwatchUnused(entry.overlay);
    unwatchUnused(entry.envelope);
}

void KrWidgetManager::fileEntry(KrWidgetEntry entry) {
    const auto slot = widgets_.try_emplace(entry.elementId).first;
    // Unwatched only once the new entry is filed: an element the two share stays watched.
    const KrWidgetEntry previous = std::exchange(slot->second, std::move(entry));
    unwatchEntry(previous);
    const KrWidgetEntry& filed = slot->second;
    watch(filed.element);
    watch(filed.overlay);
    watch(filed.envelope);
}

void KrWidgetManager::elementDestroyed(const KrXMLComplexElement* node) {
    if (node == documentNode_) {
        document_ = nullptr;
        documentNode_ = nullptr;
        return;
    }
    const auto found = watched_.find(node);
    if (found == watched_.end()) {
        return;
    }
    // Compared by address only: the element is being destroyed.
    const KrXMLGenericElement* gone = found->second;
    watched_.erase(found);
    for (auto entry = widgets_.begin(); entry != widgets_.end();) {
        if (entry->second.element == gone) {
            entry = widgets_.erase(entry);
            continue;
        }
        if (entry->second.overlay == gone) {
            entry->second.overlay = nullptr;
        }
        if (entry->second.envelope == gone) {
            entry->second.envelope = nullptr;
        }
        ++entry;
    }
}

// ---- widgets ----

const KrWidgetEntry& KrWidgetManager::findWidget(const std::string& elementId) const {
    const auto found = widgets_.find(elementId);
    return found != widgets_.end() ? found->second : defaultEntry_;
}

std::string KrWidgetManager::callHandler(const KrWidgetHandler& handler,
                                         const std::string& elementId, KrXHeader& request) {
    return handler(elementId, request);
}

void KrWidgetManager::clear() {
    for (const auto& [node, element] : watched_) {
        element->setUserData(nullptr);
    }
    watched_.clear();
    widgets_.clear();
}

void KrWidgetManager::removeWidget(const KrXMLGenericElement* element) {
    for (auto entry = widgets_.begin(); entry != widgets_.end(); ++entry) {
        if (entry->second.element == element) {
            const KrWidgetEntry removed = std::move(entry->second);
            widgets_.erase(entry);
            unwatchEntry(removed);
            return;
        }
    }
}

std::string KrWidgetManager::addEventHandler(const std::string& elementId, KrHTMLKontextN& page,
                                             const std::string& event, KrWidgetHandler handler,
                                             const Options& options) {
    if (!followPage(page)) {
        return {};
    }
    KrXMLGenericElement* element = document_->findFirstChildWithAttribute("id", elementId);
    if (element == nullptr) {
        return {};
    }
    // A widget of that identifier keeps its other handlers and its modal lock.
    const auto found = widgets_.find(elementId);
    KrWidgetEntry entry = found != widgets_.end()
                              ? found->second
                              : KrWidgetEntry{elementId, nullptr, nullptr, nullptr, {}};
    entry.element = element;
    entry.handlers[event] = std::move(handler);
    fileEntry(std::move(entry));
    if (options.contains("silent")) {
        return {};
    }
    element->setAttribute(event, "nuxelwidgethandler(this, '" + event + "');");
    // Escaped, the event name cannot end the statement's string literals, whatever it holds.
    const std::string name = kr::escapeJavaScriptString(event);
    return elementExpression(elementId) + ".setAttribute(\"" + name +
           "\",\"nuxelwidgethandler(this, '" + name + "');\");\n";
}

std::string KrWidgetManager::addSilentEventHandler(const std::string& elementId,
                                                   KrHTMLKontextN& page, const std::string& event,
                                                   KrWidgetHandler handler,
                                                   const Options& options) {
    Options silent = options;
    silent["silent"] = "true";
    return addEventHandler(elementId, page, event, std::move(handler), silent);
}

std::string KrWidgetManager::addModalLock(const std::string& widgetId,
                                          std::unique_ptr<KrHTML_BaseElement2> element,
                                          KrHTMLKontextN& page) {
    if (!followPage(page) || widgetId.empty() || element == nullptr) {
        return {};
    }
    const std::size_t z = (modalStack_.size() + 200) * 5;
    const std::string overlayZ = std::to_string(z);
    const std::string envelopeZ = std::to_string(z + 1);

    auto overlay = std::make_unique<KrHTML_div2>("modallock" + overlayZ, false);
    overlay->setAttributeText(
        "style='position:fixed; top:0; left:0; width:100%; height:100%; "
        "background-color:green; opacity:0.8; z-index:" +
        overlayZ + ";'");
    std::string script = overlay->toJavaScript();
    KrHTML_div2* overlayAdded = document_->addToBody(std::move(overlay));

    auto envelope = std::make_unique<KrHTML_div2>("modalenvelope" + envelopeZ, false);
    envelope->setAttributeText(
        "style='position:fixed; transform: translate(-50%, -50%); top:50%; left:50%; z-index:" +
        envelopeZ + ";'");
    KrHTML_BaseElement2* locked = kr::appendChild(*envelope, std::move(element));
    script += envelope->toJavaScript();
    KrHTML_div2* envelopeAdded = document_->addToBody(std::move(envelope));

    modalStack_.push_back(widgetId);
    fileEntry({widgetId, locked, overlayAdded, envelopeAdded, {}});
    return script;
}

void KrWidgetManager::handleAction(KrXHeader& request, KrXResponseHeader& response) {
    const std::string action = parameterOr(request, "nuxelaction");
    const std::string elementId = parameterOr(request, "nuxelactionelement");
    const std::string parameter = parameterOr(request, "nuxelactionparam1");
    // The browser's texts reach standard output escaped: a request must not be able to
    // write control sequences to the terminal or lines of its own.
    kr::outLine("content: ", kr::escapedText(action));
    kr::outLine("content1: ", kr::escapedText(elementId));
    kr::outLine("content2: ", kr::escapedText(parameter));

    std::string answer = "// NuxelWidget handler\n";
    const KrWidgetEntry& entry = findWidget(elementId);
    const auto handler = entry.handlers.find(action);
    if (&entry != &defaultEntry_ && handler != entry.handlers.end()) {
        // A copy: the handler may replace its own registration while it runs.
        const KrWidgetHandler run = handler->second;
        answer += callHandler(run, elementId, request);
    } else {
        answer += "// a handler for " + commentText(elementId) + "/" + commentText(action) +
                  " was not found.\n";
    }
    response.writeAnswer(answer);
}

std::string KrWidgetManager::dropEventHandler(const std::string& elementId,
                                              const std::string& event) {
    const KrWidgetEntry& entry = findWidget(elementId);
    if (entry.element == nullptr || !entry.handlers.contains(event)) {
        return {};
    }
    entry.element->setAttribute(event, "");
    return elementExpression(elementId) + ".setAttribute(\"" + kr::escapeJavaScriptString(event) +
           "\",\"\");\n";
}

std::string KrWidgetManager::setAttributeScript(const std::string& elementId,
                                                const std::string& name, const std::string& value) {
    const KrWidgetEntry& entry = findWidget(elementId);
    if (entry.element == nullptr) {
        return {};
    }
    entry.element->setAttribute(name, value);
    return elementExpression(elementId) + ".setAttribute(\"" + kr::escapeJavaScriptString(name) +
           "\",\"" + kr::escapeJavaScriptString(value) + "\");\n";
}

std::string KrWidgetManager::setTextScript(const std::string& elementId, const std::string& text) {
    const KrWidgetEntry& entry = findWidget(elementId);
    if (entry.element == nullptr) {
        return {};
    }
    KrXMLGenericElement* element = entry.element;
    element->deleteChildren();
    element->addChild(std::make_unique<KrHTML_text2>(text));
    return elementExpression(elementId) + ".innerHTML=\"" + kr::escapeJavaScriptString(text) +
           "\";\n";
}

std::string KrWidgetManager::removeElementScript(const std::string& elementId,
                                                 KrHTMLKontextN& /*page*/) {
    std::string script;
    const auto found = widgets_.find(elementId);
    if (found != widgets_.end()) {
        const KrWidgetEntry entry = found->second;
        script = removalStatement(elementId);
        if (entry.overlay != nullptr) {
            script += removalStatement(entry.overlay->getAttribute("id", ""));
        }
        if (entry.envelope != nullptr) {
            script += removalStatement(entry.envelope->getAttribute("id", ""));
        }
        if (!modalStack_.empty()) {
            modalStack_.pop_back();
        }
        removeWidget(entry.element);
        // The browser drops them; so does the page document, or the next render would bring
        // them back.
        if (!isUsed(entry.element)) {
            deleteFromDocument(entry.element);
        }
        if (!isUsed(entry.overlay)) {
            deleteFromDocument(entry.overlay);
        }
        if (!isUsed(entry.envelope)) {
            deleteFromDocument(entry.envelope);
        }
    }
    kr::outLine("ret: ", script);
    return script;
}
