#include "engine/dsp/stepseq.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/dsp/contract.h"
#include "engine/dsp/control_common.h"
#include "engine/dsp/settings.h"
#include "engine/tuning.h"

namespace Tarvelo {

namespace {

// What the pattern settings say on one channel, read once per channel.
// one thread: value
struct StepPattern {
  int32_t length;
  uint32_t bits[kStepPatternWords];
};

inline StepPattern PatternOf(const ModuleRecord& m, int32_t ch) {
  StepPattern s;
  s.length = WholeSetting(SettingRead(m, kStepLength, ch), INT32_MIN / 2, INT32_MAX / 2);
  for (int32_t q = 0; q < kStepPatternWords; ++q) s.bits[q] = WholeBits(SettingRead(m, kStepPattern + q, ch));
  return s;
}

// The clock of one channel (and voice id). The elapsed time is t + rest: t
// as the state keeps it (rounded, as a synth file stores it), rest what it
// holds beyond single precision, kept beside it (VoiceStateRest). One float
// alone cannot add a frame's length to a time of seconds: past 32 s each step
// lasted 9 % long, and past 2,048 s the time stood still.
// one thread: value
struct StepClock {
  float x;      // the position in steps, from the time before the frame
  float t;      // the time a frame later,
  float rest;   // and its rest
  bool again;   // the position is past the pattern's end (or lost)
  bool loops;   // ... just past it: the next loop goes on from there
};

// One frame of the clock (StepLanes takes the same steps lane by lane). Past
// the end by less than a step, the loop goes on at the time past its length
// (TakeLoop): a restart at zero would lose a frame's part every loop, which
// two patterns at one tempo would hear drift apart.
[[gnu::always_inline]] inline StepClock ClockStep(float t0, float kept, float tempo, float lengthF, float quarter,
                                                  float inverse) {
  const float rest0 = KeptRest(t0, kept);
  const float k = tempo * quarter;
  const float x0 = std::fabs(k * t0 + k * rest0);
  // The sum t0 + inverse + rest0 as a float and what it rounded off.
  const float dt = inverse + rest0;
  const float t1 = t0 + dt;
  const float rest1 = dt - (t1 - t0);
  StepClock c;
  c.again = !(std::floor(x0) < lengthF);
  c.loops = c.again && lengthF > 0.0f && x0 - lengthF < 1.0f;
  c.x = c.loops ? x0 - lengthF : (c.again ? 0.0f : x0);
  c.t = c.again && !c.loops ? 0.0f : t1;
  c.rest = c.again && !c.loops ? 0.0f : rest1;
  return c;
}

// The time of a clock that ran past the pattern's end, one loop's length
// (length / |k| seconds, k the tempo in steps a second) earlier; in double
// precision, once a loop.
[[gnu::noinline]] void TakeLoop(float& t, float& rest, float tempo, int32_t length) {
  const float k = tempo * RateQuarter;
  const double left = (static_cast<double>(t) + static_cast<double>(rest)) -
                      static_cast<double>(length) / std::fabs(static_cast<double>(k));
  t = static_cast<float>(left);
  rest = static_cast<float>(left - static_cast<double>(t));
}

// One step-sequencer element. t and rest are the elapsed time of the channel
// (and voice id); the element is {V, F} while the step sounds, else {0, 0}.
inline OutputElement StepElement(const StepPattern& s, float& t, float& rest, float f, float vel, float tempo,
                                 float duty, bool rewind) {
  const StepClock c = ClockStep(t, rest, tempo, static_cast<float>(s.length), RateQuarter, RateInverse);
  t = c.t;
  rest = c.rest;
  if (c.loops) TakeLoop(t, rest, tempo, s.length);
  const float step = c.again ? 0.0f : std::floor(c.x);
  float x = c.x - step;
  if (duty < 0.0f) {
    x = -x;
    duty = -1.0f - duty;
  }
  bool sounds = false;
  if (x < duty) {
    // step is a whole number below length here.
    int32_t index = static_cast<int32_t>(step);
    if (tempo < 0.0f) index = s.length - index - 1;
    // Steps outside the five pattern words have no bit and stay silent.
    if (index >= 0 && index < kMaxSteps)
      sounds = ((s.bits[index / kStepsPerWord] >> (index % kStepsPerWord)) & 1u) != 0;
  }
  if (f == 0.0f && rewind) t = rest = 0.0f;
  return sounds ? OutputElement{vel, f} : OutputElement{0.0f, 0.0f};
}

// The Mapper's key frequency y (Hz) of an input, as the engine tuning's
// quantisers give it.
inline float MapperKey(float input, int32_t a, int32_t b, bool logarithmic) {
  return logarithmic ? TuningQuantizeLogPitch(EngineTuning, input, a, b) : TuningQuantizePitch(EngineTuning, input, a, b);
}

// The Mapper's element for one key frequency y, with a one-frame gap when
// island mode is on and the key changed.
inline OutputElement MapperElement(float y, float& stored, bool islands) {
  float f = y * FrequencyNorm;
  if (islands && y != stored) f = 0.0f;
  stored = y;
  return OutputElement{f != 0.0f ? 1.0f : 0.0f, f};
}

// A row of Mapper inputs snapped to keys. The quantisers' steps, laid out
// over 8, 16 or 32 lanes: the octave position p of each input, its octave o
// and key k by the same float operations; a lane whose p is finite, whose
// octave has a normal power of two and whose key lies within the octave
// takes base x 2^o x ratio[k] (the same product, in the same order); any
// other lane goes through the quantiser itself. Lanes past the last voice
// hold input 0.
// one thread: value
struct MapperRows {
  alignas(32) float input[kVoices];
  alignas(32) float position[kVoices];  // p
  alignas(32) float power[kVoices];     // 2^o
  alignas(32) float sign[kVoices];
  alignas(32) int32_t key[kVoices];     // k, or -1 where the quantiser decides
};

template <int32_t kLanes>
[[gnu::always_inline]] inline void MapperLanes(MapperRows& r, float keys) {
  for (int32_t v = 0; v < kLanes; ++v) {
    const float x = r.input[v];
    const float p = r.position[v];
    const bool finite = std::fabs(p) <= std::numeric_limits<float>::max();
    const float pf = finite ? p : 0.0f;
    const float low = pf < -1024.0f ? -1024.0f : pf;
    const float pc = low > 1024.0f ? 1024.0f : low;
    const float fo = std::floor(pc);
    const int32_t o = static_cast<int32_t>(fo);
    const float q = keys * (pf - fo);
    const bool inside = q >= 0.0f && q < keys && finite && fo >= -126.0f && fo <= 127.0f && x != 0.0f;
    // q is within 0 .. keys there: truncation is its floor.
    const int32_t k = static_cast<int32_t>(inside ? q : 0.0f);
    r.key[v] = inside ? k : -1;
    const int32_t e = inside ? o + 127 : 127;
    r.power[v] = std::bit_cast<float>(static_cast<uint32_t>(e) << 23);
    r.sign[v] = x > 0.0f ? 1.0f : -1.0f;
  }
}

TARVELO_KERNEL_BUILDS(void, MapperRow, (MapperRows& r, int32_t lanes, float keys)) {
  if (lanes == 8) return MapperLanes<8>(r, keys);
  if (lanes == 16) return MapperLanes<16>(r, keys);
  MapperLanes<kVoices>(r, keys);
}

// The key frequencies of the first n inputs of the rows into y.
void MapperKeys(MapperRows& r, int32_t n, int32_t a, int32_t b, bool logarithmic, float* y) {
  const int32_t lanes = n <= 8 ? 8 : (n <= 16 ? 16 : kVoices);
  for (int32_t v = n; v < lanes; ++v) r.input[v] = 0.0f;
  const float fa = static_cast<float>(a);
  const float fb = static_cast<float>(b);
  if (logarithmic) {
    for (int32_t v = n; v < lanes; ++v) r.position[v] = 0.0f;
    for (int32_t v = 0; v < n; ++v) {
      const double in = static_cast<double>(std::fabs(r.input[v]) + 1.0f);
      const float l = static_cast<float>(static_cast<double>(std::log(static_cast<float>(in))) * 1.4426950408889634);
      r.position[v] = fa + fb * l;
    }
  } else {
    for (int32_t v = 0; v < lanes; ++v) r.position[v] = fa + std::fabs(fb * r.input[v]);
  }
  const Tuning& t = EngineTuning;
  const bool hasKeys = t.NoteCount > 0 && t.RelativeRatios != nullptr && t.AbsoluteRatios != nullptr;
  MapperRow(r, lanes, hasKeys ? static_cast<float>(t.NoteCount) : 0.0f);
  const float base = t.BaseFrequency;
  const float* ratios = t.AbsoluteRatios;
  for (int32_t v = 0; v < n; ++v) {
    const int32_t k = r.key[v];
    if (k >= 0) {
      y[v] = r.sign[v] * (base * r.power[v] * ratios[k]);
    } else if (r.input[v] > 0.0f || r.input[v] < 0.0f) {
      y[v] = MapperKey(r.input[v], a, b, logarithmic);
    } else {
      y[v] = 0.0f;
    }
  }
}

// Octave settings beyond any tuning's reach are held at +-1024.
inline int32_t OctaveSetting(const ModuleRecord& m, int32_t p, int32_t ch) {
  return WholeSetting(SettingRead(m, p, ch), -1024, 1024);
}

}  // namespace

void ProcessStepSequencerMono(ModuleRecord* m, uint64_t, int32_t parity, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const bool rewind = SwitchOn(*m, kSwitchRewind);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const StepPattern s = PatternOf(*m, ch);
    m->Outputs[ch][0] =
        StepElement(s, m->VoiceState[ch][0], m->VoiceStateRest[ch][0], PlainRead(*m, kStepFrequency, ch, 0),
                    PlainRead(*m, kStepVelocity, ch, 0), PlainRead(*m, kStepTempo, ch, 0),
                    PlainRead(*m, kStepDuty, ch, 0), rewind);
  }
  if (m->VoicesToCompute > 0) {
    ModuleRecord* owner = m->TriggerOwner.LoadSettled() != nullptr ? m->TriggerOwner.LoadSettled() : m;
    MarkVoice(*owner, parity, 0);
    MarkVoice(*m, parity, 0);
  }
}

