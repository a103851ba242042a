// What every process function shares: how an input port is read, the clip
// rule, voice ids of a trigger owner and the per-frame trigger handshake.
// Everything here runs once per module, channel and voice at the audio rate,
// so it is inline and branch-light; nothing allocates or locks.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/dsp/kernel_choice.h"
#include "engine/globals.h"
#include "engine/module.h"

namespace Tarvelo {

// Sign of x as a float: -1, 0 or +1 (0 for a NaN).
inline float SgnF(float x) { return x > 0.0f ? 1.0f : (x < 0.0f ? -1.0f : 0.0f); }

// The clip rule: a value outside -1..1, or one that is not a number, becomes
// its sign (0 for a NaN) and raises the module's ClipFlag.
inline float ClipValue(float x, Shared<int64_t>& clipFlag) {
  if (!(1.0f >= std::fabs(x))) [[unlikely]] {
    clipFlag.Store(-1);
    return SgnF(x);
  }
  return x;
}

// A rest kept beside a single-precision time, phase or position
// (VoiceStateRest, SamplePositionRest), the two added being the exact value:
// taken only while it adds nothing the value itself can hold. One that does
// not fit (a reset, a rewind or a load wrote the value) is not taken.
[[gnu::always_inline]] inline float KeptRest(float value, float rest) { return value + rest == value ? rest : 0.0f; }

// The same limit without touching the flag (octave-board frequencies).
inline float LimitValue(float x) { return 1.0f >= std::fabs(x) ? x : SgnF(x); }

// Source channel that channel ch of a reader takes from a source publishing
// n channels. Counts outside 0..2 read channel 0 (a channel count is always
// 1 or 2 once a module is in the processing order). Channel 0 reads channel
// 0 of every source (column 0 of the map is 0 in every row, before start-up
// too), without the look-up.
inline int32_t SourceChannel(int32_t n, int32_t ch) {
  if (ch == 0) return 0;
  return static_cast<uint32_t>(n) < 3u ? ChannelMap[n][ch] : 0;
}
// The same for source s, whose count is read only when channel 0 does not
// settle it.
inline int32_t SourceChannel(const ModuleRecord& s, int32_t ch) {
  return ch == 0 ? 0 : SourceChannel(s.ChannelsProcessed.LoadSettled(), ch);
}

// The raw value that port p reads for channel ch and voice position v: the
// level or the frequency of the source's element, through the channel and
// voice maps.
inline float PlainRead(const ModuleRecord& m, int32_t p, int32_t ch, int32_t v) {
  const ModuleRecord* s = m.PortSources[p].LoadSettled();
  const ModuleParam& param = m.Params[p];
  const int32_t sc = SourceChannel(*s, ch);
  const int32_t sv = VoiceMap[param.VoiceMapRow & 1][v];
  const OutputElement& e = s->Outputs[sc][sv];
  return param.OutputSide.LoadSettled() == 1 ? e.Frequency : e.Level;
}

// A linked port's set value acts as a gain on the linked signal; an unlinked
// or global port reads its value module, which already is the set value.
inline float ScaledRead(const ModuleRecord& m, int32_t p, int32_t ch, int32_t v) {
  const float raw = PlainRead(m, p, ch, v);
  if (m.PortSources[p].LoadSettled()->Role != kRoleLive) return raw;
  const ModuleRecord* k = m.PortValueModules[p];
  if (k == nullptr) return raw;
  return raw * k->Outputs[SourceChannel(*k, ch)][0].Level;
}

// A port opened for one channel: the same reads as PlainRead and ScaledRead,
// with everything that does not depend on the voice position looked up once
// per channel instead of once per voice: the side read becomes a float row,
// and the voice map's rows (0 for every voice, or the position itself) a
// stride. It reads the source's outputs live, so a port linked to its own
// module still sees the voices written so far.
static_assert(sizeof(OutputElement) == 2 * sizeof(float) && offsetof(OutputElement, Frequency) == sizeof(float),
              "a port reads the elements as a row of floats");
// one thread: value
struct PortCursor {
  const float* values;  // the read side of the source's element 0 on its channel row
  int32_t stride;       // floats from one voice to the next: 2, or 0 when every voice reads element 0
  float gain;           // the set value of a linked port under ScaledRead, else 1

