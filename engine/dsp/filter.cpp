#include "engine/dsp/filter.h"

#include <cmath>
#include <cstring>

#include "engine/dsp/contract.h"
#include "engine/dsp/lanes8.h"

namespace Tarvelo {

namespace {

// Sections that fit the module's work buffer (28 floats hold all seven).
inline int32_t SectionsOf(const ModuleRecord& m) {
  int32_t n = FilterSections(m.Params[kFilterPasses].Value.LoadSettled());
  const int32_t fit = m.WorkBufferSize / 4;
  return n < fit ? n : fit;
}

// The states: state i of voice id w is at(i * step + w); step is kVoices when
// every voice id has its buffer in the block, else 1 (voice id 0 only).
// one thread: value
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

// The shared settings of one channel, as FilterVoice takes them.
// one thread: value
struct SharedSettings {
  float keep;
  float h2;
  int32_t kind;  // 1: the high pass on; 2: the low pass frozen
};

// One section on every chunk: the low row at low, the high row 2 * kVoices
// after it; x in, the section's outputs out.
template <int32_t kChunks, bool kFull, bool kHighOn, bool kFrozen>
[[gnu::always_inline]] inline void SectionLanes(Lanes8* x, float* low, Lanes8 keep, Lanes8 h2, const Mask8* voice) {
#pragma GCC unroll 4
  for (int32_t c = 0; c < kChunks; ++c) {
    float* lowRow = low + 8 * c;
    float* highRow = lowRow + 2 * kVoices;
    const Lanes8 sv = Load8(lowRow);
    const Lanes8 hv = Load8(highRow);
    const Lanes8 o = sv - hv;
    const Lanes8 next = (x[c] - sv) * keep + sv;
    const Lanes8 high = kHighOn ? (next - hv) * h2 + hv : Lanes8{};
    Lanes8 kept = next;
    if (kFrozen) kept = __builtin_convertvector(__builtin_convertvector(next, Wide8) * 0.99, Lanes8);
    if (kFull) {
      Store8(highRow, high);
      Store8(lowRow, kept);
    } else {
      Store8(highRow, Blend8(high, hv, voice[c]));
      Store8(lowRow, Blend8(kept, sv, voice[c]));
    }
    x[c] = o;
  }
}

// One channel: per chunk of eight lanes the input (zeros past the voices),
// the sections in turn over all chunks (the low row of section j at
// s + 4 * j * kVoices; a lane past the voices keeps its states), the last
// section's outputs published as {y, y} (whole chunks straight from the
// lanes, else through a row). Returns nonzero when a voice's output is not a
// number within -1 .. 1.
template <int32_t kChunks, bool kFull, bool kHighOn, bool kFrozen>
[[gnu::always_inline]] inline int32_t ChannelLanes(const PortCursor& input, OutputElement* out, float* s,
                                                   int32_t sections, int32_t voices, float keep, float h2) {
  const Lanes8 keepV = Splat8(keep);
  const Lanes8 h2V = Splat8(h2);
  const Mask8 lane0 = {0, 1, 2, 3, 4, 5, 6, 7};
  Mask8 voice[kChunks];
  Lanes8 x[kChunks];
#pragma GCC unroll 4
  for (int32_t c = 0; c < kChunks; ++c) {
    voice[c] = kFull ? ~Mask8{} : (lane0 + 8 * c) < voices;
    x[c] = ReadChunkScaled(input, c);
    if (!kFull) x[c] = Blend8(x[c], Lanes8{}, voice[c]);
  }
  // One to seven sections, written out: entered at the count, each step
  // moves on to the next section's rows.
  constexpr int32_t kSection = 4 * kVoices;
  float* low = s;
  switch (sections) {
    case 7: SectionLanes<kChunks, kFull, kHighOn, kFrozen>(x, low, keepV, h2V, voice); low += kSection; [[fallthrough]];
    case 6: SectionLanes<kChunks, kFull, kHighOn, kFrozen>(x, low, keepV, h2V, voice); low += kSection; [[fallthrough]];
    case 5: SectionLanes<kChunks, kFull, kHighOn, kFrozen>(x, low, keepV, h2V, voice); low += kSection; [[fallthrough]];
    case 4: SectionLanes<kChunks, kFull, kHighOn, kFrozen>(x, low, keepV, h2V, voice); low += kSection; [[fallthrough]];
    case 3: SectionLanes<kChunks, kFull, kHighOn, kFrozen>(x, low, keepV, h2V, voice); low += kSection; [[fallthrough]];
    case 2: SectionLanes<kChunks, kFull, kHighOn, kFrozen>(x, low, keepV, h2V, voice); low += kSection; [[fallthrough]];
    default: SectionLanes<kChunks, kFull, kHighOn, kFrozen>(x, low, keepV, h2V, voice);
  }
  Mask8 outside = {};
  alignas(32) float y[kFull ? 1 : 8 * kChunks];
#pragma GCC unroll 4
  for (int32_t c = 0; c < kChunks; ++c) {
    if (kFull)
      PublishChunk(out + 8 * c, x[c]);
    else
      Store8(y + 8 * c, x[c]);
    outside |= kFull ? OutsideUnit(x[c]) : OutsideUnit(x[c]) & voice[c];
  }
  if (!kFull) PublishPairs(out, y, voices);
  return AnyLaneSet(outside) ? 1 : 0;
}

template <int32_t kChunks, bool kFull>
[[gnu::always_inline]] inline int32_t ChannelChoices(const PortCursor& input, OutputElement* out, float* s,
                                                     int32_t sections, int32_t voices, SharedSettings c) {
  // The plain low pass, the usual setting, first.
  if (c.kind == 0) return ChannelLanes<kChunks, kFull, false, false>(input, out, s, sections, voices, c.keep, c.h2);
  switch (c.kind) {
    case 3: return ChannelLanes<kChunks, kFull, true, true>(input, out, s, sections, voices, c.keep, c.h2);
    case 1: return ChannelLanes<kChunks, kFull, true, false>(input, out, s, sections, voices, c.keep, c.h2);
    case 2: return ChannelLanes<kChunks, kFull, false, true>(input, out, s, sections, voices, c.keep, c.h2);
    default: return ChannelLanes<kChunks, kFull, false, false>(input, out, s, sections, voices, c.keep, c.h2);
  }
}

// Voice counts that leave part of a chunk: out of line, so that the whole
// chunks' path stays lean.
TARVELO_KERNEL_BUILDS(int32_t, PartialChannel, (ModuleRecord& m, int32_t ch, float* s, int32_t sections,
                                                 int32_t voices, SharedSettings c)) {
  const PortCursor input = OpenScaled(m, kFilterInput, ch);
  OutputElement* out = m.Outputs[ch];
  if (voices < 8) return ChannelChoices<1, false>(input, out, s, sections, voices, c);
  if (voices <= 16) return ChannelChoices<2, false>(input, out, s, sections, voices, c);
  return ChannelChoices<4, false>(input, out, s, sections, voices, c);
}

inline uint32_t FloatBits(float x) {
  uint32_t b;
  std::memcpy(&b, &x, sizeof(b));
  return b;
}

// The value a plain read gives voice position 0 (what every voice reads from
// a port whose voice-map row is 0).
inline float FirstPlain(const ModuleRecord& m, const ModuleRecord* s, int32_t p, int32_t ch) {
  const OutputElement& e = s->Outputs[SourceChannel(*s, ch)][0];
  return m.Params[p].OutputSide.LoadSettled() == 1 ? e.Frequency : e.Level;
}

// The published outputs of voices whose value is not a number within
// -1 .. 1: the clip rule, and the states started again where it is not a
// number.
[[gnu::noinline]] void PublishOutliers(ModuleRecord& m, int32_t sections, int32_t ch, int32_t voices) {
  const FilterRows b = RowsOf(m);
  for (int32_t v = 0; v < voices; ++v) {
    const float y = FilterPublish(m, b, v, sections, ch, m.Outputs[ch][v].Level);
    m.Outputs[ch][v] = OutputElement{y, y};
  }
}

using FilterSources = SourcesNow<kFilterInput, kFilterLowPass, kFilterHighPass>;

// One channel on the rows path (see RowsApply): the choices FilterVoice makes
// per section and voice are made once, and each voice takes exactly the steps
// it takes there.
[[gnu::always_inline]] inline void FilterRowsChannel(ModuleRecord& m, const FilterSources& src, int32_t sections,
                                                     int32_t ch, int32_t voices) {
  const float l = std::fabs(FirstPlain(m, src.At<kFilterLowPass>(), kFilterLowPass, ch));
  const float hp = FirstPlain(m, src.At<kFilterHighPass>(), kFilterHighPass, ch);
  SharedSettings c;
  c.keep = 1.0f - l;
  c.h2 = hp * hp;
  // On the bits: h2 is not +-0 (a NaN counts as on), l (no sign) is 1.
  c.kind = ((FloatBits(c.h2) & 0x7FFFFFFFu) != 0 ? 1 : 0) | (FloatBits(l) == 0x3F800000u ? 2 : 0);
  float* s = m.WorkBuffers[0] + ch * kVoices;
  int32_t outside;
  if (voices == 8 || voices == kVoices) {
    const PortCursor input = OpenPortOn(m, src.At<kFilterInput>(), kFilterInput, ch, true);
    if (voices == 8)
      outside = ChannelChoices<1, true>(input, m.Outputs[ch], s, sections, voices, c);
    else
      outside = ChannelChoices<4, true>(input, m.Outputs[ch], s, sections, voices, c);
  } else {
    outside = PartialChannel(m, ch, s, sections, voices, c);
  }
  if (outside != 0) PublishOutliers(m, sections, ch, voices);
}

// The second channel, out of line: the first one's reads then know their
// channel.
TARVELO_KERNEL_BUILDS(void, SecondChannel, (ModuleRecord& m, int32_t sections, int32_t voices)) {
  FilterRowsChannel(m, FilterSources(m), sections, 1, voices);
}

// Voice position v holds voice id v for voices 0 .. voices - 1 (the ids
// array holds 33 entries, so the lanes stay within it).
template <int32_t kChunks>
[[gnu::always_inline]] inline bool InPlaceLanes(const int32_t* ids, int32_t voices) {
  const Mask8 lane0 = {0, 1, 2, 3, 4, 5, 6, 7};
  Mask8 differ = {};
  for (int32_t c = 0; c < kChunks; ++c) {
    Mask8 id;
    std::memcpy(&id, ids + 8 * c, sizeof(id));
    differ |= (id ^ (lane0 + 8 * c)) & ((lane0 + 8 * c) < voices);
  }
  return !AnyLaneSet(differ);
}
inline bool InPlace(const ModuleRecord* owner, int32_t voices) {
  if (voices <= 8) return InPlaceLanes<1>(owner->VoiceIds, voices);
  if (voices <= 16) return InPlaceLanes<2>(owner->VoiceIds, voices);
  return InPlaceLanes<4>(owner->VoiceIds, voices);
}

// The rows path: the same settings for every voice (the low and high pass
// ports unlinked, or linked to a single-voice source), voices in place and
// states in rows, and the input not the filter's own output (which voices one
// after the other would read as they write it). Below four voices the rows
// cost more than they save.
inline bool RowsApply(const ModuleRecord& m, const FilterSources& src, int32_t sections, int32_t voices) {
  return voices >= 4 && sections > 0 && m.WorkBuffers[kVoices - 1] != nullptr && m.WorkBuffers[0] != nullptr &&
         ((m.Params[kFilterLowPass].VoiceMapRow | m.Params[kFilterHighPass].VoiceMapRow) & 1) == 0 &&
         !src.Has(&m) && InPlace(m.TriggerOwner.LoadSettled(), voices);
}

// The same settings for every voice but voices out of place (or too few, or
// the input the filter's own output): voice by voice by id. False when the
// settings differ by voice.
bool FilterSharedSettings(ModuleRecord& m, int32_t sections, int32_t ch, int32_t voices) {
  if ((m.Params[kFilterLowPass].VoiceMapRow & 1) != 0 ||
      (m.Params[kFilterHighPass].VoiceMapRow & 1) != 0 || m.PortSources[kFilterLowPass].LoadSettled() == &m ||
      m.PortSources[kFilterHighPass].LoadSettled() == &m)
    return false;
  const float l = std::fabs(OpenPlain(m, kFilterLowPass, ch)(0));
  const float hp = OpenPlain(m, kFilterHighPass, ch)(0);
  const float keep = 1.0f - l;
  const float h2 = hp * hp;
  const bool highOn = h2 != 0.0f;
  const bool frozen = l == 1.0f;
  const PortCursor input = OpenScaled(m, kFilterInput, ch);
  const ModuleRecord* owner = m.TriggerOwner.LoadSettled();
  const FilterRows b = RowsOf(m);
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

// Voice by voice by id: settings that differ by voice, voices out of place,
// too few, or the input the filter's own output.
[[gnu::noinline]] void FilterVoiceByVoice(ModuleRecord* m, int32_t voices) {
  const int32_t sections = SectionsOf(*m);
  const int32_t channels = KernelChannels(*m);
  const ModuleRecord* owner = m->TriggerOwner.LoadSettled();
  const FilterRows b = RowsOf(*m);
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
}

}  // namespace

int32_t FilterSections(float passes) {
  // floor(n) >= 1 exactly when n >= 1, floor(n) > 7 when n >= 8, and between
  // them floor is the truncation the conversion makes.
  const double n = static_cast<double>(passes) + 1e-6;
  if (!(n >= 1.0)) return 1;
  return n >= kFilterMaxSections + 1 ? kFilterMaxSections : static_cast<int32_t>(n);
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

// One call per frame: the rows path's choices and kernel inlined here, the
// AVX2 variant chosen once when the program starts (the catalog holds the
// chosen function's address).
TARVELO_KERNEL_BUILDS(void, ProcessFilterPoly, (ModuleRecord* m, uint64_t, int32_t, int32_t)) {
  const int32_t voices = VoicesNow(*m);
  m->ActiveVoices.Store(voices);
  if (voices == 0) return;
  // Below four voices the rows cost more than they save (see RowsApply):
  // straight on, before this function sets up anything.
  if (voices < 4) return FilterVoiceByVoice(m, voices);
  const int32_t sections = SectionsOf(*m);
  const int32_t channels = ChannelsNow(*m);
  const FilterSources src(*m);
  if (!RowsApply(*m, src, sections, voices)) return FilterVoiceByVoice(m, voices);
  FilterRowsChannel(*m, src, sections, 0, voices);
  if (channels == 2) SecondChannel(*m, sections, voices);
}

}  // namespace Tarvelo
