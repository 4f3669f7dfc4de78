#include "net/ServerRegistry.h"

#include "net/KrRequestHandler.h"
#include "net/KrServerDescription.h"
#include "net/KrTransceiverServer.h"
#include "net/KrURLHookService.h"

namespace kr {

namespace {

// The values of a map, to work on after its lock is released.
template <class Map>
void appendValues(const Map& map, ServerRegistry::Servers& values) {
    for (const auto& [key, value] : map) {
        values.push_back(value);
    }
}

}  // namespace

bool ServerRegistry::addClient(const std::shared_ptr<KrRequestHandler>& handler) {
    std::lock_guard lock(mutex_);
    const auto [record, isNew] = clients_.try_emplace(handler->id());
    if (isNew) {
        record->second.handler = handler;
    }
    return isNew;
}

std::optional<KrTransceiverClientRecord> ServerRegistry::takeClient(const std::string& handlerId) {
    std::lock_guard lock(mutex_);
    const auto found = clients_.find(handlerId);
    if (found == clients_.end()) {
        return std::nullopt;
    }
    KrTransceiverClientRecord record = std::move(found->second);
    clients_.erase(found);
    return record;
}

std::shared_ptr<KrRequestHandler> ServerRegistry::findClient(const std::string& handlerId) const {
    std::lock_guard lock(mutex_);
    const auto found = clients_.find(handlerId);
    return found != clients_.end() ? found->second.handler : nullptr;
}

std::map<std::string, KrTransceiverClientRecord> ServerRegistry::takeClients() {
    std::map<std::string, KrTransceiverClientRecord> clients;
    std::lock_guard lock(mutex_);
    clients.swap(clients_);
    return clients;
}

ServerRegistry::Claim ServerRegistry::claimDescription(
    const std::string& handlerId, const std::shared_ptr<KrServerDescription>& description,
    KrServerLayer& layer) {
    const std::string descriptionId = description->descriptionId();
    std::lock_guard lock(mutex_);
    const auto record = clients_.find(handlerId);
    if (record == clients_.end() || record->second.descriptions.contains(descriptionId)) {
        return Claim::Refused;
    }
    const auto entry = layers_.find(description->serverProtocol());
    if (entry == layers_.end() || !entry->second.make) {
        return Claim::NoLayer;
    }
    layer = entry->second;
    record->second.descriptions[descriptionId] = description;
    return Claim::Granted;
}

void ServerRegistry::releaseDescription(const std::string& handlerId,
                                        const std::string& descriptionId) {
    std::lock_guard lock(mutex_);
    if (const auto record = clients_.find(handlerId); record != clients_.end()) {
        record->second.descriptions.erase(descriptionId);
    }
}

void ServerRegistry::setLayer(std::uint32_t protocol, KrServerLayer layer) {
    std::lock_guard lock(mutex_);
    layers_[protocol] = std::move(layer);
}

std::optional<KrServerLayer> ServerRegistry::layer(std::uint32_t protocol) const {
    std::lock_guard lock(mutex_);
    const auto found = layers_.find(protocol);
    if (found == layers_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void ServerRegistry::addServer(std::shared_ptr<KrTransceiverServer> server) {
    std::lock_guard lock(mutex_);
    servers_[server->id()] = std::move(server);
}

std::shared_ptr<KrTransceiverServer> ServerRegistry::findServer(const std::string& serverId) const {
    std::lock_guard lock(mutex_);
    const auto found = servers_.find(serverId);
    return found != servers_.end() ? found->second : nullptr;
}

std::shared_ptr<KrTransceiverServer> ServerRegistry::takeServer(const std::string& serverId) {
    std::lock_guard lock(mutex_);
    const auto found = servers_.find(serverId);
    if (found == servers_.end()) {
        return nullptr;
    }
    auto server = std::move(found->second);
    servers_.erase(found);
    return server;
}

ServerRegistry::Servers ServerRegistry::servers() const {
    Servers servers;
    std::lock_guard lock(mutex_);
    servers.reserve(servers_.size());
    appendValues(servers_, servers);
    return servers;
}

std::shared_ptr<KrURLHookService> ServerRegistry::findService(const ServiceKey& key) const {
    std::lock_guard lock(mutex_);
    const auto found = servicesByTarget_.find(key);
    return found != servicesByTarget_.end() ? found->second : nullptr;
}

void ServerRegistry::addService(const ServiceKey& key, std::shared_ptr<KrURLHookService> service) {
    std::lock_guard lock(mutex_);
    servicesById_[service->id()] = service;
    servicesByTarget_[key] = std::move(service);
}

ServerRegistry::Servers ServerRegistry::takeServers() {
    Servers servers;
    std::lock_guard lock(mutex_);
    servers.reserve(servers_.size() + servicesById_.size());
    appendValues(servers_, servers);
    appendValues(servicesById_, servers);
    servers_.clear();
    servicesById_.clear();
    servicesByTarget_.clear();
    return servers;
}

}  // namespace kr
