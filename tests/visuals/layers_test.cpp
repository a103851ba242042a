#include "visuals/layers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "platform/display.h"
#include "platform/paths.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace {

using namespace QUARLE_VISUALS;

class LayersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TARVELO_HEADLESS", "1", 1);
    platform::DisplayResetSimulated();
    int64_t w = 0, h = 0;
    ASSERT_EQ(QUARLE_VISUALS::init(12, w, h, 1), 0);
    platform::SetProgramFolderOverride("/usr/share/fonts/truetype/dejavu");
    ASSERT_EQ(LoadFonts("/DejaVuSans-Bold.ttf", "/DejaVuSans.ttf"), 0);
    ASSERT_EQ(CreateControl(0, 0, 0, 400, 300, nullptr, nullptr, -1, 0, "", "", &root_), 0);
    ASSERT_EQ(CreateControl(root_, 10, 10, 100, 30, nullptr, nullptr, -1, 11, "", "", &id_), 0);
    GuiLoopReset();
  }
  void TearDown() override {
    GuiLoopReset();
    VisualsShutdown();
    platform::SetProgramFolderOverride("");
  }
  ControlRecord* C() const { return ControlAt(id_); }
  platform::Image* Layer(int32_t i) const { return C()->Layers[i]; }
  // Whether any pixel of the layer's columns [x0, x1) and rows [y0, y1) differs from `bg`.
  static bool Ink(const platform::Image* img, int32_t x0, int32_t x1, int32_t y0, int32_t y1,
                  uint32_t bg = 0) {
    for (int32_t y = y0; y < y1; ++y)
      for (int32_t x = x0; x < x1; ++x)
        if (img->pixels[y * img->width + x] != bg) return true;
    return false;
  }
  int32_t root_ = 0, id_ = 0;
};

TEST_F(LayersTest, ACentredLabelSitsInTheBoxInsideTheBorder) {
  const int32_t tw = TextWidth("Hi", &TextFont, 20);
  ASSERT_GT(tw, 1);
  EXPECT_EQ(AddTextLayer(id_, "Hi", 20, kAlignCentre, 0, 0, 0), 2);
  ASSERT_EQ(C()->LayerCount, 1);
  const platform::Image* img = Layer(0);
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(img->width, 94);   // 100 - 2 x 3
  EXPECT_EQ(img->height, 24);  // 30 - 2 x 3; the text starts at y = 3
  EXPECT_STREQ(TextFieldGetText(&C()->Text), "Hi");
  EXPECT_EQ(C()->Text.TextSize, 20);
  EXPECT_EQ(C()->Text.Align, kAlignCentre);
  EXPECT_EQ(C()->Text.LayoutWidth, tw);
  EXPECT_EQ(C()->Text.Changed, 0);
  const int32_t x = static_cast<int32_t>(std::nearbyint((94 - tw) / 2.0));
  EXPECT_FALSE(Ink(img, 0, 94, 0, 3));
  EXPECT_FALSE(Ink(img, 0, x, 0, 24));
  EXPECT_TRUE(Ink(img, x, x + tw, 3, 24));
}

TEST_F(LayersTest, ALayerThatCannotBeMadeLeavesItsSlotEmpty) {
  EXPECT_EQ(AddTextLayer(id_, "x", 12, kAlignLeft, 0, 20000, 0), -21);
  EXPECT_EQ(C()->LayerCount, 1);
  EXPECT_EQ(Layer(0), nullptr);
  EXPECT_EQ(C()->Text.Changed, -1);
  EXPECT_EQ(AddTextLayer(99999, "x", 12, kAlignLeft, 0, 0, 0), -19);
  EXPECT_EQ(SetListRows(99999, 12, 3, 10), -19);
  EXPECT_EQ(StartTextEdit(99999, "x"), -19);
  EXPECT_EQ(ScrollToSelection(99999, 5), -1);
}

TEST_F(LayersTest, AGlyphWiderThanTheBoxWidensIt) {
  TextStyle style;
  TextStyleSet(&style, 'W', 20, &TextFont, 0, 0, 0xFFFFFFFF);
  const int32_t gw = GlyphAdvance("W", TextFont.Face, 20);
  ASSERT_GT(gw, 2);
  EXPECT_EQ(AddGlyphLayer(id_, &style, 0, 2, 0), 1);
  EXPECT_EQ(C()->Style.Glyph, 'W');
  EXPECT_EQ(C()->Style.Font, &TextFont);
  EXPECT_EQ(Layer(0)->width, gw);
  EXPECT_EQ(Layer(0)->height, 24);
  EXPECT_EQ(C()->Style.SizeA, 24);  // the box's height, then its width
  EXPECT_EQ(C()->Style.SizeB, gw);
  EXPECT_TRUE(Ink(Layer(0), 0, gw, 3, 24));
  EXPECT_FALSE(Ink(Layer(0), 0, gw, 0, 3));

  // Centred in the default box, moved by the style's offsets.
  TextStyleSet(&style, 'W', 20, &TextFont, 5, 0, 0xFFFFFFFF);
  EXPECT_EQ(AddGlyphLayer(id_, &style, 0, 0, 0), 1);
  const int32_t x = static_cast<int32_t>(std::nearbyint((94 - gw) / 2.0));
  EXPECT_FALSE(Ink(Layer(1), 0, x + 5, 0, 24));
  EXPECT_TRUE(Ink(Layer(1), x + 5, 94, 0, 24));
}

