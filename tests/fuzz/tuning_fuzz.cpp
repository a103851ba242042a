// LoadTuning on any bytes: a refused file leaves the tuning as it was (its
// saved form byte for byte); an accepted one holds values in the tuning's
// ranges, answers the engine's questions, and saves and loads back the same.
#include "fuzz_support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "basics/dynzstring.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"

using namespace Tarvelo;

namespace {

Tuning& Edited() {
  static Tuning t = [] {
    Tuning x{};
    InitTuning(x);
    return x;
  }();
  return t;
}

// The tuning as its file holds it.
std::vector<uint8_t> Saved(Tuning& t, const char* name) {
  QUARLE_BASICS::DynZStringAssign(t.Folder, fuzz::Sys("TUNINGS"));
  QUARLE_BASICS::DynZStringAssign(t.FileName, name);
  const int64_t modified = t.Modified;
  fuzz::Check(SaveTuning(t) == 0, "save");
  t.Modified = modified;
  return fuzz::ReadFile(fuzz::Os(std::string("TUNINGS/") + name));
}

}  // namespace

void FuzzSetUp() {
  Tuning& t = Edited();
  TuningSetReferencePitch(t, 432.0f);
  TuningSetNoteName(t, 3, "edited");
  t.Modified = -1;
}

void FuzzSeeds(const std::string& dir) {
  Tuning t{};
  InitTuning(t);
  Saved(t, "seed.tng");
  fuzz::KeepSeed(dir, "TUNINGS/seed.tng", "twelve.tng");
  TuningSetNoteCount(t, 19);
  TuningSetEqualTemperament(t);
  TuningAddScalePattern(t, 0x5AD5ull, "major", 0);
  TuningSetNoteName(t, 0, "C");
  Saved(t, "seed.tng");
  fuzz::KeepSeed(dir, "TUNINGS/seed.tng", "nineteen.tng");
  FreeTuning(t);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Tuning& t = Edited();
  const std::vector<uint8_t> before = Saved(t, "before.tng");
  fuzz::WriteFile(fuzz::Os("TUNINGS/f.tng"), data, size);
  const int32_t rc = LoadTuning(t, fuzz::Sys("TUNINGS"), "f.tng");
  fuzz::Check(fuzz::ReadFile(fuzz::Os("TUNINGS/f.tng")).size() == size, "the file is only read");
  if (rc != 0) {
    fuzz::Check(t.Modified == -1, "a refused tuning keeps the edits' flag");
    fuzz::Check(Saved(t, "before.tng") == before, "a refused tuning changes nothing");
    return 0;
  }
  const int32_t n = TuningGetNoteCount(t);
  fuzz::Check(n >= 2 && n <= 64, "key count in range");
  fuzz::Check(t.PatternCount >= 1 && t.PatternCount <= 128, "pattern count in range");
  const float pitch = TuningGetReferencePitch(t);
  fuzz::Check(pitch >= 220.0f && pitch <= 880.0f, "reference pitch in range");
  for (int32_t k = 0; k < n; ++k) {
    volatile float f = TuningKeyFrequency(t, k);
    (void)f;
    volatile int32_t note = TuningFrequencyToNote(t, 440.0f);
    (void)note;
  }
  for (int32_t p = 0; p < t.PatternCount; ++p) TuningPatternHasKey(t, 0, p);
  // Saved and loaded back, it is the same tuning (ratios to within the last
  // bits the setters' arithmetic moves).
  Saved(t, "once.tng");
  Tuning back{};
  InitTuning(back);
  fuzz::Check(LoadTuning(back, fuzz::Sys("TUNINGS"), "once.tng") == 0, "a saved tuning loads");
  fuzz::Check(TuningGetNoteCount(back) == n && back.PatternCount == t.PatternCount, "counts read back");
  fuzz::Check(TuningGetReferencePitch(back) == pitch, "pitch reads back");
  for (int32_t k = 0; k < n; ++k) {
    fuzz::Check(TuningGetNoteName(back, k) == TuningGetNoteName(t, k), "names read back");
    const float a = TuningGetAbsoluteRatio(back, k), b = TuningGetAbsoluteRatio(t, k);
    fuzz::Check(std::fabs(a - b) <= 1e-5f * std::fabs(b), "ratios read back");
  }
  for (int32_t p = 0; p < t.PatternCount; ++p)
    fuzz::Check(back.PatternMasks[p] == t.PatternMasks[p], "patterns read back");
  FreeTuning(back);
  // The next input starts from an edited tuning again.
  FuzzSetUp();
  return 0;
}
