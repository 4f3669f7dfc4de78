#pragma once

// What the rest of the system uses of the HTTP layer.
#include "http/KrWinPipeExec.h"
