#pragma once

// What the windowed program's entry point uses of the windowed front end.
#include "frontend/window/KrNuxelXAppAddOn.h"
#include "frontend/window/WindowTexts.h"
