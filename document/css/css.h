#pragma once

// What the rest of the system uses of the CSS objects.
#include "document/css/KrCSSHTMLComment.h"
#include "document/css/KrCSSMediaQuery.h"
#include "document/css/KrCSSProperty.h"
#include "document/css/KrCSSRule.h"
