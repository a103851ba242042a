// Rendering speed of 32-voice synths built from the catalog, a Keyboard holding
// 32 notes in both:
// - BM_Render32Voices: a per-voice ADSR envelope and a per-voice Oscillator
//   driven by it, the Oscillator as the synth output;
// - BM_Render32VoiceChain: Keyboard -> ADSR -> Oscillator -> Filter -> Delay
//   -> Mixer, every module per voice (each voice keeps its own filter state
//   and delay line; the Mixer sums the delayed and the dry voice), the Mixer
//   as the synth output.
// - BM_SawFilters: a Keyboard holding n notes (0, 1, 8, 32) -> ADSR ->
//   sawtooth Oscillator -> Filter -> Filter, every module per voice, the
//   second Filter as the synth output (one channel, heard on both): the
//   fixed cost of a frame with no voices, and what each voice adds;
// - BM_Fm16: two-operator FM, every module per voice: Keyboard -> ADSR; a
//   sine Oscillator at the note's frequency, its amplitude the envelope times
//   240 Hz -> Addition (the note's frequency + the modulator) -> a sine
//   Oscillator at that frequency, amplitude the envelope x 0.03; 16 notes;
// - BM_Wide64x8: a wide patch, every module per voice: Keyboard -> ADSR, 15
//   partials k = 1..15 of Harmonic k -> Oscillator (sine, triangle, square,
//   sawtooth in turn; amplitude the envelope / k) -> Filter (one-pole low pass
//   at 1500 + 400 (k - 1) Hz) -> Distortion (factor 0.05), a Mixer of the 15
//   at 0.03, then a low pass at 4 kHz; 8 notes;
// - BM_MonoChain: a long chain of one-voice modules, each feeding the next:
//   a sine Oscillator, then Filter, Distortion, Delay and Addition (the
//   chain plus a constant) in turn, n modules in all (64), the last the
//   synth output; no Keyboard: what a module costs a frame where no voices
//   share it;
// - BM_AdditionChain: the same with Additions only after the Oscillator, the
//   cheapest kernel: mostly the render loop's own cost per module and frame;
// - BM_SawFilters30s, BM_Fm16_30s, BM_Wide64x8_30s: each synth with all its
//   notes, one run of exactly 30 seconds, to time the whole program against
//   another engine rendering the same patch (bench/compare_csound.sh; the
//   other engine's scores are ../shared/bench/*_k*_30s.csd);
// - BM_*Once: one second once, for instruction counts under callgrind;
// - BM_EnvelopeOnce: Keyboard -> ADSR -> square Oscillator, all per voice,
//   32 notes, the envelope's velocity set as a constant 0.8 (0) or linked to
//   the Keyboard (1): what the envelope costs either way
//   (bench/instructions.sh envelope).
// Notes are 110 Hz x 2^(k/12), k = 0, 1, ..., velocity 0.8, held throughout.
// Each iteration renders 10 seconds at 48,000 Hz in 10 ms stream buffers;
// "realtime" is rendered seconds per CPU second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/adsr.h"
#include "engine/dsp/arithmetic.h"
#include "engine/dsp/delay.h"
#include "engine/dsp/distortion.h"
#include "engine/dsp/filter.h"
#include "engine/dsp/mixer.h"
#include "engine/dsp/oscillators.h"
#include "engine/dsp/pitch.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/render.h"
#include "engine/tuning.h"

