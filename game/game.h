#pragma once

// What the rest of the system uses of the game.
#include "game/BuiltInFiles.h"
#include "game/KrGameBoard.h"
