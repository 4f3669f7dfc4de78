#include "http/KrTransceiverServerL1NUXEL.h"

#include "net/KrProtocol.h"

KrTransceiverServerL1NUXEL::KrTransceiverServerL1NUXEL(const KrServerSetup& setup)
    : KrTransceiverServerL1HTTP(setup, kr::kProtocolNUXEL) {}
