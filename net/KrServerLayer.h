#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "jobs/KrJobWithTimeout.h"
#include "net/KrServerCallback_t.h"

class KrRarediScheduler2;
class KrServerDescription;
class KrTransceiver;
class KrTransceiverServerL0;

// What a server is built from. The hub fills it for createServer, a URL hook service for
// each of its workers; every server layer's constructor takes it and hands it to the server
// base.
struct KrServerSetup {
    KrRarediScheduler2* scheduler = nullptr;  // runs the server's listener and buffer jobs
    KrTransceiver* hub = nullptr;             // the owning hub
    std::string name;        // the request handler's id: the layers find the handler by it
    std::string secondText;  // the description's id: the name the handler knows the server by
    std::string linkName;    // told of the server's expiry; its connections' second name
    KrServerStatusCallback callback;
    std::string typeName;  // "HTTP", "NUXEL" or "DirectSocket"
    std::shared_ptr<KrServerDescription> description;
    std::uint64_t timeoutMicroseconds = KrJobWithTimeout::kServerTimeout;
};

// Builds a server layer, not yet started: the hub (createServer) and the URL hook services
// call start() on it afterwards.
using KrServerLayerFactory =
    std::function<std::shared_ptr<KrTransceiverServerL0>(const KrServerSetup&)>;

// One entry of the hub's table of server layers by protocol number
// (KrTransceiver::setServerLayer). A protocol without an entry builds no server: createServer
// prints "unknown protocol!! (3)", a request to another host "unknown protocol!! (2)". A
// request goes out only over http, nuxel and socket (3, 6, 9), whatever else has an entry.
struct KrServerLayer {
    std::string typeName;      // given to the server: "HTTP", "NUXEL", "DirectSocket"
    std::string protocolText;  // reported as "protocol" when the server is created
    KrServerLayerFactory make;
};
