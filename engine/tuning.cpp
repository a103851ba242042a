// Tuning records: key ratios, names, scale patterns and the key-to-frequency rule.
#include "engine/tuning.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "basics/complex.h"
#include "basics/messages.h"
#include "basics/program.h"

namespace Tarvelo {

using QUARLE_BASICS::DynZStringAssign;
using QUARLE_BASICS::DynZStringAssignFrom;
using QUARLE_BASICS::DynZStringFree;
using QUARLE_BASICS::DynZStringGet;

Tuning Tunings[3] = {};
Tuning& EditedTuning = Tunings[kEditedTuning];
Tuning& ActiveTuning = Tunings[kActiveTuning];
Tuning& EngineTuning = Tunings[kEngineTuning];
platform::Mutex* MT_TUNINGS[3] = {};

namespace {

constexpr double kLog2E = 1.4426950408889634;
constexpr double kAbsoluteRatioCeiling = 1.9950123549570846;  // 2 / 1.0025
constexpr float kAbsoluteRatioCeilingF = 1.9950124f;
constexpr float kDefaultKeyStep = 1.0594631f;
constexpr const char* kDefaultNoteNames[12] = {"A", "Bb", "B", "C",  "C#", "D",
                                               "Eb", "E", "F", "F#", "G",  "Ab"};

// The three records exist for the whole run: constructed before main, freed
// after it in the order engine, active, edited.
struct TuningLifetime {
  TuningLifetime() {
    for (Tuning& t : Tunings) InitTuning(t);
  }
  ~TuningLifetime() {
    for (int32_t i = 2; i >= 0; --i) FreeTuning(Tunings[i]);
  }
};
TuningLifetime tuningLifetime;

// Any int32 lands in 0..N-1: -1 is key N-1, N is key 0.
int32_t KeyIndex(const Tuning& t, int32_t key) {
  const int64_t n = t.NoteCount;
  if (n <= 0) return 0;
  int64_t i = key;
  if (i > n - 1 || i < -(n - 1)) i %= n;
  if (i < 0) i += n;
  return static_cast<int32_t>(i);
}

bool HasKeys(const Tuning& t) {
  return t.NoteCount > 0 && t.RelativeRatios && t.AbsoluteRatios;
}

void StoreName(char (&field)[kScalePatternNameSize], const std::string& name) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, name.c_str(), std::min<size_t>(std::strlen(name.c_str()), 32));
}

void FreeNoteNames(Tuning& t) {
  if (t.NoteNames) {
    for (int32_t i = 0; i < t.NoteCount; ++i) std::free(t.NoteNames[i]);
  }
  std::free(t.NoteNames);
  t.NoteNames = nullptr;
}

void FreeKeyArrays(Tuning& t) {
  std::free(t.RelativeRatios);
  std::free(t.AbsoluteRatios);
  t.RelativeRatios = nullptr;
  t.AbsoluteRatios = nullptr;
  FreeNoteNames(t);
}

// Relative ratios from the absolute ones, key 0 taking the step across the octave.
void DeriveRelativeRatios(Tuning& t) {
  const int32_t n = t.NoteCount;
  for (int32_t j = 1; j < n; ++j) t.RelativeRatios[j] = t.AbsoluteRatios[j] / t.AbsoluteRatios[j - 1];
  t.RelativeRatios[0] = 2.0f / t.AbsoluteRatios[n - 1];
}

void SetSpacing(Tuning& t, bool geometric) {
  if (!HasKeys(t)) return;
  const int32_t n = t.NoteCount;
  t.AbsoluteRatios[0] = 1.0f;
  TuningSetNoteName(t, 0, "1");
  for (int32_t i = 1; i < n; ++i) {
    const double x = static_cast<double>(i) / n;
    t.AbsoluteRatios[i] = static_cast<float>(geometric ? 1.0 + x : std::exp2(x));
    TuningSetNoteName(t, i, std::to_string(i + 1).c_str());
  }
  DeriveRelativeRatios(t);
  t.Modified = -1;
}

// Log2 as the engine has always taken it: a single-precision natural logarithm.
double Log2Single(double x) { return static_cast<double>(std::log(static_cast<float>(x))) * kLog2E; }

// Octave position to an int32 the frequency rule accepts; beyond +-1024 octaves
// every frequency is already 0 or infinite.
int32_t OctaveOf(double p) {
  if (std::isnan(p)) return 0;
  return static_cast<int32_t>(std::floor(std::clamp(p, -1024.0, 1024.0)));
}

