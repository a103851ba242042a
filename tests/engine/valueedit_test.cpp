// Value fields: the unit ring, display modes, the typed and dragged route
// through the value-change hook, and the segments the pointer hits.
#include "engine/valueedit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "app/fixed_tables.h"
#include "engine/ui_hooks.h"
#include "engine/units.h"

namespace Tarvelo {
namespace {

class ValueEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUnitTable();
    EngineUi = EngineUiHooks{};
    ParamValueInit(v);
  }
  void TearDown() override { ParamValueFree(v); }

  void Format(int32_t mode, int32_t family, int32_t unit, float x) {
    ParamValueSetFormat(v, mode, family, unit);
    ParamValueConvertUnit(v, x, 0, 0);
  }
  std::string Suffix() const { return UnitSuffix(v.UnitFamily * kUnitFamilySize + v.Unit); }
  std::string Seg(int32_t i) const { return v.Segments[i].Text; }

  ParamValue v;
};

TEST_F(ValueEditTest, TimeUnitsGoRoundTheRing) {
  Format(0, 2, 0, 48000.0f);
  EXPECT_EQ(Suffix(), "u");
  ParamValueCycleUnit(v);
  EXPECT_FLOAT_EQ(v.Base.value, 1.0f);
  EXPECT_EQ(Suffix(), "s");
  EXPECT_FLOAT_EQ(v.EditStep, 0.05f);
  ParamValueCycleUnit(v);
  EXPECT_FLOAT_EQ(v.Base.value, 1.0f);
  EXPECT_EQ(Suffix(), "Hz");
  ParamValueCycleUnit(v);
  EXPECT_FLOAT_EQ(v.Base.value, 60.0f);
  EXPECT_EQ(Suffix(), "BPM");
  ParamValueCycleUnit(v);
  EXPECT_FLOAT_EQ(v.Base.value, 48000.0f);
  EXPECT_EQ(v.Unit, 0);
  EXPECT_EQ(v.SetUnit, 0);  // the stored number's unit never moves
}

TEST_F(ValueEditTest, NegativeAmplitudeKeepsItsSignThroughDecibels) {
  Format(0, 3, 0, -0.5f);
  ParamValueCycleUnit(v);
  EXPECT_NEAR(v.Base.value, -6.0206f, 1e-3);
  EXPECT_EQ(Suffix(), "dB");
  EXPECT_EQ(v.UnitSign, 1);
  ParamValueCycleUnit(v);
  EXPECT_NEAR(v.Base.value, -0.5f, 1e-6);
  EXPECT_EQ(v.UnitSign, 0);

  Format(0, 3, 0, 0.0f);
  ParamValueCycleUnit(v);
  EXPECT_FLOAT_EQ(v.Base.value, -140.0f);
}

TEST_F(ValueEditTest, DamagedUnitsStayWithinTheirFamily) {
  Format(0, 2, 0, 48000.0f);
  v.Unit = 99;
  v.SetUnit = -7;
  ParamValueCycleUnit(v);  // must end, from the last unit (BPM) to samples
  EXPECT_EQ(v.Unit, 0);
  EXPECT_EQ(v.SetUnit, 0);
  v.Unit = 1000;
  ParamValueConvertUnit(v, 48000.0f, 0, 0);
  EXPECT_EQ(v.Unit, 3);
  EXPECT_FLOAT_EQ(v.Base.value, 60.0f);

  ParamValueSetFormat(v, 0, 3, 0);
  v.Unit = -4;
  ParamValueCycleUnit(v);
  EXPECT_EQ(v.Unit, 1);
  v.DisplayMode = 77;
  ParamValueNextMode(v);
  EXPECT_GE(v.DisplayMode, 0);
  EXPECT_LE(v.DisplayMode, 5);
  EXPECT_EQ(LastUnitOf(2), 3);
  EXPECT_EQ(LastUnitOf(3), 1);
  EXPECT_EQ(LastUnitOf(1), 0);
  EXPECT_EQ(LastUnitOf(9), 0);
}

TEST_F(ValueEditTest, DisplayModesFollowTheFlags) {
  v.ModeFlags[0] = v.ModeFlags[1] = v.ModeFlags[2] = 0;
  v.DisplayMode = 0;
  for (int32_t expected : {1, 0, 1, 0}) {
    ParamValueNextMode(v);
    EXPECT_EQ(v.DisplayMode, expected);
    EXPECT_EQ(v.Base.mode, expected);
  }
  v.ModeFlags[0] = v.ModeFlags[1] = v.ModeFlags[2] = -1;
  for (int32_t expected : {1, 2, 3, 4, 5, 0}) {
    ParamValueNextMode(v);
    EXPECT_EQ(v.DisplayMode, expected);
  }
  v.ModeFlags[0] = -1;
  v.ModeFlags[1] = 0;
  v.ModeFlags[2] = 0;
  v.DisplayMode = 1;
  ParamValueNextMode(v);
  EXPECT_EQ(v.DisplayMode, 3);  // 2 and 4 need the second flag
  ParamValueNextMode(v);
  EXPECT_EQ(v.DisplayMode, 0);
}

