#include "http/KrHTTPMessageBlock.h"

KrHTTPMessageBlock::KrHTTPMessageBlock()
    : disposition_{{"mimetype", "application/octet-stream"}, {"name", ""}} {}

const KrHTTPMessageBlock* KrHTTPMessageBlockDisposition::find(std::string_view key) const {
    const auto found = map_.find(key);
    return found != map_.end() ? found->second : nullptr;
}

std::string KrHTTPMessageBlock::name() const {
    const auto found = disposition_.find("name");
    return found != disposition_.end() ? found->second : std::string();
}
