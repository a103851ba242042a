// The value editors on a value of the test's own: null pointers, display mode
// and unit steps, the drag accumulator, each draggable field with its wraps,
// sign and bit clicks, and the typed value through the dialog box.
#include "app/fixed_tables.h"
#include "app/state/dialogs.h"
#include "engine/units.h"
#include "engine/valueedit.h"
#include "panels_a_fixture.h"
#include "ui/panels/dialog.h"
#include "ui/panels/value_editors.h"
#include "ui/views/control_drawing.h"
#include "visuals/layers.h"

namespace panelsa {
namespace {

using namespace Tarvelo;

std::vector<float> g_hooked;
int32_t AcceptHook(float* x) {
  g_hooked.push_back(*x);
  return 0;
}

class ValueEditorsTest : public PanelsATest {
 protected:
  void SetUp() override {
    PanelsATest::SetUp();
    SetUnitTable();
    g_hooked.clear();
    ValueDragAccumulator = 0;
    ParamValueInit(value_);
    ParamValueSetFieldSize(value_, 300, 20);
    ParamValueSetFormat(value_, 0, kUnitLevel, 0);
    value_.OnChange = AcceptHook;
    Show(1.0f);
    fad_ = Slot(kUiFAD_PP);
    fae_ = fad_ + 1;
    fav_ = fad_ + 2;
    fau_ = fad_ + 3;
  }
  void TearDown() override {
    for (int32_t id : {fad_, fae_, fav_, fau_})
      if (C(id)) C(id)->UserPointer = nullptr;
    ParamValueFree(value_);
    PanelsATest::TearDown();
  }
  void Bind() {
    for (int32_t id : {fad_, fae_, fav_, fau_}) C(id)->UserPointer = &value_;
  }
  void Show(float x, int32_t mode = 0) {
    value_.DisplayMode = mode;
    ParamValueLoadNumber(value_, x);
    ParamValueLayoutSegments(value_);
  }
  // The first segment of a kind and type.
  int32_t SegmentOf(int32_t kind, int32_t type) const {
    for (int32_t i = 0; i < value_.SegmentCount; ++i)
      if (value_.Segments[i].Kind == kind && value_.Segments[i].Type == type) return i;
    return -1;
  }
  void Drag(int32_t dx) { OnValueDrag(V::kEventDrag, dx, 0, fav_, 0); }
  void Delivered() {
    for (const CommandMessage& m : Drain(0))
      if (m.type == 100 && C(m.arg2) && C(m.arg2)->EventCallback)
        C(m.arg2)->EventCallback(m.arg5, 0, 0, m.arg2, m.arg1);
  }

