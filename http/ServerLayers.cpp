#include "http/ServerLayers.h"

#include "http/KrTransceiverServerL1DirectSocket.h"
#include "http/KrTransceiverServerL1HTTP.h"
#include "http/KrTransceiverServerL1NUXEL.h"
#include "net/KrProtocol.h"
#include "net/KrTransceiver.h"

namespace kr {

namespace {

template <class Layer>
KrServerLayerFactory factory() {
    return [](const KrServerSetup& setup) { return makeJob<Layer>(setup); };
}

}  // namespace

void installServerLayers(KrTransceiver& hub) {
    const KrServerLayer http{"HTTP", "HTTP/HTTPS", factory<KrTransceiverServerL1HTTP>()};
    const KrServerLayer nuxel{"NUXEL", "NUXEL/NUXELS", factory<KrTransceiverServerL1NUXEL>()};
    hub.setServerLayer(kProtocolHTTP, http);
    hub.setServerLayer(kProtocolNUXEL, nuxel);
    hub.setServerLayer(kProtocolNUXELS, nuxel);
    hub.setServerLayer(kProtocolSocket,
                       KrServerLayer{"DirectSocket", "DirectSocket",
                                     factory<KrTransceiverServerL1DirectSocket>()});
}

}  // namespace kr
