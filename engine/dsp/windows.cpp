#include "engine/dsp/windows.h"

#include <cmath>
#include <mutex>

#include "app/state/wave_library.h"
#include "engine/catalog/catalog.h"
#include "engine/ui_hooks.h"

namespace Tarvelo {

FirDesignRecord FirDesign = {};

namespace {
std::mutex g_graphLock;
// one thread: holder of g_graphLock
FirGraphCopy g_graph = {};  // under g_graphLock
}  // namespace

void PublishFirGraph() {
  const FirDesignRecord& d = FirDesign;
  const int32_t n = d.FirTapCount < 0 ? 0 : (d.FirTapCount > kFirMaxTaps ? kFirMaxTaps : d.FirTapCount);
  std::lock_guard<std::mutex> guard(g_graphLock);
  g_graph.TapCount = d.FirTapCount;
  for (int32_t i = 0; i <= kFirMaxTaps; ++i) {
    g_graph.Kernel[i] = i < n ? d.FirKernel[i] : 0.0f;
    g_graph.Window[i] = i < n ? d.FirWindow[i] : 0.0f;
  }
}

void CopyFirGraph(FirGraphCopy& out) {
  std::lock_guard<std::mutex> guard(g_graphLock);
  out = g_graph;
}

namespace {

constexpr double kPi = 3.141592653589793;

// A window of one tap has no span (n - 1 = 0): it is its own centre.
inline bool SingleTap(float* out, int32_t n) {
  if (n == 1) out[0] = 1.0f;
  return n <= 1;
}

// 2 pi i / (n - 1), rounded to single precision: the angle of the
// cosine-sum windows.
inline float Angle(int32_t i, int32_t span) {
  return static_cast<float>(2.0 * kPi * static_cast<double>(i) / static_cast<double>(span));
}

// (a2 cos 2q - a1 cos q + a0) - a3 cos 3q with single-precision angles and
// cosines, summed in double.
int32_t CosineSum(float* out, int32_t n, double a0, double a1, double a2, double a3) {
  if (SingleTap(out, n)) return 0;
  const int32_t span = n - 1;
  for (int32_t i = 0; i < n; ++i) {
    const float q = Angle(i, span);
    const float q2 = q + q;
    const float q3 = q2 + q;
    const double c1 = static_cast<double>(std::cos(q));
    const double c2 = static_cast<double>(std::cos(q2));
    const double c3 = static_cast<double>(std::cos(q3));
    out[i] = static_cast<float>((a2 * c2 - a1 * c1 + a0) - a3 * c3);
  }
  return 0;
}

}  // namespace

int32_t WindowSquare(float* out, int32_t n, float, float) {
  for (int32_t i = 0; i < n; ++i) out[i] = 1.0f;
  return 0;
}

int32_t WindowTriangular(float* out, int32_t n, float, float) {
  if (SingleTap(out, n)) return 0;
  const float h = static_cast<float>(static_cast<double>(n - 1) / 2.0);
  for (int32_t i = 0; i < n; ++i) {
    const float x = static_cast<float>(static_cast<double>(i) / static_cast<double>(h));
    out[i] = x < 1.0f ? x : 2.0f - x;
  }
  return 0;
}

int32_t WindowSine(float* out, int32_t n, float, float) {
  if (SingleTap(out, n)) return 0;
  const double span = static_cast<double>(n - 1);
  for (int32_t i = 0; i < n; ++i) out[i] = static_cast<float>(std::sin(kPi * i / span));
  return 0;
}

int32_t WindowHanning(float* out, int32_t n, float, float) {
  if (SingleTap(out, n)) return 0;
  const double span = static_cast<double>(n - 1);
  for (int32_t i = 0; i < n; ++i) out[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * i / span));
  return 0;
}

int32_t WindowHamming(float* out, int32_t n, float, float) {
  if (SingleTap(out, n)) return 0;
  const double span = static_cast<double>(n - 1);
  for (int32_t i = 0; i < n; ++i) out[i] = static_cast<float>(0.54 - 0.46 * std::cos(2.0 * kPi * i / span));
  return 0;
}

int32_t WindowBlackman(float* out, int32_t n, float, float) {
  if (SingleTap(out, n)) return 0;
  const int32_t span = n - 1;
  for (int32_t i = 0; i < n; ++i) {
    const float q = Angle(i, span);
    const float q2 = q + q;
    out[i] = static_cast<float>(0.08 * static_cast<double>(std::cos(q2)) -
                                0.5 * static_cast<double>(std::cos(q)) + 0.42);
  }
  return 0;
}

int32_t WindowNuttall(float* out, int32_t n, float, float) {
  return CosineSum(out, n, 0.355768, 0.487396, 0.144232, 0.012604);
}

int32_t WindowBlackmanNuttall(float* out, int32_t n, float, float) {
  return CosineSum(out, n, 0.3635819, 0.4891775, 0.1365995, 0.0106411);
}

int32_t WindowBlackmanHarris(float* out, int32_t n, float, float) {
  return CosineSum(out, n, 0.35875, 0.48829, 0.14128, 0.01168);
}

void InstallWindowFunctions() {
  static constexpr WindowFunction kWindows[kWindowFunctionCount] = {
      WindowSquare,   WindowTriangular, WindowSine,
      WindowHanning,  WindowHamming,    WindowBlackman,
      WindowNuttall,  WindowBlackmanNuttall, WindowBlackmanHarris};
  for (int32_t i = 0; i < kWindowFunctionCount; ++i) WindowFunctionTable[i].Function = kWindows[i];
}

