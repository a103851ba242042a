#include "ui/views/control_drawing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "app/state/settings.h"
#include "basics/dynzstring.h"
#include "engine/module.h"
#include "engine/modulelist.h"
#include "engine/params.h"
#include "engine/valueedit.h"
#include "platform/threads.h"
#include "ui/views/cables.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/glyphs.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using platform::Image;

uint32_t FrameColour = kColourFrameRest;
uint8_t FrameStyle = V::kFrameFlat;
uint32_t FillColour = kColourGrey;
uint32_t TextColour = kColourWhite;
V::FontRecord* DrawFont = &V::TextFont;

// --- Helpers ------------------------------------------------------------------------

int32_t BorderPx() { return V::BorderWidth; }
int32_t UnitPx() { return UiUnit; }
int32_t IconPx() { return V::IconFont.IconSize; }
// The settings window flips the word while draws read it: read whole.
int64_t ShadersOn() { return Settings.UseShader.Load() == -1 ? -1 : 0; }

Image* LayerAt(const ControlRecord* c, int32_t index) {
  if (!c || !c->Layers || index < 0 || index >= c->LayerCount) return nullptr;
  return c->Layers[index];
}

ControlRecord* LiveControl(int32_t id) { return V::ControlAt(id); }

void FillBox(int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour) {
  if (x2 < x1 || y2 < y1) return;
  platform::DrawBox(V::DrawTarget, x1, y1, x2 - x1 + 1, y2 - y1 + 1, colour);
}

void OutlineBox(int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour) {
  Image* t = V::DrawTarget;
  platform::DrawLine(t, x1, y1, x2, y1, colour);
  platform::DrawLine(t, x1, y2, x2, y2, colour);
  platform::DrawLine(t, x1, y1, x1, y2, colour);
  platform::DrawLine(t, x2, y1, x2, y2, colour);
}

void PatternLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint32_t colour,
                 uint16_t pattern) {
  Image* t = V::DrawTarget;
  platform::WorkPageGuard page(t == nullptr);
  platform::Surface s;
  if (!platform::SurfaceOf(t, s)) return;
  // Bresenham; the pattern advances one bit per pixel along the line.
  int64_t x = x0, y = y0;
  const int64_t dx = std::llabs(int64_t{x1} - x0), dy = -std::llabs(int64_t{y1} - y0);
  const int64_t sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
  int64_t err = dx + dy;
  uint32_t i = 0;
  int64_t outside = 0;
  for (;;) {
    if ((pattern >> (15 - (i & 15))) & 1) {
      if (s.Writable(x, y))
        s.pixels[y * s.pitch + x] = colour;
      else
        outside += s.OutsideDrawClip(x, y);
    }
    ++i;
    if (x == x1 && y == y1) break;
    const int64_t e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y += sy;
    }
  }
  platform::NoteOutsideDrawClip(outside);
}

void PatternBox(int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour,
                uint16_t pattern) {
  PatternLine(x1, y1, x2, y1, colour, pattern);
  PatternLine(x2, y1, x2, y2, colour, pattern);
  PatternLine(x2, y2, x1, y2, colour, pattern);
  PatternLine(x1, y2, x1, y1, colour, pattern);
}

namespace {

void BlitPart(const Image* image, int32_t sx, int32_t sy, int32_t w, int32_t h, int32_t x,
              int32_t y) {
  if (V::DrawTarget)
    platform::ImageCopyCustom(image, sx, sy, w, h, V::DrawTarget, x, y, V::AlphaBlendPixel, 0);
  else
    platform::ImageCopyAlpha(image, sx, sy, w, h, nullptr, x, y);
}

}  // namespace

void BlitImage(const Image* image, int32_t x, int32_t y) {
  if (!image) return;
  BlitPart(image, 0, 0, image->width, image->height, x, y);
}

void BlitImageWithin(const Image* image, int32_t x, int32_t y, int32_t rx, int32_t ry,
                     int32_t rw, int32_t rh) {
  if (!image) return;
  const int64_t x0 = std::max<int64_t>(x, rx), y0 = std::max<int64_t>(y, ry);
  const int64_t x1 = std::min<int64_t>(int64_t{x} + image->width, int64_t{rx} + rw);
  const int64_t y1 = std::min<int64_t>(int64_t{y} + image->height, int64_t{ry} + rh);
  if (x0 >= x1 || y0 >= y1) return;
  BlitPart(image, static_cast<int32_t>(x0 - x), static_cast<int32_t>(y0 - y),
           static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0),
           static_cast<int32_t>(x0), static_cast<int32_t>(y0));
}