namespace {

using namespace Tarvelo;

constexpr int32_t kRate = 48000;
constexpr int32_t kSeconds = 10;
constexpr int32_t kBufferFloats = 2 * kRate / 100;  // 10 ms of stereo

// Module types without a name in the engine's own headers.
constexpr int32_t kTypeHarmonic = 6;
constexpr int32_t kTypeDelay = 15;
constexpr int32_t kTypeFilter = 22;
constexpr int32_t kTypeDistortion = 23;
constexpr int32_t kTypeAddition = 33;

// Wave shapes by their place in the shape table.
constexpr int32_t kShapeSine = 0;
constexpr int32_t kShapeSawtooth = 3;

ModuleRecord* Add(int32_t type) {
  ModuleRecord* m = nullptr;
  AddModule(type, true, &m);
  return m;
}

void PerVoice(ModuleRecord* m) {
  m->ModuleSwitches[kSwitchPerVoice].Store(-1);
  m->PolyphonyMode.Store(1);
}

void Link(ModuleRecord* m, int32_t port, ModuleRecord* source) {
  ModuleLinkInput(*m, port, source, &ModuleCatalog[m->Type]);
}

// Port p reads the other side of its source (the frequency of a level port),
// as the module panel's domain switch sets it.
void ReadOtherSide(ModuleRecord* m, int32_t p) {
  ModuleParam& param = m->Params[p];
  param.SideSwap = -1;
  param.OutputSide.Store(param.DefaultOutputSide != 0 ? 0 : 1);
}

// The Filter's low-pass setting that gives the one-pole low pass of the other
// engine's `tone` at hz: its feedback coefficient b - sqrt(b^2 - 1), b = 2 -
// cos(2 pi hz / rate).
float LowPassAt(double hz) {
  const double b = 2.0 - std::cos(2.0 * M_PI * hz / static_cast<double>(kRate));
  return static_cast<float>(b - std::sqrt(b * b - 1.0));
}

// Keyboard of `voices` voices -> ADSR with the other engine's envelope
// (0.01 / 0.1 / 0.7 / 0.2 s, held while the key is), both per voice.
struct KeyboardAndEnvelope {
  ModuleRecord* kb;
  ModuleRecord* env;
};
KeyboardAndEnvelope AddKeyboardAndEnvelope(int32_t voices) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  ModuleRecord* env = Add(kTypeAdsr);
  if (kb == nullptr || env == nullptr) return {nullptr, nullptr};
  PerVoice(kb);
  PerVoice(env);
  ModuleSetParamValue(*kb, 0, static_cast<float>(voices));
  Link(env, kAdsrFrequency, kb);
  Link(env, kAdsrVelocity, kb);
  ModuleSetParamValue(*env, kAdsrAttack, 0.01f);
  ModuleSetParamValue(*env, kAdsrDecay, 0.1f);
  ModuleSetParamValue(*env, kAdsrSustain, 0.7f);
  ModuleSetParamValue(*env, kAdsrSustainLength, 0.0f);
  ModuleSetParamValue(*env, kAdsrRelease, 0.2f);
  return {kb, env};
}

void HoldNotes(int32_t count) {
  KeyboardState& state = *KeyboardStates[0].Load();
  for (int32_t key = 0; key < count; ++key) {
    platform::MutexGuard guard(KeyboardVoiceLocks[0]);
    NoteOn(state, KeyToFrequency(24 + key), 0.8f);
  }
}

// Builds the synth and holds 32 notes; returns the output module, or null.
ModuleRecord* BuildSynth(int32_t shape) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  ModuleRecord* env = Add(kTypeAdsr);
  ModuleRecord* osc = Add(kTypeOscillator);
  if (kb == nullptr || env == nullptr || osc == nullptr) return nullptr;
  PerVoice(kb);
  ModuleSetParamValue(*kb, 0, 32.0f);
  Link(env, kAdsrFrequency, kb);
  // Held notes hold their sustain for the whole run.
  ModuleSetParamValue(*env, kAdsrSustainLength, 0.0f);
  PerVoice(osc);
  SetOscillatorShape(*osc, shape);
  Link(osc, kOscFrequency, env);
  Link(osc, kOscAmplitude, env);
  ModuleSetParamValue(*osc, kOscAmplitude, 1.0f / 32.0f);
  RequestGraphRebuild(0, 0, osc);
  HoldNotes(32);
  return osc;
}

// Keyboard -> ADSR -> square Oscillator, all per voice, 32 notes held; the
// envelope's velocity linked to the Keyboard, or set to the notes' 0.8.
ModuleRecord* BuildEnvelope(int32_t linked) {
  const KeyboardAndEnvelope ke = AddKeyboardAndEnvelope(32);
  ModuleRecord* osc = Add(kTypeOscillator);
  if (ke.kb == nullptr || osc == nullptr) return nullptr;
  if (linked == 0) {
    ModuleLinkInput(*ke.env, kAdsrVelocity, nullptr, &ModuleCatalog[kTypeAdsr]);
    ModuleSetParamValue(*ke.env, kAdsrVelocity, 0.8f);
  }
  PerVoice(osc);
  SetOscillatorShape(*osc, 2);
  Link(osc, kOscFrequency, ke.kb);
  Link(osc, kOscAmplitude, ke.env);
  ModuleSetParamValue(*osc, kOscAmplitude, 1.0f / 32.0f);
  RequestGraphRebuild(0, 0, osc);
  HoldNotes(32);
  return osc;
}

