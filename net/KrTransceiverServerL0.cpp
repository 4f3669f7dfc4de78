#include "net/KrTransceiverServerL0.h"

bool KrTransceiverServerL0::onMessage(const KrJobMessage& message) {
    switch (message.type) {
        case KrJobMessage::kConnectionRemoved:
            if (!serverRole()) {
                disarmTimeout();
            }
            break;
        case KrJobMessage::kDataArrived: bufferIn(message.text); break;
        default: break;
    }
    return true;
}