void CopyImageOpaque(const Image* image, int32_t x, int32_t y) {
  if (!image) return;
  platform::ImageCopy(image, 0, 0, image->width, image->height, V::DrawTarget, x, y);
}

namespace {

uint32_t AddPixel(uint32_t s, uint32_t d, int64_t) {
  const uint32_t r = std::min<uint32_t>(((s >> 16) & 0xFF) + ((d >> 16) & 0xFF), 255);
  const uint32_t g = std::min<uint32_t>(((s >> 8) & 0xFF) + ((d >> 8) & 0xFF), 255);
  const uint32_t b = std::min<uint32_t>((s & 0xFF) + (d & 0xFF), 255);
  return 0xFF000000u | (r << 16) | (g << 8) | b;
}

}  // namespace

void CopyImageAdditive(const Image* image, int32_t x, int32_t y) {
  if (!image) return;
  platform::ImageCopyCustom(image, 0, 0, image->width, image->height, V::DrawTarget, x, y,
                            AddPixel, 0);
}

void ImageBox(Image* image, int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour) {
  // A null image would mean the work page: row images are never that.
  if (!image || x2 < x1 || y2 < y1) return;
  platform::DrawBox(image, x1, y1, x2 - x1 + 1, y2 - y1 + 1, colour);
}

void ClearImage(Image* image, int32_t x2, int32_t y2) { ImageBox(image, 0, 0, x2, y2, 0); }

void BlitOverlay(const ControlRecord* c, int32_t x, int32_t y) {
  if (!c || c->GradientFlag != -1 || ShadersOn() != -1) return;
  BlitImage(LayerAt(c, c->LayerCount - 1), x, y);
}

void BlitOverlay(const ControlRecord* c, int32_t x, int32_t y, int32_t w, int32_t h) {
  if (!c || c->GradientFlag != -1 || ShadersOn() != -1) return;
  BlitImageWithin(LayerAt(c, c->LayerCount - 1), x, y, x, y, w, h);
}

void FrameRect(const RenderRecord* snap, uint8_t style, int32_t thickness, uint32_t colour) {
  V::DrawFrame(&snap->X, style, thickness, colour);
}

namespace {

V::FontFace FaceOf(const V::FontRecord* f) { return f ? f->Face : nullptr; }

// x of a caption of `width` in a layer W wide by the alignment.
int32_t AlignedX(int32_t align, int32_t layerW, int32_t width) {
  if (align == 3) return layerW - width;
  if (align == 2) return Nearest(0.0 + (layerW - width) * 0.5);
  return 0;
}

}  // namespace

void RenderCaption(RenderRecord* snap, ControlRecord* c) {
  Image* layer = LayerAt(c, 0);
  if (!layer || !snap) return;
  std::string caption;
  int32_t width = 0;
  const bool glyph = snap->Style.Glyph != ' ';
  // A glyph keeps the size and place its build gave it, which follow the
  // zoom; the text field's size belongs to text captions only.
  const int32_t size = glyph ? snap->Style.Size : snap->Text.TextSize;
  if (!glyph) {
    caption = V::TextFieldGetText(&snap->Text);
    width = V::TextWidth(caption, &V::TextFont, size);
    DrawFont = &V::TextFont;
  } else {
    caption.assign(1, static_cast<char>(snap->Style.Glyph));
    DrawFont = snap->Style.Font ? snap->Style.Font : &V::IconFont;
    width = V::GlyphAdvance(caption, DrawFont->Face, size);
  }
  if (width < 0) width = 0;
  const int32_t W = layer->width, H = layer->height;
  if (width > W) width = W;
  snap->Text.LayoutWidth = width;
  V::ControlSetLayoutWidth(c, width);
  int32_t x = AlignedX(snap->Text.Align, W, width);
  int32_t y = Nearest((H - size) * 0.5 + 1.0);
  if (glyph) {
    x = std::max(0, x) + snap->Style.Dx;
    y = std::max(0, y) + snap->Style.Dy;
  }
  ClearImage(layer, W - 1, H - 1);
  // A failed glyph leaves what was drawn; the frame still shows the control.
  V::DrawTextFT(layer, x, y, 0, caption, FaceOf(DrawFont), size, TextColour, 2);
}

// --- The button scheme ------------------------------------------------------------------

