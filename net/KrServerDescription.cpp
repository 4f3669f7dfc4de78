#include "net/KrServerDescription.h"

std::shared_ptr<KrTransceiverServer> KrServerDescription::server() const {
    std::lock_guard lock(serverMutex_);
    return server_.lock();
}

void KrServerDescription::setServer(std::weak_ptr<KrTransceiverServer> server) {
    std::lock_guard lock(serverMutex_);
    server_ = std::move(server);
}
