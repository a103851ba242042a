#include "ui/views/control_drawing.h"

#include <cmath>

#include "engine/params.h"
#include "engine/valueedit.h"
#include "views_a_fixture.h"

namespace {

using namespace Tarvelo;
using viewtest::Snap;
using viewtest::ViewTest;
namespace V = QUARLE_VISUALS;

uint32_t Dark(uint32_t c) { return V::FrameDarkColour(c); }

class ControlDrawingTest : public ViewTest {};

TEST_F(ControlDrawingTest, ButtonTabRecordAndMidiColoursFollowTheStateTables) {
  // One row per look: the control, its state words, the fill at the middle and
  // the top-left and bottom-right frame pixels (0: not looked at).
  struct Row {
    V::DrawCallbackFn draw;
    int64_t active, on, pressed, spare;
    uint32_t fill, topLeft, bottomRight;
  };
  const uint32_t rest = kColourFrameRest, sunk = Dark(kColourFrameRest), own = 0xFFAA2222;
  const Row rows[] = {
      {DrawButton, 0, 0, 0, 0, kColourGrey, rest, sunk},                 // raised
      {DrawButton, -1, -1, 0, 0, kColourGreen, kColourFrameHover, 0},    // hovered, on
      {DrawButton, 0, -1, -1, 0, kColourAmber, sunk, rest},              // pressed wins, sunken
      {DrawTab, 0, 0, -1, 0, kColourNavy, rest, 0},                      // tabs ignore a press
      {DrawTab, 0, -1, 0, 0, kColourBlue, sunk, 0},
      {DrawRecordButton, 0, 0, 0, 0, kColourGrey, 0, 0},                 // off is always grey
      {DrawRecordButton, -1, -1, 0, 0, own, 0, 0},
      {DrawMidiMapButton, 0, 0, 0, -1, kColourGreen, 0, 0},              // confirmed
      {DrawMidiMapButton, 0, -1, 0, -1, kColourAmber, 0, 0}};            // armed
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    const int32_t id = Make(10, 10, 60, 30, r.draw);
    if (r.draw == DrawRecordButton) C(id)->Colour = own;  // shown while on
    V::ControlState& st = C(id)->State;
    st.Active = r.active;
    st.On = r.on;
    st.Pressed = r.pressed;
    st.Spare = r.spare;
    Draw(id);
    EXPECT_EQ(At(40, 25), r.fill) << i;
    if (r.topLeft) {
      EXPECT_EQ(At(10, 10), r.topLeft) << i;
    }
    if (r.bottomRight) {
      EXPECT_EQ(At(69, 39), r.bottomRight) << i;
    }
  }
}

TEST_F(ControlDrawingTest, CaptionIsRenderedOnChangeInTheStateColour) {
  const int32_t id = Make(10, 10, 120, 30, DrawButton);
  ASSERT_GE(V::AddTextLayer(id, "Save", 14, 2, 2, 0, 0), 0);
  platform::Image* layer = C(id)->Layers[0];
  ClearImage(layer, layer->width - 1, layer->height - 1);
  Draw(id);
  EXPECT_GT(Coverage(layer), 20);
  // Centred: nothing in the first columns of the layer.
  EXPECT_EQ(Coverage(layer, 0, 0, 20, layer->height - 1), 0);
  EXPECT_EQ(CountOther(13, 13, 126, 36, kColourGrey) > 20, true);  // text blitted over the fill

  // Pressed: the caption turns black (the layer keeps coverage, colour 0).
  C(id)->State.Pressed = -1;
  Draw(id);
  bool black = true;
  for (int32_t i = 0; i < layer->width * layer->height; ++i)
    if ((layer->pixels[i] >> 24) != 0 && (layer->pixels[i] & 0x00FFFFFF) != 0) black = false;
  EXPECT_TRUE(black);

}

TEST_F(ControlDrawingTest, WideCaptionStartsAtTheLayerEdgeAndStoresTheLayerWidth) {
  const int32_t id = Make(0, 0, 40, 30, DrawButton);
  ASSERT_GE(V::AddTextLayer(id, "x", 14, 3, 2, 0, 0), 0);
  V::TextFieldSetText(&C(id)->Text, "A much longer caption than fits");
  Draw(id);
  platform::Image* layer = C(id)->Layers[0];
  EXPECT_EQ(C(id)->Text.LayoutWidth, layer->width);
  EXPECT_GT(Coverage(layer, 0, 0, 3, layer->height - 1), 0);
}