namespace {

// Layers that show a switch's states: all but the overlay, which a switch with
// one keeps as its last layer and must never show as a state.
int32_t StateLayerCount(const ControlRecord* c) {
  if (!c) return 0;
  return c->GradientFlag == -1 && c->LayerCount > 1 ? c->LayerCount - 1 : c->LayerCount;
}

enum class ButtonKind { Button, Record, Midi, Tab, MultiState, Selector };

void ChooseButtonColours(const RenderRecord* snap, ButtonKind kind) {
  const bool hovered = snap->State.Active != 0;
  const bool pressed = snap->State.Pressed != 0;
  const bool on = snap->State.On != 0;
  const bool confirmed = snap->State.Spare != 0;
  const uint32_t own = snap->Colour != 0 ? snap->Colour : kColourGrey;

  FrameColour = hovered ? (kind == ButtonKind::Record ? kColourBlue : kColourFrameHover)
                        : kColourFrameRest;
  if (pressed && kind != ButtonKind::Tab) {
    FrameStyle = V::kFrameSunken;
    // A pressed MIDI button gets the pressed amber of the other kinds rather
    // than whatever fill the previous control left behind.
    FillColour = kColourAmber;
    TextColour = kColourBlack;
    return;
  }
  TextColour = kColourWhite;
  if (on) {
    switch (kind) {
      case ButtonKind::Record:
        FrameStyle = V::kFrameRaised;
        FillColour = snap->Colour != 0 ? snap->Colour : kColourGreen;
        return;
      case ButtonKind::Midi:
        FrameStyle = V::kFrameRaised;
        FillColour = kColourAmber;
        return;
      case ButtonKind::Tab:
        FrameStyle = V::kFrameSunken;
        FillColour = kColourBlue;
        return;
      default:
        FrameStyle = V::kFrameRaised;
        FillColour = kColourGreen;
        return;
    }
  }
  if (confirmed && kind == ButtonKind::Midi) {
    FrameStyle = V::kFrameRaised;
    FillColour = kColourGreen;
    return;
  }
  FrameStyle = V::kFrameRaised;
  switch (kind) {
    case ButtonKind::Record: FillColour = kColourGrey; break;
    case ButtonKind::Tab: FillColour = kColourNavy; break;
    default: FillColour = own; break;
  }
}

// What a button's caption layer was last rendered with. A press turns the
// caption black and a switch may change its glyph without touching its text,
// so the text's own change flag alone cannot tell a stale caption.
// one thread: value
struct CaptionLook {
  const Image* layer = nullptr;
  const void* font = nullptr;
  uint32_t colour = 0;
  int32_t glyph = 0, size = 0, textSize = 0, align = 0;
  bool operator==(const CaptionLook&) const = default;
};
// one thread: video
std::vector<CaptionLook> g_captionLooks;  // by control id; the draw side's

// Notes the look the caption is drawn with now; true when it differs from the
// one its layer holds. A layer not seen before is taken as it is: the
// interface build renders the first captions itself.
bool CaptionRestyled(int32_t id, const RenderRecord* snap, const Image* layer) {
  if (id < 0) return true;
  if (static_cast<size_t>(id) >= g_captionLooks.size()) g_captionLooks.resize(static_cast<size_t>(id) + 1);
  const CaptionLook now{layer,
                        snap->Style.Font,
                        TextColour,
                        snap->Style.Glyph,
                        snap->Style.Size,
                        static_cast<int32_t>(snap->Text.TextSize),
                        static_cast<int32_t>(snap->Text.Align)};
  CaptionLook& held = g_captionLooks[static_cast<size_t>(id)];
  const bool restyled = held.layer == layer && !(held == now);
  held = now;
  return restyled;
}

int32_t DrawButtonScheme(RenderRecord* snap, int32_t id, ButtonKind kind) {
  if (!snap) return 0;
  ControlRecord* c = LiveControl(id);
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  const int32_t b = BorderPx();
  ChooseButtonColours(snap, kind);
  FillBox(x, y, x + w - 1, y + h - 1, FillColour);
  BlitOverlay(c, x, y);

  if (kind == ButtonKind::MultiState) {
    const int32_t count = StateLayerCount(c);
    if (count > 0) {
      const int32_t index = std::clamp(snap->Text.Selected, 0, count - 1);
      BlitImage(LayerAt(c, index), x + b, y + b);
    }
    FrameRect(snap, FrameStyle, b, FrameColour);
    return 0;
  }

  int32_t captionX = x + b;
  if (kind == ButtonKind::Selector) {
    const int32_t part = snap->Text.Mark;
    const int32_t ts = snap->Text.TextSize;
    if (part > 0) {
      if (h <= w) {
        int32_t a = Nearest(ts * 1.8);
        if (w * 0.5 < a) a = Nearest(w * 0.5);
        const int32_t o = part == 1 ? b : w - a;
        FillBox(x + o, y + b, x + a + o - b - 1, y + h - b - 1, kColourAmber);
      } else {
        int32_t a = Nearest(ts * 1.8);
        if (h * 0.5 < a) a = Nearest(h * 0.5);
        const int32_t o = part == 1 ? b : h - a;
        FillBox(x + b, y + o, x + w - b - 1, y + a + o - b - 1, kColourAmber);
      }
    }
    if (h < w) captionX += IconPx();
  }

  if (c && c->LayerCount >= 1 && LayerAt(c, 0)) {
    const bool restyled = CaptionRestyled(id, snap, LayerAt(c, 0));
    if (snap->Text.Changed != 0 || restyled) RenderCaption(snap, c);
    BlitImage(LayerAt(c, 0), captionX, y + b);
  }
  if (kind == ButtonKind::Selector && c && c->LayerCount > 1) BlitImage(LayerAt(c, 1), x, y);
  FrameRect(snap, FrameStyle, b, FrameColour);
  return 0;
}

}  // namespace

