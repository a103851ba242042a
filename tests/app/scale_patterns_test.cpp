// The built-in scale patterns: every mask against its degrees, every name in
// both languages, the order and count of the default tuning, and the default
// tuning file written once and never replaced.
#include "app/scale_patterns.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"
#include "platform/paths.h"

namespace Tarvelo {
namespace {

namespace fs = std::filesystem;

struct Expected {
  std::vector<int> degrees;
  const char* english;
  const char* french;
};

// Degrees of the first note of the octave upward, and the stored names.
const Expected kExpected[46] = {
    {{0, 2, 4, 5, 7, 9, 10, 11}, "Bebop dominant", "Bebop dominant"},
    {{0, 2, 4, 5, 7, 8, 9, 11}, "Bebop major", "Bebop majeur"},
    {{0, 3, 4, 6, 7, 9, 10}, "Hungarian major", "Hongrien majeur"},
    {{0, 2, 4, 6, 8, 9, 11}, "Lydian augmented", "Lydien augment\xE9"},
    {{0, 2, 4, 6, 7, 9, 11}, "Lydian", "Lydien"},
    {{0, 2, 4, 6, 7, 9, 10}, "Lydian dominant", "Lydien dominant"},
    {{0, 2, 4, 5, 7, 9, 11}, "Ionian (major)", "Ionien (majeur)"},
    {{0, 2, 4, 5, 7, 9, 11}, "Bebop major", "Bebop majeur"},
    {{0, 2, 4, 5, 7, 9, 10}, "Mixolydian", "Mixolydien"},
    {{0, 2, 4, 5, 7, 8, 11}, "Harmonic major", "Harmonique majeur"},
    {{0, 2, 4, 5, 6, 8, 10}, "Locrian major", "Locrien majeur"},
    {{0, 2, 3, 6, 7, 9, 11}, "Lydian diminished", "Lydien dimin\xE9"},
    {{0, 2, 3, 6, 7, 9, 10}, "Ukrainian dorian", "Ukrainien dorien"},
    {{0, 2, 3, 6, 7, 8, 11}, "Hungarian minor", "Hongrien mineur"},
    {{0, 2, 3, 6, 7, 8, 10}, "Gypsy", "Gypsy"},
    {{0, 2, 3, 5, 7, 9, 11}, "Melodic minor", "M\xE9lodique mineur"},
    {{0, 2, 3, 5, 7, 9, 10}, "Dorian", "Dorien"},
    {{0, 2, 3, 5, 7, 8, 11}, "Harmonic Minor", "Harmonique mineur"},
    {{0, 2, 3, 5, 7, 8, 10}, "Aeolian (minor)", "\xC9olien (mineur)"},
    {{0, 2, 3, 5, 6, 8, 10}, "Half diminished", "Semi diminu\xE9" "e"},
    {{0, 1, 4, 6, 8, 10, 11}, "Enigmatic ", "\xC9nigmatique"},
    {{0, 1, 4, 5, 7, 8, 11}, "Flamenco", "Flamenco"},
    {{0, 1, 4, 5, 7, 8, 11}, "Double harmonique", "Harmonique double"},
    {{0, 1, 4, 5, 7, 8, 10}, "Phrygian dominant", "Phrygien dominant"},
    {{0, 1, 4, 5, 6, 8, 11}, "Persian ", "Perse"},
    {{0, 1, 3, 5, 7, 9, 11}, "Neapolitan major", "Napolitaine majeure"},
    {{0, 1, 3, 5, 7, 8, 11}, "Neapolitan minor", "Napolitaine mineure"},
    {{0, 1, 3, 5, 7, 8, 10}, "Phrygian", "Phrygien"},
    {{0, 1, 3, 5, 6, 8, 10}, "Locrian", "Locrien"},
    {{0, 1, 3, 4, 6, 8, 10}, "Super Locrian", "Super locrien"},
    {{0, 3, 5, 6, 7, 10}, "Blues minor", "Blues mineur"},
    {{0, 3, 4, 7, 8, 11}, "Augmented", "Augment\xE9"},
    {{0, 3, 4, 5, 7, 9}, "Harmonics", "Harmoniques"},
    {{0, 2, 4, 6, 9, 10}, "Prometheus ", "Prom\xE9th\xE9" "e"},
    {{0, 2, 4, 6, 8, 10}, "Whole tones", "Tons entiers"},
    {{0, 2, 3, 4, 7, 9}, "Major Blues", "Blues majeur"},
    {{0, 1, 4, 6, 7, 10}, "Tritone", "Triton"},
    {{0, 1, 3, 4, 6, 7}, "Istrian", "Istrien"},
    {{0, 1, 2, 6, 7, 8}, "Tritone 2 half-tones", "Triton \xE0 2 demi-tons"},
    {{0, 4, 6, 7, 11}, "Japanese Hirajoshi", "Japonais Hirajoshi"},
    {{0, 3, 5, 7, 10}, "Pentatonic minor", "Pentatonique mineur"},
    {{0, 3, 5, 7, 10}, "Japanese Yo", "Japonais Yo"},
    {{0, 2, 4, 7, 9}, "Pentatonic major", "Pentatonique majeur"},
    {{0, 1, 5, 7, 10}, "Japanese Insen", "Japonais Insen"},
    {{0, 1, 5, 7, 8}, "Japanese In", "Japonais In"},
    {{0, 1, 5, 6, 10}, "Japanese Iwato", "Japonais Iwato"},
};

uint64_t StoredMask(const std::vector<int>& degrees) {
  uint64_t m = 0;
  for (int d : degrees) m |= uint64_t{1} << d;
  return m;
}

class ScalePatterns : public ::testing::Test {
 protected:
  void SetUp() override {
    InitTuning(tuning_);
    QUARLE_BASICS::MessageHook = [](const std::string& text, int32_t level) {
      reports().emplace_back(text, level);
    };
    reports().clear();
  }
  void TearDown() override {
    FreeTuning(tuning_);
    QUARLE_BASICS::MessageHook = nullptr;
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  static std::vector<std::pair<std::string, int32_t>>& reports() {
    static std::vector<std::pair<std::string, int32_t>> r;
    return r;
  }
  // A fresh home folder (as a system path) and its TUNINGS folder made or not.
  std::string MakeHome(bool withTunings) {
    char tmpl[] = "/tmp/tarvelo_patterns_XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    if (withTunings) fs::create_directories(dir_ + "/TUNINGS");
    return platform::FromOsPath(dir_);
  }
  // The three tunings back to their state before the program runs.
  static void ResetTunings() {
    for (int32_t i = 2; i >= 0; --i) FreeTuning(Tunings[i]);
    for (Tuning& t : Tunings) InitTuning(t);
  }
  Tuning tuning_{};
  std::string dir_;
};

TEST_F(ScalePatterns, TheTableReadsItsMasksFromTheMostSignificantOfTwelveBits) {
  for (int32_t i = 0; i < kBuiltInScalePatternCount; ++i) {
    uint64_t msbFirst = 0;
    for (int d : kExpected[i].degrees) msbFirst |= uint64_t{1} << (11 - d);
    EXPECT_EQ(kBuiltInScalePatterns[i].Mask, msbFirst) << "row " << i + 1;
  }
}

TEST_F(ScalePatterns, EnglishPatternsAreStoredInNoteOrderWithTheirNames) {
  AddBuiltInScalePatterns(tuning_, 0);
  ASSERT_EQ(tuning_.PatternCount, 47);
  EXPECT_STREQ(tuning_.PatternNames[0], "Chromatic");
  EXPECT_EQ(tuning_.PatternMasks[0] & 0xFFFu, 0xFFFu);  // every note, as the tuning starts
  for (int32_t i = 0; i < kBuiltInScalePatternCount; ++i) {
    EXPECT_EQ(tuning_.PatternMasks[i + 1], StoredMask(kExpected[i].degrees)) << "row " << i + 1;
    EXPECT_STREQ(tuning_.PatternNames[i + 1], kExpected[i].english) << "row " << i + 1;
  }
  // Rows 1 and 7 as bit sets of the stored masks.
  EXPECT_EQ(tuning_.PatternMasks[1], 0xEB5u);
  EXPECT_EQ(tuning_.PatternMasks[7], 0xAB5u);
  EXPECT_EQ(TuningPatternHasKey(tuning_, 10, 1), -1);
  EXPECT_EQ(TuningPatternHasKey(tuning_, 10, 7), 0);
}

TEST_F(ScalePatterns, FrenchNamesOnlyForLanguage1) {
  AddBuiltInScalePatterns(tuning_, kFrenchLanguage);
  EXPECT_STREQ(tuning_.PatternNames[0], "Chromatique");
  for (int32_t i = 0; i < kBuiltInScalePatternCount; ++i)
    EXPECT_STREQ(tuning_.PatternNames[i + 1], kExpected[i].french) << "row " << i + 1;
  for (int32_t language : {0, 2, 3}) EXPECT_STREQ(DefaultTuningName(language), "Chromatic");
}

TEST_F(ScalePatterns, AFullTuningTakesNoMoreThan128) {
  for (int32_t i = 0; i < 100; ++i) TuningAddScalePattern(tuning_, 1, "x", 0);
  AddBuiltInScalePatterns(tuning_, 0);
  EXPECT_EQ(tuning_.PatternCount, 128);
  EXPECT_STREQ(tuning_.PatternNames[127], kExpected[26].english);
}

TEST_F(ScalePatterns, TheDefaultTuningFileIsWrittenOnceAndNeverReplaced) {
  ResetTunings();
  const std::string home = MakeHome(true);
  ASSERT_EQ(SetUpDefaultTuning(home, 0), 0);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(EditedTuning.Folder), home + "\\TUNINGS");
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(EditedTuning.FileName), "Chromatic.tng");
  EXPECT_EQ(ActiveTuning.PatternCount, 47);
  EXPECT_STREQ(ActiveTuning.PatternNames[46], "Japanese Iwato");

