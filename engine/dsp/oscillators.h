// The Oscillator (one of twelve wave shapes per voice, with bias, amplitude,
// frequency, phase offset, period factor and duty cycle, optionally stopping
// each voice after one period) and the plain Sine wave. The single-voice slots
// mix every input voice into one output; the per-voice slots publish each.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

// Oscillator ports, in order.
enum OscillatorPort : int32_t {
  kOscBias = 0,
  kOscAmplitude = 1,
  kOscFrequency = 2,
  kOscPhase = 3,
  kOscPeriod = 4,
  kOscDuty = 5,
};

// Every this many calls the Oscillator sets each voice's phase to the exact
// one where it played at one frequency since the last time (see oscillators.cpp).
constexpr int32_t kOscillatorAnchorFrames = 256;

void ProcessOscillatorMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessOscillatorPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessSineWaveMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessSineWavePoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

// The Oscillator keeps its wave shape (0..11) in the MIDI device binding word,
// which no Oscillator uses for MIDI; synth files store it there.
int32_t OscillatorShape(const ModuleRecord& m);
void SetOscillatorShape(ModuleRecord& m, int32_t shape);

}  // namespace Tarvelo
