#include "ui/views/dialog_drawing.h"

#include <cmath>

#include "platform/threads.h"
#include "ui/views/control_drawing.h"
#include "views_a_fixture.h"
#include "visuals/text.h"

namespace {

using namespace Tarvelo;
using viewtest::ViewTest;
namespace V = QUARLE_VISUALS;

class DialogDrawingTest : public ViewTest {
 protected:
  // A strip with a transparent caption layer of its inner size.
  int32_t Strip(int32_t x, int32_t y, int32_t w, int32_t h, V::DrawCallbackFn draw) {
    const int32_t id = Make(x, y, w, h, draw);
    AddLayer(id, w - 6, h - 6, 0);
    C(id)->Text.TextSize = 14;
    return id;
  }
  int32_t TextWidthPx(const std::string& s) { return V::TextWidth(s, &V::TextFont, 14); }
};

TEST_F(DialogDrawingTest, DateAndTimeText) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 7;
  EXPECT_EQ(GuideDateTimeText(t), "12-31-2026   23:59:07");
}

TEST_F(DialogDrawingTest, LiveGuideShowsTheHoverTextOrTheDate) {
  const int32_t id = Strip(0, 0, 300, 26, DrawLiveGuide);
  {
    platform::MutexGuard g(V::MT_HOVER);
    V::TextFieldSetText(&V::HoverText, "  ");
    V::HoverText.Changed = -1;
  }
  EXPECT_EQ(Draw(id), 0);
  const std::string shown = V::TextFieldGetText(&V::HoverText);
  // The date: mm-dd-yyyy, three blanks, hh:mm:ss.
  ASSERT_EQ(shown.size(), 21u) << shown;
  EXPECT_EQ(shown.substr(10, 3) + shown[2] + shown[15], "   -:") << shown;
  EXPECT_EQ(V::HoverText.Changed, 0);
  EXPECT_EQ(At(4, 13), kStripBackground);
  EXPECT_EQ(At(0, 0), kColourNavy);

  platform::Image* layer = C(id)->Layers[0];
  {
    platform::MutexGuard g(V::MT_HOVER);
    V::TextFieldSetText(&V::HoverText, "Play");
    V::HoverText.Changed = -1;
  }
  Draw(id);
  const int32_t w = TextWidthPx("Play");
  EXPECT_EQ(C(id)->Text.LayoutWidth, w);
  const int32_t left = static_cast<int32_t>(std::nearbyint((layer->width - w) * 0.5));
  EXPECT_EQ(Coverage(layer, 0, 0, left - 2, layer->height - 1), 0);
  EXPECT_GT(Coverage(layer), 10);

  // Unchanged hover text: the layer is left as it is.
  ClearImage(layer, layer->width - 1, layer->height - 1);
  Draw(id);
  EXPECT_EQ(Coverage(layer), 0);
}

TEST_F(DialogDrawingTest, MessageBoxAndDialogText) {
  const int32_t mb = Strip(0, 0, 120, 26, DrawMessageBox);
  C(mb)->Text.TextColour = 0xFFC8C800;
  V::TextFieldSetText(&C(mb)->Text, "A status message far wider than the box");
  EXPECT_EQ(Draw(mb), 0);
  platform::Image* layer = C(mb)->Layers[0];
  EXPECT_EQ(C(mb)->Text.LayoutWidth, layer->width);
  EXPECT_GT(Coverage(layer, 0, 0, 2, layer->height - 1), 0);  // from the left edge
  EXPECT_EQ(At(0, 0), kColourBlue);
  bool yellow = false;
  for (int32_t i = 0; i < layer->width * layer->height; ++i)
    if ((layer->pixels[i] >> 24) != 0 && (layer->pixels[i] & 0xFFFFFF) == 0xC8C800) yellow = true;
  EXPECT_TRUE(yellow);

  const int32_t dt = Strip(0, 40, 200, 26, DrawDialogText);
  V::TextFieldSetText(&C(dt)->Text, "  Delete?");
  C(dt)->State.Active = -1;
  EXPECT_EQ(Draw(dt), 0);
  EXPECT_EQ(At(0, 40), kColourFrameHover);
  EXPECT_GT(Coverage(C(dt)->Layers[0], 0, 0, 40, 19), 0);  // left aligned
  EXPECT_EQ(At(195, 60), kStripBackground);
}

