#include "ui/views/control_images.h"

#include <cmath>

#include "app/state/settings.h"
#include "basics/dynzstring.h"
#include "ui/build/callbacks.h"
#include "ui/views/control_drawing.h"
#include "ui/views/dialog_drawing.h"
#include "ui/views/sysbar_views.h"
#include "visuals/colours.h"
#include "visuals/control_table.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using platform::Image;

const uint32_t GlowColours[kGlowCount] = {0xFFC800AA, 0xFF0055AA, 0xFFE6C300};
Image* GlowImages[kGlowCount] = {nullptr, nullptr, nullptr};
uint32_t* GlowRamps[kGlowCount] = {nullptr, nullptr, nullptr};
int32_t GlowRampLength = 0;
int32_t GlowRadius = 0;

void FreeGlowImages() {
  for (int32_t i = 0; i < kGlowCount; ++i) {
    platform::ImageDestroy(GlowImages[i]);
    GlowImages[i] = nullptr;
    delete[] GlowRamps[i];
    GlowRamps[i] = nullptr;
  }
  GlowRampLength = 0;
}

void CreateGlowImages() {
  const int32_t n = 4 * UiUnit;
  const int32_t s = 4 * n;
  const float m = static_cast<float>(s) / 2.0f;
  GlowRadius = Nearest(m);
  for (int32_t i = 0; i < kGlowCount; ++i) {
    platform::ImageDestroy(GlowImages[i]);
    GlowImages[i] = nullptr;
    Image* img = s > 0 ? platform::ImageCreate(s, s, 0x00000000) : nullptr;
    if (V::BuildColourRamp(&GlowRamps[i], 0x00000000, GlowColours[i], n) != 0 || !img) {
      platform::ImageDestroy(img);
      continue;
    }
    const int32_t perRow = Nearest(img->pitch / 4.0);
    const uint32_t* ramp = GlowRamps[i];
    for (int32_t py = 0; py < s; ++py) {
      for (int32_t px = 0; px < s; ++px) {
        const float dx = m - static_cast<float>(px), dy = m - static_cast<float>(py);
        const float d = std::sqrt(dx * dx + dy * dy);
        const int32_t k = Nearest(4.0f * d);
        if (k < s) img->pixels[py * perRow + px] = ramp[k];
      }
    }
    GlowImages[i] = img;
  }
  // The other draws shade with shorter ramps.
  const int32_t shortN = 2 * UiUnit;
  GlowRampLength = 4 * std::max(shortN, 0) + 1;
  for (int32_t i = 0; i < kGlowCount; ++i)
    if (V::BuildColourRamp(&GlowRamps[i], 0x00000000, GlowColours[i], shortN) != 0)
      GlowRampLength = 0;
}

namespace {

// A draw callback counts as one of ours when it is the function here or the
// one installed in its slot (the builder bound what the slot held).
bool Is(V::DrawCallbackFn draw, V::DrawCallbackFn mine, V::DrawCallbackFn slot) {
  return draw != nullptr && (draw == mine || draw == slot);
}

int32_t AddArrows(ControlRecord* c, const std::string& hintH, const std::string& hintV) {
  if (V::ControlAddLayers(c, 1) != 0) return -21;
  const int32_t k = c->LayerCount - 1;
  const int32_t w = c->W, h = c->H;
  const int32_t b = V::BorderWidth;
  std::string tip = QUARLE_BASICS::DynZStringGet(c->Tooltip);
  tip += ": ";
  tip += h < w ? hintH : hintV;
  QUARLE_BASICS::DynZStringAssign(c->Tooltip, tip);

  const uint32_t colour = c->Text.TextColour;
  const V::FontFace face = V::IconFont.Face;
  if (h < w) {
    Image* img = platform::ImageCreate(w, h, 0x00000000);
    if (!img) return -21;
    c->Layers[k] = img;
    const int32_t s = h - 3 * b;
    const int32_t g = V::GlyphAdvance("<", face, s);
    if (g < 0) return g;
    const int32_t y = Nearest((h - s) / 2.0 + 1.0);
    int32_t r = V::DrawTextFT(img, 3 * b, y, 0, "<", face, s, colour, 2);
    if (r < 0) return r;
    r = V::DrawTextFT(img, w - 3 * b - g, y, 0, ">", face, s, colour, 2);
    if (r < 0) return r;
  } else {
    Image* img = platform::ImageCreate(w, h + UiUnit, 0x00000000);
    if (!img) return -21;
    c->Layers[k] = img;
    const int32_t s = w - 3 * b;
    const int32_t g = V::GlyphAdvance("\xAF", face, s);
    if (g < 0) return g;
    const int32_t x = Nearest((w - g) / 2.0);
    int32_t r = V::DrawTextFT(img, x, 0, 0, "\xAF", face, s, colour, 2);
    if (r < 0) return r;
    r = V::DrawTextFT(img, x, h - b - s + UiUnit, 0, "_", face, s, colour, 2);
    if (r < 0) return r;
  }
  return 0;
}

}  // namespace

