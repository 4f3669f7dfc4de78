#include "http/KrHTTPMessageBlock.h"

KrHTTPMessageBlock::KrHTTPMessageBlock()
    : disposition_{{"mimetype", "application/octet-stream"}, {"name", ""}} {}

std::string KrHTTPMessageBlock::text() const {
    std::string text;
    if (data_ != nullptr) {
        data_->copyUnread(text);
    }
    return text;
}

void KrHTTPMessageBlock::setData(std::string_view bytes) {
    if (bytes.empty()) {
        data_.reset();
        return;
    }
    data_ = std::make_unique<KrStringBuf>();
    data_->write(bytes);
}

const KrHTTPMessageBlock* KrHTTPMessageBlockDisposition::find(std::string_view key) const {
    const auto found = map_.find(key);
    return found != map_.end() ? found->second : nullptr;
}

std::string KrHTTPMessageBlock::name() const {
    const auto found = disposition_.find("name");
    return found != disposition_.end() ? found->second : std::string();
}
