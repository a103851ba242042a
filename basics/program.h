// What the program main hands the foundation library: the user's data folder and
// the fixed tables it fills at start-up before anything else runs.
#pragma once
#include <cstdint>

#include "basics/dynzstring.h"

namespace QUARLE_BASICS {

// The user's data folder (profile folder + "\Tarvelo"); empty reads as "".
// one thread: start-up, read-only between
extern DynZString HomeFolder;

// one thread: start-up, read-only between (the console printer and the log read them on any thread)
extern char LevelPrefix[5][20];       // by MessageLevel: ">> ", "<!> ", ...
extern uint32_t LevelColour[5];       // 0xAARRGGBB for the graphical console
extern uint8_t LevelConsoleColour[5]; // 16-colour console palette index

}  // namespace QUARLE_BASICS