  // The file holds what the tuning holds.
  Tuning loaded{};
  InitTuning(loaded);
  ASSERT_EQ(LoadTuning(loaded, home + "\\TUNINGS", "Chromatic.tng"), 0);
  ASSERT_EQ(loaded.PatternCount, 47);
  for (int32_t p = 0; p < 47; ++p) {
    EXPECT_EQ(loaded.PatternMasks[p], EditedTuning.PatternMasks[p]) << p;
    EXPECT_STREQ(loaded.PatternNames[p], EditedTuning.PatternNames[p]) << p;
  }
  FreeTuning(loaded);

  // A later start in French rebuilds the tuning in memory and writes its own
  // file; the English file keeps its names.
  const std::string english = dir_ + "/TUNINGS/Chromatic.tng";
  std::ifstream before(english, std::ios::binary);
  std::stringstream bytes;
  bytes << before.rdbuf();
  ResetTunings();
  ASSERT_EQ(SetUpDefaultTuning(home, kFrenchLanguage), 0);
  EXPECT_STREQ(ActiveTuning.PatternNames[19], "\xC9olien (mineur)");
  EXPECT_TRUE(fs::exists(dir_ + "/TUNINGS/Chromatique.tng"));
  std::ifstream after(english, std::ios::binary);
  std::stringstream again;
  again << after.rdbuf();
  EXPECT_EQ(again.str(), bytes.str());

  // An existing file is not read either: whatever it holds stays.
  { std::ofstream(english, std::ios::binary) << "not a tuning"; }
  ResetTunings();
  ASSERT_EQ(SetUpDefaultTuning(home, 0), 0);
  EXPECT_EQ(ActiveTuning.PatternCount, 47);
  std::ifstream kept(english, std::ios::binary);
  std::stringstream last;
  last << kept.rdbuf();
  EXPECT_EQ(last.str(), "not a tuning");
  ResetTunings();
}

TEST_F(ScalePatterns, AFailedSaveIsReportedAndTheTuningStillStands) {
  ResetTunings();
  const std::string home = MakeHome(false);  // no TUNINGS folder to write into
  const int32_t r = SetUpDefaultTuning(home, 0);
  EXPECT_NE(r, 0);
  ASSERT_EQ(reports().size(), 1u);
  EXPECT_EQ(reports()[0].first, "SaveTuning(): " + QUARLE_BASICS::ErrorText(r));
  EXPECT_EQ(reports()[0].second, QUARLE_BASICS::kLevelError);
  EXPECT_EQ(ActiveTuning.PatternCount, 47);
  ResetTunings();
}

}  // namespace
}  // namespace Tarvelo
