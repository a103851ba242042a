#include "engine/dsp/dynamics.h"

#include <cmath>

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

void ProcessSoftLimiterPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor input = OpenScaled(*m, kLimiterInput, ch);
    const PortCursor threshold = OpenPlain(*m, kLimiterThreshold, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const float y = SoftLimit(input(v), threshold(v));
      m->Outputs[ch][v] = OutputElement{y, y};
    }
  }
  m->ActiveVoices = voices;
}

void ProcessWaveFolderMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  // The stored value, not its value module: one count for both channels.
  const int32_t passes = FolderPasses(m->Params[kFolderPasses].Value);
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float y = FoldWave(ScaledRead(*m, kFolderInput, ch, 0), PlainRead(*m, kFolderThreshold, ch, 0),
                             PlainRead(*m, kFolderRange, ch, 0), passes);
    m->Outputs[ch][0] = OutputElement{y, y};
  }
}

void ProcessWaveFolderPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t passes = FolderPasses(m->Params[kFolderPasses].Value);
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor input = OpenScaled(*m, kFolderInput, ch);
    const PortCursor threshold = OpenPlain(*m, kFolderThreshold, ch);
    const PortCursor range = OpenPlain(*m, kFolderRange, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const float y = FoldWave(input(v), threshold(v), range(v), passes);
      m->Outputs[ch][v] = OutputElement{y, y};
    }
  }
  m->ActiveVoices = voices;
}

namespace {

// The Compressor's settings of one channel.
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

void ProcessCompressorPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const ModuleRecord* owner = m->TriggerOwner;
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const CompressorSettings c = CompressorOf(*m, ch);
    const PortCursor input = OpenScaled(*m, kCompressorInput, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const float y = CompressorVoice(*m, c, m->VoiceState[ch][VoiceIdAt(owner, v)], input(v));
      m->Outputs[ch][v] = OutputElement{y, y};
    }
  }
  m->ActiveVoices = voices;
}

}  // namespace Tarvelo
