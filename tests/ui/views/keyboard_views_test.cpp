// The keyboard and the octave board.
#include <cmath>
#include <cstdlib>

#include "engine/keyboard.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "tests/ui/views/views_b_fixture.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "ui/views/keyboard_views.h"
#include "visuals/colours.h"

namespace viewsb {
namespace {

using namespace Tarvelo;

constexpr int32_t K = 45;        // key width at zoom 1
constexpr int32_t kKeys = 25;
constexpr int32_t kTop = 100;    // KB's y
constexpr uint32_t kKeyFill = 0xFF141419;
constexpr uint32_t kMark = 0xFFBEBEFF;
constexpr uint32_t kMarkDark = 0xFF5F5F7F;

class KeyboardTest : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    ASSERT_EQ(InitKeyboardStates(), 0);
    CurrentKeyboardIndex = 0;
    CurrentOctaveBoardIndex = 0;
    FreeKeyboardKeyColours();
    KeyboardKeyColours = static_cast<KeyColour*>(std::calloc(kKeys, sizeof(KeyColour)));
    for (int32_t i = 0; i < kKeys; ++i) KeyboardKeyColours[i] = {1.0f, 1.0f, 1.0f};
    KeyboardVisibleKeys = kKeys;
    KeyboardKeySize = K;
    TimeBaseIndex = 0;
    OctaveBoardKeyRanges[0] = {22, 9};
    OctaveBoardKeyRanges[1] = {14, 6};
    OctaveBoardKeyRanges[2] = {10, 4};
  }
  void TearDown() override {
    FreeKeyboardKeyColours();
    KeyboardVisibleKeys = 0;
    FreeKeyboardStates();
    ViewTest::TearDown();
  }
  int32_t Keyboard() {
    const int32_t id = Make(0, kTop, kKeys * K, K);
    C(id)->Colour = kKeyFill;
    C(id)->Text.TextSize = 16;
    for (int32_t i = 0; i < kKeys; ++i) AddLayer(id, K, K);
    return id;
  }
  int32_t Board(int32_t w, int32_t h, int32_t keyH) {
    const int32_t id = Make(600, 0, w, h);
    C(id)->Colour = kKeyFill;
    C(id)->Text.TextSize = 16;
    for (int32_t i = 0; i < 22; ++i) AddLayer(id, w, keyH);
    return id;
  }
  // The caption layer a key should hold: the name centred, the octave below it.
  static platform::Image* Expected(const std::string& name, const std::string& octave) {
    platform::Image* e = platform::ImageCreate(K, K, 0);
    const int32_t x = static_cast<int32_t>(std::nearbyint((K - V::TextWidth(name, &V::TextFont, 16)) * 0.5));
    V::DrawTextFT(e, x, 12, 0, name, V::TextFont.Face, 16, 0xFFFFFFFF, 2);
    if (!octave.empty()) V::DrawTextFT(e, x, 29, 0, octave, V::TextFont.Face, 11, 0xFFFFFFFF, 2);
    return e;
  }
  void ExpectCaption(int32_t id, int32_t key, const std::string& name, const std::string& octave) {
    platform::Image* e = Expected(name, octave);
    EXPECT_TRUE(SameImage(C(id)->Layers[key], e)) << "key " << key << ": " << name << " " << octave;
    platform::ImageDestroy(e);
  }
};

TEST(KeyColours, DimmedHalvesToNearestAndCaptionsOfTheBoard) {
  EXPECT_EQ(DimKeyColour(0xFFFFFFFF), 0xFF808080u);  // 127.5 to even
  EXPECT_EQ(DimKeyColour(0x00030201), 0xFF020100u);  // 1.5, 1, 0.5
  EXPECT_EQ(OctaveKeyCaption(2, 0), "1 x");
  EXPECT_EQ(OctaveKeyCaption(3, -2), "1/9");
  EXPECT_EQ(OctaveKeyCaption(5, 3), "125");
  EXPECT_EQ(OctaveKeyCaption(2, 12), "4096");
  // A damaged octave word does not wrap the number around.
  EXPECT_FALSE(OctaveKeyCaption(5, 100000).empty());
  EXPECT_NE(OctaveKeyCaption(5, 100000)[0], '-');
}

TEST_F(KeyboardTest, CaptionsNameEachNoteAndNumberEachOctave) {
  const int32_t id = Keyboard();
  Snapshot s;
  Take(id, s);
  DrawKeyboardKeys(s.get(), id, 0, K, K);
  EXPECT_GT(Covered(C(id)->Layers[0]), 10);
  ExpectCaption(id, 0, "A", "0");
  ExpectCaption(id, 1, "Bb", "");
  ExpectCaption(id, 12, "A", "1");
  ExpectCaption(id, 24, "A", "2");
  EXPECT_FLOAT_EQ(KeyboardKeyColours[0].Hue, 0.0f);
  EXPECT_NEAR(KeyboardKeyColours[13].Hue, std::pow(2.0, 1.0 / 12.0) - 1.0, 1e-5);

  // Eight octaves down the leftmost key shows -8; beyond +8 the octaves wrap by 17.
  DrawKeyboardKeys(s.get(), id, -96, K, K);
  ExpectCaption(id, 0, "A", "-8");
  ExpectCaption(id, 1, "Bb", "");
  DrawKeyboardKeys(s.get(), id, 108, K, K);
  ExpectCaption(id, 0, "A", "-8");
  // A key offset that is not a whole octave starts within one.
  DrawKeyboardKeys(s.get(), id, -1, K, K);
  ExpectCaption(id, 0, "Ab", "");
  ExpectCaption(id, 1, "A", "0");
}