int32_t DrawButton(RenderRecord* snap, int32_t id) {
  return DrawButtonScheme(snap, id, ButtonKind::Button);
}
int32_t DrawRecordButton(RenderRecord* snap, int32_t id) {
  return DrawButtonScheme(snap, id, ButtonKind::Record);
}
int32_t DrawMidiMapButton(RenderRecord* snap, int32_t id) {
  return DrawButtonScheme(snap, id, ButtonKind::Midi);
}
int32_t DrawTab(RenderRecord* snap, int32_t id) {
  return DrawButtonScheme(snap, id, ButtonKind::Tab);
}
int32_t DrawMultiStateSwitch(RenderRecord* snap, int32_t id) {
  return DrawButtonScheme(snap, id, ButtonKind::MultiState);
}
int32_t DrawSelector(RenderRecord* snap, int32_t id) {
  return DrawButtonScheme(snap, id, ButtonKind::Selector);
}

// --- Other generic controls -------------------------------------------------------------

int32_t DrawToggleSwitch(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = LiveControl(id);
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  const int32_t b = BorderPx();
  if (snap->State.Pressed != 0) {
    FillColour = kColourAmber;
    FillBox(x, y, x + w - 1, y + h - 1, FillColour);
  }
  if (const int32_t count = StateLayerCount(c); count > 0) {
    const int32_t index = std::clamp(snap->Text.Selected, 0, count - 1);
    BlitImage(LayerAt(c, index), x + b, y + b);
  }
  if (snap->State.Active != 0) {
    FrameColour = kColourWhite;
    FrameStyle = V::kFrameFlat;
    FrameRect(snap, FrameStyle, b, FrameColour);
  }
  return 0;
}

int32_t DrawLogo(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = LiveControl(id);
  if (!c || c->LayerCount < 1) return 0;
  const Image* logo = LayerAt(c, 0);
  switch (snap->Tag) {
    case 0: CopyImageOpaque(logo, snap->X, snap->Y); break;
    case 1: CopyImageAdditive(logo, snap->X, snap->Y); break;
    case 2: BlitImage(logo, snap->X, snap->Y); break;
    default: break;
  }
  return 0;
}

int32_t DrawLink(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = LiveControl(id);
  if (!LayerAt(c, 0)) return 0;
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  const int32_t b = BorderPx();
  int32_t index = 0;
  if (snap->State.Active != 0) {
    FillColour = kColourAmber;
    FillBox(x, y, x + w - 1, y + h - 1, FillColour);
    BlitOverlay(c, x, y);
    index = 1;
  }
  BlitImage(LayerAt(c, index), x + b, y + b);
  return 0;
}

int32_t DrawGroupFrame(RenderRecord* snap, int32_t) {
  if (!snap) return 0;
  FrameColour = kColourGroupFrame;
  FrameStyle = V::kFrameFlat;
  FrameRect(snap, FrameStyle, BorderPx(), FrameColour);
  return 0;
}

int32_t DrawPanel(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  const int32_t x = snap->X, y = snap->Y;
  FillColour = snap->Colour;
  FillBox(x, y, x + snap->W - 1, y + snap->H - 1, FillColour);
  BlitOverlay(LiveControl(id), x, y);
  FrameColour = kColourNavy;
  FrameStyle = V::kFrameFlat;
  FrameRect(snap, FrameStyle, BorderPx(), FrameColour);
  return 0;
}

