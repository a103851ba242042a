// The filter page of the module panel: designs FIR filters (a windowed
// periodic-sinc prototype, or a window cut out of a filter of the library,
// optionally turned into a high pass), writes them as WAV files of taps into
// the data folder's FILTERS folder, unloads them from memory and sets them on
// the module shown. The design lives in FirDesign (engine/dsp/windows.h).
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

constexpr int32_t kFirWindowChoices = 9;   // the window functions
constexpr int32_t kFirSizeChoices = 126;   // N = 3..128
constexpr int32_t kFirMinTaps = 3;
constexpr int32_t kFirDefaultTaps = 16;    // the prototype's N
constexpr int32_t kFirDefaultWidth = 8;    // K after a list click
constexpr int32_t kFirDefaultWindow = 1;   // Triangular

int32_t OnFilterList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnFilterGraph(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnFilterWindowFunction(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnFilterHighPass(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnFilterCreate(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnFilterUnload(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnFilterSet(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnFilterWindowSize(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnFilterLobeSize(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// The file name the create button gives the design as it stands, e.g.
// "FIR_8-16_Triangular.wav" for the prototype, "<source stem>_16_HI.wav" for
// a high pass cut from a loaded filter.
std::string FilterDesignFileName();

// The accumulators back to 0 (tests).
void ResetFilterPanelStatics();

}  // namespace Tarvelo