TEST_F(KeyboardTest, HeldHoveredAndPlayedKeys) {
  const int32_t id = Keyboard();
  KeyboardState* st = KeyboardStates[0];
  KbStore(st->KeyOffset, 0);
  st->HeldKeys[0] = {0, 2, 5};
  st->HeldKeys[1] = {0, 40, 6};  // scrolled out of view: not drawn
  st->HeldKeys[2] = {0, 3, kHeldKeyFree};
  C(id)->Text.Mark = 5;
  C(id)->Text.Selected = 7;
  Snapshot s;
  Take(id, s);
  DrawKeyboard(s.get(), id);

  const uint32_t dim2 = DimKeyColour(KeyboardKeyColour(2));
  EXPECT_NE(dim2, kKeyFill);
  EXPECT_EQ(Px(2 * K + 4, kTop + K - 4), dim2);
  EXPECT_EQ(Px(2 * K, kTop), kMarkDark);               // sunken: dark top left
  EXPECT_EQ(Px(3 * K - 1, kTop + K - 1), kMark);       // light bottom right
  EXPECT_EQ(Px(3 * K + 4, kTop + K - 4), kKeyFill);    // a free entry sounds nothing
  EXPECT_EQ(Px(5 * K, kTop), kMark);                   // hovered: raised
  EXPECT_EQ(Px(6 * K - 1, kTop + K - 1), kMarkDark);
  EXPECT_EQ(Px(7 * K + 2, kTop + K - 3), DimKeyColour(KeyboardKeyColour(7)));
  // Keys at rest: the key's own dimmed colour as a raised frame.
  EXPECT_EQ(Px(9 * K, kTop), DimKeyColour(KeyboardKeyColour(9)));

  // No keyboard state: keys only, nothing read past the bank.
  CurrentKeyboardIndex = 99;
  Take(id, s);
  EXPECT_EQ(DrawKeyboard(s.get(), id), 0);
}

TEST_F(KeyboardTest, OctaveBoardCentresTheBaseRangeAndCaptionsPowers) {
  // Room for 14 keys of 9u: the middle 14 of the 22, first key 4.
  int32_t id = Board(80, 14 * K + 20, K);
  Snapshot s;
  Take(id, s);
  DrawOctaveBoard(s.get(), id);
  EXPECT_EQ(OctaveBoardVisibleKeys, 14);
  EXPECT_EQ(OctaveKeyHeight, K);
  for (KeyboardState* st : OctaveBoardStates) EXPECT_EQ(st->Octave, 4);
  // Top exponent 22 - 4 - 9 - 1 = 8: row 8 is 1 x, row 9 is 1/2.
  const auto caption = [](const std::string& text, int32_t w, int32_t h, int32_t size) {
    platform::Image* e = platform::ImageCreate(w, h, 0);
    const int32_t width = V::TextWidth(text, &V::TextFont, size);
    V::DrawTextFT(e, static_cast<int32_t>(std::nearbyint((w - width) * 0.5)),
                  static_cast<int32_t>(std::nearbyint((h - size) * 0.5 + 1.0)), 0, text,
                  V::TextFont.Face, size, 0xFFFFFFFF, 2);
    return e;
  };
  for (auto [row, text] : {std::pair{0, "256"}, {8, "1 x"}, {9, "1/2"}, {13, "1/32"}}) {
    platform::Image* e = caption(text, 80, K, 16);
    EXPECT_TRUE(SameImage(C(id)->Layers[row], e)) << text;
    platform::ImageDestroy(e);
  }
  // A held key sounds on its row, in the row's colour dimmed.
  OctaveBoardStates[0]->HeldKeys[0] = {0, 4 + 2, 3};
  Take(id, s, 0);
  DrawOctaveBoard(s.get(), id);
  const uint32_t row2 = V::HueToRgb((4 + 14 - 2 - 1) / 22.0f + 0.16666667f);
  EXPECT_EQ(Px(600 + 10, 2 * K + K - 4), DimKeyColour(row2));
  EXPECT_EQ(Px(600, 3 * K), V::HueToRgb((4 + 14 - 3 - 1) / 22.0f + 0.16666667f));

  // Room for more than 22 keys: exactly 22, each taller, from the first key.
  Tarvelo::UiUnit = 1;
  id = Board(K, 660, 30);
  Take(id, s);
  DrawOctaveBoard(s.get(), id);
  EXPECT_EQ(OctaveBoardVisibleKeys, 22);
  EXPECT_EQ(OctaveKeyHeight, 30);
  for (KeyboardState* st : OctaveBoardStates) EXPECT_EQ(st->Octave, 0);

  // A caption too wide for a narrow board shrinks, never below size 8.
  Tarvelo::UiUnit = 5;
  id = Board(12, 14 * K, K);
  Take(id, s);
  DrawOctaveBoard(s.get(), id);
  platform::Image* e = caption("256", 12, K, 8);
  EXPECT_TRUE(SameImage(C(id)->Layers[0], e));
  platform::ImageDestroy(e);
}

TEST_F(KeyboardTest, GroupsBlitTheirPictureInsideAFrameOfTheirColour) {
  const int32_t id = Make(20, 20, 60, 40);
  C(id)->Colour = 0xFF0A2A4D;
  AddLayer(id, 54, 34, 0xFFFF0000);
  Snapshot s;
  Take(id, s);
  DrawKeyboardGroup(s.get(), id);
  EXPECT_EQ(Px(20, 20), 0xFF0A2A4Du);
  EXPECT_EQ(Px(23, 23), 0xFFFF0000u);
  DrawOctaveBoardGroup(s.get(), Make(100, 20, 10, 10));  // no picture: frame only
}

}  // namespace
}  // namespace viewsb
