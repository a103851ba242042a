#include "ui/views/keyboard_views.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "app/state/settings.h"
#include "engine/keyboard.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "ui/views/control_drawing.h"
#include "ui/views/tuning_displays.h"
#include "visuals/colours.h"
#include "visuals/glyphs.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

namespace {

constexpr int32_t kKeyFrameThickness = 2;

const KeyboardState* BankState(const Shared<KeyboardState*>* bank, int32_t index) {
  if (index < 0 || index >= kKeyboardBankSize) return nullptr;
  // A delete swaps the entries of the keyboards it renumbers meanwhile.
  return bank[index].Load();
}

void KeyFrame(uint8_t style, uint32_t colour, int32_t x, int32_t y, int32_t w, int32_t h) {
  if (w < 1 || h < 1) return;
  V::DrawFrameOnImage(V::DrawTarget, style, kKeyFrameThickness, colour, x, y, w, h);
}

// The control's box in the fill colour of the moment, then its overlay.
void KeyArea(const V::RenderRecord* s, const V::ControlRecord* c) {
  FillBox(s->X, s->Y, s->X + s->W - 1, s->Y + s->H - 1, FillColour);
  BlitOverlay(c, s->X, s->Y, s->W, s->H);  // keyboards are resized
}

uint32_t BoardKeyColour(int32_t octave, int32_t count, int32_t row, int32_t range) {
  const float v = static_cast<float>(octave + count - row - 1) / static_cast<float>(range) +
                  0.16666667f;
  return V::HueToRgb(v);
}

}  // namespace

uint32_t DimKeyColour(uint32_t colour) {
  uint32_t out = 0xFF000000;
  for (int shift = 0; shift <= 16; shift += 8) {
    const int32_t c = Nearest(((colour >> shift) & 0xFF) * 0.5);
    out |= static_cast<uint32_t>(c > 255 ? 255 : c) << shift;
  }
  return out;
}

uint32_t KeyboardKeyColour(int32_t key) {
  if (!KeyboardKeyColours || key < 0 || key >= KeyboardVisibleKeys) return 0xFFFFFFFF;
  const KeyColour& k = KeyboardKeyColours[key];
  const float hsv[3] = {k.Hue, k.Saturation, k.Value};
  return V::HsvToRgb(hsv);
}

std::string OctaveKeyCaption(int32_t base, int32_t e) {
  const int64_t n = e < 0 ? -static_cast<int64_t>(e) : e;
  uint64_t power = 1;
  const uint64_t limit = std::numeric_limits<uint64_t>::max() / 8;
  // A state read from a damaged file may hold any octave word: the caption
  // then stops growing instead of wrapping around.
  for (int64_t i = 0; i < n && power <= limit; ++i) power *= static_cast<uint64_t>(base);
  std::string text = std::to_string(power);
  if (e < 0) text = "1/" + text;
  if (e == 0) text += " x";
  return text;
}

int32_t DrawKeyboardGroup(V::RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  const int32_t B = V::BorderWidth;
  if (platform::Image* l = LayerAt(LiveControl(id), 0)) BlitImage(l, snap->X + B, snap->Y + B);
  V::DrawFrame(&snap->X, V::kFrameFlat, B, snap->Colour);
  return 0;
}

int32_t DrawOctaveBoardGroup(V::RenderRecord* snap, int32_t id) {
  return DrawKeyboardGroup(snap, id);
}

void DrawKeyboardKeys(V::RenderRecord* snap, int32_t id, int32_t o, int32_t kw, int32_t h) {
  if (!snap) return;
  V::ControlRecord* c = LiveControl(id);
  KeyArea(snap, c);

  // Copies of the tuning: the lock is held only for the reading.
  std::string names[kTuningMaxKeys];
  float ratios[kTuningMaxKeys] = {};
  int32_t N = 0;
  {
    platform::MutexGuard guard(MT_TUNINGS[kActiveTuning]);
    N = TuningGetNoteCount(ActiveTuning);
    if (N > kTuningMaxKeys) N = kTuningMaxKeys;
    for (int32_t n = 0; n < N; ++n) {
      names[n] = TuningGetNoteName(ActiveTuning, n);
      ratios[n] = TuningGetAbsoluteRatio(ActiveTuning, n);
    }
  }
  if (N < 1) return;

  const int32_t t = snap->Text.TextSize;
  const int32_t octaveSize = Nearest(t * 0.66);
  const int32_t captionY = Nearest((h - t) * 0.5 - 2.0);
  for (int32_t i = 0; i < KeyboardVisibleKeys; ++i) {
    const int64_t key = static_cast<int64_t>(o) + i;
    int32_t n = static_cast<int32_t>(key % N);
    if (n < 0) n += N;
    const std::string& caption = names[n];
    const int32_t x = Nearest((kw - V::TextWidth(caption, &V::TextFont, t)) * 0.5);
    if (platform::Image* layer = LayerAt(c, i)) {
      platform::ImageFill(layer, 0x00000000);
      V::DrawTextFT(layer, x, captionY, 0, caption, V::TextFont.Face, t, snap->Text.TextColour, 2);
      if (n == 0) {
        int64_t octave = key / N;
        if (octave > 8) octave -= 17;
        V::DrawTextFT(layer, x, captionY + t + 1, 0, std::to_string(octave), V::TextFont.Face,
                      octaveSize, snap->Text.TextColour, 2);
      }
    }
    if (KeyboardKeyColours) KeyboardKeyColours[i].Hue = ratios[n] - 1.0f;
  }
}

