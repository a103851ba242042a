// The tuning editor's displays and the two pattern lists.
#include <cmath>
#include <cstring>
#include <vector>

#include "basics/dynzstring.h"
#include "engine/tuning.h"
#include "tests/ui/views/views_b_fixture.h"
#include "ui/build/frame.h"
#include "ui/views/tuning_displays.h"
#include "visuals/colours.h"
#include "visuals/layers.h"

namespace viewsb {
namespace {

using namespace Tarvelo;

class TuningViewTest : public ViewTest {
 protected:
  void TearDown() override {
    for (Tuning* t : {&EditedTuning, &ActiveTuning}) {
      FreeTuning(*t);
      InitTuning(*t);
    }
    ViewTest::TearDown();
  }
  static void Pattern(Tuning& t, int32_t i, uint64_t mask, const char* name) {
    t.PatternMasks[i] = mask;
    std::memset(t.PatternNames[i], 0, kScalePatternNameSize);
    std::strncpy(t.PatternNames[i], name, kScalePatternNameSize - 1);
    if (t.PatternCount <= i) t.PatternCount = i + 1;
  }
  // A 606-pixel key row at (0, 0): cells of 50 pixels for 12 keys.
  int32_t Row(int32_t w = 606, int32_t h = 35) { return Make(0, 0, w, h); }
};

TEST(TuningHelpers, CellsNamesAndMasks) {
  V::BorderWidth = 3;
  EXPECT_FLOAT_EQ(TuningCellWidth(606, 12), 50.0f);
  EXPECT_FLOAT_EQ(TuningCellWidth(26, 64), 2.0f);
  EXPECT_EQ(TrimmedPatternName("  Major  "), "Major");
  EXPECT_EQ(TrimmedPatternName("    "), "");
  char full[kScalePatternNameSize];
  std::memset(full, 'x', sizeof full);  // a field without its terminator
  EXPECT_EQ(TrimmedPatternName(full).size(), static_cast<size_t>(kScalePatternNameSize));
  EXPECT_EQ(PatternMaskDigits(0b101, 4), "0101");
  EXPECT_EQ(PatternMaskDigits(~uint64_t{0}, 64), std::string(64, '1'));
}

TEST_F(TuningViewTest, KeyGridFitsNamesAndMarksKeys) {
  // 64 keys on a narrow grid: cells of 2 pixels and names at size 8.
  TuningSetNoteCount(EditedTuning, 64);
  int32_t id = Row(200);
  AddLayer(id, 194, 29);
  Snapshot s;
  Take(id, s);
  DrawTuningKeyGrid(s.get(), id);
  EXPECT_EQ(C(id)->Text.TextSize, 8);

  // Twelve keys of 50 pixels: the names keep their size.
  TuningSetNoteCount(EditedTuning, 12);
  id = Row();
  platform::Image* names = AddLayer(id, 600, 29);
  C(id)->Text.TextSize = 20;
  C(id)->Text.Mark = 2;
  C(id)->Text.Selected = 2;
  Take(id, s);
  DrawTuningKeyGrid(s.get(), id);
  EXPECT_EQ(C(id)->Text.TextSize, 20);
  EXPECT_EQ(Px(3 + 2 * 50 + 25, 31), kTuningSelected);  // selected over hovered
  EXPECT_EQ(Px(3 + 3 * 50 + 25, 31), kTuningGridBack);
  EXPECT_EQ(Px(3 + 3 * 50 + 1, 31), kTuningLine);       // separator
  EXPECT_EQ(Px(0, 0), kTuningLine);                     // frame at rest
  EXPECT_GT(Covered(names), 50);

  // Hovered only; a selection beyond the keys is not shown; a pressed grid
  // has the light frame.
  C(id)->Text.Selected = 12;
  C(id)->Text.Mark = 11;
  C(id)->State.Pressed = -1;
  Take(id, s);
  DrawTuningKeyGrid(s.get(), id);
  EXPECT_EQ(Px(3 + 11 * 50 + 25, 31), kTuningHover);
  EXPECT_EQ(Px(3 + 2 * 50 + 25, 31), kTuningGridBack);
  EXPECT_EQ(Px(0, 0), kTuningActiveFrame);
}

TEST_F(TuningViewTest, NameNoteFollowsTheModifiedFlag) {
  const int32_t id = Make(0, 0, 606, 31);
  AddLayer(id, 600, 25);
  V::TextFieldSetText(&C(id)->Text, "Just.tng");
  C(id)->Text.TextSize = 16;
  C(id)->Text.Align = 1;
  EditedTuning.Modified = -1;
  Snapshot s;
  Take(id, s);
  DrawTuningName(s.get(), id);
  EXPECT_EQ(C(id)->Text.LayoutWidth,
            V::TextWidth("Just.tng (modifications not saved)", &V::TextFont, 16));
  // Saved: the note goes at the next frame, with no text published.
  EditedTuning.Modified = 0;
  Take(id, s, 0);
  DrawTuningName(s.get(), id);
  EXPECT_EQ(C(id)->Text.LayoutWidth, V::TextWidth("Just.tng", &V::TextFont, 16));
  EXPECT_GT(Covered(C(id)->Layers[0]), 20);
}

TEST_F(TuningViewTest, KeyStepsShowEachKeysShareOfTheOctave) {
  const int32_t id = Make(0, 0, 600, 40);
  const auto marks = [this] {
    std::vector<int32_t> xs;
    for (int32_t x = 0; x < 600; ++x)
      if (Px(x, 0) == 0xFFFFFFFFu) xs.push_back(x);
    return xs;
  };
  TuningSetGeometric(EditedTuning);
  Snapshot s;
  Take(id, s);
  DrawTuningKeySteps(s.get(), id);
  std::vector<int32_t> xs = marks();
  ASSERT_EQ(xs.size(), 12u);
  for (int32_t k = 0; k < 12; ++k) EXPECT_EQ(xs[k], k * 50) << k;

  ClearCanvas();
  TuningSetEqualTemperament(EditedTuning);
  Take(id, s);
  DrawTuningKeySteps(s.get(), id);
  xs = marks();
  ASSERT_EQ(xs.size(), 12u);
  for (int32_t k = 2; k < 12; ++k) EXPECT_GE(xs[k] - xs[k - 1], xs[k - 1] - xs[k - 2]) << k;
  EXPECT_LT(xs[1] - xs[0], 600 - xs[11]);  // the last step up to the octave is the widest
  // Each step's box in the hue of its key's place, below the start mark.
  const float hsv[3] = {0.0f, 1.0f, 1.0f};
  EXPECT_EQ(Px(5, 2), V::HsvToRgb(hsv));
}

TEST_F(TuningViewTest, SwitchesShowTheSelectedPatternOrTheFirst) {
  Pattern(EditedTuning, 0, 0b10001, "Zero");
  Pattern(EditedTuning, 1, 0b10, "One");
  const int32_t id = Row();
  C(id)->Text.Mark = 3;
  Snapshot s;
  Take(id, s);
  DrawScalePatternSwitches(s.get(), id);
  EXPECT_EQ(Px(3 + 25, 17), kTuningSwitchOn);
  EXPECT_EQ(Px(3 + 4 * 50 + 25, 17), kTuningSwitchOn);
  EXPECT_EQ(Px(3 + 1 * 50 + 25, 17), kTuningLine);
  EXPECT_EQ(Px(3 + 3 * 50 + 25, 17), kTuningHover);
  EXPECT_EQ(Px(3 + 50, 17), kTuningLine);  // the cell's outline

  // The pattern list's selection picks the pattern; past the last one no key is on.
  const int32_t list = Make(0, 100, 300, 40);
  V::UiIndex[kUiSAM_PATTERNS] = list;
  C(list)->Text.Selected = 1;
  Take(id, s);
  DrawScalePatternSwitches(s.get(), id);
  EXPECT_EQ(Px(3 + 50 + 25, 17), kTuningSwitchOn);
  EXPECT_EQ(Px(3 + 25, 17), kTuningLine);
  C(list)->Text.Selected = 5;
  Take(id, s);
  DrawScalePatternSwitches(s.get(), id);
  for (int32_t k = 0; k < 12; ++k) EXPECT_NE(Px(3 + k * 50 + 25, 17), kTuningSwitchOn) << k;
}

TEST_F(TuningViewTest, PatternListsShowTrimmedNamesAndTooltips) {
  Pattern(EditedTuning, 0, 0b101, "  Major  ");
  Pattern(EditedTuning, 1, 0b11, "Minor");
  Pattern(ActiveTuning, 0, 0b1, "Penta ");
  const int32_t rowH = 30;
  const int32_t list = Make(0, 0, 300, 3 * rowH + 6);
  ASSERT_EQ(V::SetListRows(list, 16, 3, rowH), 0);
  C(list)->Text.Mark = 0;
  Snapshot s;
  Take(list, s);
  DrawScalePatternList(s.get(), list);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(C(list)->Tooltip), "Major :  000000000101");
  EXPECT_GT(Covered(C(list)->Layers[0]), 20);
  EXPECT_GT(Covered(C(list)->Layers[1]), 20);
  EXPECT_EQ(Covered(C(list)->Layers[2]), 0);  // two patterns, three rows

  const int32_t scales = Make(400, 0, 300, 3 * rowH + 6);
  ASSERT_EQ(V::SetListRows(scales, 16, 3, rowH), 0);
  C(scales)->Text.Mark = 0;
  Take(scales, s);
  DrawScaleList(s.get(), scales);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(C(scales)->Tooltip), "Penta:  000000000001");
}

}  // namespace
}  // namespace viewsb
