// The keyboard and the octave board.
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "engine/keyboard.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "tests/ui/views/views_b_fixture.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "tests/test_rounds.h"
#include "ui/views/keyboard_views.h"
#include "visuals/colours.h"

namespace viewsb {
namespace {

using namespace Tarvelo;

constexpr int32_t K = 45;  // key size at zoom 1
constexpr int32_t kKeys = 25;
constexpr int32_t kTop = 100;
constexpr uint32_t kKeyFill = 0xFF141419;
constexpr uint32_t kMark = 0xFFBEBEFF, kMarkDark = 0xFF5F5F7F;

// A caption as the draws render it: centred across w, at y, in white.
platform::Image* Caption(int32_t w, int32_t h, const std::string& text, int32_t size, int32_t y,
                         const std::string& below = "") {
  platform::Image* e = platform::ImageCreate(w, h, 0);
  const int32_t x = static_cast<int32_t>(std::nearbyint((w - V::TextWidth(text, &V::TextFont, size)) * 0.5));
  V::DrawTextFT(e, x, y, 0, text, V::TextFont.Face, size, 0xFFFFFFFF, 2);
  if (!below.empty()) V::DrawTextFT(e, x, y + size + 1, 0, below, V::TextFont.Face, 11, 0xFFFFFFFF, 2);
  return e;
}

class KeyboardTest : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    ASSERT_EQ(InitKeyboardStates(), 0);
    CurrentKeyboardIndex.Store(0);
    CurrentOctaveBoardIndex.Store(0);
    TimeBaseIndex.Store(0);
    FreeKeyboardKeyColours();
    KeyboardKeyColours = static_cast<KeyColour*>(std::calloc(kKeys, sizeof(KeyColour)));
    for (int32_t i = 0; i < kKeys; ++i) KeyboardKeyColours[i] = {1.0f, 1.0f, 1.0f};
    KeyboardVisibleKeys = kKeys;
    KeyboardKeySize = K;
    OctaveBoardKeyRanges[0] = {22, 9};
  }
  void TearDown() override {
    FreeKeyboardKeyColours();
    KeyboardVisibleKeys = 0;
    FreeKeyboardStates();
    ViewTest::TearDown();
  }
  int32_t Control(int32_t x, int32_t y, int32_t w, int32_t h, int32_t layers, int32_t lw,
                  int32_t lh) {
    const int32_t id = Make(x, y, w, h);
    C(id)->Colour = kKeyFill;
    C(id)->Text.TextSize = 16;
    for (int32_t i = 0; i < layers; ++i) AddLayer(id, lw, lh);
    return id;
  }
  void ExpectLayer(int32_t id, int32_t i, platform::Image* expected) {
    EXPECT_TRUE(SameImage(C(id)->Layers[i], expected)) << "layer " << i;
    platform::ImageDestroy(expected);
  }
};

TEST(KeyColours, DimmedColoursAndBoardCaptions) {
  EXPECT_EQ(DimKeyColour(0xFFFFFFFF), 0xFF808080u);  // 127.5 to even
  EXPECT_EQ(OctaveKeyCaption(2, 0), "1 x");
  EXPECT_EQ(OctaveKeyCaption(3, -2), "1/9");
  EXPECT_EQ(OctaveKeyCaption(5, 3), "125");
  EXPECT_NE(OctaveKeyCaption(5, 100000)[0], '-');  // a damaged octave word does not wrap
}

TEST_F(KeyboardTest, CaptionsNameNotesAndNumberOctaves) {
  const int32_t id = Control(0, kTop, kKeys * K, K, kKeys, K, K);
  Snapshot s;
  V::RenderRecord* r = Take(id, s);
  // Caption row nearest(14.5 - 2) = 12, octave size nearest(10.56) = 11.
  DrawKeyboardKeys(r, id, 0, K, K);
  EXPECT_GT(Covered(C(id)->Layers[0]), 10);
  ExpectLayer(id, 0, Caption(K, K, "A", 16, 12, "0"));
  ExpectLayer(id, 1, Caption(K, K, "Bb", 16, 12));
  ExpectLayer(id, 24, Caption(K, K, "A", 16, 12, "2"));
  EXPECT_NEAR(KeyboardKeyColours[13].Hue, std::pow(2.0, 1.0 / 12.0) - 1.0, 1e-5);
  DrawKeyboardKeys(r, id, -96, K, K);  // eight octaves down
  ExpectLayer(id, 0, Caption(K, K, "A", 16, 12, "-8"));
  DrawKeyboardKeys(r, id, -1, K, K);
  ExpectLayer(id, 0, Caption(K, K, "Ab", 16, 12));
  ExpectLayer(id, 1, Caption(K, K, "A", 16, 12, "0"));
}

TEST_F(KeyboardTest, HeldHoveredAndPlayedKeys) {
  const int32_t id = Control(0, kTop, kKeys * K, K, kKeys, K, K);
  KeyboardState* st = KeyboardStates[0].Load();
  st->KeyOffset.Store(0);
  StoreHeldKey(st->HeldKeys[0], 0, 2, 5);
  StoreHeldKey(st->HeldKeys[1], 0, 40, 6);  // out of view: not drawn
  StoreHeldKey(st->HeldKeys[2], 0, 3, kHeldKeyFree);
  C(id)->Text.Mark = 5;
  C(id)->Text.Selected = 7;
  Snapshot s;
  DrawKeyboard(Take(id, s), id);
  const uint32_t dim2 = DimKeyColour(KeyboardKeyColour(2));
  EXPECT_NE(dim2, kKeyFill);
  EXPECT_EQ(Px(2 * K + 4, kTop + K - 4), dim2);
  EXPECT_EQ(Px(2 * K, kTop), kMarkDark);  // sunken
  EXPECT_EQ(Px(3 * K - 1, kTop + K - 1), kMark);
  EXPECT_EQ(Px(3 * K + 4, kTop + K - 4), kKeyFill);
  EXPECT_EQ(Px(5 * K, kTop), kMark);      // hovered: raised
  EXPECT_EQ(Px(6 * K - 1, kTop + K - 1), kMarkDark);
  EXPECT_EQ(Px(7 * K + 2, kTop + K - 3), DimKeyColour(KeyboardKeyColour(7)));
  EXPECT_EQ(Px(9 * K, kTop), DimKeyColour(KeyboardKeyColour(9)));
  CurrentKeyboardIndex.Store(99);  // no state: keys only
  EXPECT_EQ(DrawKeyboard(Take(id, s), id), 0);
}