namespace {

// A digest of what the held-key marks of a state depend on.
uint64_t HeldKeysDigest(const KeyboardState* s, int64_t index) {
  uint64_t h = 1469598103934665603ull ^ static_cast<uint64_t>(index);
  auto mix = [&h](uint64_t v) { h = (h ^ v) * 1099511628211ull; };
  // The keys' captions and colours follow the tuning in use.
  mix(TuningKeysLook(kActiveTuning));
  if (!s) return h;
  mix(static_cast<uint64_t>(s->KeyOffset.Load()));
  for (const HeldKey& held : s->HeldKeys) {
    const int64_t voice = held.Voice.Load();
    mix(voice < 0 ? ~0ull : static_cast<uint64_t>(held.Key.Load()));
  }
  return h;
}

bool DigestChanged(uint64_t digest, uint64_t& last) {
  const bool changed = digest != last;
  last = digest;
  return changed;
}

}  // namespace

bool KeyboardHasNews() {
  // one thread: video, the frame watch's
  static uint64_t last = 0;
  const int64_t index = CurrentKeyboardIndex.Load();
  return DigestChanged(HeldKeysDigest(BankState(KeyboardStates, index), index), last);
}

bool OctaveBoardHasNews() {
  // one thread: video, the frame watch's
  static uint64_t last = 0;
  const int64_t index = CurrentOctaveBoardIndex.Load();
  return DigestChanged(HeldKeysDigest(BankState(OctaveBoardStates, index), index), last);
}

int32_t DrawKeyboard(V::RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  const V::ControlRecord* c = LiveControl(id);
  const KeyboardState* s = BankState(KeyboardStates, CurrentKeyboardIndex.Load());
  const int32_t offset = s ? s->KeyOffset.Load() : 0;
  const int32_t kw = KeyboardKeySize, x = snap->X, y = snap->Y, h = snap->H;
  const int32_t B = V::BorderWidth;
  const int32_t count = KeyboardVisibleKeys;
  // The captions are rendered again when what they show changed: the first
  // key shown (another keyboard, a scroll) or the tuning in use.
  // one thread: video
  static uint64_t captionsDrawn = 0;
  const uint64_t captions = TuningKeysLook(kActiveTuning) * 1099511628211ull ^
                            static_cast<uint64_t>(static_cast<uint32_t>(offset));
  if (snap->Text.Changed != 0 || captions != captionsDrawn) DrawKeyboardKeys(snap, id, offset, kw, h);
  captionsDrawn = captions;
  if (kw < 1) return 0;

  for (int32_t i = 0; i < count; ++i) {
    const int32_t xi = x + i * kw;
    FillColour = snap->Colour;
    FrameColour = kKeyRestFrame;
    FillBox(xi, y, xi + kw - 1, y + h - 1, FillColour);
    KeyFrame(V::kFrameRaised, DimKeyColour(KeyboardKeyColour(i)), xi, y, kw, h);
  }
  if (s) {
    for (const HeldKey& held : s->HeldKeys) {
      if (held.Voice.Load() < 0) continue;
      const int64_t u = static_cast<int64_t>(static_cast<int32_t>(held.Key.Load())) - offset;
      if (u < 0 || u >= count) continue;  // scrolled out of view; it keeps sounding
      const int32_t xu = x + static_cast<int32_t>(u) * kw;
      FillBox(xu + B, y + B, xu + kw - B - 1, y + h - B - 1,
              DimKeyColour(KeyboardKeyColour(static_cast<int32_t>(u))));
      KeyFrame(V::kFrameSunken, kKeyMarkFrame, xu, y, kw, h);
    }
  }
  const int32_t hover = snap->Text.Mark;
  if (hover >= 0 && hover < count) KeyFrame(V::kFrameRaised, kKeyMarkFrame, x + hover * kw, y, kw, h);
  const int32_t played = snap->Text.Selected;
  if (played >= 0 && played < count) {
    const int32_t xp = x + played * kw;
    FillBox(xp, y, xp + kw - 1, y + h - 1, DimKeyColour(KeyboardKeyColour(played)));
    KeyFrame(V::kFrameSunken, kKeyMarkFrame, xp, y, kw, h);
  }
  for (int32_t i = 0; i < count; ++i)
    if (platform::Image* l = LayerAt(c, i)) BlitImage(l, x + i * kw, y);
  return 0;
}