float QuantizeAt(const Tuning& t, float x, float p) {
  const float s = x > 0.0f ? 1.0f : (x < 0.0f ? -1.0f : 0.0f);
  if (s == 0.0f || !std::isfinite(p)) return 0.0f;
  const int32_t o = OctaveOf(p);
  const int32_t k = static_cast<int32_t>(std::floor(static_cast<float>(t.NoteCount) *
                                                    (p - static_cast<float>(o))));
  return s * TuningOctaveKeyFrequency(t, o, k);
}

}  // namespace

void InitTuning(Tuning& tuning) {
  std::memset(static_cast<void*>(&tuning), 0, sizeof tuning);
  TuningSetReferencePitch(tuning, 440.0f);
  TuningSetNoteCount(tuning, 12);
  for (int32_t i = 0; i < 12; ++i) TuningSetNoteName(tuning, i, kDefaultNoteNames[i]);
  if (HasKeys(tuning)) {
    tuning.AbsoluteRatios[0] = 1.0f;
    for (int32_t i = 0; i < 12; ++i) tuning.RelativeRatios[i] = kDefaultKeyStep;
    for (int32_t i = 1; i < 12; ++i)
      tuning.AbsoluteRatios[i] = tuning.RelativeRatios[i] * tuning.AbsoluteRatios[i - 1];
  }
  TuningNewScalePattern(tuning, 0);
  tuning.PatternCount = 1;
  DynZStringAssign(tuning.FileName, std::string(tuning.PatternNames[0]) + ".tng");
  DynZStringAssign(tuning.Folder, DynZStringGet(QUARLE_BASICS::HomeFolder));
  TuningComputeConsonance(tuning);
  tuning.Modified = -1;
}

void FreeTuning(Tuning& tuning) {
  FreeKeyArrays(tuning);
  std::free(tuning.ConsonanceWeights);
  tuning.ConsonanceWeights = nullptr;
  DynZStringFree(tuning.Folder);
  DynZStringFree(tuning.FileName);
  tuning.NoteCount = 0;
}

void CopyTuning(Tuning& destination, const Tuning& source) {
  if (&destination == &source) return;
  TuningSetNoteCount(destination, source.NoteCount);
  DynZStringAssignFrom(destination.Folder, source.Folder);
  DynZStringAssignFrom(destination.FileName, source.FileName);
  TuningSetReferencePitch(destination, source.ReferencePitch);
  const int32_t n = std::min(destination.NoteCount, source.NoteCount);
  for (int32_t i = 0; i < n; ++i) {
    const char* name = source.NoteNames ? source.NoteNames[i] : nullptr;
    TuningSetNoteName(destination, i, name ? name : "");
    if (HasKeys(destination) && HasKeys(source)) {
      destination.AbsoluteRatios[i] = source.AbsoluteRatios[i];
      destination.RelativeRatios[i] = source.RelativeRatios[i];
    }
  }
  const int32_t p = std::clamp(source.PatternCount, 0, kScalePatternMax);
  destination.PatternCount = p;
  for (int32_t i = 0; i < p; ++i) {
    destination.PatternMasks[i] = source.PatternMasks[i];
    std::memcpy(destination.PatternNames[i], source.PatternNames[i], kScalePatternNameSize);
  }
  TuningComputeConsonance(destination);
  destination.Modified = -1;
}

float TuningGetReferencePitch(const Tuning& tuning) { return tuning.ReferencePitch; }

void TuningSetReferencePitch(Tuning& tuning, float hz) {
  if (!(hz >= kTuningMinPitch)) hz = kTuningMinPitch;  // NaN too
  if (hz > kTuningMaxPitch) hz = kTuningMaxPitch;
  tuning.ReferencePitch = hz;
  tuning.BaseFrequency = hz / 16.0f;
  tuning.Modified = -1;
}

int32_t TuningGetNoteCount(const Tuning& tuning) { return tuning.NoteCount; }

void TuningSetNoteCount(Tuning& tuning, int32_t n) {
  n = std::clamp(n, kTuningMinKeys, kTuningMaxKeys);
  // An equal count changes nothing, unless an earlier allocation left arrays missing.
  if (n == tuning.NoteCount && HasKeys(tuning) && tuning.NoteNames) return;
  FreeKeyArrays(tuning);
  tuning.NoteCount = n;
  tuning.RelativeRatios = static_cast<float*>(std::calloc(n, sizeof(float)));
  tuning.AbsoluteRatios = static_cast<float*>(std::calloc(n, sizeof(float)));
  tuning.NoteNames = static_cast<char**>(std::calloc(n, sizeof(char*)));
  TuningSetEqualTemperament(tuning);
  // The weights are per key: they must follow the new count (readers index them
  // up to N), and weights of the old keys mean nothing for the new ones.
  TuningComputeConsonance(tuning);
}

float TuningGetRatio(const Tuning& tuning, int32_t key) {
  if (!HasKeys(tuning)) return 0.0f;
  return tuning.RelativeRatios[KeyIndex(tuning, key)];
}

