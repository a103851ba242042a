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

// The states: state i of voice id w is at(i * step + w); step is kVoices when
// every voice id has its buffer in the block, else 1 (voice id 0 only).
struct FilterRows {
  float* base;
  int32_t step;
  float& at(int32_t i, int32_t w) const { return base[i * step + w]; }
};

inline FilterRows RowsOf(const ModuleRecord& m) {
  return FilterRows{m.WorkBuffers[0], m.WorkBuffers[kVoices - 1] != nullptr ? kVoices : 1};
}

// Voice id w has states (a per-voice filter with one buffer has none beyond 0).
inline bool HasStates(const FilterRows& b, int32_t w) { return b.base != nullptr && (b.step == kVoices || w == 0); }

// One voice of one channel: returns the last section's output, computed from
// the states as they were before this frame.
inline float FilterVoice(const FilterRows& b, int32_t w, int32_t sections, int32_t ch, float x, float keep,
                         float l, float h2) {
  float o = 0.0f;
  for (int32_t j = 0; j < sections; ++j) {
    float& s = b.at(4 * j + ch, w);
    float& h = b.at(4 * j + 2 + ch, w);
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

inline float FilterPublish(ModuleRecord& m, const FilterRows& b, int32_t w, int32_t sections, int32_t ch,
                           float y) {
  if (!std::isfinite(y)) {
    // A state that is no longer a number would silence the voice for good:
    // the channel's sections start again from rest.
    for (int32_t j = 0; j < sections; ++j) b.at(4 * j + ch, w) = b.at(4 * j + 2 + ch, w) = 0.0f;
  }
  return ClipValue(y, m.ClipFlag);
}

// One section of voices 0 .. voices - 1 side by side, in place in the state
// rows: the steps of FilterVoice with the shared choices made by the variant.
// The loop runs over kLanes lanes (8, 16 or 32), a known length the compiler
// vectorizes whole; a lane past the voices writes its states back unchanged
// (the row holds kVoices states, one per voice id).
template <bool kHighOn, bool kFrozen, int32_t kLanes>
[[gnu::always_inline]] inline void SectionRow(float* __restrict x, float* __restrict s, float* __restrict h,
                                              int32_t voices, float keep, float h2) {
  for (int32_t v = 0; v < kLanes; ++v) {
    const float sv = s[v];
    const float hv = h[v];
    const float o = sv - hv;
    const float low = (x[v] - sv) * keep + sv;
    const float high = kHighOn ? (low - hv) * h2 + hv : 0.0f;
    const float kept = kFrozen ? static_cast<float>(static_cast<double>(low) * 0.99) : low;
    const int32_t voice = LaneMask(v, voices);
    h[v] = BlendLane(high, hv, voice);
    s[v] = BlendLane(kept, sv, voice);
    x[v] = o;
  }
}

template <int32_t kLanes>
[[gnu::always_inline]] inline void SectionLanes(float* x, float* s, int32_t sections, int32_t voices, float keep,
                                                float h2, bool highOn, bool frozen) {
  for (int32_t j = 0; j < sections; ++j) {
    float* low = s + 4 * j * kVoices;
    float* high = low + 2 * kVoices;
    if (highOn && frozen)
      SectionRow<true, true, kLanes>(x, low, high, voices, keep, h2);
    else if (highOn)
      SectionRow<true, false, kLanes>(x, low, high, voices, keep, h2);
    else if (frozen)
      SectionRow<false, true, kLanes>(x, low, high, voices, keep, h2);
    else
      SectionRow<false, false, kLanes>(x, low, high, voices, keep, h2);
  }
}

// The sections of one channel, the row of section j at s + 4 * j * kVoices;
// x holds the voices and zeros up to the lanes (8, 16 or 32) that cover them.
TARVELO_AVX2_VARIANT void SectionRows(float* x, float* s, int32_t sections, int32_t voices, float keep, float h2,
                                      bool highOn, bool frozen) {
  if (voices <= 8)
    SectionLanes<8>(x, s, sections, voices, keep, h2, highOn, frozen);
  else if (voices <= 16)
    SectionLanes<16>(x, s, sections, voices, keep, h2, highOn, frozen);
  else
    SectionLanes<kVoices>(x, s, sections, voices, keep, h2, highOn, frozen);
}

// Publishes y[v] at every position when each is a number within -1 .. 1, as
// FilterPublish would leave it; false (nothing written) otherwise.
TARVELO_AVX2_VARIANT bool PublishRow(OutputElement* out, const float* y, int32_t voices) {
  int32_t outside = 0;  // an integer reduction, which the compiler vectorizes
  for (int32_t v = 0; v < voices; ++v) outside |= static_cast<int32_t>(!(std::fabs(y[v]) <= 1.0f));
  if (outside != 0) return false;
  for (int32_t v = 0; v < voices; ++v) out[v] = OutputElement{y[v], y[v]};
  return true;
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
  const FilterRows b = RowsOf(m);
  // A filter fed by itself reads, voice by voice, outputs it has just written.
  // Below four voices the rows cost more than they save.
  if (voices >= 4 && b.base != nullptr && b.step == kVoices && m.PortSources[kFilterInput] != &m &&
      VoicesInPlace(owner, voices)) {
    alignas(64) float x[kVoices];
    ReadRow(input, voices, x);
    const int32_t lanes = voices <= 8 ? 8 : (voices <= 16 ? 16 : kVoices);
    for (int32_t v = voices; v < lanes; ++v) x[v] = 0.0f;
    SectionRows(x, &b.at(ch, 0), sections, voices, keep, h2, highOn, frozen);
    if (sections > 0 && PublishRow(m.Outputs[ch], x, voices)) return true;
    for (int32_t v = 0; v < voices; ++v) {
      const float y = sections > 0 ? FilterPublish(m, b, v, sections, ch, x[v]) : 0.0f;
      m.Outputs[ch][v] = OutputElement{y, y};
    }
    return true;
  }
  for (int32_t v = 0; v < voices; ++v) {
    const int32_t w = VoiceIdAt(owner, v);
    float in = input(v);
    float y = 0.0f;
    if (!HasStates(b, w)) {
      m.Outputs[ch][v] = OutputElement{y, y};
      continue;
    }
    for (int32_t j = 0; j < sections; ++j) {
      float& s = b.at(4 * j + ch, w);
      float& h = b.at(4 * j + 2 + ch, w);
      y = s - h;
      const float low = (in - s) * keep + s;
      h = highOn ? (low - h) * h2 + h : 0.0f;
      s = frozen ? static_cast<float>(static_cast<double>(low) * 0.99) : low;
      in = y;
    }
    y = FilterPublish(m, b, w, sections, ch, y);
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

float& FilterState(ModuleRecord& m, int32_t w, int32_t state) { return RowsOf(m).at(state, w); }

void ProcessFilterMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t sections = SectionsOf(*m);
  const FilterRows b = RowsOf(*m);
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float x = ScaledRead(*m, kFilterInput, ch, 0);
    const float l = std::fabs(PlainRead(*m, kFilterLowPass, ch, 0));
    const float hp = PlainRead(*m, kFilterHighPass, ch, 0);
    float y = 0.0f;
    if (b.base != nullptr) {
      y = FilterVoice(b, 0, sections, ch, x, 1.0f - l, l, hp * hp);
      y = FilterPublish(*m, b, 0, sections, ch, y);
    }
    m->Outputs[ch][0] = OutputElement{y, y};
  }
}

void ProcessFilterPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t sections = SectionsOf(*m);
  const ModuleRecord* owner = m->TriggerOwner;
  const FilterRows b = RowsOf(*m);
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    if (FilterSharedSettings(*m, sections, ch, voices)) continue;
    const PortCursor input = OpenScaled(*m, kFilterInput, ch);
    const PortCursor low = OpenPlain(*m, kFilterLowPass, ch);
    const PortCursor high = OpenPlain(*m, kFilterHighPass, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = VoiceIdAt(owner, v);
      const float x = input(v);
      const float l = std::fabs(low(v));
      const float hp = high(v);
      float y = 0.0f;
      if (HasStates(b, w)) {
        y = FilterVoice(b, w, sections, ch, x, 1.0f - l, l, hp * hp);
        y = FilterPublish(*m, b, w, sections, ch, y);
      }
      m->Outputs[ch][v] = OutputElement{y, y};
    }
  }
  m->ActiveVoices = voices;
}

}  // namespace Tarvelo