TEST_F(ValueEditTest, DecimalSegmentsAndHitTest) {
  ParamValueSetFieldSize(v, 100, 20);
  Format(0, 0, 0, 1.5f);
  EXPECT_STREQ(v.Text, "+1.5");
  ASSERT_EQ(v.SegmentCount, 2);
  // Default measure: half the size per character; draw size 0.8 x 20.
  EXPECT_EQ(v.DrawSize, 16);
  EXPECT_EQ(v.LastDrawSize, 16);
  EXPECT_EQ(v.Segments[0].Kind, 0);
  EXPECT_EQ(v.Segments[0].Type, 1);
  EXPECT_EQ(Seg(0), "+");
  EXPECT_EQ(v.Segments[0].X, 0);
  EXPECT_EQ(v.Segments[0].Width, 8);
  EXPECT_EQ(v.Segments[1].Kind, 1);
  EXPECT_EQ(v.Segments[1].Type, 0);
  EXPECT_EQ(Seg(1), "1.5");
  EXPECT_EQ(v.Segments[1].X, 8);
  EXPECT_EQ(v.Segments[1].Width, 24);
  EXPECT_EQ(v.Dirty, -1);
  EXPECT_FLOAT_EQ(v.EditStep, 0.01f);

  EXPECT_EQ(ParamValueSegmentAt(v, -1), -1);
  EXPECT_EQ(ParamValueSegmentAt(v, 0), -1);  // the first segment's own X
  EXPECT_EQ(ParamValueSegmentAt(v, 5), 0);
  EXPECT_EQ(ParamValueSegmentAt(v, 8), 0);
  EXPECT_EQ(ParamValueSegmentAt(v, 9), 1);
  EXPECT_EQ(ParamValueSegmentAt(v, 31), 1);
  EXPECT_EQ(ParamValueSegmentAt(v, 32), -1);
  v.SegmentCount = 0;
  EXPECT_EQ(ParamValueSegmentAt(v, 5), -1);
}

TEST_F(ValueEditTest, FractionSegments) {
  Format(2, 0, 0, 1.5f);
  EXPECT_STREQ(v.Text, "+1+1/2");
  ASSERT_EQ(v.SegmentCount, 6);
  const int32_t types[6] = {5, 4, 7, 6, 6, 8};
  const int32_t kinds[6] = {0, 1, 0, 1, 2, 1};
  const char* texts[6] = {"+", "1", "+", "1", "/", "2"};
  int32_t x = 0;
  for (int32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(v.Segments[i].Type, types[i]) << i;
    EXPECT_EQ(v.Segments[i].Kind, kinds[i]) << i;
    EXPECT_EQ(Seg(i), texts[i]) << i;
    EXPECT_EQ(v.Segments[i].X, x) << i;
    x += v.Segments[i].Width;
  }

  v.ModeFlags[0] = -1;
  v.DisplayMode = 3;
  ParamValueNextMode(v);  // 4: power with whole and fraction
  ASSERT_EQ(v.DisplayMode, 4);
  EXPECT_EQ(v.SegmentCount, 9);
  EXPECT_EQ(v.Segments[0].Type, 3);
  EXPECT_EQ(v.Segments[1].Type, 2);
  EXPECT_EQ(Seg(2), "^");
  EXPECT_EQ(v.Segments[8].Type, 8);

  v.Base.showLeadingSign = 0;
  v.Base.showWholeSign = 0;
  ParamValueLayoutSegments(v);
  EXPECT_EQ(v.SegmentCount, 7);
}

TEST_F(ValueEditTest, TextShrinksToFitButNotBelowEight) {
  ParamValueSetFieldSize(v, 60, 30);
  Format(0, 0, 0, 1.5f);  // "+1.5": width 2 x size must fit 50
  EXPECT_EQ(v.DrawSize, 24);
  ParamValueSetFieldSize(v, 40, 30);
  ParamValueLayoutSegments(v);
  EXPECT_EQ(v.DrawSize, 15);
  ParamValueSetFieldSize(v, 20, 40);
  ParamValueLayoutSegments(v);
  EXPECT_EQ(v.DrawSize, 8);
  EngineUi.TextWidth = [](const std::string& text, int32_t) { return static_cast<int32_t>(text.size()); };
  ParamValueLayoutSegments(v);
  EXPECT_EQ(v.DrawSize, 32);
  EXPECT_EQ(v.Segments[1].X, 1);
}

