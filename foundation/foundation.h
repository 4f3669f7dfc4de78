#pragma once

// What the rest of the system uses of the foundation.
#include "foundation/Base64.h"
#include "foundation/Diagnostics.h"
#include "foundation/KrByteBuffer.h"
#include "foundation/KrDeadlineTimer.h"
#include "foundation/KrException.h"
#include "foundation/KrLogStreams.h"
#include "foundation/KrResourceRecord.h"
#include "foundation/KrStringBuf.h"
#include "foundation/Paths.h"
#include "foundation/SharedText.h"
#include "foundation/Strings.h"
