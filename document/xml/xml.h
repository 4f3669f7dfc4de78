#pragma once

// What the rest of the system uses of the XML element model.
#include "document/xml/KrWidgetManager_base.h"
#include "document/xml/KrXMLComplexAttribute2.h"
#include "document/xml/KrXMLComplexElement.h"
#include "document/xml/KrXMLGenericElement.h"
#include "document/xml/KrXMLLeafNodes.h"
#include "document/xml/KrXML_Document2.h"
