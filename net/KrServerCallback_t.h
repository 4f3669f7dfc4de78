#pragma once

#include <functional>
#include <map>
#include <string>

// The event record that servers and the hub report to the application's status callback:
// an event kind and its values by key.
struct KrServerCallback_t {
    // Event kinds, with the keys each one carries.
    static constexpr int kServerCreated = 1;       // "protocol", "ID", "roll"
    static constexpr int kServerRemoved = 2;       // "ID", "roll" ("server" or "client")
    static constexpr int kListenFailed = 3;        // "address", "ID", "protocolstring"
    static constexpr int kListening = 4;           // and "port"
    static constexpr int kConnectionAccepted = 5;  // "remoteaddress", "remoteport", "ID",
                                                   // "localaddress", "localport",
                                                   // "localprotocolstring"
    static constexpr int kRawDataSent = 6;         // "ID", "time_used", "status_code", "bytes"
    static constexpr int kAccessLog = 7;           // "logging"

    int state = 0;
    std::map<std::string, std::string> values;
};

// The application's status callback. Reporters ignore its result. An empty callback means
// that nobody listens: nothing is reported. Events 6 and 7 are reported while the hub sends
// the answer (under its send lock): the callback must not send through the hub.
using KrServerStatusCallback = std::function<bool(KrServerCallback_t&)>;