// Keyboard -> ADSR -> Oscillator -> Filter -> Delay -> Mixer, all per voice;
// holds 32 notes; returns the output module, or null.
ModuleRecord* BuildChain(int32_t shape) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  ModuleRecord* env = Add(kTypeAdsr);
  ModuleRecord* osc = Add(kTypeOscillator);
  ModuleRecord* filter = Add(kTypeFilter);
  ModuleRecord* delay = Add(kTypeDelay);
  ModuleRecord* mixer = Add(kTypeMixer);
  for (ModuleRecord* m : {kb, env, osc, filter, delay, mixer}) {
    if (m == nullptr) return nullptr;
    PerVoice(m);
  }
  ModuleSetParamValue(*kb, 0, 32.0f);
  Link(env, kAdsrFrequency, kb);
  Link(env, kAdsrVelocity, kb);
  ModuleSetParamValue(*env, kAdsrSustainLength, 0.0f);
  SetOscillatorShape(*osc, shape);
  Link(osc, kOscFrequency, kb);
  Link(osc, kOscAmplitude, env);
  ModuleSetParamValue(*osc, kOscAmplitude, 0.5f);
  Link(filter, kFilterInput, osc);
  ModuleSetParamValue(*filter, kFilterLowPass, 0.8f);
  ModuleSetParamValue(*filter, kFilterHighPass, 0.05f);
  Link(delay, kDelayInput, filter);
  ModuleSetParamValue(*delay, kDelayPeriod, 0.25f);
  Link(mixer, kMixerFirstInput, delay);
  Link(mixer, kMixerFirstInput + 1, filter);
  ModuleSetParamValue(*mixer, kMixerFirstInput + 1, 0.5f);
  ModuleSetParamValue(*mixer, kMixerMasterVolume, 1.0f / 32.0f);
  RequestGraphRebuild(0, 0, mixer);
  HoldNotes(32);
  return mixer;
}

// Keyboard -> ADSR -> sawtooth -> Filter -> Filter, all per voice, with the
// settings of the other engine's patch: envelope 0.01 / 0.1 / 0.7 / 0.2 s,
// amplitude 0.03, two one-pole low passes near 2 kHz. Holds `notes` notes;
// returns the output module, or null.
ModuleRecord* BuildSawFilters(int32_t notes) {
  const KeyboardAndEnvelope ke = AddKeyboardAndEnvelope(32);
  ModuleRecord* osc = Add(kTypeOscillator);
  ModuleRecord* f1 = Add(kTypeFilter);
  ModuleRecord* f2 = Add(kTypeFilter);
  for (ModuleRecord* m : {ke.kb, osc, f1, f2})
    if (m == nullptr) return nullptr;
  for (ModuleRecord* m : {osc, f1, f2}) PerVoice(m);
  SetOscillatorShape(*osc, 3);
  Link(osc, kOscFrequency, ke.env);
  Link(osc, kOscAmplitude, ke.env);
  ModuleSetParamValue(*osc, kOscAmplitude, 0.03f);
  for (ModuleRecord* f : {f1, f2}) {
    ModuleSetParamValue(*f, kFilterLowPass, 0.77f);
    ModuleSetParamValue(*f, kFilterHighPass, 0.0f);
  }
  Link(f1, kFilterInput, osc);
  Link(f2, kFilterInput, f1);
  RequestGraphRebuild(0, 0, f2);
  HoldNotes(notes);
  return f2;
}

constexpr int32_t kFmVoices = 16;
constexpr int32_t kWideVoices = 8;
constexpr int32_t kWidePartials = 15;

// The two-operator FM synth (BM_Fm16) holding `notes` notes; returns the
// output module, or null.
ModuleRecord* BuildFm(int32_t notes) {
  const KeyboardAndEnvelope ke = AddKeyboardAndEnvelope(kFmVoices);
  ModuleRecord* modulator = Add(kTypeOscillator);
  ModuleRecord* sum = Add(kTypeAddition);
  ModuleRecord* carrier = Add(kTypeOscillator);
  for (ModuleRecord* m : {ke.kb, modulator, sum, carrier}) {
    if (m == nullptr) return nullptr;
    PerVoice(m);
  }
  // Depth: the envelope times 240 Hz, in the engine's frequency units.
  SetOscillatorShape(*modulator, kShapeSine);
  Link(modulator, kOscFrequency, ke.env);
  Link(modulator, kOscAmplitude, ke.env);
  ModuleSetParamValue(*modulator, kOscAmplitude, 240.0f * FrequencyNorm);
  // The note's frequency plus the modulator's level.
  Link(sum, kInputA, ke.kb);
  ReadOtherSide(sum, kInputA);
  ModuleSetParamValue(*sum, kInputA, 1.0f);
  Link(sum, kInputB, modulator);
  ModuleSetParamValue(*sum, kInputB, 1.0f);
  SetOscillatorShape(*carrier, kShapeSine);
  Link(carrier, kOscFrequency, sum);
  Link(carrier, kOscAmplitude, ke.env);
  ModuleSetParamValue(*carrier, kOscAmplitude, 0.03f);
  RequestGraphRebuild(0, 0, carrier);
  HoldNotes(notes);
  return carrier;
}

