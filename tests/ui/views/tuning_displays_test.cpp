// The tuning editor's displays and the two pattern lists.
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
using uitest::TipOf;

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
  // Key k's cell in a 606-pixel row of 12 keys: 50 pixels from 3 + 50k.
  static int32_t CellMid(int32_t k) { return 3 + 50 * k + 25; }
};

TEST_F(TuningViewTest, KeyGridFitsNamesAndMarksKeys) {
  TuningSetNoteCount(EditedTuning, 64);  // 2-pixel cells: names at size 8
  int32_t id = Make(0, 0, 200, 35);
  AddLayer(id, 194, 29);
  Snapshot s;
  const int32_t asked = C(id)->Text.TextSize;
  DrawTuningKeyGrid(Take(id, s), id);
  EXPECT_EQ(s->Text.TextSize, 8);
  EXPECT_EQ(C(id)->Text.TextSize, asked) << "the live record is the interface thread's";

  TuningSetNoteCount(EditedTuning, 12);
  id = Make(0, 0, 606, 35);
  platform::Image* names = AddLayer(id, 600, 29);
  C(id)->Text.TextSize = 20;
  C(id)->Text.Mark = C(id)->Text.Selected = 2;
  DrawTuningKeyGrid(Take(id, s), id);
  EXPECT_EQ(s->Text.TextSize, 20);
  EXPECT_EQ(Px(CellMid(2), 31), kTuningSelected);  // selected over hovered
  EXPECT_EQ(Px(CellMid(3), 31), kTuningGridBack);
  EXPECT_EQ(Px(3 + 150 + 1, 31), kTuningLine);     // separator
  EXPECT_EQ(Px(0, 0), kTuningLine);
  EXPECT_GT(Covered(names), 50);
  // A selection beyond the keys is not shown; pressed, the frame lights up.
  C(id)->Text.Selected = 12;
  C(id)->Text.Mark = 11;
  C(id)->State.Pressed = -1;
  DrawTuningKeyGrid(Take(id, s), id);
  EXPECT_EQ(Px(CellMid(11), 31), kTuningHover);
  EXPECT_EQ(Px(CellMid(2), 31), kTuningGridBack);
  EXPECT_EQ(Px(0, 0), kTuningActiveFrame);
}

TEST_F(TuningViewTest, NameNoteAndKeySteps) {
  const int32_t id = Make(0, 100, 606, 31);
  AddLayer(id, 600, 25);
  V::TextFieldSetText(&C(id)->Text, "Just.tng");
  C(id)->Text.TextSize = 16;
  C(id)->Text.Align = 1;
  EditedTuning.Modified = -1;
  Snapshot s;
  DrawTuningName(Take(id, s), id);
  EXPECT_EQ(C(id)->Text.LayoutWidth, V::TextWidth("Just.tng (modifications not saved)", &V::TextFont, 16));
  EditedTuning.Modified = 0;  // saved: the note goes at the next frame
  DrawTuningName(Take(id, s, 0), id);
  EXPECT_EQ(C(id)->Text.LayoutWidth, V::TextWidth("Just.tng", &V::TextFont, 16));

  // The steps bar: each step starts with a white mark on the top row.
  const int32_t bar = Make(0, 0, 600, 40);
  const auto marks = [this] {
    std::vector<int32_t> xs;
    for (int32_t x = 0; x < 600; ++x)
      if (Px(x, 0) == 0xFFFFFFFFu) xs.push_back(x);
    return xs;
  };
  TuningSetGeometric(EditedTuning);  // all steps equal
  DrawTuningKeySteps(Take(bar, s), bar);
  std::vector<int32_t> xs = marks();
  ASSERT_EQ(xs.size(), 12u);
  for (int32_t k = 0; k < 12; ++k) EXPECT_EQ(xs[k], 50 * k);
  TuningSetEqualTemperament(EditedTuning);  // steps growing to the octave
  platform::ImageFill(canvas, kBackground);
  DrawTuningKeySteps(Take(bar, s), bar);
  xs = marks();
  ASSERT_EQ(xs.size(), 12u);
  for (int32_t k = 2; k < 12; ++k) EXPECT_GE(xs[k] - xs[k - 1], xs[k - 1] - xs[k - 2]);
  EXPECT_LT(xs[1] - xs[0], 600 - xs[11]);
  const float red[3] = {0.0f, 1.0f, 1.0f};
  EXPECT_EQ(Px(5, 2), V::HsvToRgb(red));  // key 0's hue
}

TEST_F(TuningViewTest, SwitchesShowTheSelectedPatternOrTheFirst) {
  Pattern(EditedTuning, 0, 0b10001, "Zero");
  Pattern(EditedTuning, 1, 0b10, "One");
  const int32_t id = Make(0, 0, 606, 35);
  C(id)->Text.Mark = 3;
  Snapshot s;
  DrawScalePatternSwitches(Take(id, s), id);
  EXPECT_EQ(Px(CellMid(0), 17), kTuningSwitchOn);
  EXPECT_EQ(Px(CellMid(4), 17), kTuningSwitchOn);
  EXPECT_EQ(Px(CellMid(1), 17), kTuningLine);
  EXPECT_EQ(Px(CellMid(3), 17), kTuningHover);
  EXPECT_EQ(Px(3 + 50, 17), kTuningLine);  // outline
  const int32_t list = Make(0, 100, 300, 40);
  V::UiIndex[kUiSAM_PATTERNS] = list;
  C(list)->Text.Selected = 1;
  V::ControlPublish(C(list), 0);  // the switches show the published selection
  DrawScalePatternSwitches(Take(id, s), id);
  EXPECT_EQ(Px(CellMid(1), 17), kTuningSwitchOn);
  EXPECT_EQ(Px(CellMid(0), 17), kTuningLine);
  C(list)->Text.Selected = 5;  // past the last pattern: no key on
  V::ControlPublish(C(list), 0);
  DrawScalePatternSwitches(Take(id, s), id);
  for (int32_t k = 0; k < 12; ++k) EXPECT_NE(Px(CellMid(k), 17), kTuningSwitchOn);
}

TEST_F(TuningViewTest, PatternListsShowTrimmedNamesAndTooltips) {
  Pattern(EditedTuning, 0, 0b101, "  Major  ");
  Pattern(EditedTuning, 1, 0b11, "Minor");
  Pattern(ActiveTuning, 0, 0b1, "Penta ");
  Snapshot s;
  const int32_t list = Make(0, 0, 300, 96);
  ASSERT_EQ(V::SetListRows(list, 16, 3, 30), 0);
  C(list)->Text.Mark = 0;
  DrawScalePatternList(Take(list, s), list);
  EXPECT_EQ(TipOf(list), "Major :  000000000101");
  EXPECT_GT(Covered(C(list)->Layers[1]), 20);
  EXPECT_EQ(Covered(C(list)->Layers[2]), 0);  // two patterns, three rows
  const int32_t scales = Make(400, 0, 300, 96);
  ASSERT_EQ(V::SetListRows(scales, 16, 3, 30), 0);
  C(scales)->Text.Mark = 0;
  DrawScaleList(Take(scales, s), scales);
  EXPECT_EQ(TipOf(scales), "Penta:  000000000001");
}

}  // namespace
}  // namespace viewsb
