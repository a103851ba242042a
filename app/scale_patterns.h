// The default tuning every start dresses the edited tuning as: its first pattern
// named after the language, its folder and file name, and the 46 built-in scale
// patterns appended in a fixed order.
#pragma once
#include <cstdint>
#include <string>

#include "engine/tuning.h"

namespace Tarvelo {

// One built-in pattern: a 12-bit key mask read from its most significant bit
// (bit 11 is the first note of the octave, bit 0 the twelfth) and its names.
// one thread: value
struct BuiltInScalePattern {
  uint64_t Mask;
  const char* English;
  const char* French;
};

constexpr int32_t kBuiltInScalePatternCount = 46;
// In the order they are appended; they become patterns 1 to 46.
extern const BuiltInScalePattern kBuiltInScalePatterns[kBuiltInScalePatternCount];

// The language whose names the patterns take: 1 is French, any other English.
constexpr int32_t kFrenchLanguage = 1;

// "Chromatique" for French, else "Chromatic".
const char* DefaultTuningName(int32_t language);

// Names pattern 0 after the language and appends the 46 built-in patterns in
// note order (most significant bit first). A tuning that already holds 128
// patterns takes no more.
void AddBuiltInScalePatterns(Tuning& tuning, int32_t language);

// The start-up's default tuning: EditedTuning gets the folder homeFolder +
// "\TUNINGS", the name of pattern 0 + ".tng" as its file name and the built-in
// patterns; ActiveTuning becomes a copy of it; the file is written only when it
// does not exist yet (an existing one is neither read nor replaced). 0, or the
// failed save's code, which is reported ("SaveTuning(): ...") at the error level.
// Runs before any other thread exists, so it takes no tuning lock.
int32_t SetUpDefaultTuning(const std::string& homeFolder, int32_t language);
// The same without the disk: the tunings set up, the file's path and bytes
// given for the caller to write when it is missing. 0, or the bytes' refusal.
int32_t PrepareDefaultTuning(const std::string& homeFolder, int32_t language, std::string& target,
                             std::string& bytes);

}  // namespace Tarvelo