class DialogEditTest : public DialogDrawingTest {
 protected:
  void SetUp() override {
    DialogDrawingTest::SetUp();
    id = Make(0, 0, 200, 30, DrawDialogEdit, nullptr, 287);
    AddLayer(id, 200, 20, 0);
    C(id)->Text.TextSize = 14;
    V::TextFieldSetText(&C(id)->Text, "hello world, a long line of text");
  }
  void Edit(int32_t first, int32_t last, int32_t caret, int32_t anchor) {
    V::TextField& f = C(id)->Text;
    EditFirstVisible(f) = first;
    EditLastVisible(f) = last;
    EditCaret(f) = caret;
    EditAnchor(f) = anchor;
    EditSelectionLength(f) = caret - anchor;
  }
  int32_t Span(int32_t from, int32_t to) {
    const std::string t = "hello world, a long line of text";
    return to <= from ? 0 : std::max(TextWidthPx(t.substr(from, to - from)) - 1, 0);
  }
  int32_t id = 0;
  const int32_t pad = 10;  // nearest(14 / 2 + 3)
};

// The band runs from the anchor (held to the visible window) to the caret;
// the caret is white, the text beyond the band on the background.
TEST_F(DialogEditTest, SelectionBandFollowsTheAnchorAndCaret) {
  struct Row {
    int32_t first, last, caret, anchor;
    int32_t bandFrom, bandTo, caretAt, clearAt;  // character positions
  };
  const Row rows[] = {
      {2, 12, 8, 4, 4, 8, 8, 8},    // inside the window
      {5, 15, 9, 1, 5, 9, 9, 9},    // anchor left of the window: from its start
      {0, 6, 2, 20, 2, 6, -1, 6}};  // anchor right of it: to its end
  for (const Row& r : rows) {
    SCOPED_TRACE(r.first);
    Edit(r.first, r.last, r.caret, r.anchor);
    ASSERT_EQ(Draw(id), 0);
    EXPECT_EQ(At(pad + Span(r.first, r.bandFrom) + 1, 4), kEditSelection);
    EXPECT_EQ(At(pad + Span(r.first, r.bandTo) - 1, 4), kEditSelection);
    EXPECT_EQ(At(pad + Span(r.first, r.clearAt) + 2, 4), kStripBackground);
    if (r.caretAt >= 0) {
      EXPECT_EQ(At(pad + Span(r.first, r.caretAt), 5), kColourWhite);
    }
  }
  // Scrolled text shows amber marks on the sides it hides; the frame is raised.
  Edit(2, 12, 8, 4);
  Draw(id);
  EXPECT_EQ(At(3, 3), kColourAmber);
  EXPECT_EQ(At(200 - 3 - 1, 3), kColourAmber);
  EXPECT_EQ(At(0, 0), kColourNavy);
  EXPECT_EQ(At(199, 29), V::FrameDarkColour(kColourNavy));
  EXPECT_GT(Coverage(C(id)->Layers[0]), 10);
  Edit(0, 6, 2, 20);
  Draw(id);
  EXPECT_NE(At(4, 10), kColourAmber);
}

TEST_F(DialogEditTest, WholeTextShowsNoMarksAndPressedIsSunken) {
  V::TextFieldSetText(&C(id)->Text, "short");
  Edit(0, 5, 6, 6);
  C(id)->State.Pressed = -1;
  Draw(id);
  EXPECT_NE(At(3, 3), kColourAmber);
  EXPECT_NE(At(196, 3), kColourAmber);
  EXPECT_EQ(At(0, 0), V::FrameDarkColour(kColourFrameHover));
  EXPECT_EQ(At(199, 29), kColourFrameHover);
}

TEST_F(DialogEditTest, OutOfRangePositionsAreHeldToTheText) {
  Edit(-4, 900, 1000, -7);
  EXPECT_EQ(Draw(id), 0);
  V::TextFieldSetText(&C(id)->Text, "");
  Edit(0, 0, 0, 0);
  EXPECT_EQ(Draw(id), 0);
}

}  // namespace
