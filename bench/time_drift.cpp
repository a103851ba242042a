// How far the kernels that count time or phase stray from the clock over a
// long run: each plays an hour (TIME_DRIFT_SECONDS) of frames at 48 kHz, one
// kernel call a frame as the render callback makes it, and the events it
// makes (a step's start, a note's start, a draw, a stage's end, a rising
// zero crossing, an echo) are set against where the clock puts them.
//   bench_time_drift [CASE...]   (names as printed; default all)
// Prints per case the error of the last event of the run and the largest
// over it, in milliseconds (a zero crossing found between two frames by
// linear interpolation; every other event at the frame it happens, so a
// frame, 0.021 ms, is the least error it shows).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/adsr.h"
#include "engine/dsp/contract.h"
#include "engine/dsp/delay.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/oscillators.h"
#include "engine/dsp/randomizer.h"
#include "engine/dsp/stepseq.h"
#include "engine/globals.h"
#include "engine/module.h"
#include "engine/modulelist.h"

namespace Tarvelo {
namespace {

constexpr int32_t kTypeSineWave = 35;
constexpr int32_t kTypeRandomizer = 32;
constexpr int32_t kTypeDelay = 15;

double gSeconds = 3600.0;

ModuleRecord* Add(int32_t type) {
  ModuleRecord* m = nullptr;
  if (AddModule(type, true, &m) < 0 || m == nullptr) {
    std::fprintf(stderr, "cannot add a module of type %d\n", type);
    std::exit(1);
  }
  return m;
}
void Set(ModuleRecord* m, int32_t p, float v) { ModuleSetParamValue(*m, p, v); }
void Link(ModuleRecord* m, int32_t p, ModuleRecord* source) {
  ModuleLinkInput(*m, p, source, &ModuleCatalog[m->Type]);
}
// A live module whose outputs the bench writes by hand.
ModuleRecord* Source(float level, float frequency) {
  ModuleRecord* s = Add(kTypeOscillator);
  s->ActiveVoices.Store(1);
  s->Outputs[0][0] = OutputElement{level, frequency};
  return s;
}
void Run(ModuleRecord* m, int64_t frame) {
  const int32_t parity = static_cast<int32_t>(frame & 1);
  m->VoicesToCompute = 1;
  if (m->TriggerOwner.Load() == m) ClearTriggerBuffer(*m, parity);
  m->ProcessFunctions[m->PolyphonyMode.Load() & 1](m, frame, parity, parity ^ 1);
  m->PreviousActiveVoices = m->ActiveVoices.Load();
}

// one thread: value
struct Drift {
  double last = 0.0;     // ms, the last event's error
  double largest = 0.0;  // ms
  int64_t events = 0;
  void Add(double ms) {
    last = ms;
    if (std::fabs(ms) > std::fabs(largest)) largest = ms;
    ++events;
  }
};

double Rate() { return static_cast<double>(RateWhole); }
int64_t Frames() { return static_cast<int64_t>(gSeconds * Rate()); }
double Ms(double frames) { return frames / Rate() * 1000.0; }

// A Step Sequencer of `length` steps at `sps` steps a second, every step set
// and sounding its first half: each step's first sounding frame against the
// first frame at or past where the tempo puts it.
Drift StepSequencer(int32_t length, double sps) {
  ModuleRecord* seq = Add(kTypeStepSequencer);
  Set(seq, kStepFrequency, 0.01f);
  Set(seq, kStepVelocity, 0.8f);
  const float tempo = static_cast<float>(sps) / RateQuarter;
  Set(seq, kStepTempo, tempo);
  Set(seq, kStepDuty, 0.5f);
  Set(seq, kStepLength, static_cast<float>(length));
  for (int32_t q = 0; q < kStepPatternWords; ++q) Set(seq, kStepPattern + q, 1048575.0f);
  const double held = static_cast<double>(tempo) * static_cast<double>(RateQuarter);
  Drift d;
  bool was = true;
  int64_t j = 0;
  const int64_t frames = Frames();
  for (int64_t f = 0; f < frames; ++f) {
    Run(seq, f);
    const bool on = seq->Outputs[0][0].Level != 0.0f;
    if (on && !was) {
      ++j;
      d.Add(Ms(static_cast<double>(f) - std::ceil(static_cast<double>(j) / held * Rate())));
    }
    was = on;
  }
  return d;
}

// A Melody Generator at `sps` steps a second: each note's (or rest's) first
// frame against the steps of the notes before it at the tempo.
Drift MelodyGenerator(double sps) {
  ModuleRecord* mel = Add(kTypeMelodyGenerator);
  ModuleRecord* key = Source(1.0f, 0.02f);
  Link(mel, kMelFrequency, key);
  const float tempo = static_cast<float>(sps / Rate());
  ModuleRecord* pace = Source(tempo, tempo);
  Link(mel, kMelTempo, pace);
  Set(mel, kMelDuty, 0.5f);
  mel->ModuleSwitches[kSwitchLoop].Store(0);
  Drift d;
  const int64_t frames = Frames();
  float before = 0.0f;
  int64_t first = -1;
  double steps = 0.0;
  for (int64_t f = 0; f < frames; ++f) {
    Run(mel, f);
    const float now = mel->VoiceState[0][kMelCountdown];
    if (now > before + 0.5f) {
      if (first < 0) {
        first = f;
      } else {
        d.Add(Ms(static_cast<double>(f) - (static_cast<double>(first) + steps / static_cast<double>(tempo))));
      }
      steps += std::nearbyint(static_cast<double>(now));
    }
    before = now;
  }
  return d;
}

// A Randomizer drawing every `period` seconds: each draw (the output
// changes) against the multiples of the period.
Drift Randomizer(double period) {
  ModuleRecord* r = Add(kTypeRandomizer);
  Set(r, kRandomInput, 1.0f);
  Set(r, kRandomBias, 0.0f);
  Set(r, kRandomResolution, 0.0f);
  const float p = static_cast<float>(period);
  Set(r, kRandomPeriod, p);
  Drift d;
  const int64_t frames = Frames();
  float before = 0.0f;
  int64_t k = -1;
  for (int64_t f = 0; f < frames; ++f) {
    Run(r, f);
    const float now = r->Outputs[0][0].Level;
    if (now != before) {
      ++k;
      if (k > 0) d.Add(Ms(static_cast<double>(f) - std::ceil(static_cast<double>(k) * static_cast<double>(p) * Rate())));
    }
    before = now;
  }
  return d;
}

// An ADSR held from the start, attack and decay `attack` and `decay`
// seconds: the frame each stage ends (the stage word moves on) against the
// stage lengths. A stage that never ends is the run's length late.
Drift Envelope(float attack, float decay) {
  ModuleRecord* env = Add(kTypeAdsr);
  Set(env, kAdsrFrequency, 0.01f);
  Set(env, kAdsrVelocity, 1.0f);
  Set(env, kAdsrSustain, 0.5f);
  Set(env, kAdsrAttack, attack);
  Set(env, kAdsrDecay, decay);
  Set(env, kAdsrSustainLength, 0.0f);
  Set(env, kAdsrRelease, 1.0f);
  Drift d;
  const int64_t frames = Frames();
  int32_t stage = -1;
  const double ends[2] = {static_cast<double>(attack), static_cast<double>(attack) + static_cast<double>(decay)};
  int32_t seen = 0;
  for (int64_t f = 0; f < frames; ++f) {
    Run(env, f);
    const int32_t now = env->SequencerVoices[0].Index;
    if (stage >= kAdsrAttacking && now != stage && seen < 2) {
      d.Add(Ms(static_cast<double>(f) - ends[seen] * Rate()));
      ++seen;
    }
    stage = now;
  }
  for (; seen < 2; ++seen)
    if (ends[seen] < gSeconds) d.Add(Ms(static_cast<double>(frames) - ends[seen] * Rate()));
  return d;
}

// A wave of `hz` from a module's output level: each rising zero crossing,
// found between two frames, against the whole periods of the frequency the
// input holds.
Drift Crossings(ModuleRecord* m, float normalized) {
  const double hz = static_cast<double>(normalized) * static_cast<double>(RateQuarter);
  Drift d;
  const int64_t frames = Frames();
  float before = 0.0f;
  int64_t k = 0;
  for (int64_t f = 0; f < frames; ++f) {
    Run(m, f);
    const float now = m->Outputs[0][0].Level;
    if (f > 0 && before < 0.0f && now >= 0.0f) {
      ++k;
      const double at = static_cast<double>(f - 1) + static_cast<double>(before) / static_cast<double>(before - now);
      d.Add(Ms(at - static_cast<double>(k) / hz * Rate()));
    }
    before = now;
  }
  return d;
}

Drift SineWave(double hz) {
  ModuleRecord* m = Add(kTypeSineWave);
  const float f = static_cast<float>(hz) / RateQuarter;
  Set(m, kOscBias, 0.0f);
  Set(m, kOscFrequency, f);
  return Crossings(m, f);
}

Drift Oscillator(double hz) {
  ModuleRecord* m = Add(kTypeOscillator);
  SetOscillatorShape(*m, 0);
  const float f = static_cast<float>(hz) / RateQuarter;
  Set(m, kOscBias, 0.0f);
  Set(m, kOscFrequency, f);
  return Crossings(m, f);
}

// A Delay of `seconds` fed a click every second: each echo's frame against
// the click's frame and the delay's whole frames.
Drift Delay(double seconds) {
  ModuleRecord* m = Add(kTypeDelay);
  ModuleRecord* in = Source(0.0f, 0.0f);
  Link(m, kDelayInput, in);
  Set(m, kDelayPeriod, static_cast<float>(seconds));
  const int64_t lag = static_cast<int64_t>(std::nearbyint(seconds * Rate()));
  Drift d;
  const int64_t frames = Frames();
  const int64_t every = RateWhole;
  int64_t clicks = 0;
  for (int64_t f = 0; f < frames; ++f) {
    in->Outputs[0][0] = f % every == 0 ? OutputElement{1.0f, 1.0f} : OutputElement{0.0f, 0.0f};
    Run(m, f);
    if (m->Outputs[0][0].Level > 0.5f) {
      d.Add(Ms(static_cast<double>(f) - static_cast<double>(clicks * every + lag)));
      ++clicks;
    }
  }
  return d;
}

// one thread: value
struct Case {
  const char* name;
  std::function<Drift()> run;
};

}  // namespace
}  // namespace Tarvelo