  ParamValue value_{};
  int32_t fad_ = 0, fae_ = 0, fav_ = 0, fau_ = 0;
};

TEST_F(ValueEditorsTest, NullPointersIgnoreEverything) {
  C(fav_)->Text.Selected = 3;
  Click(OnValueDisplayMode, fad_);
  Click(OnValueUnit, fau_);
  Click(OnValueEdit, fae_);
  OnValueDrag(V::kEventHover, C(fav_)->X + 10, C(fav_)->Y + 5, fav_, 0);
  EXPECT_EQ(C(fav_)->Text.Selected, -1);
  EXPECT_EQ(DialogOwner, 0);
  EXPECT_TRUE(g_hooked.empty());
}

TEST_F(ValueEditorsTest, DisplayModeAndUnitStepOnExactClicks) {
  Bind();
  OnValueDisplayMode(V::kEventClick | V::kEventHover, 0, 0, fad_, 0);
  EXPECT_EQ(value_.DisplayMode, 0);
  Click(OnValueDisplayMode, fad_);
  EXPECT_EQ(value_.DisplayMode, 1);
  Click(OnValueUnit, fau_);
  EXPECT_EQ(value_.Unit, 1);
  EXPECT_EQ(Text(fau_), UnitSuffix(kUnitLevel * kUnitFamilySize + 1));
  Click(OnValueUnit, fau_);
  EXPECT_EQ(value_.Unit, 0);  // wraps in its family
}

TEST_F(ValueEditorsTest, HoverFindsTheSegmentPastTheCentringOffset) {
  Bind();
  ValueFieldOffset(value_) = 40;
  const int32_t number = SegmentOf(1, 0);
  ASSERT_GE(number, 0);
  const int32_t x = C(fav_)->X + V::BorderWidth + 40 + value_.Segments[number].X + 1;
  OnValueDrag(V::kEventHover, x, C(fav_)->Y + 5, fav_, 0);
  EXPECT_EQ(C(fav_)->Text.Selected, number);
}

TEST_F(ValueEditorsTest, EightPixelsMakeOneStepAndTheRestCarriesOver) {
  Bind();
  C(fav_)->Text.Selected = SegmentOf(1, 0);
  const float step = value_.EditStep;
  Drag(3);
  EXPECT_TRUE(g_hooked.empty());
  Drag(2);
  ASSERT_EQ(g_hooked.size(), 1u);
  EXPECT_FLOAT_EQ(value_.Base.value, 1.0f + step);
  EXPECT_EQ(ValueDragAccumulator, -3);
  Drag(-13);  // -16: two steps down
  EXPECT_FLOAT_EQ(value_.Base.value, 1.0f - step);
  EXPECT_EQ(ValueDragAccumulator, 0);
}

TEST_F(ValueEditorsTest, NumeratorAndDenominatorKeepTheMixedFormProper) {
  Bind();
  Show(2.75f, 2);
  ASSERT_EQ(value_.Base.ratio.numerator, 3);
  ASSERT_EQ(value_.Base.ratio.denominator, 4);
  C(fav_)->Text.Selected = SegmentOf(1, 6);
  Drag(8);  // past denominator - 1: carried into the whole part
  ASSERT_FALSE(g_hooked.empty());
  EXPECT_FLOAT_EQ(g_hooked.back(), 3.0f);
  EXPECT_STREQ(value_.Text, "+3+0/4");
  Drag(-8);  // below 0: borrowed from it
  EXPECT_FLOAT_EQ(g_hooked.back(), 2.75f);
  EXPECT_STREQ(value_.Text, "+2+3/4");
}

// A source's frequency: kept as a share of a quarter of the rate and shown
// again times it, so a whole number of hertz comes back a float step off.
int32_t QuarterRateHook(float* x) {
  const float entry = *x;
  *x = *x / 12000.0f * 12000.0f;
  g_hooked.push_back(*x);
  return *x == entry ? 0 : (entry > *x ? -1 : 1);
}

TEST_F(ValueEditorsTest, ANumeratorDraggedRightRaisesTheValue) {
  Bind();
  value_.ModeFlags[1] = -1;
  value_.OnChange = QuarterRateHook;
  ParamValueSetTyped(value_, 1.0f);
  value_.DisplayMode = 2;
  ParamValueSetTyped(value_, 440.0f);
  EXPECT_STREQ(value_.Text, "+440+0/127");
  // One step at a time from 438 + 120/127 to 441 and back, each through the
  // hook: every step right raises the value by about 1/127, every step left
  // lowers it.
  ParamValueSetTyped(value_, 438.0f + 120.0f / 127.0f);
  ASSERT_STREQ(value_.Text, "+438+120/127");
  int32_t wrong = 0;
  for (int32_t dx : {8, -8}) {
    for (int32_t i = 0; i < 2 * 127 + 7; ++i) {
      C(fav_)->Text.Selected = SegmentOf(1, 6);
      const float before = value_.Base.value;
      Drag(dx);
      const float change = (value_.Base.value - before) * static_cast<float>(dx / 8);
      if (!(std::fabs(change - 1.0f / 127.0f) < 1e-3f)) ++wrong;
    }
    EXPECT_STREQ(value_.Text, dx > 0 ? "+441+0/127" : "+438+120/127");
  }
  EXPECT_EQ(wrong, 0);
}

TEST_F(ValueEditorsTest, TheBaseWrapsBetweenOneAndNine) {
  Bind();
  value_.ModeFlags[0] = -1;
  Show(8.0f, 3);
  value_.Base.base = 9;
  ParamValueLayoutSegments(value_);
  C(fav_)->Text.Selected = SegmentOf(1, 2);
  ASSERT_GE(C(fav_)->Text.Selected, 0);
  // The hook settles nothing, so the record keeps the dragged base.
  value_.OnChange = [](float*) -> int32_t { return 0; };
  Drag(8);
  EXPECT_EQ(value_.Base.base, 1);
  Drag(-8);
  EXPECT_EQ(value_.Base.base, 9);
}

TEST_F(ValueEditorsTest, SignAndBitClicks) {
  Bind();
  C(fav_)->Text.Selected = SegmentOf(0, 1);
  Click(OnValueDrag, fav_);
  EXPECT_FLOAT_EQ(g_hooked.back(), -1.0f);
  // Bit cells: the lower row starts at cell 10; -5 with bit 1 flipped is 7.
  value_.ModeFlags[2] = -1;
  Show(-5.0f, 5);
  V::ControlRecord* c = C(fav_);
  OnValueDrag(V::kEventPress, c->X + V::BorderWidth + 1, c->Y + c->H - 2, fav_, 0);
  EXPECT_EQ(c->Text.Selected, 10);
  c->Text.Selected = 1;
  Click(OnValueDrag, fav_);
  EXPECT_FLOAT_EQ(g_hooked.back(), 7.0f);
}

TEST_F(ValueEditorsTest, TypedValueThroughTheDialog) {
  Bind();
  const int32_t db = Slot(kUiDB);
  const int32_t edit = db + 2;
  Click(OnValueEdit, fae_);
  EXPECT_EQ(DialogOwner, fae_);
  EXPECT_EQ(On(fae_), -1);
  EXPECT_EQ(Text(edit), "1");
  EXPECT_EQ(Text(db + 1), "  Enter a new floating point value: ");
  SetTextOf(edit, "  2.5abc");
  Click(OnDialogOk, db + 3);
  Delivered();
  ASSERT_FALSE(g_hooked.empty());
  EXPECT_FLOAT_EQ(g_hooked.back(), 2.5f);
  EXPECT_EQ(On(fae_), 0);


  // No leaves the value as it is.
  const size_t before = g_hooked.size();
  Click(OnValueEdit, fae_);
  SetTextOf(edit, "9");
  Click(OnDialogCancel, db + 4);
  Delivered();
  EXPECT_EQ(g_hooked.size(), before);
  EXPECT_EQ(On(fae_), 0);
}

TEST_F(ValueEditorsTest, TextThatIsNoNumberKeepsTheValueAndSaysWhy) {
  Bind();
  const int32_t db = Slot(kUiDB);
  const std::string none = "\" is not a number: the value stays as it was.";
  const std::string comma = "\": type decimals with a point (0.5), not a comma. The value stays as it was.";
  const std::string left = " (the text after the number is left out).";
  struct Case {
    const char* typed;
    float value;         // the value after the answer
    std::string status;  // the status line after it ("" untouched)
  };
  const Case cases[] = {
      {"abc", 1.0f, "\"abc" + none}, {"x", 1.0f, "\"x" + none},   {".", 1.0f, "\"." + none},
      {"", 1.0f, "\"" + none},        {"  - ", 1.0f, "\"  - " + none}, {"nan", 1.0f, "\"nan" + none},
      {"e5", 1.0f, "\"e5" + none},    {"0,5", 1.0f, "\"0,5" + comma}, {" -1,25", 1.0f, "\" -1,25" + comma},
      // A number in front is read as before, whatever follows it, which is said.
      {"  2.5xyz", 2.5f, "\"  2.5xyz\" is read as 2.5" + left}, {"-.5", -0.5f, ""},
      {"3,", 3.0f, "\"3,\" is read as 3" + left}, {"7 Hz", 7.0f, "\"7 Hz\" is read as 7" + left},
      {"1e2", 100.0f, ""}, {"4 a", 4.0f, ""},  // the field's own unit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    Show(1.0f);
    g_hooked.clear();
    SetTextOf(Slot(kUiMB), "");
    Click(OnValueEdit, fae_);
    ASSERT_EQ(DialogOwner, fae_);
    SetTextOf(db + 2, c.typed);
    Click(OnDialogOk, db + 3);
    Delivered();
    EXPECT_EQ(On(fae_), 0);
    EXPECT_FLOAT_EQ(value_.Base.value, c.value);
    const bool kept = c.status.find("stays as it was") != std::string::npos;
    EXPECT_EQ(g_hooked.empty(), kept);
    EXPECT_EQ(Text(Slot(kUiMB)), c.status);
    if (kept) {
      EXPECT_STREQ(value_.Text, "+1");
    }
  }
}

// Limits of -1..2 in the unit the value is set in (amplitude).
void MinusOneToTwo(float* low, float* high) {
  *low = -1.0f;
  *high = 2.0f;
}

TEST_F(ValueEditorsTest, ATypedValueOutsideItsLimitsIsHeldThereAndSaid) {
  Bind();
  value_.OnRange = MinusOneToTwo;
  const int32_t db = Slot(kUiDB);
  struct Case {
    int32_t unit;  // shown: 0 amplitude, 1 decibels
    const char* typed;
    float hooked;  // what the hook got, in amplitude
    std::string status;
  };
  const Case cases[] = {
      {0, "5", 2.0f, "5 a is out of range: the highest is 2 a: set to 2 a."},
      {0, "-3x", -1.0f,
       "\"-3x\" is read as -3 (the text after the number is left out). -3 a is out of range: the lowest is -1 a: set to -1 a."},
      {0, "1.5", 1.5f, ""},
      {1, "12 dB", 2.0f, "12 dB is out of range: the highest is 6.0206 dB: set to 6.0206 dB."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    Show(1.0f);
    value_.Unit = c.unit;
    g_hooked.clear();
    SetTextOf(Slot(kUiMB), "");
    Click(OnValueEdit, fae_);
    SetTextOf(db + 2, c.typed);
    Click(OnDialogOk, db + 3);
    Delivered();
    ASSERT_EQ(g_hooked.size(), 1u);
    EXPECT_NEAR(g_hooked[0], c.hooked, 1e-5f);
    EXPECT_EQ(Text(Slot(kUiMB)), c.status);
  }
}

}  // namespace
}  // namespace panelsa
