#pragma once

// What the rest of the system uses of the network layer.
#include "net/KrProtocol.h"
#include "net/KrRequestHandler.h"
#include "net/KrServerCallback_t.h"
#include "net/KrServerDescription.h"
#include "net/KrServerLayer.h"
#include "net/KrSocketIPvx.h"
#include "net/KrTransceiver.h"
#include "net/KrTransceiverConnection.h"
#include "net/KrTransceiverMessage.h"
#include "net/KrTransceiverServer.h"
#include "net/KrTransceiverServerL0.h"
#include "net/KrTransceiverServerL0Socket.h"
#include "net/KrURLHookService.h"