TEST_F(LayersTest, ListRowsAreBlankImagesAfterTheExistingLayers) {
  ASSERT_EQ(AddTextLayer(id_, "List", 12, kAlignLeft, 0, 0, 0), 4);
  EXPECT_EQ(SetListRows(id_, 14, 0, 16), -19);
  EXPECT_EQ(C()->LayerCount, 1);
  EXPECT_EQ(C()->Text.TextSize, 12);
  EXPECT_EQ(SetListRows(id_, 14, 3, 16), 1);
  EXPECT_EQ(C()->LayerCount, 4);
  EXPECT_EQ(C()->Text.TextSize, 14);
  EXPECT_EQ(C()->Text.VisibleRows, 3);
  EXPECT_EQ(C()->Text.Changed, -1);
  for (int32_t i = 1; i < 4; ++i) {
    ASSERT_NE(Layer(i), nullptr);
    EXPECT_EQ(Layer(i)->width, 95);
    EXPECT_EQ(Layer(i)->height, 17);
    EXPECT_FALSE(Ink(Layer(i), 0, 95, 0, 17));
  }
}

TEST_F(LayersTest, ScrollingKeepsTheSelectionInView) {
  TextField& t = C()->Text;
  t.VisibleRows = 4;
  auto scroll = [&](int32_t selected, int32_t first, int64_t reversed = 0) {
    t.Selected = selected;
    t.FirstVisible = first;
    t.Reversed = reversed;
    return ScrollToSelection(id_, 10);
  };
  EXPECT_EQ(scroll(7, 0), 7);
  EXPECT_EQ(t.FirstVisible, 6);  // capped at 10 - 4
  EXPECT_EQ(scroll(2, 0), 2);
  EXPECT_EQ(t.FirstVisible, 0);
  EXPECT_EQ(scroll(12, 0), 9);
  EXPECT_EQ(t.Selected, 9);
  EXPECT_EQ(t.FirstVisible, 6);
  EXPECT_EQ(scroll(1, 5), 1);
  EXPECT_EQ(t.FirstVisible, 1);
  EXPECT_EQ(scroll(-1, 3), -1);  // no selection: nothing moves
  EXPECT_EQ(t.FirstVisible, 3);
  // Reversed: the last item is on top.
  EXPECT_EQ(scroll(9, 0, -1), 9);
  EXPECT_EQ(t.FirstVisible, 0);
  EXPECT_EQ(scroll(0, 0, -1), 0);
  EXPECT_EQ(t.FirstVisible, 6);
  EXPECT_EQ(scroll(5, 0, -1), 5);
  EXPECT_EQ(t.FirstVisible, 4);
  // The video thread sees the new position.
  RenderRecord r;
  RenderRecordInit(&r);
  FetchRenderRecord(&r, id_);
  EXPECT_EQ(r.Text.FirstVisible, 4);
  EXPECT_EQ(r.Text.Selected, 5);
  RenderRecordFree(&r);
  // Fewer items than rows.
  t.Selected = 2;
  t.FirstVisible = 1;
  t.Reversed = 0;
  EXPECT_EQ(ScrollToSelection(id_, 3), 2);
  EXPECT_EQ(t.FirstVisible, 1);
  t.Selected = 0;
  EXPECT_EQ(ScrollToSelection(id_, 3), 0);
  EXPECT_EQ(t.FirstVisible, 0);
}

TEST_F(LayersTest, StartingAnEditTakesTheKeysAndPutsTheCaretAfterTheText) {
  int32_t kb = 0;
  ASSERT_EQ(CreateControl(root_, 0, 100, 100, 30, nullptr, nullptr, -1, 256, "", "", &kb), 0);
  SetActiveEditField(kb);
  ControlAt(kb)->State.Pressed = -1;
  ControlSetVisible(C(), 0);
  C()->Text.TextSize = 12;

  EXPECT_EQ(StartTextEdit(id_, "abc"), 0);
  EXPECT_EQ(ActiveEditField(), id_);
  EXPECT_EQ(SelectorPrevious(&KeyInput), kb);
  EXPECT_EQ(ControlAt(kb)->State.Pressed, 0);
  EXPECT_EQ(C()->State.Pressed, -1);
  EXPECT_NE(C()->Visible.load(), 0);
  EXPECT_STREQ(TextFieldGetText(&C()->Text), "abc");
  EXPECT_EQ(C()->Text.Caret, 4);
  EXPECT_EQ(C()->Text.SelectionEnd, 4);
  EXPECT_EQ(C()->Text.FitCount, 3);
  EXPECT_EQ(EditFont.Face, TextFont.Face);
  RenderRecord r;
  RenderRecordInit(&r);
  FetchRenderRecord(&r, id_);
  EXPECT_STREQ(TextFieldGetText(&r.Text), "abc");
  EXPECT_EQ(r.Text.Caret, 4);
  RenderRecordFree(&r);

  // A text wider than the field: only what fits is counted.
  const std::string longText(200, 'm');
  EXPECT_EQ(StartTextEdit(id_, longText), 0);
  const int32_t fit = C()->Text.FitCount;
  EXPECT_GT(fit, 0);
  EXPECT_LT(fit, 200);
  EXPECT_EQ(C()->Text.Caret, 201);
}

}  // namespace