// The wide synth (BM_Wide64x8) holding `notes` notes; returns the output
// module, or null.
ModuleRecord* BuildWide(int32_t notes) {
  const KeyboardAndEnvelope ke = AddKeyboardAndEnvelope(kWideVoices);
  ModuleRecord* mixer = Add(kTypeMixer);
  ModuleRecord* out = Add(kTypeFilter);
  for (ModuleRecord* m : {ke.kb, mixer, out}) {
    if (m == nullptr) return nullptr;
    PerVoice(m);
  }
  for (int32_t k = 1; k <= kWidePartials; ++k) {
    ModuleRecord* harmonic = Add(kTypeHarmonic);
    ModuleRecord* osc = Add(kTypeOscillator);
    ModuleRecord* filter = Add(kTypeFilter);
    ModuleRecord* distortion = Add(kTypeDistortion);
    for (ModuleRecord* m : {harmonic, osc, filter, distortion}) {
      if (m == nullptr) return nullptr;
      PerVoice(m);
    }
    Link(harmonic, kHarmonicFrequency, ke.kb);
    ModuleSetParamValue(*harmonic, kHarmonicFactor, static_cast<float>(k));
    SetOscillatorShape(*osc, (k - 1) % 4);  // sine, triangle, square, sawtooth
    Link(osc, kOscFrequency, harmonic);
    Link(osc, kOscAmplitude, ke.env);
    ModuleSetParamValue(*osc, kOscAmplitude, 1.0f / static_cast<float>(k));
    Link(filter, kFilterInput, osc);
    ModuleSetParamValue(*filter, kFilterLowPass, LowPassAt(1500.0 + 400.0 * (k - 1)));
    ModuleSetParamValue(*filter, kFilterHighPass, 0.0f);
    // Factor 0.05: 2 / (1 + exp(-3x)) - 1, which is tanh(1.5 x).
    Link(distortion, kDistortionInput, filter);
    ModuleSetParamValue(*distortion, kDistortionFactor, 0.05f);
    ModuleSetParamValue(*distortion, kDistortionAttenuation, 0.0f);
    Link(mixer, kMixerFirstInput + k - 1, distortion);
  }
  // The mean of the 15 partials x 0.03.
  ModuleSetParamValue(*mixer, kMixerMasterVolume, 0.03f);
  Link(out, kFilterInput, mixer);
  ModuleSetParamValue(*out, kFilterLowPass, LowPassAt(4000.0));
  ModuleSetParamValue(*out, kFilterHighPass, 0.0f);
  RequestGraphRebuild(0, 0, out);
  HoldNotes(notes);
  return out;
}

// The chain of `length` one-voice modules (BM_MonoChain, BM_AdditionChain);
// returns the output module, or null.
ModuleRecord* BuildMonoChainOf(int32_t length, bool additionsOnly) {
  const int32_t types[4] = {kTypeFilter, kTypeDistortion, kTypeDelay, kTypeAddition};
  ModuleRecord* previous = Add(kTypeOscillator);
  if (previous == nullptr) return nullptr;
  SetOscillatorShape(*previous, kShapeSine);
  ModuleSetParamValue(*previous, kOscFrequency, 220.0f * FrequencyNorm);
  ModuleSetParamValue(*previous, kOscAmplitude, 0.5f);
  for (int32_t k = 1; k < length; ++k) {
    const int32_t kind = additionsOnly ? 3 : (k - 1) % 4;
    ModuleRecord* m = Add(types[kind]);
    if (m == nullptr) return nullptr;
    switch (kind) {
      case 0:
        Link(m, kFilterInput, previous);
        ModuleSetParamValue(*m, kFilterLowPass, 0.8f);
        ModuleSetParamValue(*m, kFilterHighPass, 0.01f);
        break;
      case 1:
        Link(m, kDistortionInput, previous);
        ModuleSetParamValue(*m, kDistortionFactor, 0.05f);
        ModuleSetParamValue(*m, kDistortionAttenuation, 0.0f);
        break;
      case 2:
        Link(m, kDelayInput, previous);
        ModuleSetParamValue(*m, kDelayPeriod, 0.01f);
        break;
      default:
        Link(m, kInputA, previous);
        ModuleSetParamValue(*m, kInputA, 1.0f);
        ModuleSetParamValue(*m, kInputB, 0.01f);
        break;
    }
    previous = m;
  }
  RequestGraphRebuild(0, 0, previous);
  return previous;
}
ModuleRecord* BuildMonoChain(int32_t length) { return BuildMonoChainOf(length, false); }
ModuleRecord* BuildAdditionChain(int32_t length) { return BuildMonoChainOf(length, true); }

