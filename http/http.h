#pragma once

// What the rest of the system uses of the HTTP layer.
#include "http/HTTPTables.h"
#include "http/KrBrowserLauncher.h"
#include "http/KrCommandTarget.h"
#include "http/KrHTML_ErrorMsg404.h"
#include "http/KrHTTPMessageBlock.h"
#include "http/KrTransceiverClient.h"
#include "http/KrTransceiverServerL1DirectSocket.h"
#include "http/KrTransceiverServerL1HTTP.h"
#include "http/KrTransceiverServerL1NUXEL.h"
#include "http/KrWinPipeExec.h"
#include "http/KrXHeader.h"
#include "http/KrXResponseHeader.h"
#include "http/KrXServerHeader.h"
#include "http/RequestPath.h"
#include "http/ServerLayers.h"
