#include "http/KrXResponseHeader.h"

KrXResponseHeader::KrXResponseHeader(std::uint32_t methodCode, bool writeInState5,
                                     std::uint32_t protocol)
    : KrXHeader(methodCode, writeInState5, protocol) {}

void KrXResponseHeader::setNextContext(std::string sessionId, KrHTMLKontextN* context) {
    nextSession_ = std::move(sessionId);
    nextContext_ = context;
}