float TuningGetSecondValue(const Tuning& tuning, int32_t key) {
  if (!HasKeys(tuning)) return 0.0f;
  return tuning.AbsoluteRatios[KeyIndex(tuning, key)];
}

void TuningSetRatio(Tuning& tuning, int32_t key, float value) {
  if (!HasKeys(tuning)) return;
  const int32_t i = KeyIndex(tuning, key);
  if (i == 0) return;  // derived from the last key
  const int32_t n = tuning.NoteCount;
  float* rel = tuning.RelativeRatios;
  float* abs = tuning.AbsoluteRatios;
  if (!(value >= kSmallestKeyStep)) value = static_cast<float>(kSmallestKeyStep);
  rel[i] = value;
  for (int32_t j = i; j < n; ++j) {
    // Leave room for the keys above and for the step up to the octave to rise by
    // the smallest step each (one step fewer would let the last two keys meet
    // once the last one is held below the octave).
    const double limit = 2.0 / (abs[j - 1] * std::pow(kSmallestKeyStep, n - j));
    if (rel[j] > limit) rel[j] = static_cast<float>(limit);
    abs[j] = rel[j] * abs[j - 1];
  }
  if (abs[n - 1] > kAbsoluteRatioCeiling) abs[n - 1] = kAbsoluteRatioCeilingF;
  rel[0] = 2.0f / abs[n - 1];
  tuning.Modified = -1;
}

void TuningSetSecondValue(Tuning& tuning, int32_t key, float value) {
  if (!HasKeys(tuning)) return;
  const int32_t i = KeyIndex(tuning, key);
  if (i == 0) return;  // always 1.0
  const int32_t n = tuning.NoteCount;
  float* abs = tuning.AbsoluteRatios;
  double v = value;
  const double low = std::pow(kSmallestKeyStep, i);
  const double high = 2.0 / std::pow(kSmallestKeyStep, n - i);
  if (!(v >= low)) v = low;
  if (v > high) v = high;
  abs[i] = static_cast<float>(v);
  for (int32_t j = i; j >= 1; --j) {
    if (abs[j - 1] < abs[j]) break;
    abs[j - 1] = static_cast<float>(abs[j] / kSmallestKeyStep);
  }
  for (int32_t j = i; j <= n - 2; ++j) {
    if (abs[j] < abs[j + 1]) break;
    abs[j + 1] = static_cast<float>(kSmallestKeyStep * abs[j]);
  }
  abs[0] = 1.0f;
  DeriveRelativeRatios(tuning);
  tuning.Modified = -1;
}

std::string TuningGetNoteName(const Tuning& tuning, int32_t key) {
  if (!tuning.NoteNames || tuning.NoteCount <= 0) return std::string();
  const char* name = tuning.NoteNames[KeyIndex(tuning, key)];
  return name ? std::string(name) : std::string();
}

void TuningSetNoteName(Tuning& tuning, int32_t key, const char* text) {
  if (tuning.NoteNames && tuning.NoteCount > 0) {
    if (!text) text = "";
    const int32_t i = KeyIndex(tuning, key);
    const size_t len = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(len + 1));
    if (copy) std::memcpy(copy, text, len + 1);
    std::free(tuning.NoteNames[i]);
    tuning.NoteNames[i] = copy;
  }
  tuning.Modified = -1;
}

void TuningRotateNotes(Tuning& tuning, int32_t key) {
  if (!HasKeys(tuning)) return;
  const int32_t k = KeyIndex(tuning, key);
  if (k == 0) return;
  const int32_t n = tuning.NoteCount;
  const float step = 2.0f / tuning.AbsoluteRatios[n - 1];
  std::rotate(tuning.RelativeRatios, tuning.RelativeRatios + k, tuning.RelativeRatios + n);
  if (tuning.NoteNames) std::rotate(tuning.NoteNames, tuning.NoteNames + k, tuning.NoteNames + n);
  float* abs = tuning.AbsoluteRatios;
  abs[0] = 1.0f;
  tuning.RelativeRatios[n - k] = step;
  for (int32_t j = 1; j < n; ++j) abs[j] = tuning.RelativeRatios[j] * abs[j - 1];
  tuning.Modified = -1;
}

void TuningSetEqualTemperament(Tuning& tuning) { SetSpacing(tuning, false); }

void TuningSetGeometric(Tuning& tuning) { SetSpacing(tuning, true); }

void TuningNewScalePattern(Tuning& tuning, int32_t pattern) {
  if (pattern >= 0 && pattern < kScalePatternMax) {
    tuning.PatternMasks[pattern] = ~uint64_t{0};
    StoreName(tuning.PatternNames[pattern],
              pattern == 0 ? QUARLE_BASICS::LangText(104, "Chromatic")
                           : QUARLE_BASICS::LangText(103, "[New scale pattern]"));
  }
  tuning.Modified = -1;
}

