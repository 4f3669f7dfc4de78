#pragma once

// What the rest of the system uses of the game.
#include "game/ApplicationFactory.h"
#include "game/BuiltInFiles.h"
#include "game/KrGameBoard.h"
#include "game/KrHTMLKontext_GameWidget.h"
#include "game/KrHTMLKontext_Game_Get.h"
#include "game/KrHTMLKontext_Game_Post.h"
#include "game/KrSpielApp.h"
#include "game/ProgramEntry.h"
