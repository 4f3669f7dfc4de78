#pragma once

class KrTransceiver;

namespace kr {

// Installs the protocol layers into the hub's table: HTTP for protocol 3, NUXEL for 6 and
// 7, DirectSocket for 9. Protocol 4 (https) gets none: without TLS a plain HTTP layer would
// answer a browser that expects encryption, so such an endpoint builds no server.
void installServerLayers(KrTransceiver& hub);

}  // namespace kr
