#include "basics/program.h"

namespace QUARLE_BASICS {

DynZString HomeFolder;
char LevelPrefix[5][20] = {};
uint32_t LevelColour[5] = {};
uint8_t LevelConsoleColour[5] = {};

}  // namespace QUARLE_BASICS