using Builder = ModuleRecord* (*)(int32_t argument);

void RenderBenchmark(benchmark::State& st, Builder build, int32_t seconds = kSeconds) {
  for (platform::Mutex*& m : MT_TUNINGS) m = platform::MutexCreate();
  InitTuning(ActiveTuning);
  if (Tarvelo::init(static_cast<float>(kRate)) != 0) {
    st.SkipWithError("engine start-up failed");
    return;
  }
  ModuleRecord* out = build(static_cast<int32_t>(st.range(0)));
  if (out == nullptr) {
    st.SkipWithError("synth could not be built");
    Tarvelo::close();
    return;
  }
  std::vector<float> buffer(kBufferFloats);
  float* p = buffer.data();
  RenderAudio(&p, 0, kBufferFloats);  // the notes start sounding
  for (auto _ : st) {
    for (int32_t b = 0; b < seconds * 100; ++b) {
      RenderAudio(&p, 0, kBufferFloats);
      benchmark::DoNotOptimize(buffer.data());
    }
  }
  st.counters["voices"] = out->ActiveVoices.Load();
  // A synth that renders silence measures nothing: the last buffer's level.
  double power = 0.0;
  for (float x : buffer) power += static_cast<double>(x) * static_cast<double>(x);
  st.counters["rms"] = std::sqrt(power / static_cast<double>(buffer.size()));
  st.counters["realtime"] =
      benchmark::Counter(static_cast<double>(seconds) * static_cast<double>(st.iterations()),
                         benchmark::Counter::kIsRate);
  Tarvelo::close();
  FreeTuning(ActiveTuning);
  for (platform::Mutex*& m : MT_TUNINGS) {
    platform::MutexDestroy(m);
    m = nullptr;
  }
}

void BM_Render32Voices(benchmark::State& st) { RenderBenchmark(st, BuildSynth); }
void BM_Render32VoiceChain(benchmark::State& st) { RenderBenchmark(st, BuildChain); }
void BM_SawFilters(benchmark::State& st) { RenderBenchmark(st, BuildSawFilters); }
void BM_SawFilters30s(benchmark::State& st) { RenderBenchmark(st, BuildSawFilters, 30); }
void BM_SawFiltersOnce(benchmark::State& st) { RenderBenchmark(st, BuildSawFilters, 1); }
void BM_EnvelopeOnce(benchmark::State& st) { RenderBenchmark(st, BuildEnvelope, 1); }
void BM_MonoChain(benchmark::State& st) { RenderBenchmark(st, BuildMonoChain); }
void BM_MonoChainOnce(benchmark::State& st) { RenderBenchmark(st, BuildMonoChain, 1); }
void BM_AdditionChain(benchmark::State& st) { RenderBenchmark(st, BuildAdditionChain); }
void BM_AdditionChainOnce(benchmark::State& st) { RenderBenchmark(st, BuildAdditionChain, 1); }
void BM_Fm16(benchmark::State& st) { RenderBenchmark(st, BuildFm); }
void BM_Fm16_30s(benchmark::State& st) { RenderBenchmark(st, BuildFm, 30); }
void BM_Fm16Once(benchmark::State& st) { RenderBenchmark(st, BuildFm, 1); }
void BM_Wide64x8(benchmark::State& st) { RenderBenchmark(st, BuildWide); }
void BM_Wide64x8_30s(benchmark::State& st) { RenderBenchmark(st, BuildWide, 30); }
void BM_Wide64x8Once(benchmark::State& st) { RenderBenchmark(st, BuildWide, 1); }

// Sine (the transcendental one) and Square (the cheapest shape).
BENCHMARK(BM_Render32Voices)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Render32VoiceChain)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SawFilters)->Arg(0)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SawFilters30s)->Arg(32)->Unit(benchmark::kMillisecond)->Iterations(1);
// One second once: instruction counts under callgrind, free of the noise of a
// busy machine (bench/compare_csound.sh).
BENCHMARK(BM_SawFiltersOnce)->Arg(0)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_EnvelopeOnce)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_MonoChain)->Arg(64)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MonoChainOnce)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_AdditionChain)->Arg(64)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_AdditionChainOnce)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Fm16)->Arg(0)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Fm16_30s)->Arg(16)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Fm16Once)->Arg(0)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Wide64x8)->Arg(0)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Wide64x8_30s)->Arg(8)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Wide64x8Once)->Arg(0)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
