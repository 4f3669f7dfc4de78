#pragma once

// What the rest of the system uses of the HTML document model.
#include "document/html/KrHTMLTagFactory.h"
#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_BaseElement2.h"
#include "document/html/KrHTML_Doctype2.h"
#include "document/html/KrHTML_Document2.h"
#include "document/html/KrHTML_ElementTypes.h"
#include "document/html/KrHTML_text2.h"
#include "document/html/KrJavaScriptHandler.h"
#include "document/html/KrStyleAttribute.h"
