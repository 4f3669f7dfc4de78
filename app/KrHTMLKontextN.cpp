#include "app/KrHTMLKontextN.h"

#include <algorithm>
#include <mutex>
#include <ostream>

#include "app/KrHTML_CommandFormN1.h"
#include "app/KrNuxelApplication2.h"
#include "app/KrSettingsMap.h"
#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_Document2.h"
#include "foundation/KrException.h"
#include "foundation/Paths.h"
#include "foundation/Strings.h"
#include "http/KrXHeader.h"
#include "http/KrXResponseHeader.h"
#include "reader/MarkupReader.h"
#include "storage/KrPersistentAppStorage.h"

namespace {

constexpr std::string_view kUpdateCommand = "feskoupdate";
// The field every form of the page carries the session identifier in.
constexpr std::string_view kSessionField = "nuxelid";

// The order of a page's hooks: by path.
constexpr auto kHookBefore = [](const auto& hook, std::string_view path) {
    return hook.path < path;
};

// Gives every form of the page exactly one field of that name with that value: the fields
// it has get the value, a form without one gets a hidden input.
void stampFormField(KrXMLGenericElement& form, std::string_view name, std::string_view value) {
    KrXMLGenericElement::GenericList fields;
    form.findChildrenWithAttribute("name", name, fields);
    for (KrXMLGenericElement* field : fields) {
        field->setAttribute("value", value);
    }
    if (fields.empty()) {
        form.addChild(std::make_unique<KrHTML_input2_hidden>("", value, name));
    }
}

}  // namespace

KrHTMLKontextN::KrHTMLKontextN(KrNuxelApplication2* application, const std::string& sessionId,
                               bool /*flag*/, const std::string& /*pageName*/,
                               KrSettingsMap* settings)
    : application_(application), settings_(settings) {
    if (application_ == nullptr) {
        throw KrException("App must be defined, but is nullptr", 41031, "src");
    }
    addSessionId(sessionId);
    setHook("/",
            [this](KrXHeader& request, KrXResponseHeader& response, const std::string& command) {
                onUpdateRequest(request, response, command);
            });
    setHook("/nuxelwidget.handler",
            [this](KrXHeader& request, KrXResponseHeader& response, const std::string& command) {
                onWidgetRequest(request, response, command);
            });
}

KrHTMLKontextN::~KrHTMLKontextN() = default;

KrXMLGenericElement* KrHTMLKontextN::body() {
    if (document_ == nullptr) {
        return nullptr;
    }
    return document_->documentBody(*document_->documentRoot());
}

KrXMLGenericElement* KrHTMLKontextN::head() {
    if (document_ == nullptr) {
        return nullptr;
    }
    return document_->documentHead(*document_->documentRoot());
}

std::string KrHTMLKontextN::render() {
    return document_ != nullptr ? document_->toMarkupString() : std::string();
}

void KrHTMLKontextN::answerWithPage(KrXResponseHeader& response) {
    if (document_ != nullptr) {
        std::ostream body(&response.body());
        document_->write(body);
    }
    response.setStatus(200);
    response.setState(KrXHeader::kStateAnswerReady);
}

KrHTML_Document2* KrHTMLKontextN::document() { return document_.get(); }

// ---- the page ----

bool KrHTMLKontextN::loadPage(const std::string& fileName, const BuiltInFiles& builtInFiles) {
    ++pageLoads_;
    try {
        const auto builtIn = builtInFiles.find(fileName);
        if (builtIn != builtInFiles.end()) {
            std::string text = builtIn->second.contentString();
            if (KrPersistentAppStorage* storage = application_->storage()) {
                storage->expandTemplate(text, "");
            }
            document_ = application_->pageCache().document(text);
        } else {
            document_ = std::make_unique<KrHTML_Document2>();
            const std::string startPath = settings_ != nullptr ? settings_->entry("startpath") : "";
            const std::string path = kr::makeDirectoryPath(startPath) + fileName;
            // The reader reads a file it cannot open as an empty page with an error in it;
            // a page that is not there is a failed load instead.
            if (!kr::fileExists(path) || kr::ensureDirectory(path, false)) {
                throw KrException("page not found: " + path, 41032, "src");
            }
            kr::readHTMLFile(path, *document_);
        }
        return true;
    } catch (...) {
        document_ = std::make_unique<KrHTML_Document2>();
        return false;
    }
}

void KrHTMLKontextN::stampSessionId(const std::string& sessionId) {
    if (document_ == nullptr) {
        throw KrException("the document can't be a nullptr", 41033, "src");
    }
    document_->addToHead(std::make_unique<KrHTML_script2>(
        "", "nuxelid=\"" + kr::escapeJavaScriptString(sessionId) + "\";"));
    KrXMLGenericElement::GenericList forms;
    document_->findGenericChildren("form", forms, -1);
    for (KrXMLGenericElement* form : forms) {
        stampFormField(*form, kSessionField, sessionId);
        stampFormField(*form, "nuxelgeometry", "empty");
    }
}

