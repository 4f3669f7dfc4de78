#pragma once

// What the rest of the system uses of the markup reader.
#include "reader/MarkupReader.h"
