#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/KrServerLayer.h"

class KrRequestHandler;
class KrServerDescription;
class KrTransceiverServer;
class KrURLHookService;

// The hub's record of one request handler: the handler and the server descriptions already
// built for it, by description id.
struct KrTransceiverClientRecord {
    std::shared_ptr<KrRequestHandler> handler;
    std::map<std::string, std::shared_ptr<KrServerDescription>> descriptions;
};

namespace kr {

// What the hub knows of the parties around its connections: the request handlers (its
// clients) with the server descriptions built for each, the servers by id, the URL hook
// services by handler and target address, and the table of server layers by protocol
// number. It only keeps books: building, starting and shutting down servers is the hub's,
// outside the lock.
class ServerRegistry {
public:
    using Servers = std::vector<std::shared_ptr<KrTransceiverServer>>;
    // The URL hook service of a handler for one target address.
    using ServiceKey = std::pair<std::string, std::string>;

    ServerRegistry() = default;
    ServerRegistry(const ServerRegistry&) = delete;
    ServerRegistry& operator=(const ServerRegistry&) = delete;

    // Keeps the handler under its id; false when one is kept under that id already.
    bool addClient(const std::shared_ptr<KrRequestHandler>& handler);
    // The record of the handler with this id, taken out; nothing for an unknown id.
    std::optional<KrTransceiverClientRecord> takeClient(const std::string& handlerId);
    std::shared_ptr<KrRequestHandler> findClient(const std::string& handlerId) const;
    // Every record, taken out.
    std::map<std::string, KrTransceiverClientRecord> takeClients();

    // What claimDescription gave.
    enum class Claim {
        Granted,  // the layer to build with
        Refused,  // nothing: an unknown handler, or a description built (or being built)
        NoLayer,  // nothing: no layer builds servers for the description's protocol
    };
    // Claims the building of the description's server for the handler, once per handler and
    // description: the layer of its protocol, with the description marked as built, so that a
    // second claim builds nothing.
    Claim claimDescription(const std::string& handlerId,
                           const std::shared_ptr<KrServerDescription>& description,
                           KrServerLayer& layer);
    // A claimed description whose server could not be built may be claimed again.
    void releaseDescription(const std::string& handlerId, const std::string& descriptionId);

    void setLayer(std::uint32_t protocol, KrServerLayer layer);
    // The layer of the protocol, when the table has one.
    std::optional<KrServerLayer> layer(std::uint32_t protocol) const;

    void addServer(std::shared_ptr<KrTransceiverServer> server);
    std::shared_ptr<KrTransceiverServer> findServer(const std::string& serverId) const;
    // The server with this id, taken out (null for an unknown id): the caller lets it go,
    // without the lock.
    std::shared_ptr<KrTransceiverServer> takeServer(const std::string& serverId);
    Servers servers() const;

    std::shared_ptr<KrURLHookService> findService(const ServiceKey& key) const;
    void addService(const ServiceKey& key, std::shared_ptr<KrURLHookService> service);

    // Every server and URL hook service, taken out.
    Servers takeServers();

private:
    // Guards everything below. Nothing is locked under it: whoever works on what it holds
    // (building, starting or shutting down a server, telling a handler) takes it out first.
    mutable std::mutex mutex_;
    std::map<std::uint32_t, KrServerLayer> layers_;
    std::map<std::string, std::shared_ptr<KrTransceiverServer>> servers_;
    std::map<std::string, KrTransceiverClientRecord> clients_;
    std::map<ServiceKey, std::shared_ptr<KrURLHookService>> servicesByTarget_;
    std::map<std::string, std::shared_ptr<KrURLHookService>> servicesById_;
};

}  // namespace kr