bool KrHTMLKontextN::makeCommandElement(const std::string& elementName, bool /*flag*/) {
    if (document_ == nullptr) {
        return false;
    }
    return addCommand(document_->findFirstChildWithAttribute("name", elementName), elementName);
}

void KrHTMLKontextN::makeCommandElements(const std::vector<std::string>& elementNames) {
    if (document_ == nullptr) {
        return;
    }
    // The first element of each name, from one walk. Later searches would find the same: a
    // command adds only a form at the end of the body, whose one named element is the
    // hidden "nuxelid" input, so that name alone is searched for when its turn comes.
    KrXMLGenericElement::GenericList named;
    document_->findChildrenHavingAttribute(named, "name");
    std::vector<KrXMLGenericElement*> found(elementNames.size(), nullptr);
    for (std::size_t i = 0; i < elementNames.size(); ++i) {
        for (KrXMLGenericElement* element : named) {
            if (element->attributeEquals("name", elementNames[i])) {
                found[i] = element;
                break;
            }
        }
    }
    for (std::size_t i = 0; i < elementNames.size(); ++i) {
        if (elementNames[i] == kSessionField) {
            makeCommandElement(elementNames[i], false);
        } else {
            addCommand(found[i], elementNames[i]);
        }
    }
}

bool KrHTMLKontextN::addCommand(KrXMLGenericElement* element, const std::string& elementName) {
    if (element == nullptr) {
        return false;
    }
    const std::string formId = "formcommand" + std::to_string(commandFormCounter_++);
    document_->addToBody(
        std::make_unique<KrHTML_CommandFormN1>(formId, elementName, sessionId(), elementName));
    element->setAttribute("onclick", "javascript:document.forms['" + formId + "'].submit();");
    return true;
}

// ---- session identifiers ----

void KrHTMLKontextN::addSessionId(const std::string& sessionId) {
    if (!sessionId.empty()) {
        sessionIds_[sessionId] = 0;
    }
}

std::string KrHTMLKontextN::sessionId() {
    for (const auto& [id, mark] : sessionIds_) {
        if (mark == 0) {
            return id;
        }
    }
    return {};
}

KrHTMLKontextN::SessionIds KrHTMLKontextN::sessionIds() { return sessionIds_; }

// ---- requests ----

std::vector<KrHTMLKontextN::Hook>::const_iterator KrHTMLKontextN::findHook(
    std::string_view path) const {
    const auto found = std::lower_bound(hooks_.begin(), hooks_.end(), path, kHookBefore);
    return found != hooks_.end() && found->path == path ? found : hooks_.end();
}

void KrHTMLKontextN::setHook(const std::string& path, KrPageHandler handler) {
    if (hooks_.empty()) {
        hooks_.reserve(kHooksExpected);
    }
    const auto at = std::lower_bound(hooks_.begin(), hooks_.end(), std::string_view(path),
                                     kHookBefore);
    if (at != hooks_.end() && at->path == path) {
        at->handler = std::move(handler);
        return;
    }
    hooks_.insert(at, Hook{path, std::move(handler)});
}

bool KrHTMLKontextN::hasHook(const std::string& path) const {
    return findHook(path) != hooks_.end();
}

void KrHTMLKontextN::handleRequest(KrXHeader& request, KrXResponseHeader& response,
                                   const std::string& command) {
    // Also a new session's first request, which the dispatch runs without going through
    // dispatchToContext, runs under the session lock.
    std::lock_guard lock(application_->sessionMutex());
    firstRequestDone_ = true;
    const auto found = findHook(request.path());
    if (found == hooks_.end()) {
        return;
    }
    // A copy: the hook may replace its own registration while it runs.
    const KrPageHandler hook = found->handler;
    // While it runs the application neither evicts nor deletes this context.
    struct Running {
        int& count;
        explicit Running(int& c) : count(c) { ++count; }
        ~Running() { --count; }
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;
    } running(activeRequests_);
    try {
        hook(request, response, command);
    } catch (...) {
        application_->adoptNextContext(sessionId(), response);
        throw;
    }
    // Also for a new session's first request, which does not come through dispatchToContext.
    application_->adoptNextContext(sessionId(), response);
}

void KrHTMLKontextN::onUpdateRequest(KrXHeader& request, KrXResponseHeader& response,
                                     const std::string& command) {
    if (command != kUpdateCommand) {
        answerWithPage(response);
        return;
    }
    const std::string reference = updates_.openAnswer(request, "reference");
    if (updates_.markReference(reference)) {
        updates_.setNextUpdate(reference, updates_.runCallback(reference));
    }
    response.writeAnswer(updates_.takeAnswer(reference));
}

void KrHTMLKontextN::onWidgetRequest(KrXHeader& request, KrXResponseHeader& response,
                                     const std::string& /*command*/) {
    widgetManager_.handleAction(request, response);
}

// The constructor refuses a null application, so there is always one to ask.
KrRarediScheduler2& KrHTMLKontextN::scheduler() { return application_->scheduler(); }