int32_t DrawAboutWindow(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  FillColour = snap->Colour;
  BlitImage(LayerAt(LiveControl(id), 0), snap->X, snap->Y);
  FrameColour = kColourNavy;
  FrameStyle = V::kFrameFlat;
  FrameRect(snap, FrameStyle, BorderPx(), FrameColour);
  return 0;
}

int32_t DrawLabel(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = LiveControl(id);
  Image* layer = LayerAt(c, 0);
  if (!layer) return 0;
  if (snap->Text.Changed != 0) {
    const std::string text = V::TextFieldGetText(&snap->Text);
    const int32_t size = snap->Text.TextSize;
    int32_t width = std::max(V::TextWidth(text, &V::TextFont, size), 0);
    const int32_t W = layer->width, H = layer->height;
    if (width > W) width = W;
    snap->Text.LayoutWidth = width;
    V::ControlSetLayoutWidth(c, width);
    const int32_t x = AlignedX(snap->Text.Align, W, width);
    const int32_t y = Nearest((H - size) * 0.5);
    ClearImage(layer, W - 1, H - 1);
    V::DrawTextFT(layer, x, y, 0, text, V::TextFont.Face, size, snap->Text.TextColour, 2);
  }
  BlitImage(layer, snap->X + BorderPx(), snap->Y + BorderPx());
  return 0;
}

// --- Value field ------------------------------------------------------------------------

int32_t& ValueFieldOffset(ParamValue& v) { return v.Reserved2; }

namespace {

// Pulls a parameter value that changed outside the field (a MIDI controller,
// a port drag) into the field of the selected module's selected parameter.
void SyncFromSelectedModule(ParamValue* pv) {
  ModuleRecord* m = SelectedModuleShown.load(std::memory_order_acquire);
  if (!m) return;
  const int32_t p = m->SelectedParam.Load();
  if (p < 0 || p >= kModuleParams) return;
  ModuleParam& param = m->Params[p];
  // The frame watch took the flag: every draw of this frame shows the move.
  if (&param.Number != pv || !MovedThisFrame(m, p)) return;
  platform::MutexGuard g(pv->Lock);
  // The value is stored whole by whoever moves it (a controller on the
  // render, a drag on the interface): read whole.
  const float shown = param.Value.Load() * param.Scale;
  ParamValueConvertUnit(*pv, shown, 0, 0);
}

// The controls drawn as value fields so far; the draw side's.
// one thread: video
std::vector<int32_t> g_valueFields;

// Shown with every ancestor, as the frame's walk of the tree finds them.
bool ShownOnScreen(int32_t id) {
  for (int32_t steps = 0; steps < 64; ++steps) {
    const ControlRecord* c = V::ControlAt(id);
    if (!c || c->Visible == 0) return false;
    if (c->Parent == id) return true;
    id = c->Parent;
  }
  return false;
}

}  // namespace

bool ValueFieldHasNews() {
  // A controller's move of the selected module's selected value, which the
  // field showing that value takes up when it is drawn.
  const ParamValue* moved = nullptr;
  if (const ModuleRecord* m = SelectedModuleShown.load(std::memory_order_acquire)) {
    const int32_t p = m->SelectedParam.Load();
    if (MovedThisFrame(m, p)) moved = &m->Params[p].Number;
  }
  for (const int32_t id : g_valueFields) {
    ControlRecord* c = V::ControlAt(id);
    if (!c || c->DrawCallback.load() != DrawValueField || !c->Render || !c->RenderLock) continue;
    ParamValue* live = nullptr;
    {
      platform::MutexGuard g(c->RenderLock);
      live = static_cast<ParamValue*>(c->Render->UserPointer);
    }
    if (!live) continue;
    bool dirty = live == moved;
    if (!dirty) {
      platform::MutexGuard g(live->Lock);
      dirty = live->Dirty != 0;
    }
    // A hidden field keeps its news until it is shown, and costs no frame meanwhile.
    if (dirty && ShownOnScreen(id)) return true;
  }
  return false;
}

