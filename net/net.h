#pragma once

// What the rest of the system uses of the network layer.
#include "net/KrSocketIPvx.h"