namespace {

// The voices of one channel side by side: StepElement's steps over 8, 16 or
// 32 lanes (every branch computed for every lane and the results selected),
// with only the pattern bits looked up voice by voice. Lanes past the last
// voice compute on zeros and are never published.
// one thread: value
struct StepRows {
  alignas(32) float time[kVoices];  // in and out
  alignas(32) float rest[kVoices];  // in and out
  alignas(32) float frequency[kVoices];
  alignas(32) float velocity[kVoices];
  alignas(32) float tempo[kVoices];
  alignas(32) float duty[kVoices];
  alignas(32) int32_t index[kVoices];  // the step whose bit decides, -1 where none does
  alignas(32) int32_t loops[kVoices];  // 1 where the clock goes on into the next loop
};

template <int32_t kLanes>
[[gnu::always_inline]] inline void StepLanes(StepRows& r, int32_t length, bool rewind) {
  const float quarter = RateQuarter;
  const float inverse = RateInverse;
  const float lengthF = static_cast<float>(length);
  const int32_t rewinds = rewind ? 1 : 0;
  const int32_t loopable = lengthF > 0.0f ? 1 : 0;
  // ClockStep's steps, as whole-number flags and selects.
  for (int32_t v = 0; v < kLanes; ++v) {
    const float t0 = r.time[v];
    const float rest0 = KeptRest(t0, r.rest[v]);
    const float tempo = r.tempo[v];
    const float k = tempo * quarter;
    const float x0 = std::fabs(k * t0 + k * rest0);
    const float floored = std::floor(x0);
    const float dt = inverse + rest0;
    const float t1 = t0 + dt;
    const float rest1 = dt - (t1 - t0);
    // Past the last step (or lost, as a NaN) the pattern starts again.
    const int32_t again = floored < lengthF ? 0 : 1;
    const int32_t loops = again & loopable & (x0 - lengthF < 1.0f ? 1 : 0);
    const int32_t restart = again & (loops ^ 1);
    const float x1 = loops != 0 ? x0 - lengthF : (again != 0 ? 0.0f : x0);
    const float step = again != 0 ? 0.0f : floored;
    const float x2 = x1 - step;
    const float d0 = r.duty[v];
    const int32_t negative = d0 < 0.0f ? 1 : 0;
    const float x = negative != 0 ? -x2 : x2;
    const float d = negative != 0 ? -1.0f - d0 : d0;
    // step is a whole number within 0 .. length - 1 here.
    const int32_t forward = static_cast<int32_t>(step);
    const int32_t i = tempo < 0.0f ? length - forward - 1 : forward;
    r.index[v] = x < d ? i : -1;
    const int32_t rewound = (r.frequency[v] == 0.0f ? 1 : 0) & rewinds;
    const int32_t zero = rewound | restart;
    r.time[v] = zero != 0 ? 0.0f : t1;
    r.rest[v] = zero != 0 ? 0.0f : rest1;
    r.loops[v] = loops & (rewound ^ 1);
  }
}

TARVELO_KERNEL_BUILDS(void, StepRow, (StepRows& r, int32_t n, int32_t length, bool rewind)) {
  if (n == 8) return StepLanes<8>(r, length, rewind);
  if (n == 16) return StepLanes<16>(r, length, rewind);
  StepLanes<kVoices>(r, length, rewind);
}

// Rows for a full row of 8 voices or more (below, their fixed cost is more
// than they save), every voice its own time (distinct ids), and no port
// reading the module's own outputs while they are written.
inline bool StepRowsPay(const ModuleRecord& m, int32_t voices, bool& inPlace) {
  if (voices < 8) return false;
  for (int32_t p = kStepFrequency; p <= kStepDuty; ++p)
    if (m.PortSources[p].LoadSettled() == &m) return false;
  uint32_t seen = 0;
  int32_t moved = 0;
  for (int32_t v = 0; v < voices; ++v) {
    const uint32_t bit = 1u << m.VoiceIds[v];
    if ((seen & bit) != 0) return false;
    seen |= bit;
    moved |= m.VoiceIds[v] ^ v;
  }
  inPlace = moved == 0;
  return true;
}

}  // namespace

