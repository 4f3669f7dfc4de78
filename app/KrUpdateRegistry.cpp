#include "app/KrUpdateRegistry.h"

#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_Document2.h"
#include "http/KrXHeader.h"

namespace {

// The answer's one element.
KrXMLGenericElement* answerElement(KrHTML_Document2& answer) {
    return answer.findFirstChildWithAttribute("id", "novidade");
}

}  // namespace

KrUpdateRegistry::KrUpdateRegistry() = default;
KrUpdateRegistry::~KrUpdateRegistry() = default;

void KrUpdateRegistry::setCallback(const std::string& reference, Callback callback) {
    std::lock_guard lock(mutex_);
    callbacks_[reference] = std::move(callback);
}

std::string KrUpdateRegistry::openAnswer(const KrXHeader& request,
                                         const std::string& parameterName) {
    std::string reference;
    if (!request.getParameter(parameterName, reference)) {
        reference = kNoReference;
    }
    auto answer = std::make_unique<KrHTML_Document2>();
    KrHTML_div2* element = answer->addDivToBody("");
    element->setAttribute("id", "novidade");
    element->setAttribute("feskofim", "sim");
    element->setAttribute("feskoupdatetime", std::to_string(kDefaultDelay));
    element->setAttribute("feskoref", kNoReference);

    std::lock_guard lock(mutex_);
    answers_[reference] = std::move(answer);
    return reference;
}

bool KrUpdateRegistry::markReference(const std::string& reference) {
    std::lock_guard lock(mutex_);
    if (!callbacks_.contains(reference)) {
        return false;
    }
    const auto answer = answers_.find(reference);
    if (answer != answers_.end()) {
        answerElement(*answer->second)->setAttribute("feskoref", reference);
    }
    return true;
}

std::int64_t KrUpdateRegistry::runCallback(const std::string& reference) {
    Callback callback;
    {
        std::lock_guard lock(mutex_);
        const auto found = callbacks_.find(reference);
        if (found == callbacks_.end()) {
            return kNoCallback;
        }
        // A copy: the callback may replace or drop itself through the registry.
        callback = found->second;
    }
    return callback(reference);
}

void KrUpdateRegistry::setNextUpdate(const std::string& reference, std::int64_t delay) {
    std::lock_guard lock(mutex_);
    const auto answer = answers_.find(reference);
    if (answer == answers_.end()) {
        return;
    }
    KrXMLGenericElement* element = answerElement(*answer->second);
    if (delay < 1) {
        element->setAttribute("feskofim", "sim");
        callbacks_.erase(reference);
    } else {
        element->setAttribute("feskofim", "nao");
        element->setAttribute("feskoupdatetime", std::to_string(delay));
    }
}

std::string KrUpdateRegistry::takeAnswer(const std::string& reference) {
    std::unique_ptr<KrHTML_Document2> answer;
    {
        std::lock_guard lock(mutex_);
        const auto found = answers_.find(reference);
        if (found == answers_.end()) {
            return {};
        }
        answer = std::move(found->second);
        answers_.erase(found);
    }
    return answer->toMarkupString();
}