TEST_F(ValueEditTest, KeptDenominatorStaysOnItsGrid) {
  ParamValueSetFormat(v, 1, 0, 0);
  v.Base.ratio = {6, 12};
  ParamValueConvertUnit(v, 0.3f, 0, 0);
  EXPECT_EQ(v.Base.ratio.numerator, 3);
  EXPECT_EQ(v.Base.ratio.denominator, 10);
  v.Base.ratio = {6, 12};
  ParamValueConvertUnit(v, 0.3f, 0, -1);
  EXPECT_EQ(v.Base.ratio.numerator, 4);
  EXPECT_EQ(v.Base.ratio.denominator, 12);
  EXPECT_FLOAT_EQ(v.Base.value, 0.3f);
}

// A hook that takes samples and allows at most half a second.
float g_hookInput = 0.0f;
int32_t HalfSecondAtMost(float* x) {
  g_hookInput = *x;
  float entry = *x;
  if (*x > 24000.0f) *x = 24000.0f;
  return *x == entry ? 0 : (entry > *x ? -1 : 1);
}

TEST_F(ValueEditTest, TypedAndDraggedNumbersGoThroughTheHook) {
  ParamValueSetFormat(v, 0, 2, 0);
  v.Unit = 1;  // shown in seconds
  v.OnChange = HalfSecondAtMost;
  ParamValueSetTyped(v, 0.25f);
  EXPECT_FLOAT_EQ(g_hookInput, 12000.0f);
  EXPECT_FLOAT_EQ(v.Base.value, 0.25f);
  ParamValueSetTyped(v, 2.0f);
  EXPECT_FLOAT_EQ(g_hookInput, 96000.0f);
  EXPECT_FLOAT_EQ(v.Base.value, 0.5f);

  v.Base.value = 3.0f;  // dragged past the limit
  ParamValueDrag(v);
  EXPECT_FLOAT_EQ(g_hookInput, 144000.0f);
  EXPECT_FLOAT_EQ(v.Base.value, 0.5f);

  v.OnChange = nullptr;
  ParamValueSetTyped(v, 0.1f);
  EXPECT_FLOAT_EQ(v.Base.value, 0.5f);
}

// Limits of the tests' own, and a hook that takes what it is given.
float g_low = 0.0f, g_high = 0.0f;
void Limits(float* low, float* high) {
  *low = g_low;
  *high = g_high;
}
int32_t Takes(float* x) {
  g_hookInput = *x;
  return 0;
}

