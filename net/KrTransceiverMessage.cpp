#include "net/KrTransceiverMessage.h"

void KrTransceiverMessage::appendRoute(std::string name) {
    std::lock_guard lock(routeMutex_);
    routes_.push_back(std::move(name));
}

std::string KrTransceiverMessage::route(std::size_t index) const {
    std::lock_guard lock(routeMutex_);
    return index < routes_.size() ? routes_[index] : std::string();
}

std::vector<std::string> KrTransceiverMessage::routes() const {
    std::lock_guard lock(routeMutex_);
    return routes_;
}

std::string KrTransceiverMessage::connectionName() const {
    std::lock_guard lock(routeMutex_);
    return connectionName_;
}

void KrTransceiverMessage::setConnectionName(std::string name) {
    std::lock_guard lock(routeMutex_);
    connectionName_ = std::move(name);
}
