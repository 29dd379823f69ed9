#pragma once
// Every record of the library in one include.

#include "Board.h"
#include "CodingError.h"
#include "Item.h"
#include "LibraryFile.h"
#include "LinkInsight.h"
#include "Palette.h"
#include "Rule.h"
#include "SmartFolder.h"