TEST_F(ControlDrawingTest, SelectorHighlightsTheHoveredArrowBand) {
  const int32_t id = Make(0, 0, 100, 20, DrawSelector);
  C(id)->Text.TextSize = 10;  // a = 18
  C(id)->Text.Mark = 1;
  Draw(id);
  EXPECT_EQ(At(5, 10), kColourAmber);
  EXPECT_EQ(At(3 + 18 - 3 - 1, 10), kColourAmber);
  EXPECT_EQ(At(3 + 18 - 3, 10), kColourGrey);
  EXPECT_EQ(At(90, 10), kColourGrey);

  C(id)->Text.Mark = 2;
  Draw(id);
  EXPECT_EQ(At(5, 10), kColourGrey);
  EXPECT_EQ(At(100 - 18, 10), kColourAmber);
  EXPECT_EQ(At(96, 10), kColourAmber);
}

TEST_F(ControlDrawingTest, SquareSelectorKeepsItsCaptionUnshifted) {
  const int32_t sq = Make(0, 0, 40, 40, DrawSelector);
  const int32_t k = AddLayer(sq, 2, 2, 0xFFFFFFFF);  // caption stand-in
  ASSERT_EQ(k, 0);
  Draw(sq, 0);
  EXPECT_EQ(At(3, 3), 0xFFFFFFFFu);
  const int32_t wide = Make(100, 0, 80, 40, DrawSelector);
  AddLayer(wide, 2, 2, 0xFFFFFFFF);
  Draw(wide, 0);
  EXPECT_NE(At(103, 3), 0xFFFFFFFFu);
  EXPECT_EQ(At(103 + 16, 3), 0xFFFFFFFFu);
}

TEST_F(ControlDrawingTest, SwitchesClampTheirStateToTheLayers) {
  const int32_t ms = Make(0, 0, 30, 30, DrawMultiStateSwitch);
  AddLayer(ms, 4, 4, 0xFFFF0000);
  AddLayer(ms, 4, 4, 0xFF00FF00);
  C(ms)->Text.Selected = -1;
  Draw(ms);
  EXPECT_EQ(At(3, 3), 0xFFFF0000u);
  C(ms)->Text.Selected = 7;
  Draw(ms);
  EXPECT_EQ(At(3, 3), 0xFF00FF00u);
  // With an overlay layer a state beyond the last still shows the last state.
  AddLayer(ms, 30, 30, 0x80000000);
  C(ms)->GradientFlag = -1;
  C(ms)->Text.Selected = 5;
  Draw(ms);
  EXPECT_EQ(At(3, 3), 0xFF00FF00u);

  const int32_t t = Make(100, 0, 30, 30, DrawToggleSwitch);
  AddLayer(t, 4, 4, 0xFFFF0000);
  AddLayer(t, 4, 4, 0xFF0000FF);
  C(t)->Text.Selected = 1;
  Draw(t);
  EXPECT_EQ(At(103, 3), 0xFF0000FFu);
  EXPECT_EQ(At(115, 20), viewtest::kBackdrop);  // no fill at rest
  EXPECT_EQ(At(100, 0), viewtest::kBackdrop);   // and no frame
  C(t)->State.Pressed = -1;
  C(t)->State.Active = -1;
  Draw(t);
  EXPECT_EQ(At(115, 20), kColourAmber);
  EXPECT_EQ(At(100, 0), kColourWhite);
}

