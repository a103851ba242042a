// The built-in scale patterns as the default tuning stores them, the pattern
// limit, and the default tuning file written once and never replaced.
#include "app/scale_patterns.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <cstring>
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

uint64_t StoredMask(std::initializer_list<int> degrees) {
  uint64_t m = 0;
  for (int d : degrees) m |= uint64_t{1} << d;
  return m;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ScalePatterns : public ::testing::Test {
 protected:
  void SetUp() override {
    InitTuning(tuning_);
    ResetTunings();
    QUARLE_BASICS::MessageHook = [](const std::string& text, int32_t level) {
      reports().emplace_back(text, level);
    };
    reports().clear();
  }
  void TearDown() override {
    FreeTuning(tuning_);
    ResetTunings();
    QUARLE_BASICS::MessageHook = nullptr;
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  static std::vector<std::pair<std::string, int32_t>>& reports() {
    static std::vector<std::pair<std::string, int32_t>> r;
    return r;
  }
  // A fresh home folder as a system path, with or without its TUNINGS folder.
  std::string MakeHome(bool withTunings) {
    char tmpl[] = "/tmp/tarvelo_patterns_XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    if (withTunings) fs::create_directories(dir_ + "/TUNINGS");
    return platform::FromOsPath(dir_);
  }
  // The three tunings as they are before the program runs.
  static void ResetTunings() {
    for (int32_t i = 2; i >= 0; --i) FreeTuning(Tunings[i]);
    for (Tuning& t : Tunings) InitTuning(t);
  }
  Tuning tuning_{};
  std::string dir_;
};

TEST_F(ScalePatterns, StoredInNoteOrderWithTheirNames) {
  AddBuiltInScalePatterns(tuning_, 0);
  ASSERT_EQ(tuning_.PatternCount, 47);
  EXPECT_STREQ(tuning_.PatternNames[0], "Chromatic");
  // Row 1 has degree 10, row 7 does not; row 8 repeats row 7's mask under row
  // 2's name; rows 21, 25 and 34 keep their trailing blank.
  EXPECT_EQ(tuning_.PatternMasks[1], StoredMask({0, 2, 4, 5, 7, 9, 10, 11}));
  EXPECT_EQ(tuning_.PatternMasks[7], StoredMask({0, 2, 4, 5, 7, 9, 11}));
  EXPECT_EQ(tuning_.PatternMasks[8], tuning_.PatternMasks[7]);
  EXPECT_STREQ(tuning_.PatternNames[8], "Bebop major");
  EXPECT_STREQ(tuning_.PatternNames[21], "Enigmatic ");
  EXPECT_STREQ(tuning_.PatternNames[34], "Prometheus ");
  EXPECT_EQ(tuning_.PatternMasks[46], StoredMask({0, 1, 5, 6, 10}));
  EXPECT_STREQ(tuning_.PatternNames[46], "Japanese Iwato");
  EXPECT_EQ(kBuiltInScalePatterns[0].Mask, 2775u);  // the table reads bit 11 as degree 0
}

TEST_F(ScalePatterns, FrenchNamesOnlyForLanguage1) {
  AddBuiltInScalePatterns(tuning_, kFrenchLanguage);
  EXPECT_STREQ(tuning_.PatternNames[0], "Chromatique");
  EXPECT_STREQ(tuning_.PatternNames[34], "Prom\xE9th\xE9" "e");
  EXPECT_STREQ(tuning_.PatternNames[39], "Triton \xE0 2 demi-tons");
  for (int32_t language : {0, 2, 3}) EXPECT_STREQ(DefaultTuningName(language), "Chromatic");
}

TEST_F(ScalePatterns, AFullTuningTakesNoMoreThan128) {
  for (int32_t i = 0; i < 100; ++i) TuningAddScalePattern(tuning_, 1, "x", 0);
  AddBuiltInScalePatterns(tuning_, 0);
  EXPECT_EQ(tuning_.PatternCount, 128);
  EXPECT_STREQ(tuning_.PatternNames[127], "Neapolitan minor");  // row 27
}

TEST_F(ScalePatterns, TheDefaultTuningFileIsWrittenOnceAndNeverReplaced) {
  const std::string home = MakeHome(true);
  ASSERT_EQ(SetUpDefaultTuning(home, 0), 0);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(EditedTuning.Folder), home + "\\TUNINGS");
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(EditedTuning.FileName), "Chromatic.tng");
  EXPECT_EQ(ActiveTuning.PatternMasks[46], StoredMask({0, 1, 5, 6, 10}));

  // The file holds the patterns.
  Tuning loaded{};
  InitTuning(loaded);
  ASSERT_EQ(LoadTuning(loaded, home + "\\TUNINGS", "Chromatic.tng"), 0);
  ASSERT_EQ(loaded.PatternCount, 47);
  for (int32_t p = 0; p < 47; ++p) {
    EXPECT_EQ(loaded.PatternMasks[p], ActiveTuning.PatternMasks[p]) << p;
    EXPECT_STREQ(loaded.PatternNames[p], ActiveTuning.PatternNames[p]) << p;
  }
  FreeTuning(loaded);

  // A later start in French writes its own file; the English one is neither
  // read nor replaced, whatever it holds.
  const std::string english = dir_ + "/TUNINGS/Chromatic.tng";
  { std::ofstream(english, std::ios::binary) << "not a tuning"; }
  ResetTunings();
  ASSERT_EQ(SetUpDefaultTuning(home, kFrenchLanguage), 0);
  EXPECT_TRUE(fs::exists(dir_ + "/TUNINGS/Chromatique.tng"));
  ResetTunings();
  ASSERT_EQ(SetUpDefaultTuning(home, 0), 0);
  EXPECT_EQ(ActiveTuning.PatternCount, 47);
  EXPECT_EQ(ReadAll(english), "not a tuning");
  EXPECT_TRUE(reports().empty());
}

TEST_F(ScalePatterns, AFailedSaveIsReportedAndTheTuningStillStands) {
  const std::string home = MakeHome(false);  // no TUNINGS folder to write into
  const int32_t r = SetUpDefaultTuning(home, 0);
  EXPECT_NE(r, 0);
  ASSERT_EQ(reports().size(), 1u);
  EXPECT_EQ(reports()[0].first, "SaveTuning(): " + QUARLE_BASICS::ErrorText(r));
  EXPECT_EQ(reports()[0].second, QUARLE_BASICS::kLevelError);
  EXPECT_EQ(ActiveTuning.PatternCount, 47);
}

}  // namespace
}  // namespace Tarvelo