TEST_F(KeyboardTest, OctaveBoardCentresTheRangeAndCaptionsPowers) {
  // Room for 14 keys of 9u: the middle 14 of base 2's 22, from key 4.
  // The interface lays the board out for its height; the draw follows.
  int32_t id = Control(600, 0, 80, 14 * K + 20, 22, 80, K);
  Snapshot s;
  LayOutOctaveBoard(14 * K + 20);
  DrawOctaveBoard(Take(id, s), id);
  EXPECT_EQ(OctaveBoardVisibleKeys.Load(), 14);
  EXPECT_EQ(OctaveKeyHeight.Load(), K);
  for (const Shared<KeyboardState*>& st : OctaveBoardStates) EXPECT_EQ(st.Load()->Octave.Load(), 4);
  // Top exponent 22 - 4 - 9 - 1 = 8; caption row nearest(15.5) = 16.
  ExpectLayer(id, 0, Caption(80, K, "256", 16, 16));
  ExpectLayer(id, 8, Caption(80, K, "1 x", 16, 16));
  ExpectLayer(id, 9, Caption(80, K, "1/2", 16, 16));
  StoreHeldKey(OctaveBoardStates[0].Load()->HeldKeys[0], 0, 4 + 2, 3);
  DrawOctaveBoard(Take(id, s, 0), id);
  EXPECT_EQ(Px(610, 2 * K + K - 4), DimKeyColour(V::HueToRgb(15 / 22.0f + 0.16666667f)));
  EXPECT_EQ(Px(600, 3 * K), V::HueToRgb(14 / 22.0f + 0.16666667f));

  // Room for more than 22: exactly 22 taller keys from the first one.
  UiUnit = 1;
  id = Control(700, 0, K, 660, 22, K, 30);
  LayOutOctaveBoard(660);
  DrawOctaveBoard(Take(id, s), id);
  EXPECT_EQ(OctaveBoardVisibleKeys.Load(), 22);
  EXPECT_EQ(OctaveKeyHeight.Load(), 30);
  EXPECT_EQ(OctaveBoardStates[5].Load()->Octave.Load(), 0);

  // Too narrow for its caption: it shrinks, never below size 8.
  UiUnit = 5;
  id = Control(800, 0, 12, 14 * K, 22, 12, K);
  LayOutOctaveBoard(14 * K);
  DrawOctaveBoard(Take(id, s), id);
  ExpectLayer(id, 0, Caption(12, K, "256", 8, 20));
}

// The board laid out again and again in two bases while a draw thread draws
// it: each draw takes one layout whole, so its rows never reach below the
// board (base 1's 65-px rows with base 0's 14 keys would reach 910 px down a
// 650-px board).
TEST_F(KeyboardTest, OctaveBoardDrawsOneLayoutWhileTheInterfaceLaysItOut) {
  constexpr int32_t kBoardH = 14 * K + 20;  // base 0: 14 keys of 45; base 1: 10 of 65
  OctaveBoardKeyRanges[1] = {10, 4};
  const int32_t id = Control(600, 0, 80, kBoardH, 22, 80, K);
  Snapshot s;
  V::RenderRecord* snap = Take(id, s, 0);
  LayOutOctaveBoard(kBoardH);
  constexpr int32_t kBelow = kBoardH + 10;  // a row under the board, on the canvas
  std::atomic<bool> stop{false};
  std::atomic<int32_t> draws{0}, overran{0};
  std::thread draw([&] {
    while (!stop.load()) {
      *platform::ImagePixel(canvas, 610, kBelow) = kBackground;
      DrawOctaveBoard(snap, id);
      if (Px(610, kBelow) != kBackground) overran.fetch_add(1);
      draws.fetch_add(1);
    }
  });
  int32_t layouts = 0;
  // Two threads that take turns on a core or two meet less often per draw.
  const int32_t wanted = test_rounds::RoundsForCores(nullptr, 3000, 500);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (draws.load() < wanted && std::chrono::steady_clock::now() < give_up) {
    TimeBaseIndex.Store(layouts & 1);
    LayOutOctaveBoard(kBoardH);
    ++layouts;
  }
  stop.store(true);
  draw.join();
  EXPECT_GE(draws.load(), wanted);
  EXPECT_EQ(overran.load(), 0) << "of " << draws.load() << " draws, " << layouts << " layouts";
  // Each base's own layout fills the board.
  for (const int32_t base : {0, 1}) {
    TimeBaseIndex.Store(base);
    LayOutOctaveBoard(kBoardH);
    const OctaveBoardLayout l = OctaveBoardLayoutNow();
    EXPECT_EQ(l.BaseIndex, base);
    EXPECT_EQ(l.KeyHeight, base == 0 ? K : 65);
    EXPECT_EQ(l.Keys, base == 0 ? 14 : 10);
  }
}

}  // namespace
}  // namespace viewsb
