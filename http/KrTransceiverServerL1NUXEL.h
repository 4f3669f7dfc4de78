#pragma once

#include "http/KrTransceiverServerL1HTTP.h"

// The NUXEL server layer: HTTP's message syntax and handling, with protocol 6 stamped on
// every message it reads; the request handler tells the two apart by it. Its answers'
// status lines begin "HTTP/" all the same.
class KrTransceiverServerL1NUXEL : public KrTransceiverServerL1HTTP {
public:
    explicit KrTransceiverServerL1NUXEL(const KrServerSetup& setup);
};