TEST_F(ControlDrawingTest, LogoModesAndLinksAndLabels) {
  const int32_t logo = Make(0, 0, 10, 10, DrawLogo);
  AddLayer(logo, 4, 4, 0x80204060);
  C(logo)->Tag = 0;
  Draw(logo);
  EXPECT_EQ(At(1, 1), 0x80204060u);  // replaced, alpha included
  Clear();
  C(logo)->Tag = 1;
  Draw(logo);
  EXPECT_EQ(At(1, 1), 0xFF306090u);  // added to the backdrop

  const int32_t link = Make(50, 0, 30, 20, DrawLink);
  Draw(link);  // no layer: nothing
  EXPECT_EQ(At(60, 10), viewtest::kBackdrop);
  AddLayer(link, 4, 4, 0xFFFF0000);
  AddLayer(link, 4, 4, 0xFF00FF00);
  Draw(link);
  EXPECT_EQ(At(53, 3), 0xFFFF0000u);
  C(link)->State.Active = -1;
  Draw(link);
  EXPECT_EQ(At(53, 3), 0xFF00FF00u);
  EXPECT_EQ(At(70, 15), kColourAmber);

  const int32_t label = Make(100, 100, 120, 24, DrawLabel, nullptr, 0);
  ASSERT_GE(V::AddTextLayer(label, "Label", 12, 1, 2, 0, 0), 0);
  platform::Image* layer = C(label)->Layers[0];
  ClearImage(layer, layer->width - 1, layer->height - 1);
  C(label)->Text.TextColour = 0xFF00FF00;
  Draw(label);
  EXPECT_GT(Coverage(layer), 10);
  EXPECT_EQ(At(101, 101), viewtest::kBackdrop);  // no box, no frame
}

TEST_F(ControlDrawingTest, PanelsAndFramesAndOverlays) {
  const int32_t panel = Make(0, 0, 50, 40, DrawPanel);
  C(panel)->Colour = 0xFF223344;
  const int32_t k = AddLayer(panel, 50, 40, 0xFF000000);  // an overlay stand-in
  C(panel)->GradientFlag = -1;
  Settings.UseShader.Store(0);
  Draw(panel);
  EXPECT_EQ(At(25, 20), 0xFF223344u);
  EXPECT_EQ(At(0, 0), kColourNavy);
  Settings.UseShader.Store(-1);
  Draw(panel);
  EXPECT_EQ(At(25, 20), 0xFF000000u);
  EXPECT_EQ(k, 0);

  const int32_t group = Make(100, 0, 50, 40, DrawGroupFrame);
  Draw(group);
  EXPECT_EQ(At(100, 0), kColourGroupFrame);
  EXPECT_EQ(At(149, 39), kColourGroupFrame);  // flat
  EXPECT_EQ(At(125, 20), viewtest::kBackdrop);
}

TEST_F(ControlDrawingTest, BitPatternValueShowsTheBitsOfItsMagnitude) {
  const int32_t id = Make(0, 0, 106, 26, DrawValueField);  // cells 10 x 10
  AddLayer(id, 100, 20, 0);
  ParamValue pv;
  ParamValueInit(pv);
  pv.DisplayMode = 5;
  pv.Base.value = -5.0f;
  C(id)->UserPointer = &pv;
  C(id)->Text.Selected = 3;
  Draw(id);
  const platform::Image* layer = C(id)->Layers[0];
  auto cell = [&](int32_t i) {
    return layer->pixels[(i / 10 * 10 + 5) * (layer->pitch / 4) + (i % 10) * 10 + 5];
  };
  EXPECT_EQ(cell(0), kColourGreen);
  EXPECT_EQ(cell(1), kColourGrey);
  EXPECT_EQ(cell(2), kColourGreen);
  EXPECT_EQ(cell(10), kColourGrey);
  EXPECT_EQ(layer->pixels[30], kColourBlue);  // outline of the selected cell 3
  EXPECT_EQ(layer->pixels[20], kColourNavy);
  EXPECT_EQ(At(3 + 5, 3 + 5), kColourGreen);  // blitted at (x + B, y + B)

  pv.Base.value = std::nanf("");
  EXPECT_EQ(Draw(id), 0);
  EXPECT_EQ(cell(0), kColourGrey);
  ParamValueFree(pv);
}