int32_t DrawOctaveBoard(V::RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  V::ControlRecord* c = LiveControl(id);
  // The interface lays the board out (LayOutOctaveBoard) in the base the
  // tuning editor's Set stores; the draw takes that layout whole, base and all.
  const OctaveBoardLayout layout = OctaveBoardLayoutNow();
  int32_t baseIndex = layout.BaseIndex;
  if (baseIndex < 0 || baseIndex > 2) baseIndex = 0;
  const int32_t base = TimeBases[baseIndex];
  const int32_t R = OctaveBoardKeyRanges[baseIndex].Count;
  const int32_t r = OctaveBoardKeyRanges[baseIndex].Below;
  const KeyboardState* s = BankState(OctaveBoardStates, CurrentOctaveBoardIndex.Load());
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  const int32_t B = V::BorderWidth;
  if (R < 1) return 0;

  const int32_t keyH = layout.KeyHeight;
  const int32_t count = layout.Keys;
  if (snap->Text.Changed != 0) {
    KeyArea(snap, c);
    const int32_t first = static_cast<int32_t>(std::floor((R - count) * 0.5));
    const int32_t octave = s ? s->Octave.Load() : first;
    const int32_t eTop = R - octave - r - 1;
    const int32_t widest = w - 2 * B - 2;
    for (int32_t i = 0; i < count; ++i) {
      platform::Image* layer = LayerAt(c, i);
      if (!layer) continue;
      const std::string caption = OctaveKeyCaption(base, eTop - i);
      int32_t size = snap->Text.TextSize;
      int32_t width = V::TextWidth(caption, &V::TextFont, size);
      while (width > widest && size > 8) width = V::TextWidth(caption, &V::TextFont, --size);
      platform::ImageFill(layer, 0x00000000);
      V::DrawTextFT(layer, Nearest((w - width) * 0.5), Nearest((layer->height - size) * 0.5 + 1.0),
                    0, caption, V::TextFont.Face, size, snap->Text.TextColour, 2);
    }
  }

  if (keyH < 1 || count < 1) return 0;
  const int32_t octave = s ? s->Octave.Load() : 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t yi = y + i * keyH;
    FillColour = snap->Colour;
    FillBox(x, yi, x + w - 1, yi + keyH - 1, FillColour);
    FrameColour = BoardKeyColour(octave, count, i, R);
    KeyFrame(V::kFrameRaised, FrameColour, x, yi, w, keyH);
  }
  // What the keys leave below the last (h / R rounded down) is painted by
  // every draw in the board's colour: only a layout draw fills the whole box,
  // and in whatever fill colour the draw before it left.
  if (count * keyH < h) FillBox(x, y + count * keyH, x + w - 1, y + h - 1, snap->Colour);
  if (s) {
    for (const HeldKey& held : s->HeldKeys) {
      if (held.Voice.Load() < 0) continue;
      const int64_t row = static_cast<int64_t>(static_cast<int32_t>(held.Key.Load())) - octave;
      if (row < 0 || row >= count) continue;
      const int32_t yr = y + static_cast<int32_t>(row) * keyH;
      FillBox(x + B, yr + B, x + w - B - 1, yr + keyH - B - 1,
              DimKeyColour(BoardKeyColour(octave, count, static_cast<int32_t>(row), R)));
      KeyFrame(V::kFrameSunken, kKeyMarkFrame, x, yr, w, keyH);
    }
  }
  const int32_t hover = snap->Text.Mark;
  if (hover >= 0 && hover < count) KeyFrame(V::kFrameRaised, kKeyMarkFrame, x, y + hover * keyH, w, keyH);
  const int32_t played = snap->Text.Selected;
  if (played >= 0 && played < count) {
    const int32_t yp = y + played * keyH;
    FrameColour = DimKeyColour(BoardKeyColour(octave, count, played, R));
    FillBox(x, yp, x + w - 1, yp + keyH - 1, FrameColour);
    KeyFrame(V::kFrameSunken, kKeyMarkFrame, x, yp, w, keyH);
  }
  for (int32_t i = 0; i < count; ++i)
    if (platform::Image* l = LayerAt(c, i)) BlitImage(l, x, y + i * keyH);
  return 0;
}

}  // namespace Tarvelo