int32_t DrawValueField(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = LiveControl(id);
  if (std::find(g_valueFields.begin(), g_valueFields.end(), id) == g_valueFields.end())
    g_valueFields.push_back(id);
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  const int32_t b = BorderPx();
  FrameColour = (snap->State.Active != 0 || snap->State.Pressed != 0) ? kColourFrameHover
                                                                      : kColourNavy;
  FrameStyle = V::kFrameFlat;
  FillColour = snap->Colour;
  FillBox(x, y, x + w - 1, y + h - 1, FillColour);
  BlitOverlay(c, x, y);
  TextColour = snap->Text.TextColour;

  Image* layer = LayerAt(c, 0);
  auto* live = static_cast<ParamValue*>(snap->UserPointer);
  int32_t o = 0;
  int32_t result = 0;
  if (!live) {
    ClearImage(layer, w - 2 * b - 1, h - 2 * b - 1);
  } else {
    SyncFromSelectedModule(live);
    // A plain copy: the field is drawn from it after the lock is let go, and
    // the copy needs no lock of its own.
    ParamValue copy;
    int64_t changed = 0;
    {
      platform::MutexGuard g(live->Lock);
      changed = live->Dirty;
      live->Dirty = 0;
      if (live->DisplayMode != 5) {
        const int32_t n = std::clamp(live->SegmentCount, 0, kParamSegments);
        const int32_t end = n > 0 ? live->Segments[n - 1].X + live->Segments[n - 1].Width : 0;
        o = std::max(Nearest((live->FieldWidth - end) * 0.5), 0);
      }
      ValueFieldOffset(*live) = o;
      std::memcpy(static_cast<void*>(&copy), live, sizeof copy);
      copy.Lock = nullptr;
    }
    if (copy.DisplayMode != 5) {
      const int32_t n = std::clamp(copy.SegmentCount, 0, kParamSegments);
      if (changed == -1 && layer) {
        const int32_t size = copy.DrawSize;
        const int32_t ty = Nearest((copy.TextSize - size) * 0.5 + 1.0);
        ClearImage(layer, copy.FieldWidth - 1, copy.TextSize - 1);
        for (int32_t i = 0; i < n; ++i) {
          const DisplaySegment& s = copy.Segments[i];
          const std::string text(s.Text, strnlen(s.Text, sizeof s.Text));
          const int32_t r = V::DrawTextFT(layer, s.X, ty, 0, text, V::TextFont.Face, size,
                                          TextColour, 2);
          if (r < 0) {
            result = r;
            break;
          }
        }
      }
      const int32_t k = snap->Text.Selected;
      if (k >= 0 && k < n) {
        // A value laid out wider than the field marks its digit only within it.
        const int32_t sx = x + b + copy.Segments[k].X + o;
        const int32_t left = std::max(sx, x + b);
        const int32_t right = std::min(sx + copy.Segments[k].Width - 1, x + w - b - 1);
        if (left <= right) FillBox(left, y, right, y + h - 1, kColourAmber);
      }
      if (result < 0) return result;
    } else if (layer) {
      const int32_t cw = Nearest((w - 2 * b) / 10.0);
      const int32_t ch = Nearest((h - 2 * b) * 0.5);
      const double magnitude = std::fabs(static_cast<double>(copy.Base.value));
      uint32_t bits = 0;
      if (magnitude >= 4294967295.0)
        bits = 0xFFFFFFFFu;
      else if (magnitude >= 0.0)  // false for NaN
        bits = static_cast<uint32_t>(std::nearbyint(magnitude));
      int32_t cx = 0, cy = 0;
      for (int32_t i = 0; i < 20; ++i) {
        ImageBox(layer, cx, cy, cx + cw - 1, cy + ch - 1, (bits & 1) ? kColourGreen : kColourGrey);
        const uint32_t edge = i == snap->Text.Selected ? kColourBlue : kColourNavy;
        ImageBox(layer, cx, cy, cx + cw - 1, cy, edge);
        ImageBox(layer, cx, cy + ch - 1, cx + cw - 1, cy + ch - 1, edge);
        ImageBox(layer, cx, cy, cx, cy + ch - 1, edge);
        ImageBox(layer, cx + cw - 1, cy, cx + cw - 1, cy + ch - 1, edge);
        cx += cw;
        if (i == 9) {
          cx = 0;
          cy += ch;
        }
        bits >>= 1;
      }
    }
  }
  // Centred by its offset, the text still shows only inside the field.
  if (c && c->LayerCount > 0 && layer)
    BlitImageWithin(layer, x + b + o, y + b, x + b, y + b, w - 2 * b, h - 2 * b);
  FrameRect(snap, FrameStyle, b, FrameColour);
  return result;
}

}  // namespace Tarvelo
