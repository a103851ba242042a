#include "app/scale_patterns.h"

#include <cstring>
#include <string>

#include "basics/errors.h"
#include "basics/messages.h"
#include "engine/tuningfile.h"
#include "platform/paths.h"

namespace Tarvelo {

// Names are the stored texts of tuning files: kept byte for byte, trailing
// blanks and repeated masks included.
const BuiltInScalePattern kBuiltInScalePatterns[kBuiltInScalePatternCount] = {
    {2775, "Bebop dominant", "Bebop dominant"},
    {2781, "Bebop major", "Bebop majeur"},
    {2486, "Hungarian major", "Hongrien majeur"},
    {2733, "Lydian augmented", "Lydien augment\xE9"},
    {2741, "Lydian", "Lydien"},
    {2742, "Lydian dominant", "Lydien dominant"},
    {2773, "Ionian (major)", "Ionien (majeur)"},
    {2773, "Bebop major", "Bebop majeur"},
    {2774, "Mixolydian", "Mixolydien"},
    {2777, "Harmonic major", "Harmonique majeur"},
    {2794, "Locrian major", "Locrien majeur"},
    {2869, "Lydian diminished", "Lydien diminu\xE9"},
    {2870, "Ukrainian dorian", "Ukrainien dorien"},
    {2873, "Hungarian minor", "Hongrien mineur"},
    {2874, "Gypsy", "Gypsy"},
    {2901, "Melodic minor", "M\xE9lodique mineur"},
    {2902, "Dorian", "Dorien"},
    {2905, "Harmonic Minor", "Harmonique mineur"},
    {2906, "Aeolian (minor)", "\xC9olien (mineur)"},
    {2922, "Half diminished", "Semi diminu\xE9" "e"},
    {3243, "Enigmatic ", "\xC9nigmatique"},
    {3289, "Flamenco", "Flamenco"},
    {3289, "Double harmonique", "Harmonique double"},
    {3290, "Phrygian dominant", "Phrygien dominant"},
    {3305, "Persian ", "Perse"},
    {3413, "Neapolitan major", "Napolitaine majeure"},
    {3417, "Neapolitan minor", "Napolitaine mineure"},
    {3418, "Phrygian", "Phrygien"},
    {3434, "Locrian", "Locrien"},
    {3498, "Super Locrian", "Super locrien"},
    {2418, "Blues minor", "Blues mineur"},
    {2457, "Augmented", "Augment\xE9"},
    {2516, "Harmonics", "Harmoniques"},
    {2726, "Prometheus ", "Prom\xE9th\xE9" "e"},
    {2730, "Whole tones", "Tons entiers"},
    {2964, "Major Blues", "Blues majeur"},
    {3250, "Tritone", "Triton"},
    {3504, "Istrian", "Istrien"},
    {3640, "Tritone 2 half-tones", "Triton \xE0 2 demi-tons"},
    {2225, "Japanese Hirajoshi", "Japonais Hirajoshi"},
    {2386, "Pentatonic minor", "Pentatonique mineur"},
    {2386, "Japanese Yo", "Japonais Yo"},
    {2708, "Pentatonic major", "Pentatonique majeur"},
    {3154, "Japanese Insen", "Japonais Insen"},
    {3160, "Japanese In", "Japonais In"},
    {3170, "Japanese Iwato", "Japonais Iwato"},
};

const char* DefaultTuningName(int32_t language) {
  return language == kFrenchLanguage ? "Chromatique" : "Chromatic";
}

void AddBuiltInScalePatterns(Tuning& tuning, int32_t language) {
  char* name = tuning.PatternNames[0];
  std::memset(name, 0, kScalePatternNameSize);
  const char* text = DefaultTuningName(language);
  std::memcpy(name, text, strnlen(text, kScalePatternNameSize - 1));
  const bool french = language == kFrenchLanguage;
  for (const BuiltInScalePattern& p : kBuiltInScalePatterns)
    TuningAddScalePattern(tuning, p.Mask, french ? p.French : p.English, -1);
}

namespace {

void SetUpDefaultTunings(const std::string& homeFolder, int32_t language) {
  const std::string folder = homeFolder + "\\TUNINGS";
  const std::string file = std::string(DefaultTuningName(language)) + ".tng";
  QUARLE_BASICS::DynZStringAssign(EditedTuning.Folder, folder);
  QUARLE_BASICS::DynZStringAssign(EditedTuning.FileName, file);
  AddBuiltInScalePatterns(EditedTuning, language);
  CopyTuning(ActiveTuning, EditedTuning);
}

}  // namespace

int32_t SetUpDefaultTuning(const std::string& homeFolder, int32_t language) {
  SetUpDefaultTunings(homeFolder, language);
  const std::string folder = homeFolder + "\\TUNINGS";
  const std::string file = std::string(DefaultTuningName(language)) + ".tng";
  if (platform::FileExists(folder + "\\" + file)) return 0;
  const int32_t r = SaveTuning(EditedTuning);
  if (r != 0)
    QUARLE_BASICS::Report("SaveTuning(): " + QUARLE_BASICS::ErrorText(r), QUARLE_BASICS::kLevelError);
  return r;
}

int32_t PrepareDefaultTuning(const std::string& homeFolder, int32_t language, std::string& target,
                             std::string& bytes) {
  SetUpDefaultTunings(homeFolder, language);
  return TuningFileBytes(EditedTuning, target, bytes);
}

}  // namespace Tarvelo
