#pragma once

#include <string>

class KrTransceiverServer;

namespace kr {

// The receive job hands a connection's data notice to the connection's server on its own
// thread when the job registry is idle (KrCombinedTask::post). When requests come far apart,
// the server's buffer job is asleep by then, and waking it would cost more processor time
// than many a request: the wake-up of another thread, on another processor, and that thread
// going back to sleep. So, while requests come far apart, the receive job lets the server
// leave the notice here instead, and serves it itself once the delivery is over and no lock
// of the registry or of the server is held any more.
//
// Lives on the receive job's stack around one read: installed for the thread while it
// exists, it takes at most one notice, and whatever it holds is served when serve() is
// called or, at the latest, when it goes. A server that leaves a notice here counts it as
// being served (KrTransceiverServer::pushBuffer) until then.
class ServeHere {
public:
    // Installed for this thread only when allowed: a receive job that requests reach in
    // close succession keeps handing them over, so that reading and serving overlap.
    explicit ServeHere(bool allowed);
    ~ServeHere();
    ServeHere(const ServeHere&) = delete;
    ServeHere& operator=(const ServeHere&) = delete;

    // The one installed for this thread that holds no notice yet; null when there is none.
    static ServeHere* open();

    // The server leaves its notice here (called under the server's buffer lock).
    void leave(KrTransceiverServer& server, const std::string& connectionName,
               const std::string& serverName);

    // Serves the notice left here, if any; true when there was one.
    bool serve();

private:
    ServeHere* const previous_;
    const bool installed_;
    KrTransceiverServer* server_ = nullptr;
    std::string connectionName_;
    std::string serverName_;
};

}  // namespace kr
