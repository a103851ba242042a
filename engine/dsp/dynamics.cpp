#include "engine/dsp/dynamics.h"

#include <cmath>
#include <limits>

#include "engine/dsp/contract.h"
#include "engine/dsp/settings.h"

namespace Tarvelo {

float SoftLimit(float x, float threshold) {
  const float t = std::fabs(threshold);
  const float a = std::fabs(x);
  if (t >= a || t == 1.0f) return x;
  const float u = (a - t) / (1.0f - t);
  const float q = 1.0f - (u - 1.0f) * (u - 1.0f);
  // Leaves the threshold with slope 1, peaks at (1 + t) / 2 for |x| = 1 and
  // falls back below the threshold beyond 2 - t.
  float y = static_cast<float>(static_cast<double>(t) +
                               0.5 * static_cast<double>(q) * (1.0 - static_cast<double>(t)));
  if (!(x >= 0.0f)) y = -y;
  return y;
}

int32_t FolderPasses(float passes) {
  const double n = std::floor(static_cast<double>(passes) + 1e-6);
  if (!(n >= 1.0)) return 1;
  return n > kFolderMaxPasses ? kFolderMaxPasses : static_cast<int32_t>(n);
}

float FoldWave(float x, float threshold, float range, int32_t passes) {
  const float t = std::fabs(threshold);
  const float r = std::fabs(range) * t;
  const float s = SgnF(x);
  for (int32_t i = 0; i < passes; ++i) {
    if (!(t >= x * s)) {
      x = 2.0f * s * t - x;
      if (!(x * s >= t - r)) x = 2.0f * s * (t - r) - x;
    }
  }
  return x;
}

void ProcessSoftLimiterMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float y = SoftLimit(ScaledRead(*m, kLimiterInput, ch, 0), PlainRead(*m, kLimiterThreshold, ch, 0));
    m->Outputs[ch][0] = OutputElement{y, y};
  }
}

namespace {

// Rows of voices are computed over 8, 16 or 32 lanes, loops of known length
// the compiler vectorizes whole; the lanes past the last voice compute on
// zeros and are never published. Every branch of the one-voice code is
// computed for every lane and the results selected, so each voice ends with
// exactly the value it gets alone.
inline int32_t DynamicsLanes(int32_t n) { return n <= 8 ? 8 : (n <= 16 ? 16 : kVoices); }

// one thread: value
struct DynamicsRows {
  alignas(32) float x[kVoices];
  alignas(32) float a[kVoices];  // threshold, or the state of a voice
  alignas(32) float b[kVoices];  // range
  alignas(32) float y[kVoices];
};

// Rows of voices only for a full row of 8 voices or more (below, their fixed
// cost is more than they save) and where no port reads the module's own
// outputs, which the voices one after the other would see change.
inline bool RowsPay(const ModuleRecord& m, int32_t ports, int32_t voices) {
  if (voices < 8) return false;
  bool own = false;
  for (int32_t p = 0; p < ports; ++p) own |= m.PortSources[p].LoadSettled() == &m;
  return !own;
}

template <int32_t kLanes>
[[gnu::always_inline]] inline void LimiterLanes(DynamicsRows& r) {
  for (int32_t v = 0; v < kLanes; ++v) {
    const float x = r.x[v];
    const float t = std::fabs(r.a[v]);
    const float a = std::fabs(x);
    const int32_t pass = (t >= a ? 1 : 0) | (t == 1.0f ? 1 : 0);
    const float u = (a - t) / (1.0f - t);
    const float q = 1.0f - (u - 1.0f) * (u - 1.0f);
    const float bent =
        static_cast<float>(static_cast<double>(t) + 0.5 * static_cast<double>(q) * (1.0 - static_cast<double>(t)));
    const float y = x >= 0.0f ? bent : -bent;
    r.y[v] = pass != 0 ? x : y;
  }
}

TARVELO_KERNEL_BUILDS(void, LimiterRow, (DynamicsRows& r, int32_t n)) {
  if (n == 8) return LimiterLanes<8>(r);
  if (n == 16) return LimiterLanes<16>(r);
  LimiterLanes<kVoices>(r);
}

}  // namespace

void ProcessSoftLimiterPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  const bool rows = RowsPay(*m, kLimiterThreshold + 1, voices);
  DynamicsRows r;
  const int32_t n = DynamicsLanes(voices);
  if (rows)
    for (int32_t v = voices; v < n; ++v) r.x[v] = r.a[v] = 0.0f;
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor input = OpenScaled(*m, kLimiterInput, ch);
    const PortCursor threshold = OpenPlain(*m, kLimiterThreshold, ch);
    OutputElement* out = m->Outputs[ch];
    if (!rows) {
      for (int32_t v = 0; v < voices; ++v) {
        const float y = SoftLimit(input(v), threshold(v));
        out[v] = OutputElement{y, y};
      }
      continue;
    }
    ReadRow(input, voices, r.x);
    ReadRow(threshold, voices, r.a);
    LimiterRow(r, n);
    for (int32_t v = 0; v < voices; ++v) out[v] = OutputElement{r.y[v], r.y[v]};
  }
  m->ActiveVoices.Store(voices);
}

void ProcessWaveFolderMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  // The stored value, not its value module: one count for both channels.
  const int32_t passes = FolderPasses(m->Params[kFolderPasses].Value.LoadSettled());
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float y = FoldWave(ScaledRead(*m, kFolderInput, ch, 0), PlainRead(*m, kFolderThreshold, ch, 0),
                             PlainRead(*m, kFolderRange, ch, 0), passes);
    m->Outputs[ch][0] = OutputElement{y, y};
  }
}

namespace {

template <int32_t kLanes>
[[gnu::always_inline]] inline void FolderLanes(DynamicsRows& r, int32_t passes) {
  alignas(32) float sign[kVoices];
  alignas(32) float top[kVoices];
  alignas(32) float low[kVoices];
  for (int32_t v = 0; v < kLanes; ++v) {
    const float t = std::fabs(r.a[v]);
    const float x = r.x[v];
    sign[v] = x > 0.0f ? 1.0f : (x < 0.0f ? -1.0f : 0.0f);
    top[v] = t;
    low[v] = t - std::fabs(r.b[v]) * t;
  }
  for (int32_t i = 0; i < passes; ++i) {
    // Kept a loop (not unrolled into single lanes), which the vectorizer takes whole.
#pragma GCC unroll 1
    for (int32_t v = 0; v < kLanes; ++v) {
      const float x = r.x[v];
      const float s = sign[v];
      const float t = top[v];
      const float x1 = 2.0f * s * t - x;
      const float x2 = !(x1 * s >= low[v]) ? 2.0f * s * low[v] - x1 : x1;
      r.x[v] = !(t >= x * s) ? x2 : x;
    }
  }
}

TARVELO_KERNEL_BUILDS(void, FolderRow, (DynamicsRows& r, int32_t n, int32_t passes)) {
  if (n == 8) return FolderLanes<8>(r, passes);
  if (n == 16) return FolderLanes<16>(r, passes);
  FolderLanes<kVoices>(r, passes);
}

}  // namespace

void ProcessWaveFolderPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t passes = FolderPasses(m->Params[kFolderPasses].Value.LoadSettled());
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  const bool rows = RowsPay(*m, kFolderRange + 1, voices);
  DynamicsRows r;
  const int32_t n = DynamicsLanes(voices);
  if (rows)
    for (int32_t v = voices; v < n; ++v) r.x[v] = r.a[v] = r.b[v] = 0.0f;
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor input = OpenScaled(*m, kFolderInput, ch);
    const PortCursor threshold = OpenPlain(*m, kFolderThreshold, ch);
    const PortCursor range = OpenPlain(*m, kFolderRange, ch);
    OutputElement* out = m->Outputs[ch];
    if (!rows) {
      for (int32_t v = 0; v < voices; ++v) {
        const float y = FoldWave(input(v), threshold(v), range(v), passes);
        out[v] = OutputElement{y, y};
      }
      continue;
    }
    ReadRow(input, voices, r.x);
    ReadRow(threshold, voices, r.a);
    ReadRow(range, voices, r.b);
    FolderRow(r, n, passes);
    for (int32_t v = 0; v < voices; ++v) out[v] = OutputElement{r.x[v], r.x[v]};
  }
  m->ActiveVoices.Store(voices);
}

namespace {

// The Compressor's settings of one channel.
// one thread: value
struct CompressorSettings {
  float threshold, ratio, attack, release, gain;
};

inline CompressorSettings CompressorOf(const ModuleRecord& m, int32_t ch) {
  return CompressorSettings{SettingRead(m, kCompressorThreshold, ch), SettingRead(m, kCompressorRatio, ch),
                            SettingRead(m, kCompressorAttack, ch), SettingRead(m, kCompressorRelease, ch),
                            SettingRead(m, kCompressorGain, ch)};
}

inline float CompressorVoice(ModuleRecord& m, const CompressorSettings& c, float& e, float x) {
  const float a = std::fabs(x);
  const float t = c.threshold;
  float g = 0.0f;
  float p = c.release;
  if (a > t) {
    // The fraction by which the level must fall so that a becomes
    // t + (a - t) / ratio.
    g = 1.0f - ((a - t) / c.ratio + t) / a;
    p = c.attack;
  }
  // A root-mean-square blend of the target reduction and the previous one,
  // weighted 1 : (P - 1).
  const float k = 1.0f / p;
  float next = std::sqrt(g * g * k + k * e * e * (p - 1.0f));
  // Periods below one frame, a ratio of 0 or an infinite input would leave the
  // reduction undefined for good: it starts again from none.
  if (!std::isfinite(next)) next = 0.0f;
  e = next;
  float y = (1.0f - next) * x;
  if (!(1.0f >= c.gain)) y = c.gain * y;
  return ClipValue(y, m.ClipFlag);
}

}  // namespace

void ProcessCompressorMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const CompressorSettings c = CompressorOf(*m, ch);
    const float y = CompressorVoice(*m, c, m->VoiceState[ch][0], ScaledRead(*m, kCompressorInput, ch, 0));
    m->Outputs[ch][0] = OutputElement{y, y};
  }
}

namespace {

// The Compressor's voices of one channel side by side: the reduction of
// each voice (its state) in r.a, in and out; the root taken voice by voice.
template <int32_t kLanes>
[[gnu::always_inline]] inline bool CompressorLanes(DynamicsRows& r, const CompressorSettings& c) {
  alignas(32) float blend[kVoices];
  const float t = c.threshold;
  const float ratio = c.ratio;
  const float attack = c.attack;
  const float release = c.release;
  const float gain = c.gain;
  for (int32_t v = 0; v < kLanes; ++v) {
    const float x = r.x[v];
    const float a = std::fabs(x);
    const int32_t over = a > t ? 1 : 0;
    const float reduced = 1.0f - ((a - t) / ratio + t) / a;
    const float g = over != 0 ? reduced : 0.0f;
    const float p = over != 0 ? attack : release;
    const float k = 1.0f / p;
    const float e = r.a[v];
    blend[v] = g * g * k + k * e * e * (p - 1.0f);
  }
  for (int32_t v = 0; v < kLanes; ++v) blend[v] = std::sqrt(blend[v]);
  int32_t clipped = 0;
  for (int32_t v = 0; v < kLanes; ++v) {
    const float root = blend[v];
    const float next = std::fabs(root) <= std::numeric_limits<float>::max() ? root : 0.0f;  // finite
    r.a[v] = next;
    const float y0 = (1.0f - next) * r.x[v];
    const float y = !(1.0f >= gain) ? gain * y0 : y0;
    // The clip rule.
    const int32_t clip = !(1.0f >= std::fabs(y)) ? 1 : 0;
    const float ySign = y > 0.0f ? 1.0f : (y < 0.0f ? -1.0f : 0.0f);
    clipped |= clip;
    r.y[v] = clip != 0 ? ySign : y;
  }
  return clipped != 0;
}

TARVELO_KERNEL_BUILDS(bool, CompressorRow, (DynamicsRows& r, int32_t n, const CompressorSettings& c)) {
  if (n == 8) return CompressorLanes<8>(r, c);
  if (n == 16) return CompressorLanes<16>(r, c);
  return CompressorLanes<kVoices>(r, c);
}

}  // namespace

void ProcessCompressorPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const ModuleRecord* owner = m->TriggerOwner.LoadSettled();
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  // Side by side when every voice has its own state (distinct ids) and the
  // input is not the module's own output.
  int32_t ids[kVoices];
  const bool pay = RowsPay(*m, kCompressorInput + 1, voices);
  const bool inPlace = pay && VoicesInPlace(owner, voices);
  const bool rows = pay && (inPlace || DistinctVoiceIds(owner, voices, ids));
  if (inPlace)
    for (int32_t v = 0; v < voices; ++v) ids[v] = v;
  DynamicsRows r;
  const int32_t n = DynamicsLanes(voices);
  if (rows)
    for (int32_t v = voices; v < n; ++v) r.x[v] = r.a[v] = 0.0f;
  for (int32_t ch = 0; ch < channels; ++ch) {
    const CompressorSettings c = CompressorOf(*m, ch);
    const PortCursor input = OpenScaled(*m, kCompressorInput, ch);
    OutputElement* out = m->Outputs[ch];
    if (!rows) {
      for (int32_t v = 0; v < voices; ++v) {
        const float y = CompressorVoice(*m, c, m->VoiceState[ch][VoiceIdAt(owner, v)], input(v));
        out[v] = OutputElement{y, y};
      }
      continue;
    }
    float* state = m->VoiceState[ch];
    ReadRow(input, voices, r.x);
    for (int32_t v = 0; v < voices; ++v) r.a[v] = state[ids[v]];
    if (CompressorRow(r, n, c)) m->ClipFlag.Store(-1);
    for (int32_t v = 0; v < voices; ++v) {
      state[ids[v]] = r.a[v];
      out[v] = OutputElement{r.y[v], r.y[v]};
    }
  }
  m->ActiveVoices.Store(voices);
}

}  // namespace Tarvelo
