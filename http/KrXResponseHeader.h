#pragma once

#include <cstdint>
#include <string>

#include "http/KrXHeader.h"

class KrHTMLKontextN;

// An answer. Beyond the message it can name the page context that is to take over the
// session it answers for (a scheme switch); the application acts on it.
class KrXResponseHeader : public KrXHeader {
public:
    KrXResponseHeader(std::uint32_t methodCode, bool writeInState5, std::uint32_t protocol);

    // The context is not owned here; the application takes it over.
    void setNextContext(std::string sessionId, KrHTMLKontextN* context);
    std::string nextContextSession() const { return nextSession_; }
    KrHTMLKontextN* nextContext() const { return nextContext_; }

private:
    std::string nextSession_;
    KrHTMLKontextN* nextContext_ = nullptr;
};