int main(int argc, char** argv) {
  using namespace Tarvelo;
  if (const char* s = std::getenv("TIME_DRIFT_SECONDS")) gSeconds = std::atof(s);
  const std::vector<Case> cases = {
      {"stepseq-100x2", [] { return StepSequencer(100, 2.0); }},
      {"stepseq-16x1", [] { return StepSequencer(16, 1.0); }},
      {"stepseq-3x37", [] { return StepSequencer(3, 37.0); }},
      {"melody-8", [] { return MelodyGenerator(8.0); }},
      {"melody-7.3", [] { return MelodyGenerator(7.3); }},
      {"randomizer-0.0123", [] { return Randomizer(0.0123); }},
      {"randomizer-1.2345", [] { return Randomizer(1.2345); }},
      {"adsr-100+1000", [] { return Envelope(100.0f, 1000.0f); }},
      {"adsr-300+3000", [] { return Envelope(300.0f, 3000.0f); }},
      {"sine-0.5", [] { return SineWave(0.5); }},
      {"sine-440", [] { return SineWave(440.0); }},
      {"oscillator-0.5", [] { return Oscillator(0.5); }},
      {"oscillator-440", [] { return Oscillator(440.0); }},
      {"delay-0.3331", [] { return Delay(0.3331); }},
  };
  std::printf("%-20s %12s %12s %10s   (%g s at %d Hz)\n", "case", "last ms", "largest ms", "events", gSeconds,
              48000);
  for (const Case& c : cases) {
    bool wanted = argc < 2;
    for (int32_t i = 1; i < argc; ++i) wanted |= std::strcmp(argv[i], c.name) == 0;
    if (!wanted) continue;
    if (init(48000.0f) != 0) return 1;
    const Drift d = c.run();
    close();
    std::printf("%-20s %12.3f %12.3f %10lld\n", c.name, d.last, d.largest, static_cast<long long>(d.events));
    std::fflush(stdout);
  }
  return 0;
}