void ProcessStepSequencerPoly(ModuleRecord* m, uint64_t, int32_t parity, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const int32_t n = KernelVoices(*m);
  const bool rewind = SwitchOn(*m, kSwitchRewind);
  ModuleRecord* owner = m->TriggerOwner.LoadSettled() != nullptr ? m->TriggerOwner.LoadSettled() : m;
  for (int32_t v = 0; v < n; ++v) {
    const int32_t w = VoiceIdAt(owner, v);
    m->VoiceIds[v] = w;
    MarkVoice(*owner, parity, w);
    MarkVoice(*m, parity, w);
  }
  bool inPlace = false;
  if (StepRowsPay(*m, n, inPlace)) {
    StepRows r;
    const int32_t lanes = n <= 8 ? 8 : (n <= 16 ? 16 : kVoices);
    for (int32_t v = n; v < lanes; ++v)
      r.time[v] = r.rest[v] = r.frequency[v] = r.velocity[v] = r.tempo[v] = r.duty[v] = 0.0f;
    const int32_t* ids = m->VoiceIds;
    for (int32_t ch = 0; ch < channels; ++ch) {
      const StepPattern s = PatternOf(*m, ch);
      ReadRow(OpenPlain(*m, kStepFrequency, ch), n, r.frequency);
      ReadRow(OpenPlain(*m, kStepVelocity, ch), n, r.velocity);
      ReadRow(OpenPlain(*m, kStepTempo, ch), n, r.tempo);
      ReadRow(OpenPlain(*m, kStepDuty, ch), n, r.duty);
      float* times = m->VoiceState[ch];
      float* rests = m->VoiceStateRest[ch];
      if (inPlace) {
        for (int32_t v = 0; v < n; ++v) r.time[v] = times[v];
        for (int32_t v = 0; v < n; ++v) r.rest[v] = rests[v];
      } else {
        for (int32_t v = 0; v < n; ++v) {
          r.time[v] = times[ids[v]];
          r.rest[v] = rests[ids[v]];
        }
      }
      StepRow(r, lanes, s.length, rewind);
      // A clock past the pattern's end goes on into the next loop.
      int32_t looped = 0;
      for (int32_t v = 0; v < lanes; ++v) looped |= r.loops[v];
      if (looped != 0) [[unlikely]]
        for (int32_t v = 0; v < n; ++v)
          if (r.loops[v] != 0) TakeLoop(r.time[v], r.rest[v], r.tempo[v], s.length);
      if (inPlace) {
        for (int32_t v = 0; v < n; ++v) times[v] = r.time[v];
        for (int32_t v = 0; v < n; ++v) rests[v] = r.rest[v];
      } else {
        for (int32_t v = 0; v < n; ++v) {
          times[ids[v]] = r.time[v];
          rests[ids[v]] = r.rest[v];
        }
      }
      OutputElement* out = m->Outputs[ch];
      for (int32_t v = 0; v < n; ++v) {
        const int32_t i = r.index[v];
        // Steps outside the five pattern words have no bit and stay silent.
        const bool sounds = i >= 0 && i < kMaxSteps && ((s.bits[i / kStepsPerWord] >> (i % kStepsPerWord)) & 1u) != 0;
        out[v] = sounds ? OutputElement{r.velocity[v], r.frequency[v]} : OutputElement{0.0f, 0.0f};
      }
    }
    m->ActiveVoices.Store(n);
    return;
  }
  for (int32_t ch = 0; ch < channels; ++ch) {
    const StepPattern s = PatternOf(*m, ch);
    const PortCursor f = OpenPlain(*m, kStepFrequency, ch);
    const PortCursor vel = OpenPlain(*m, kStepVelocity, ch);
    const PortCursor tempo = OpenPlain(*m, kStepTempo, ch);
    const PortCursor duty = OpenPlain(*m, kStepDuty, ch);
    for (int32_t v = 0; v < n; ++v) {
      const int32_t w = m->VoiceIds[v];
      m->Outputs[ch][v] =
          StepElement(s, m->VoiceState[ch][w], m->VoiceStateRest[ch][w], f(v), vel(v), tempo(v), duty(v), rewind);
    }
  }
  m->ActiveVoices.Store(n);
}

void ProcessMapperMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const bool logarithmic = SwitchOn(*m, kSwitch1);
  const bool islands = SwitchOn(*m, kSwitchZeroOut);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float y = MapperKey(PlainRead(*m, kMapperInput, ch, 0), OctaveSetting(*m, kMapperOctaveMin, ch),
                              OctaveSetting(*m, kMapperOctaveRange, ch), logarithmic);
    m->Outputs[ch][0] = MapperElement(y, m->VoiceState[ch][0], islands);
  }
}

void ProcessMapperPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const int32_t n = KernelVoices(*m);
  const bool logarithmic = SwitchOn(*m, kSwitch1);
  const bool islands = SwitchOn(*m, kSwitchZeroOut);
  // A Mapper reading its own outputs reads each voice before it is written.
  const bool rows = n > 1 && m->PortSources[kMapperInput].LoadSettled() != m;
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor input = OpenPlain(*m, kMapperInput, ch);
    const int32_t a = OctaveSetting(*m, kMapperOctaveMin, ch);
    const int32_t b = OctaveSetting(*m, kMapperOctaveRange, ch);
    float* stored = m->VoiceState[ch];
    OutputElement* out = m->Outputs[ch];
    if (rows) {
      MapperRows r;
      alignas(32) float y[kVoices];
      ReadRow(input, n, r.input);
      MapperKeys(r, n, a, b, logarithmic, y);
      for (int32_t v = 0; v < n; ++v) out[v] = MapperElement(y[v], stored[v], islands);
    } else {
      for (int32_t v = 0; v < n; ++v) out[v] = MapperElement(MapperKey(input(v), a, b, logarithmic), stored[v], islands);
    }
  }
  m->ActiveVoices.Store(n);
}

}  // namespace Tarvelo
