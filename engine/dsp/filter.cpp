#include "engine/dsp/filter.h"

#include <cmath>

#include "engine/dsp/contract.h"

namespace Tarvelo {

namespace {

// Sections that fit the module's work buffer (28 floats hold all seven).
inline int32_t SectionsOf(const ModuleRecord& m) {
  int32_t n = FilterSections(m.Params[kFilterPasses].Value);
  const int32_t fit = m.WorkBufferSize / 4;
  return n < fit ? n : fit;
}

// One voice of one channel: returns the last section's output, computed from
// the states as they were before this frame.
inline float FilterVoice(float* b, int32_t sections, int32_t ch, float x, float keep, float l, float h2) {
  float o = 0.0f;
  for (int32_t j = 0; j < sections; ++j) {
    float& s = b[4 * j + ch];
    float& h = b[4 * j + 2 + ch];
    o = s - h;
    s = (x - s) * keep + s;
    if (h2 != 0.0f)
      h = (s - h) * h2 + h;
    else
      h = 0.0f;
    // A frozen low pass dies away by 1 % per frame.
    if (l == 1.0f) s = static_cast<float>(static_cast<double>(s) * 0.99);
    x = o;
  }
  return o;
}

inline float FilterPublish(ModuleRecord& m, float* b, int32_t sections, int32_t ch, float y) {
  if (!std::isfinite(y)) {
    // A state that is no longer a number would silence the voice for good:
    // the channel's sections start again from rest.
    for (int32_t j = 0; j < sections; ++j) b[4 * j + ch] = b[4 * j + 2 + ch] = 0.0f;
  }
  return ClipValue(y, m.ClipFlag);
}

// The same settings for every voice (the low and high pass ports unlinked, or
// linked to a single-voice source): the choices FilterVoice makes per section
// and voice are made once per channel, and each voice takes exactly the steps
// it takes there. False when that does not hold.
bool FilterSharedSettings(ModuleRecord& m, int32_t sections, int32_t ch, int32_t voices) {
  if ((m.Params[kFilterLowPass].VoiceMapRow & 1) != 0 ||
      (m.Params[kFilterHighPass].VoiceMapRow & 1) != 0 || m.PortSources[kFilterLowPass] == &m ||
      m.PortSources[kFilterHighPass] == &m)
    return false;
  const float l = std::fabs(OpenPlain(m, kFilterLowPass, ch)(0));
  const float hp = OpenPlain(m, kFilterHighPass, ch)(0);
  const float keep = 1.0f - l;
  const float h2 = hp * hp;
  const bool highOn = h2 != 0.0f;
  const bool frozen = l == 1.0f;
  const PortCursor input = OpenScaled(m, kFilterInput, ch);
  const ModuleRecord* owner = m.TriggerOwner;
  for (int32_t v = 0; v < voices; ++v) {
    float* b = m.WorkBuffers[VoiceIdAt(owner, v)];
    const float x = input(v);
    float y = 0.0f;
    if (b != nullptr) {
      float in = x;
      for (int32_t j = 0; j < sections; ++j) {
        float* state = b + 4 * j + ch;
        float s = state[0];
        const float h = state[2];
        y = s - h;
        s = (in - s) * keep + s;
        state[2] = highOn ? (s - h) * h2 + h : 0.0f;
        state[0] = frozen ? static_cast<float>(static_cast<double>(s) * 0.99) : s;
        in = y;
      }
      y = FilterPublish(m, b, sections, ch, y);
    }
    m.Outputs[ch][v] = OutputElement{y, y};
  }
  return true;
}

}  // namespace

int32_t FilterSections(float passes) {
  const double n = std::floor(static_cast<double>(passes) + 1e-6);
  if (!(n >= 1.0)) return 1;
  return n > kFilterMaxSections ? kFilterMaxSections : static_cast<int32_t>(n);
}

void ProcessFilterMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t sections = SectionsOf(*m);
  float* b = m->WorkBuffers[0];
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float x = ScaledRead(*m, kFilterInput, ch, 0);
    const float l = std::fabs(PlainRead(*m, kFilterLowPass, ch, 0));
    const float hp = PlainRead(*m, kFilterHighPass, ch, 0);
    float y = 0.0f;
    if (b != nullptr) {
      y = FilterVoice(b, sections, ch, x, 1.0f - l, l, hp * hp);
      y = FilterPublish(*m, b, sections, ch, y);
    }
    m->Outputs[ch][0] = OutputElement{y, y};
  }
}

void ProcessFilterPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t sections = SectionsOf(*m);
  const ModuleRecord* owner = m->TriggerOwner;
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    if (FilterSharedSettings(*m, sections, ch, voices)) continue;
    const PortCursor input = OpenScaled(*m, kFilterInput, ch);
    const PortCursor low = OpenPlain(*m, kFilterLowPass, ch);
    const PortCursor high = OpenPlain(*m, kFilterHighPass, ch);
    for (int32_t v = 0; v < voices; ++v) {
      float* b = m->WorkBuffers[VoiceIdAt(owner, v)];
      const float x = input(v);
      const float l = std::fabs(low(v));
      const float hp = high(v);
      float y = 0.0f;
      if (b != nullptr) {
        y = FilterVoice(b, sections, ch, x, 1.0f - l, l, hp * hp);
        y = FilterPublish(*m, b, sections, ch, y);
      }
      m->Outputs[ch][v] = OutputElement{y, y};
    }
  }
  m->ActiveVoices = voices;
}

}  // namespace Tarvelo