TEST_F(ValueEditTest, TypedTextsAreReadAgainstTheLimitsAndSaid) {
  // A reference pitch of 220..880 Hz shown in hertz, beats per minute or
  // seconds, and an amplitude of -1..1 shown in decibels.
  const std::string comma = "\": type decimals with a point (0.5), not a comma. The value stays as it was.";
  const std::string none = "\" is not a number: the value stays as it was.";
  const std::string left = " (the text after the number is left out).";
  struct Case {
    int32_t family, setUnit, shownUnit;
    const char* typed;
    bool apply;
    float shown;  // the number set, in the shown unit
    float hook;   // what the value's hook gets, in the unit it is set in
    std::string say;
  };
  const Case cases[] = {
      {2, 2, 2, "440", true, 440.0f, 440.0f, ""},
      {2, 2, 2, "880", true, 880.0f, 880.0f, ""},
      {2, 2, 2, " 432 hz ", true, 432.0f, 432.0f, ""},  // the field's own unit
      {2, 2, 2, "-5", true, 220.0f, 220.0f, "-5 Hz is out of range: the lowest is 220 Hz: set to 220 Hz."},
      {2, 2, 2, "0", true, 220.0f, 220.0f, "0 Hz is out of range: the lowest is 220 Hz: set to 220 Hz."},
      {2, 2, 2, "1e9", true, 880.0f, 880.0f, "1e+09 Hz is out of range: the highest is 880 Hz: set to 880 Hz."},
      {2, 2, 2, "5k", true, 220.0f, 220.0f,
       "\"5k\" is read as 5" + left + " 5 Hz is out of range: the lowest is 220 Hz: set to 220 Hz."},
      {2, 2, 2, "1e", true, 220.0f, 220.0f,
       "\"1e\" is read as 1" + left + " 1 Hz is out of range: the lowest is 220 Hz: set to 220 Hz."},
      {2, 2, 2, "500 x", true, 500.0f, 500.0f, "\"500 x\" is read as 500" + left},
      {2, 2, 2, "1e99", true, 880.0f, 880.0f,
       "3.402823e+38 Hz is out of range: the highest is 880 Hz: set to 880 Hz."},
      {2, 2, 2, "abc", false, 0.0f, -1.0f, "\"abc" + none},
      {2, 2, 2, "", false, 0.0f, -1.0f, "\"" + none},
      {2, 2, 2, "0,5", false, 0.0f, -1.0f, "\"0,5" + comma},
      // Judged in hertz, said in the unit shown.
      {2, 2, 3, "60", true, 13200.0f, 220.0f,
       "60 BPM is out of range: the lowest is 13200 BPM: set to 13200 BPM."},
      {2, 2, 3, "30000 BPM", true, 30000.0f, 500.0f, ""},
      {2, 2, 1, "1", true, 1.0f / 220.0f, 220.0f,
       "1 s is out of range: the highest is 0.004545455 s: set to 0.004545455 s."},
      {3, 0, 1, "6", true, 0.0f, 1.0f, "6 dB is out of range: the highest is 0 dB: set to 0 dB."},
      {3, 0, 1, "-6 dB", true, -6.0f, 0.501187f, ""},
      {1, 0, 0, "7 u", true, 1.0f, 1.0f,
       "\"7 u\" is read as 7" + left + " 7 is out of range: the highest is 1: set to 1."},
  };
  v.OnChange = Takes;
  v.OnRange = Limits;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    g_low = c.family == 2 ? 220.0f : -1.0f;
    g_high = c.family == 2 ? 880.0f : 1.0f;
    Format(0, c.family, c.setUnit, c.family == 2 ? 440.0f : 0.5f);
    v.Unit = c.shownUnit;
    v.UnitSign = 0;
    const TypedValue t = ParamValueReadTyped(v, c.typed);
    EXPECT_EQ(t.apply, c.apply);
    EXPECT_EQ(t.say, c.say);
    if (!c.apply) continue;
    EXPECT_NEAR(t.value, c.shown, 1e-4f * std::max(1.0f, std::fabs(c.shown)));
    g_hookInput = -1.0f;
    ParamValueSetTyped(v, t.value);
    EXPECT_NEAR(g_hookInput, c.hook, 1e-4f * c.hook);
  }
}

// A source's frequency hook: the number is kept as a share of a quarter of
// the rate and shown again times it.
int32_t QuarterRate(float* x) {
  const float entry = *x;
  *x = *x / 12000.0f * 12000.0f;
  return *x == entry ? 0 : (entry > *x ? -1 : 1);
}

TEST_F(ValueEditTest, TypedFrequenciesReadAsProperFractions) {
  // Typed one after another into one field shown as whole number and
  // fraction: each shows a fraction below 1 on the field's own grid, within
  // half a step of the number typed.
  Format(2, kUnitTime, 2, 1.0f);
  v.OnChange = QuarterRate;
  const float typed[] = {440.0f, 110.0f, 220.0f, 880.0f, 55.0f, 27.5f, 261.63f,
                         1000.0f, 12.5f, 0.5f, 3.75f, 100.0f, 2000.0f};
  int32_t wrong = 0;
  std::string shown;
  for (float x : typed) {
    ParamValueSetTyped(v, x);
    const auto& r = v.Base.ratio;
    const double value = v.Base.whole + static_cast<double>(r.numerator) / r.denominator;
    const bool proper = r.numerator >= 0 && r.numerator < r.denominator && r.denominator <= 127;
    if (!proper || std::fabs(value - x) > 0.5 / 127 + 1e-4) ++wrong;
    shown += std::string(v.Text) + " ";
  }
  EXPECT_EQ(wrong, 0) << shown;
  EXPECT_EQ(shown.substr(0, 11), "+440+0/127 ");
}

int32_t AcceptAll(float*) { return 0; }

TEST_F(ValueEditTest, AnAcceptedDragKeepsTheDecibelSign) {
  Format(0, 3, 0, -0.5f);
  ParamValueCycleUnit(v);
  ASSERT_EQ(v.UnitSign, 1);
  v.OnChange = AcceptAll;
  ParamValueDrag(v);
  EXPECT_EQ(v.UnitSign, 1);
  ParamValueCycleUnit(v);
  EXPECT_NEAR(v.Base.value, -0.5f, 1e-6);
}

}  // namespace
}  // namespace Tarvelo