void TuningAddScalePattern(Tuning& tuning, uint64_t mask, const char* name, int64_t reverse) {
  const int32_t p = tuning.PatternCount;
  if (p < 0 || p >= kScalePatternMax) return;
  if (reverse == -1) mask = QUARLE_BASICS::BitReverse64(mask) >> ((64 - tuning.NoteCount) % 64);
  tuning.PatternMasks[p] = mask;
  StoreName(tuning.PatternNames[p], name ? name : "");
  tuning.PatternCount = p + 1;
}

int32_t TuningPatternHasKey(const Tuning& tuning, int32_t key, int32_t pattern) {
  if (pattern < 0 || pattern >= tuning.PatternCount || pattern >= kScalePatternSlots) return 0;
  return (tuning.PatternMasks[pattern] >> KeyIndex(tuning, key)) & 1u ? -1 : 0;
}

float TuningKeyFrequency(const Tuning& tuning, int32_t key) {
  if (!HasKeys(tuning)) return 0.0f;
  const int32_t n = tuning.NoteCount;
  const int32_t o = OctaveOf(static_cast<double>(key) / n + 0.000001);
  const int64_t i = static_cast<int64_t>(key) - static_cast<int64_t>(o) * n;
  return tuning.BaseFrequency * std::ldexp(1.0f, o) *
         tuning.AbsoluteRatios[KeyIndex(tuning, static_cast<int32_t>(i))];
}

float TuningOctaveKeyFrequency(const Tuning& tuning, int32_t octave, int32_t key) {
  if (!HasKeys(tuning)) return 0.0f;
  return tuning.BaseFrequency * std::ldexp(1.0f, std::clamp(octave, -1024, 1024)) *
         tuning.AbsoluteRatios[KeyIndex(tuning, key)];
}

int32_t TuningFrequencyToNote(const Tuning& tuning, float frequency) {
  if (!HasKeys(tuning) || !(tuning.BaseFrequency > 0.0f)) return 0;
  const int32_t n = tuning.NoteCount;
  // A frequency of 0 or below has no octave: it counts as the lowest one.
  const int32_t o = OctaveOf(Log2Single(frequency / tuning.BaseFrequency + 0.000001));
  const double x =
      static_cast<double>(frequency) / (static_cast<double>(tuning.BaseFrequency) * std::ldexp(1.0, o)) +
      0.000001;
  int32_t i = n - 1;
  while (i >= 0 && tuning.AbsoluteRatios[i] > x) --i;
  return i + n * o;
}

float TuningQuantizePitch(const Tuning& tuning, float x, int32_t a, int32_t b) {
  const float p = static_cast<float>(a) + std::fabs(static_cast<float>(b) * x);
  return QuantizeAt(tuning, x, p);
}

float TuningQuantizeLogPitch(const Tuning& tuning, float x, int32_t a, int32_t b) {
  const float l = static_cast<float>(Log2Single(std::fabs(x) + 1.0f));
  const float p = static_cast<float>(a) + static_cast<float>(b) * l;
  return QuantizeAt(tuning, x, p);
}

int32_t TuningRatioMultiplier(const Tuning&, float ratio) {
  // Closeness to a whole number: 0.25 on one, 0 halfway between two.
  auto score = [](float v) {
    const float f = v - std::floor(v);
    return (f - 1.0f) * f + 0.25f;
  };
  float best = score(ratio);
  int32_t k = 1;
  const int32_t m = static_cast<int32_t>(std::nearbyint(99.0f * best + 5.0f));
  for (int32_t j = 2; j <= m; ++j) {
    const float s = score(static_cast<float>(j) * ratio);
    if (s > best) {
      best = s;
      k = j;
    }
  }
  return k;
}

void TuningComputeConsonance(Tuning& tuning) {
  std::free(tuning.ConsonanceWeights);
  const int32_t n = tuning.NoteCount;
  tuning.ConsonanceWeights = n > 0 ? static_cast<float*>(std::calloc(n + 1, sizeof(float))) : nullptr;
  float* w = tuning.ConsonanceWeights;
  if (!w) return;
  w[0] = w[n] = 1.0f;
  int32_t d = 0;
  for (int32_t i = 1; i < n; ++i) {
    const int32_t k = tuning.AbsoluteRatios ? TuningRatioMultiplier(tuning, tuning.AbsoluteRatios[i]) : 1;
    w[i] = static_cast<float>(k);
    d = std::max(d, k);
  }
  for (int32_t i = 0; i <= n; ++i) w[i] = static_cast<float>((d - static_cast<double>(w[i]) + 1.0) / d);
}

}  // namespace Tarvelo