TEST_F(ControlDrawingTest, ValueFieldTextMarksTheSelectedSegment) {
  const int32_t id = Make(0, 0, 126, 36, DrawValueField);
  AddLayer(id, 120, 30, 0);
  ParamValue pv;
  ParamValueInit(pv);
  ParamValueSetFieldSize(pv, 120, 30);
  ParamValueLoadNumber(pv, 12.5f);
  ParamValueLayoutSegments(pv);
  ASSERT_GE(pv.SegmentCount, 2);
  C(id)->UserPointer = &pv;
  C(id)->Text.Selected = 1;
  EXPECT_EQ(Draw(id), 0);
  EXPECT_EQ(pv.Dirty, 0);  // taken by the draw
  const int32_t end = pv.Segments[pv.SegmentCount - 1].X + pv.Segments[pv.SegmentCount - 1].Width;
  const int32_t o = std::max(static_cast<int32_t>(std::nearbyint((120 - end) * 0.5)), 0);
  EXPECT_EQ(ValueFieldOffset(pv), o);
  EXPECT_GT(Coverage(C(id)->Layers[0]), 10);
  // The amber band under segment 1 shows between the glyphs.
  const int32_t sx = 3 + pv.Segments[1].X + o;
  int32_t amber = 0;
  for (int32_t x = sx; x < sx + pv.Segments[1].Width; ++x)
    for (int32_t y = 3; y <= 32; ++y)
      if (At(x, y) == kColourAmber) ++amber;
  EXPECT_GT(amber, 0);

  // A value laid out wider than the field (its offset, its selected digit)
  // paints nothing beside the field.
  const int32_t narrow = Make(200, 0, 40, 36, DrawValueField);
  AddLayer(narrow, 34, 30, 0);
  C(narrow)->UserPointer = &pv;
  C(narrow)->Text.Selected = pv.SegmentCount - 1;
  const uint32_t beside = At(250, 18);
  ParamValueLoadNumber(pv, -4.4369745f);
  ParamValueLayoutSegments(pv);
  EXPECT_EQ(Draw(narrow), 0);
  for (int32_t x = 240; x < 330; ++x) EXPECT_EQ(At(x, 18), beside) << x;

  // No value attached: the layer is cleared, the frame still drawn.
  C(id)->UserPointer = nullptr;
  EXPECT_EQ(Draw(id), 0);
  EXPECT_EQ(Coverage(C(id)->Layers[0]), 0);
  EXPECT_EQ(At(0, 0), kColourNavy);
  ParamValueFree(pv);
}

TEST_F(ControlDrawingTest, DegenerateControlsDrawWithoutHarm) {
  Snap s;
  s->X = 5;
  s->Y = 5;
  s->W = 0;
  s->H = 0;
  for (auto fn : {DrawButton, DrawRecordButton, DrawMidiMapButton, DrawTab, DrawMultiStateSwitch,
                  DrawToggleSwitch, DrawLogo, DrawSelector, DrawLink, DrawGroupFrame, DrawPanel,
                  DrawAboutWindow, DrawLabel, DrawValueField}) {
    EXPECT_EQ(fn(s.get(), 9999), 0);  // a control that does not exist
    EXPECT_EQ(fn(nullptr, 0), 0);
  }
  const int32_t tiny = Make(0, 0, 1, 1, DrawSelector);
  C(tiny)->Text.Mark = 2;
  EXPECT_EQ(Draw(tiny), 0);
  // Off-canvas controls are cut, never written outside the image.
  const int32_t far = Make(390, 290, 50, 50, DrawButton);
  EXPECT_EQ(Draw(far), 0);
  EXPECT_EQ(At(395, 295), kColourGrey);
}

TEST_F(ControlDrawingTest, PatternLinesSkipTheGapsOfThePattern) {
  PatternLine(0, 0, 15, 0, 0xFFFFFFFF, 0xCCCC);
  for (int32_t x = 0; x < 16; ++x)
    EXPECT_EQ(At(x, 0) == 0xFFFFFFFF, (x % 4) < 2) << x;
}

}  // namespace

#include "ui/views/control_images.h"
#include "ui/views/dialog_drawing.h"

