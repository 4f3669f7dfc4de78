#pragma once

// What the rest of the system uses of the application framework.
#include "app/KrAppViewportBase.h"
#include "app/KrHTMLKontextN.h"
#include "app/KrHTML_CommandFormN1.h"
#include "app/KrListenerEndpoint.h"
#include "app/KrNuxelApplication2.h"
#include "app/KrSettingsMap.h"
#include "app/KrUpdateRegistry.h"
#include "app/KrWidgetManager.h"