int32_t DirichletKernel(float* out, int32_t n, float width) {
  float w = width;
  if (!(w >= 1.0f)) w = 1.0f;
  if (!(static_cast<float>(n) >= w)) w = static_cast<float>(n);
  if (n <= 0) return 0;
  const float g = 1.0f / w;
  const int32_t m = n / 2;
  const double dn = static_cast<double>(n);
  const double pw = kPi * static_cast<double>(w);
  if (n % 2 != 0) {
    for (int32_t i = 0; i < n; ++i) {
      if (i == m) {
        out[i] = 1.0f;
        continue;
      }
      const double k = static_cast<double>(i - m);
      out[i] = static_cast<float>(static_cast<double>(g) * std::sin(pw * k / dn) / std::sin(kPi * k / dn));
    }
  } else {
    // The centre lies between two taps: every tap is half a step off it.
    const float centre = static_cast<float>(m) - 0.5f;
    for (int32_t i = 0; i < n; ++i) {
      const double x = static_cast<double>(static_cast<float>(i) - centre);
      out[i] = static_cast<float>(static_cast<double>(g) * std::sin(pw * x / dn) / std::sin(kPi * x / dn));
    }
  }
  return 0;
}

namespace {

// Above the largest gain sum a design keeps (100).
constexpr float kFirGainCap = 101.0f;

// The selected filter when it exists and holds its sound.
WaveLibraryEntry* SelectedFilter() {
  WaveLibraryEntry* e = WaveLibraryListAt(FilterLibrary, FirDesign.FirSourceEntry);
  if (e == nullptr || e->LoadState != kWaveDataHeld || e->Sound.samples == nullptr) return nullptr;
  return e;
}

}  // namespace

void BuildFirKernel(int64_t mode) {
  FirDesignRecord& d = FirDesign;
  // The arrays hold 128 taps; a count outside 0..128 never reaches past them.
  int32_t n = d.FirTapCount;
  if (n < 0) n = 0;
  if (n > kFirMaxTaps) n = kFirMaxTaps;
  if (d.FirOffset < 0) d.FirOffset = 0;

  if (mode != 0) {
    for (int32_t i = 0; i < kFirMaxTaps; ++i) d.FirKernel[i] = 0.0f;
    const WaveLibraryEntry* e = SelectedFilter();
    if (e == nullptr) {
      d.FirOffset = 0;
      DirichletKernel(d.FirSource, n, static_cast<float>(d.FirWidth));
      for (int32_t i = n; i <= kFirMaxTaps; ++i) d.FirSource[i] = 0.0f;
    } else {
      // A filter longer than the arrays is cut to its first 128 frames; a
      // two-channel one gives its first channel.
      const int32_t channels = e->Sound.format.channels < 1 ? 1 : e->Sound.format.channels;
      int64_t frames = e->Sound.frameCount;
      const int64_t held = static_cast<int64_t>(e->Sound.dataSize / 4) / channels;
      if (frames > held) frames = held;
      if (frames > kFirMaxTaps) frames = kFirMaxTaps;
      const int32_t f = static_cast<int32_t>(frames);
      for (int32_t i = 0; i < f; ++i) d.FirSource[i] = e->Sound.samples[static_cast<int64_t>(i) * channels];
      for (int32_t i = f; i <= kFirMaxTaps; ++i) d.FirSource[i] = 0.0f;
      if (d.FirOffset > f - n) d.FirOffset = f - n;
      if (d.FirOffset < 0) d.FirOffset = 0;
    }
  }
  // The offset never reaches past the arrays (mode 0 keeps what the editor set).
  if (d.FirOffset > kFirMaxTaps - n) d.FirOffset = kFirMaxTaps - n;

  int32_t index = d.FirWindowIndex;
  if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(kWindowFunctionCount)) index = 0;
  WindowFunction window = WindowFunctionTable[index].Function;
  if (window == nullptr) window = WindowSquare;
  window(d.FirWindow, n, 0.0f, 0.0f);

  d.FirGainSum = 0;
  for (int32_t i = 0; i < n; ++i) {
    float k = d.FirWindow[i] * d.FirSource[i + d.FirOffset];
    if (d.FirHighPass != 0 && (i & 1) != 0) k = -k;
    d.FirKernel[i] = k;
    // The sum only grows and ends at most 100: past that it is held there, so
    // a filter file's huge, infinite or NaN tap never reaches the conversion.
    float sum = static_cast<float>(d.FirGainSum) + std::fabs(k);
    if (!(sum <= kFirGainCap)) sum = kFirGainCap;
    d.FirGainSum = static_cast<int32_t>(std::nearbyint(sum));
  }
  if (!(d.FirGainSum > 0)) d.FirGainSum = 1;
  if (d.FirGainSum > 100) d.FirGainSum = 100;

  WaveLibraryEntry* e = WaveLibraryListAt(FilterLibrary, d.FirSourceEntry);
  if (d.FirSourceEntry >= 0 && e != nullptr)
    e->Pitch[0] = static_cast<float>(1.0 - 1.0 / static_cast<double>(d.FirGainSum));
  PublishFirGraph();
}

void FirLibraryEntryLeft(int32_t entry) {
  FirDesignRecord& d = FirDesign;
  if (d.FirSourceEntry < 0) return;
  if (entry >= 0 && d.FirSourceEntry != entry) {
    if (d.FirSourceEntry > entry) d.FirSourceEntry -= 1;
    return;
  }
  d.FirSourceEntry = -1;
  d.FirOffset = 0;
  BuildFirKernel(-1);
  UiPublishText(UiControlId(kControlFilterGraph), -1);
}

}  // namespace Tarvelo