namespace {

using namespace Tarvelo;
using viewtest::ViewTest;
namespace V = QUARLE_VISUALS;

int32_t NoOp(uint32_t, int32_t, int32_t, int32_t, int32_t) { return 0; }

class ControlImagesTest : public ViewTest {
 protected:
  void TearDown() override {
    FreeGlowImages();
    ViewTest::TearDown();
  }
  static uint32_t Px(const platform::Image* img, int32_t x, int32_t y) {
    return img->pixels[y * (img->pitch / 4) + x];
  }
};

TEST_F(ControlImagesTest, GlowSpritesFadeFromTheirColour) {
  UiUnit = 5;
  CreateGlowImages();
  ASSERT_NE(GlowImages[1], nullptr);
  EXPECT_EQ(Px(GlowImages[1], 40, 40), GlowColours[1]);
  EXPECT_EQ(Px(GlowImages[0], 44, 40), GlowColours[0]);  // inside the core of radius u
  EXPECT_EQ(Px(GlowImages[2], 0, 0), 0u);                // beyond 4u: transparent
  const uint32_t mid = Px(GlowImages[2], 40 + 6, 40);
  EXPECT_LT(mid >> 24, 0xFFu);
  EXPECT_GT(mid >> 24, 0u);
}

TEST_F(ControlImagesTest, PreparationGivesEachControlWhatItsDrawExpects) {
  const int32_t label = Make(0, 0, 50, 20, DrawLabel, NoOp, 11);
  const int32_t passive = Make(0, 30, 40, 20, DrawButton, nullptr, 11);
  const int32_t big = Make(0, 60, 200, 100, DrawButton, NoOp, 11);        // 20000 > 12500
  Make(0, 170, 200, 100, DrawPanel, NoOp, 31);  // a big panel: no gradient of its own
  const int32_t wide = Make(210, 0, 100, 24, DrawSelector, NoOp, 31, "Zoom");
  const int32_t square = Make(210, 40, 30, 30, DrawSelector, NoOp, 31, "Size");
  const int32_t field = Make(210, 80, 100, 30, DrawValueField, NoOp, 31);
  const int32_t edit = Make(210, 120, 100, 30, DrawDialogEdit, NoOp, 287);
  C(edit)->Text.EditStates[1] = -1;
  const int32_t list = Make(210, 160, 100, 60, nullptr, NoOp, 415);
  C(list)->Text.EditStates[0] = -1;

  ASSERT_EQ(PrepareControlImages("slide sideways", "slide up or down"), 0);
  EXPECT_EQ(C(label)->EventMask, 0);
  EXPECT_EQ(C(label)->GradientFlag, 0);
  EXPECT_EQ(C(passive)->EventMask, 0);
  EXPECT_EQ(C(passive)->GradientFlag, -1);  // still drawn as a button
  EXPECT_EQ(C(big)->GradientFlag, -1);      // mask 11 outweighs the size

  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(C(wide)->Tooltip), "Zoom: slide sideways");
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(C(square)->Tooltip), "Size: slide up or down");
  // Arrows, then the overlay as the last layer.

  // Overlays darken downwards, inverted ones upwards.
  const platform::Image* o = C(big)->Layers[C(big)->LayerCount - 1];
  EXPECT_EQ(Px(o, 5, 0) >> 24, 0u);
  EXPECT_GE(Px(o, 5, 99) >> 24, 0xA8u);
  const platform::Image* inv = C(field)->Layers[C(field)->LayerCount - 1];
  EXPECT_GE(Px(inv, 5, 0) >> 24, 0xA8u);
  EXPECT_LE(Px(inv, 5, 29) >> 24, 2u);

  // Everything was published with all flags: the first frame renders captions.
  viewtest::Snap s;
  V::FetchRenderRecord(s.get(), wide);
  EXPECT_NE(s->Text.Changed, 0);
}

TEST_F(ControlImagesTest, AnArrowThatCannotBeDrawnStopsThePreparation) {
  const int32_t bad = Make(0, 0, 40, 8, DrawSelector, NoOp, 31);  // glyph size 8 - 9 < 1
  const int32_t later = Make(0, 20, 40, 20, DrawButton, NoOp, 11);
  EXPECT_LT(PrepareControlImages("h", "v"), 0);
  EXPECT_GE(C(bad)->LayerCount, 1);
  EXPECT_EQ(C(later)->GradientFlag, 0);
  EXPECT_EQ(C(later)->LayerCount, 0);
}

}  // namespace
