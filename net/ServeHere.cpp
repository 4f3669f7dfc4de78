#include "net/ServeHere.h"

#include <utility>

#include "net/KrTransceiverServer.h"

namespace kr {

namespace {

thread_local ServeHere* installedHere = nullptr;

}  // namespace

ServeHere::ServeHere(bool allowed) : previous_(installedHere), installed_(allowed) {
    if (installed_) {
        installedHere = this;
    }
}

ServeHere::~ServeHere() {
    if (installed_) {
        installedHere = previous_;
    }
    (void)serve();
}

ServeHere* ServeHere::open() {
    ServeHere* here = installedHere;
    return here != nullptr && here->server_ == nullptr ? here : nullptr;
}

void ServeHere::leave(KrTransceiverServer& server, const std::string& connectionName,
                      const std::string& serverName) {
    server_ = &server;
    connectionName_ = connectionName;
    serverName_ = serverName;
}

bool ServeHere::serve() {
    KrTransceiverServer* const server = std::exchange(server_, nullptr);
    if (server == nullptr) {
        return false;
    }
    // Uninstalled meanwhile: what the served request posts is handed over as usual.
    ServeHere* const installed = std::exchange(installedHere, nullptr);
    server->serveLeftHere(connectionName_, serverName_);
    installedHere = installed;
    return true;
}

}  // namespace kr
