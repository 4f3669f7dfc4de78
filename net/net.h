#pragma once

// What the rest of the system uses of the network layer.
#include "net/KrProtocol.h"
#include "net/KrRequestHandler.h"
#include "net/KrServerCallback_t.h"
#include "net/KrServerDescription.h"
#include "net/KrServerLayer.h"
#include "net/KrSocketIPvx.h"
#include "net/KrTransceiverMessage.h"
