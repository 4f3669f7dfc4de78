#pragma once

// What the console program's entry point uses of the console front end.
#include "frontend/console/KrNuxelCLAppAddOn.h"
