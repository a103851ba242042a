// The demo tunings that ship in TUNINGS: named scales, each given by the
// ratio of every key of its octave to the first (C), built from the scale's
// own definition (equal steps, chains of fifths, just ratios).
#pragma once
#include <cmath>
#include <string>
#include <vector>

#include "app/documents/demo_files.h"
#include "engine/tuning.h"

namespace Tarvelo {

constexpr const char* kDemoSoundFile = "Reed cycle.wav";
// Key 4N sounds middle C of 12-tone equal temperament at A = 440 Hz.
constexpr float kDemoReferencePitch = 261.6256f;

struct DemoTuning {
  const char* file;
  std::vector<double> ratios;  // key i over key 0, from 1 up to below 2
  std::vector<std::string> names;
};

inline std::vector<double> EqualSteps(int32_t n) {
  std::vector<double> r;
  for (int32_t i = 0; i < n; ++i) r.push_back(std::pow(2.0, i / static_cast<double>(n)));
  return r;
}

// A chain of fifths of size `fifth` from C, each folded into the octave;
// keys[i] is how many fifths up (down when negative) key i lies.
inline std::vector<double> ChainOfFifths(double fifth, const std::vector<int32_t>& keys) {
  std::vector<double> r;
  for (int32_t k : keys) {
    double v = std::pow(fifth, k);
    while (v >= 2.0) v /= 2.0;
    while (v < 1.0) v *= 2.0;
    r.push_back(v);
  }
  return r;
}

inline std::vector<std::string> Numbered(int32_t n) {
  std::vector<std::string> names;
  for (int32_t i = 0; i < n; ++i) names.push_back(std::to_string(i));
  return names;
}

inline const std::vector<DemoTuning>& DemoTunings() {
  static const std::vector<std::string> twelve = {"C", "C#", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B"};
  // Fifths from C of each key C to B: the chain runs from Ab (-4) to C# (7),
  // the wolf fifth lying between C# and Ab.
  static const std::vector<int32_t> fifths = {0, 7, 2, -3, 4, -1, 6, 1, -4, 3, -2, 5};
  static const double q = std::pow(2.0, 0.25);  // Werckmeister's tempered steps
  static const std::vector<DemoTuning> tunings = {
      {"12-EDO.tng", EqualSteps(12), twelve},
      {"19-EDO.tng", EqualSteps(19),
       {"C", "C#", "Db", "D", "D#", "Eb", "E", "E#", "F", "F#", "Gb", "G", "G#", "Ab", "A", "A#", "Bb", "B",
        "B#"}},
      {"24-EDO.tng", EqualSteps(24),
       {"C", "C+", "C#", "C#+", "D", "D+", "Eb", "Eb+", "E", "E+", "F", "F+", "F#", "F#+", "G", "G+", "Ab",
        "Ab+", "A", "A+", "Bb", "Bb+", "B", "B+"}},
      {"31-EDO.tng", EqualSteps(31), Numbered(31)},
      {"Pythagorean.tng", ChainOfFifths(1.5, fifths), twelve},
      {"5-limit just intonation.tng",
       {1.0, 16.0 / 15, 9.0 / 8, 6.0 / 5, 5.0 / 4, 4.0 / 3, 45.0 / 32, 3.0 / 2, 8.0 / 5, 5.0 / 3, 9.0 / 5, 15.0 / 8},
       twelve},
      {"Quarter-comma meantone.tng", ChainOfFifths(std::pow(5.0, 0.25), fifths), twelve},
      {"Werckmeister III.tng",
       {1.0, 256.0 / 243, 64.0 * std::sqrt(2.0) / 81, 32.0 / 27, 256.0 * q / 243, 4.0 / 3, 1024.0 / 729,
        8.0 * std::pow(8.0, 0.25) / 9, 128.0 / 81, 1024.0 * q / 729, 16.0 / 9, 128.0 * q / 81},
       twelve},
  };
  return tunings;
}

// Fills a tuning with the scale: its key count, ratios and names, reference C.
inline void MakeDemoTuning(Tuning& t, const DemoTuning& d) {
  TuningSetNoteCount(t, static_cast<int32_t>(d.ratios.size()));
  TuningSetReferencePitch(t, kDemoReferencePitch);
  for (size_t i = 1; i < d.ratios.size(); ++i)
    TuningSetSecondValue(t, static_cast<int32_t>(i), static_cast<float>(d.ratios[i]));
  for (size_t i = 0; i < d.names.size(); ++i) TuningSetNoteName(t, static_cast<int32_t>(i), d.names[i].c_str());
  TuningComputeConsonance(t);
}

}  // namespace Tarvelo
