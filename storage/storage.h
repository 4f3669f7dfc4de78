#pragma once

// What the rest of the system uses of the storage.
#include "storage/KrCommandCompiler.h"
#include "storage/KrPersistentAppStorage.h"
#include "storage/KrXMLDatabase.h"
