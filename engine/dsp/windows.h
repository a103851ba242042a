// The nine window functions and the FIR kernel design of the filter editor:
// a source (a filter of the filter library, or a periodic-sinc prototype)
// multiplied by the chosen window, optionally mirrored into a high pass.
#pragma once
#include <cstdint>

namespace Tarvelo {

// (out, n, two parameters no window uses) -> 0. out[0..n-1] over the
// symmetric span n - 1, so both end taps lie on the window's ends; a window of
// one tap is its centre, 1.0.
int32_t WindowSquare(float* out, int32_t n, float a, float b);
int32_t WindowTriangular(float* out, int32_t n, float a, float b);
int32_t WindowSine(float* out, int32_t n, float a, float b);
int32_t WindowHanning(float* out, int32_t n, float a, float b);
int32_t WindowHamming(float* out, int32_t n, float a, float b);
int32_t WindowBlackman(float* out, int32_t n, float a, float b);
int32_t WindowNuttall(float* out, int32_t n, float a, float b);
int32_t WindowBlackmanNuttall(float* out, int32_t n, float a, float b);
int32_t WindowBlackmanHarris(float* out, int32_t n, float a, float b);

// Puts the nine functions into WindowFunctionTable rows 0 to 8 (the names are
// set by the engine start-up).
void InstallWindowFunctions();

// Periodic sinc of n taps with main-lobe width w (kept within 1..n), centre
// value 1.0. Returns 0.
int32_t DirichletKernel(float* out, int32_t n, float width);

constexpr int32_t kFirMaxTaps = 128;

// The design the program starts with, which the filter page is first built
// showing ("Square (none)", "N = 3", "K = 2"): a first + makes what it shows.
constexpr int32_t kFirStartTaps = 3;
constexpr int32_t kFirStartWidth = 2;
constexpr int32_t kFirStartWindow = 0;

// The filter editor's design; one record for the whole run. A record made
// with {} is the start design (its kernel still to build).
// one thread: interface, the filter editor's
struct FirDesignRecord {
  float FirSource[kFirMaxTaps + 1] = {};  // source taps, zero-padded
  float FirKernel[kFirMaxTaps + 1] = {};  // window x source, taps 0..N-1
  float FirWindow[kFirMaxTaps + 1] = {};  // the window for N taps
  int64_t FirHighPass = 0;                // -1: odd taps negated
  int32_t FirTapCount = kFirStartTaps;    // N, at most 128
  int32_t FirWidth = kFirStartWidth;      // K, the prototype's lobe width
  int32_t FirWindowIndex = kFirStartWindow;  // row of WindowFunctionTable
  int32_t FirSourceEntry = -1;            // FilterLibrary index, -1 none
  int32_t FirOffset = 0;                  // first source tap used
  int32_t FirGainSum = 0;                 // rounded sum of tap magnitudes, 1..100
};
// The filter page's (the interface thread's); its graph draws the copy below.
// one thread: interface
extern FirDesignRecord FirDesign;

// What the filter graph draws: the last design's tap count, kernel and
// window. BuildFirKernel publishes it whole (PublishFirGraph) and the graph's
// draw (video thread) copies it, both under the graph's own lock, so a draw
// never meets a design half rebuilt.
// one thread: value
struct FirGraphCopy {
  int32_t TapCount;
  float Kernel[kFirMaxTaps + 1];
  float Window[kFirMaxTaps + 1];
};
void PublishFirGraph();
void CopyFirGraph(FirGraphCopy& out);

// A filter left the filter library at index `entry` (-1: the whole library
// went, as a synth load empties it). The design keeps naming its source when
// an entry before it left; when the source itself left, the design becomes
// the prototype of what the page's selectors show (their window, high pass,
// N and K, which every selector step writes into the design) and its graph
// is drawn again, so + writes what the page shows and never the old taps
// under the prototype's name. Every way a source can go passes through here.
void FirLibraryEntryLeft(int32_t entry);

// Mode -1 (any non-zero mode) rebuilds the source and the kernel; mode 0 keeps
// the source and the offset and recomputes window and kernel. A selected
// filter gets 1 - 1 / FirGainSum as its first pitch value.
void BuildFirKernel(int64_t mode);

}  // namespace Tarvelo
