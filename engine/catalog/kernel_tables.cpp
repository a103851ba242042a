// The wave-shape and window-function tables: names here, functions from the
// kernels.
#include "basics/messages.h"
#include "engine/catalog/catalog.h"
#include "engine/dsp/windows.h"

namespace Tarvelo {

WaveShapeEntry WaveShapeTable[kWaveShapeCount];
WindowFunctionEntry WindowFunctionTable[kWindowFunctionCount];

void FillKernelTables() {
  static const char* const kShapes[kWaveShapeCount - 1] = {
      "Sine", "Triangle", "Square", "Sawtooth", "Inverted sine", "Cycloid", "Cubic sine",
      "White noise", "Parabola", "Inverted Parabola", "Asymmetric Parabola"};
  for (int32_t i = 0; i < kWaveShapeCount - 1; ++i)
    QUARLE_BASICS::DynZStringAssign(WaveShapeTable[i].Name, QUARLE_BASICS::LangText(486 + i, kShapes[i]));
  // Never translated.
  QUARLE_BASICS::DynZStringAssign(WaveShapeTable[kWaveShapeCount - 1].Name, "Experimental");

  static const char* const kTranslated[3] = {"Square (none)", "Triangular", "Sine"};
  for (int32_t i = 0; i < 3; ++i)
    QUARLE_BASICS::DynZStringAssign(WindowFunctionTable[i].Name, QUARLE_BASICS::LangText(497 + i, kTranslated[i]));
  static const char* const kFixed[6] = {"Hanning", "Hamming", "Blackman", "Nuttall", "Blackman-Nuttall",
                                        "Blackman-Harris"};
  for (int32_t i = 0; i < 6; ++i) QUARLE_BASICS::DynZStringAssign(WindowFunctionTable[3 + i].Name, kFixed[i]);
  InstallWindowFunctions();
}

void FreeKernelTables() {
  for (WaveShapeEntry& e : WaveShapeTable) QUARLE_BASICS::DynZStringFree(e.Name);
  for (WindowFunctionEntry& e : WindowFunctionTable) QUARLE_BASICS::DynZStringFree(e.Name);
}

}  // namespace Tarvelo
