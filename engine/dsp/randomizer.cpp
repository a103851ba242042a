#include "engine/dsp/randomizer.h"

#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/dsp/settings.h"

namespace Tarvelo {

namespace {

// One voice w at position v of channel ch: counts down its frames, and draws
// when they are used up.
inline void RandomizerVoice(ModuleRecord& m, int32_t ch, int32_t v, int32_t w, bool hold, bool linked,
                            float gain, const PortCursor& input, const PortCursor& bias,
                            const PortCursor& resolution, const PortCursor& period) {
  float& counter = m.VoiceState[ch][w];
  const float p = hold ? 0.0f : std::fabs(period(v)) * static_cast<float>(RateWhole);
  if (!(p > 0.0f)) {
    // Frozen: the value stays, and a positive period draws at once.
    counter = 0.0f;
    return;
  }
  if (!(counter > 0.0f)) {
    // The next draw is a period after this one was due, not after the frame
    // that took it: a period is rarely whole frames, and a draw a frame late
    // each period would drift (at 0.0123 s, a minute of draws a second late
    // an hour).
    const float next = counter + p;
    counter = next > 0.0f ? next : p;
    const float r = linked ? input(v) : 2.0f * RandomUnit() - 1.0f;
    double y = static_cast<double>(r) * static_cast<double>(gain) + static_cast<double>(bias(v));
    const double step = std::fabs(static_cast<double>(resolution(v)));
    if (step > 0.0) {
      const double q = std::floor(std::fabs(y) / step) * step;
      y = y < 0.0 ? -q : (y > 0.0 ? q : 0.0);
    }
    const float out = ClipValue(static_cast<float>(y), m.ClipFlag);
    m.Outputs[ch][v] = OutputElement{out, out};
  }
  counter = counter - 1.0f;
}

template <bool kPerVoice>
void RunRandomizer(ModuleRecord* m) {
  const bool hold = SwitchOn(*m, kSwitchHold);
  const bool linked = m->PortSources[kRandomInput].LoadSettled()->Role == kRoleLive;
  const ModuleRecord* owner = m->TriggerOwner.LoadSettled();
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = kPerVoice ? KernelVoices(*m) : 1;
  for (int32_t ch = 0; ch < channels; ++ch) {
    // The input port's set value: the amplitude of the random value, or the
    // gain on the linked input.
    const float gain = SettingRead(*m, kRandomInput, ch);
    const PortCursor input = OpenPlain(*m, kRandomInput, ch);
    const PortCursor bias = OpenPlain(*m, kRandomBias, ch);
    const PortCursor resolution = OpenPlain(*m, kRandomResolution, ch);
    const PortCursor period = OpenPlain(*m, kRandomPeriod, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = kPerVoice ? VoiceIdAt(owner, v) : 0;
      RandomizerVoice(*m, ch, v, w, hold, linked, gain, input, bias, resolution, period);
    }
  }
  if (kPerVoice) m->ActiveVoices.Store(voices);
}

}  // namespace

void ProcessRandomizerMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { RunRandomizer<false>(m); }

void ProcessRandomizerPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) { RunRandomizer<true>(m); }

}  // namespace Tarvelo
