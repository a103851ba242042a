// The values the demo synths are made with: the demo maker sets each one
// through the parameter's setter, and the shipped-demo test finds each in the
// loaded synth where the engine reads it. Values are in the units the
// parameter holds (value = shown / scale): frequencies normalized, times in
// seconds, the Filter's coefficients as its kernel takes them.
#pragma once
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/dsp/adsr.h"
#include "engine/dsp/delay.h"
#include "engine/dsp/dynamics.h"
#include "engine/dsp/filter.h"
#include "engine/dsp/oscillators.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/stepseq.h"
#include "engine/module.h"

namespace Tarvelo {

constexpr double kDemoRate = 48000.0;

// The demo synths, in the order the maker writes them.
constexpr const char* kDemoSynthFiles[] = {
    "01 Poly Saw Pad.tarvelo",       "02 Step Sequencer Bass.tarvelo",      "03 Melody Generator.tarvelo",
    "04 Sample Player Reed.tarvelo", "05 Stereo Echoes.tarvelo",            "06 Vocoder.tarvelo",
    "07 Nineteen Tone Folder.tarvelo", "08 Pythagorean Reed Organ.tarvelo",
};

// Module types the demos use that the module header leaves unnamed.
enum DemoType : int32_t {
  kDemoEcho = 16, kDemoJoinStereo = 19, kDemoFilter = 22, kDemoVocoder = 27, kDemoWaveFolder = 28,
  kDemoSoftLimiter = 39,
};

// A frequency in hertz as the engine holds it (hertz x 4 / rate).
inline float DemoHertz(double hertz) { return static_cast<float>(hertz * 4.0 / kDemoRate); }

// The Filter's coefficients for corner frequencies in hertz. A section's low
// state follows its input by (1 - L) per frame: a one-pole low pass whose
// pole, exp(-2 pi f / rate), is L. Its high state follows the low state by
// H = (the stored value) squared: a pole of 1 - H.
inline float FilterLowPassAt(double hertz) { return static_cast<float>(std::exp(-2.0 * M_PI * hertz / kDemoRate)); }
inline float FilterHighPassAt(double hertz) {
  return static_cast<float>(std::sqrt(1.0 - std::exp(-2.0 * M_PI * hertz / kDemoRate)));
}

// The set values of one module of a demo: the instance-th module of the type
// (1 for the first the maker made), parameter index and value.
struct DemoModuleValues {
  int32_t demo;  // index in kDemoSynthFiles
  int32_t type;
  int32_t instance;
  std::vector<std::pair<int32_t, float>> values;
};

// An envelope's attack, decay, sustain level and release; the sustain is
// held as long as the note (length 0).
inline DemoModuleValues DemoEnvelope(int32_t demo, float a, float d, float s, float r) {
  return {demo, kTypeAdsr, 1,
          {{kAdsrAttack, a}, {kAdsrDecay, d}, {kAdsrSustain, s}, {kAdsrSustainLength, 0.0f}, {kAdsrRelease, r}}};
}

inline const std::vector<DemoModuleValues>& DemoValues() {
  static const std::vector<DemoModuleValues> values = {
      // 01: a saw pad through a low pass at 1800 Hz (high pass 60 Hz) and an echo.
      DemoEnvelope(0, 0.08f, 0.3f, 0.7f, 0.6f),
      {0, kTypeOscillator, 1, {{kOscAmplitude, 0.3f}}},
      {0, kDemoFilter, 1, {{kFilterLowPass, FilterLowPassAt(1800.0)}, {kFilterHighPass, FilterHighPassAt(60.0)}}},
      {0, kDemoEcho, 1, {{kDelayPeriod, 0.3f}, {kEchoDecay, 0.35f}}},
      // 02: sixteen steps at 8 per second on 55 Hz, a square through 700 Hz (30 Hz).
      {1,
       kTypeStepSequencer,
       1,
       {{kStepFrequency, DemoHertz(55.0)},
        {kStepTempo, DemoHertz(8.0)},
        {kStepDuty, 0.6f},
        {kStepLength, 16.0f},
        {kStepPattern, static_cast<float>(0b1011011010110110)}}},
      DemoEnvelope(1, 0.005f, 0.12f, 0.4f, 0.08f),
      {1, kTypeOscillator, 1, {{kOscAmplitude, 0.5f}}},
      {1, kDemoFilter, 1, {{kFilterLowPass, FilterLowPassAt(700.0)}, {kFilterHighPass, FilterHighPassAt(30.0)}}},
      // 03: a still oscillator's bias is the root key (middle C) the melody grows from.
      {2, kTypeOscillator, 1, {{kOscFrequency, 0.0f}, {kOscAmplitude, 0.0f}, {kOscBias, DemoHertz(261.6256)}}},
      DemoEnvelope(2, 0.01f, 0.2f, 0.5f, 0.3f),
      {2, kTypeOscillator, 2, {{kOscAmplitude, 0.35f}}},
      {2, kDemoEcho, 1, {{kDelayPeriod, 0.375f}, {kEchoDecay, 0.3f}}},
      // 04: the reed sound from the keyboard.
      DemoEnvelope(3, 0.002f, 0.5f, 0.6f, 0.8f),
      {3, kTypeSample, 1, {{kSampleAmplitude, 0.8f}}},
      // 05: a triangle echoed left and right at two periods.
      DemoEnvelope(4, 0.01f, 0.25f, 0.5f, 0.4f),
      {4, kTypeOscillator, 1, {{kOscAmplitude, 0.3f}}},
      {4, kDemoEcho, 1, {{kDelayPeriod, 0.25f}, {kEchoDecay, 0.45f}}},
      {4, kDemoEcho, 2, {{kDelayPeriod, 0.375f}, {kEchoDecay, 0.45f}}},
      // 06: a saw carried by the reed sound, its offset taken away by a high
      // pass at 40 Hz (the low pass open).
      DemoEnvelope(5, 0.02f, 0.2f, 0.8f, 0.3f),
      {5, kTypeOscillator, 1, {{kOscAmplitude, 0.3f}}},
      {5, kTypeSample, 1, {{kSampleAmplitude, 0.8f}}},
      {5, kDemoFilter, 1, {{kFilterLowPass, 0.0f}, {kFilterHighPass, FilterHighPassAt(40.0)}}},
      // 07: a folded sine through a low pass at 3000 Hz (40 Hz).
      DemoEnvelope(6, 0.02f, 0.4f, 0.6f, 0.5f),
      {6, kTypeOscillator, 1, {{kOscAmplitude, 0.3f}}},
      {6, kDemoWaveFolder, 1, {{kFolderThreshold, 0.15f}}},
      {6, kDemoFilter, 1, {{kFilterLowPass, FilterLowPassAt(3000.0)}, {kFilterHighPass, FilterHighPassAt(40.0)}}},
      // 08: the reed sound with a long release and an echo.
      DemoEnvelope(7, 0.002f, 0.8f, 0.3f, 1.2f),
      {7, kTypeSample, 1, {{kSampleAmplitude, 0.8f}}},
      {7, kDemoEcho, 1, {{kDelayPeriod, 0.5f}, {kEchoDecay, 0.4f}}},
  };
  return values;
}

}  // namespace Tarvelo