  float operator()(int32_t v) const { return values[v * stride] * gain; }
};

// OpenPort on source s, port p's source as the caller read it: a kernel that
// looked at the source already reads the word once.
inline PortCursor OpenPortOn(const ModuleRecord& m, const ModuleRecord* s, int32_t p, int32_t ch, bool scaled) {
  const ModuleParam& param = m.Params[p];
  const OutputElement* row = s->Outputs[SourceChannel(*s, ch)];
  PortCursor c{param.OutputSide.LoadSettled() == 1 ? &row->Frequency : &row->Level, (param.VoiceMapRow & 1) != 0 ? 2 : 0, 1.0f};
  if (scaled && s->Role == kRoleLive) {
    const ModuleRecord* k = m.PortValueModules[p];
    // Multiplying by 1 leaves every value (a NaN too) as PlainRead gives it.
    if (k != nullptr) c.gain = k->Outputs[SourceChannel(*k, ch)][0].Level;
  }
  return c;
}
inline PortCursor OpenPort(const ModuleRecord& m, int32_t p, int32_t ch, bool scaled) {
  return OpenPortOn(m, m.PortSources[p].LoadSettled(), p, ch, scaled);
}

// The sources of ports kPorts, each read once for the frame: a kernel that
// first looks at them (is one of them the module itself?) opens its ports on
// what it looked at.
// one thread: value
template <int32_t... kPorts>
struct SourcesNow {
  const ModuleRecord* of[sizeof...(kPorts)];
  explicit SourcesNow(const ModuleRecord& m) : of{m.PortSources[kPorts].LoadSettled()...} {}
  template <int32_t kPort>
  const ModuleRecord* At() const {
    constexpr int32_t kList[] = {kPorts...};
    constexpr int32_t i = [&] {
      int32_t k = 0;
      while (kList[k] != kPort) ++k;
      return k;
    }();
    return of[i];
  }
  bool Has(const ModuleRecord* x) const {
    bool found = false;
    for (const ModuleRecord* s : of) found |= s == x;
    return found;
  }
};
inline PortCursor OpenPlain(const ModuleRecord& m, int32_t p, int32_t ch) { return OpenPort(m, p, ch, false); }
inline PortCursor OpenScaled(const ModuleRecord& m, int32_t p, int32_t ch) { return OpenPort(m, p, ch, true); }

// The set value of parameter p as its value module publishes it on channel ch.
inline float PortValueLevel(const ModuleRecord& m, int32_t p, int32_t ch = 0) {
  const ModuleRecord* k = m.PortValueModules[p];
  return k != nullptr ? k->Outputs[ch][0].Level : m.Params[p].Value.LoadSettled();
}

// Voice id of voice position v as trigger owner t numbers its voices. Ids are
// 0..31 by construction; anything else reads as voice 0 rather than reaching
// past the per-voice state.
inline int32_t VoiceIdAt(const ModuleRecord* t, int32_t v) {
  const int32_t w = t->VoiceIds[v];
  return static_cast<uint32_t>(w) < static_cast<uint32_t>(kVoices) ? w : 0;
}

// The module whose TriggerOwner leads the voices that port p brings.
inline const ModuleRecord* PortTriggerOwner(const ModuleRecord& m, int32_t p) {
  return m.PortSources[p].LoadSettled()->TriggerOwner.LoadSettled();
}

// Trigger handshake: a follower that still sounds voice id w marks it in the
// owner's buffer of the current parity; the owner reads the previous parity.
constexpr uint32_t kVoiceMark = 0xFFFFFFFFu;
inline void MarkVoice(ModuleRecord& owner, int32_t parity, int32_t w) {
  owner.TriggerBuffers[parity & 1][w] = kVoiceMark;
}
inline bool VoiceMarked(const ModuleRecord& owner, int32_t previousParity, int32_t w) {
  return owner.TriggerBuffers[previousParity & 1][w] != 0;
}

// Kernels that gain from a newer instruction set (floor as one instruction,
// wider vectors) come in a plain and an AVX2 build of the same body, one of
// them chosen as the program loads (TakeAvx2Kernels: the processor, and the
// environment's switch to the plain builds). The steps and their rounding stay
// the same: AVX2 brings no FMA. Voice loops written without branches (every
// step computed for every voice, the results selected) vectorize only in files
// built with -fno-trapping-math (see CMakeLists.txt).
//   TARVELO_KERNEL_BUILDS(void, Name, (int32_t a, float b)) { ... }
// defines Name as an indirect function: its chooser runs while the program is
// relocated, so a caller (or a table holding Name's address) reaches the chosen
// build directly. Not under ThreadSanitizer, whose runtime is not yet there
// when the chooser runs: such builds take the plain body only.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define TARVELO_AVX2_BUILDS 1

template <auto kBody>
struct KernelBuilds;
template <typename R, typename... A, R (*kBody)(A...)>
struct KernelBuilds<kBody> {
  [[gnu::target("avx2")]] static R Avx2(A... a) { return kBody(a...); }
  static R Plain(A... a) { return kBody(a...); }
  __attribute__((no_sanitize("address", "undefined", "thread"))) static auto Choose() -> R (*)(A...) {
    return TakeAvx2Kernels(false) ? &Avx2 : &Plain;
  }
};

#define TARVELO_KERNEL_BUILDS(R, name, params)                                                        \
  R name params __attribute__((ifunc("tarvelo_builds_" #name)));                                      \
  [[gnu::always_inline]] inline R name##Body params;                                                  \
  __attribute__((no_sanitize("address", "undefined", "thread"), used)) static auto name##Builds()     \
      ->decltype(&name##Body) asm("tarvelo_builds_" #name);                                           \
  static auto name##Builds()->decltype(&name##Body) { return KernelBuilds<&name##Body>::Choose(); }   \
  [[gnu::always_inline]] inline R name##Body params

// Whether the kernels that choose their AVX2 build at start-up by a flag of
// their own take it (AVX2 only, no FMA).
inline bool CpuHasAvx2() { return TakeAvx2Kernels(false); }
#else
#define TARVELO_KERNEL_BUILDS(R, name, params) R name params
#endif

// Voice ids of positions 0..n-1 as trigger owner t numbers them, into ids.
// True when no two positions share an id: each voice's state is then its own,
// and the voices may be computed side by side with the result of computing
// them one after the other.
inline bool DistinctVoiceIds(const ModuleRecord* t, int32_t n, int32_t* ids) {
  uint64_t seen = 0;
  bool distinct = true;
  for (int32_t v = 0; v < n; ++v) {
    const int32_t w = VoiceIdAt(t, v);
    ids[v] = w;
    const uint64_t bit = uint64_t{1} << w;
    distinct = distinct && (seen & bit) == 0;
    seen |= bit;
  }
  return distinct;
}

// Voice position v holds voice id v for every voice: per-voice states kept
// by id lie side by side in rows by position.
inline bool VoicesInPlace(const ModuleRecord* owner, int32_t voices) {
  const int32_t* ids = owner->VoiceIds;
  int32_t differ = 0;  // an integer reduction, which the compiler vectorizes
  for (int32_t v = 0; v < voices; ++v) differ |= ids[v] ^ v;
  return differ == 0;
}

// Reads n voices of an opened port into a row (the two strides apart, so
// that each loop vectorizes).
inline void ReadRow(const PortCursor& c, int32_t n, float* row) {
  if (c.stride == 0) {
    const float x = c(0);
    for (int32_t v = 0; v < n; ++v) row[v] = x;
  } else {
    for (int32_t v = 0; v < n; ++v) row[v] = c.values[2 * v] * c.gain;
  }
}

// Rows computed over a fixed number of lanes (8, 16 or 32: loops of known
// length the compiler vectorizes whole) cover the voices and some lanes
// past them. LaneMask is all ones for a lane that is a voice, else 0;
// BlendLane gives the lane's new value where it is a voice, else its old one,
// bit for bit: a blend of the bits, which stays a vector operation where a
// select of floats written back would become a conditional store.
constexpr int32_t kLaneNumbers[kVoices] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                           16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
inline int32_t LaneMask(int32_t lane, int32_t voices) { return -static_cast<int32_t>(kLaneNumbers[lane] < voices); }
inline float BlendLane(float fresh, float old, int32_t mask) {
  uint32_t a;
  uint32_t b;
  std::memcpy(&a, &fresh, 4);
  std::memcpy(&b, &old, 4);
  const uint32_t m = static_cast<uint32_t>(mask);
  const uint32_t c = (a & m) | (b & ~m);
  float r;
  std::memcpy(&r, &c, 4);
  return r;
}
inline int32_t LanesFor(int32_t voices) { return voices <= 8 ? 8 : (voices <= 16 ? 16 : kVoices); }

// Reads kLanes voices of an opened port into a row. The lanes past the
// source's voices read what its outputs hold there (kLanes <= kVoices stays
// within its row).
template <int32_t kLanes>
[[gnu::always_inline]] inline void ReadLanes(const PortCursor& c, float* row) {
  if (c.stride == 0) {
    const float x = c(0);
    for (int32_t v = 0; v < kLanes; ++v) row[v] = x;
  } else {
    for (int32_t v = 0; v < kLanes; ++v) row[v] = c.values[2 * v] * c.gain;
  }
}

// Publishes y[0..n-1] as the elements {y, y} of a signal type's output row,
// four elements (two vectors) at a time: an element's two floats are the
// same row float, which a compiler does not turn into an interleaving store
// by itself. The elements past n are not touched.
inline void PublishPairs(OutputElement* out, const float* y, int32_t n) {
  int32_t v = 0;
#if defined(__SSE2__)
  float* o = &out[0].Level;
  for (; v + 4 <= n; v += 4) {
    const __m128 x = _mm_loadu_ps(y + v);
    _mm_storeu_ps(o + 2 * v, _mm_unpacklo_ps(x, x));
    _mm_storeu_ps(o + 2 * v + 4, _mm_unpackhi_ps(x, x));
  }
#endif
  for (; v < n; ++v) out[v] = OutputElement{y[v], y[v]};
}

// Module switch words as booleans.
inline bool SwitchOn(const ModuleRecord& m, int32_t word) { return m.ModuleSwitches[word].Load() != 0; }

// Channels a kernel loops over: ChannelsProcessed, kept within the two rows
// that processing uses.
inline int32_t KernelChannels(const ModuleRecord& m) {
  const int32_t n = m.ChannelsProcessed.LoadSettled();
  return n < 1 ? 1 : (n > 2 ? 2 : n);
}

// Voice positions a per-voice kernel computes this frame (0..32).
inline int32_t KernelVoices(const ModuleRecord& m) {
  const int32_t n = m.VoicesToCompute;
  return n < 0 ? 0 : (n > kVoices ? kVoices : n);
}

// KernelVoices and KernelChannels with the usual counts taken at once (a
// compare and a branch the processor predicts).
inline int32_t VoicesNow(const ModuleRecord& m) {
  const int32_t n = m.VoicesToCompute;
  return static_cast<uint32_t>(n) <= static_cast<uint32_t>(kVoices) ? n : KernelVoices(m);
}
inline int32_t ChannelsNow(const ModuleRecord& m) {
  const int32_t n = m.ChannelsProcessed.LoadSettled();
  return static_cast<uint32_t>(n - 1) < 2u ? n : KernelChannels(m);
}

// A setting turned into a whole number: nearest, ties to even, kept within
// lo..hi so that a hostile stored value (huge, infinite or not a number) cannot
// overflow the conversion. A NaN gives lo.
inline int32_t WholeSetting(float x, int32_t lo, int32_t hi) {
  // Compared in double: every int32 limit is exact there.
  const double r = std::nearbyint(static_cast<double>(x));
  if (!(r >= static_cast<double>(lo))) return lo;
  if (!(r <= static_cast<double>(hi))) return hi;
  return static_cast<int32_t>(r);
}

}  // namespace Tarvelo