int32_t PrepareControlImages(const std::string& hintHorizontal, const std::string& hintVertical) {
  const int32_t count = V::ControlTableCount();
  for (int32_t id = 0; id < count; ++id) {
    ControlRecord* c = V::ControlAt(id);
    if (!c) continue;
    const int32_t w = c->W, h = c->H;
    if (c->Text.EditStates[0] == -1 || c->Text.EditStates[1] == -1) c->EditArrows = -1;

    const V::DrawCallbackFn draw = c->DrawCallback.load();
    if (Is(draw, DrawSelector, Cb.DrawSelector)) {
      const int32_t r = AddArrows(c, hintHorizontal, hintVertical);
      if (r != 0) return r;
    } else if (c->EventCallback == nullptr || Is(draw, DrawLabel, Cb.DrawLabel)) {
      c->EventMask = 0;
    }

    if (int64_t{w} * h > int64_t{UiUnit} * 2500) c->GradientFlag = 0;
    if (c->NoHit == -1 || c->EventMask > 287) c->GradientFlag = 0;
    if (c->EventMask == 11) c->GradientFlag = -1;
    if (Is(draw, DrawDialogEdit, Cb.DrawDialogEdit) || Is(draw, DrawValueField, Cb.DrawValueField) ||
        Is(draw, DrawMemoryReadout, Cb.DrawMemoryReadout) ||
        Is(draw, DrawWorkloadReadout, Cb.DrawWorkloadReadout) ||
        Is(draw, DrawAudioLoopReadout, Cb.DrawAudioLoopReadout) ||
        Is(draw, DrawVideoRateReadout, Cb.DrawVideoRateReadout) ||
        Is(draw, DrawControlLoopReadout, Cb.DrawControlLoopReadout) ||
        Is(draw, DrawInputMeter, Cb.DrawInputMeter) || Is(draw, DrawOutputMeter, Cb.DrawOutputMeter) ||
        Is(draw, DrawLiveGuide, Cb.DrawLiveGuide) || Is(draw, DrawMessageBox, Cb.DrawMessageBox) ||
        Is(draw, DrawDialogText, Cb.DrawDialogText)) {
      c->GradientFlag = -1;
      c->GradientFlag2 = -1;
    } else if (Is(draw, DrawButton, Cb.DrawButton) || Is(draw, DrawSelector, Cb.DrawSelector) ||
               (draw != nullptr && draw == Cb.DrawModulePort)) {
      c->GradientFlag = -1;
    }

    if (c->GradientFlag == -1) {
      if (V::ControlAddLayers(c, 1) != 0) return -21;
      Image* img = platform::ImageCreate(w, h, 0x00000000);
      if (!img) return -21;
      c->Layers[c->LayerCount - 1] = img;
      uint32_t from = c->GradientFlag2 == -1 ? kOverlayDark : 0x00000000;
      const uint32_t to = c->GradientFlag2 == -1 ? 0x00000000 : kOverlayDark;
      V::GradientFillV(img, 0, 0, w - 1, h - 1, from, to);
    }
    V::ControlPublish(c, -1);
  }
  return 0;
}

}  // namespace Tarvelo
