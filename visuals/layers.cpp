#include "visuals/layers.h"

#include <algorithm>
#include <cmath>

#include "basics/errors.h"
#include "platform/images.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/list_range.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace QUARLE_VISUALS {

using QUARLE_BASICS::kErrAllocation;
using QUARLE_BASICS::kErrBadParameter;

FontRecord EditFont;

namespace {

int32_t Half(double v) { return static_cast<int32_t>(std::nearbyint(v / 2.0)); }

// Vertical place of a size-pixel text in an h-pixel box.
int32_t TextTop(int32_t h, int32_t size) {
  return std::max(0, static_cast<int32_t>(std::nearbyint((h - size) / 2.0 + 1.0)));
}

// A new w x h layer image in the control's last slot; false when it cannot be made.
bool MakeLastLayer(ControlRecord* c, int32_t w, int32_t h, uint32_t fill) {
  platform::Image* img = platform::ImageCreate(w, h, fill);
  if (!img) return false;
  c->Layers[c->LayerCount - 1] = img;
  return true;
}

}  // namespace

int32_t AddGlyphLayer(int32_t id, const TextStyle* style, int32_t mode, int32_t w, int32_t h) {
  ControlRecord* c = ControlAt(id);
  if (!c || !style) return -kErrBadParameter;
  TextStyleCopy(&c->Style, style);
  if (ControlAddLayers(c, 1) != 0) return -kErrAllocation;

  const std::string glyph(1, static_cast<char>(style->Glyph));
  FontFace face = style->Font ? style->Font->Face : nullptr;
  const int32_t size = style->Size;
  const int32_t gw = GlyphAdvance(glyph, face, size);
  // Without a measurable glyph there is nothing to centre or draw.
  if (gw < 0) return gw;

  if (w == 0) w = c->W - 2 * BorderWidth;
  w = std::max(w, gw);
  if (h == 0) h = c->H - 2 * BorderWidth;
  h = std::max(h, size + 2);
  const int32_t x = std::max(0, Half(w - gw));
  const int32_t y = TextTop(h, size);

  c->Style.SizeA = h;
  c->Style.SizeB = w;
  if (!MakeLastLayer(c, w, h, 0)) return -kErrAllocation;

  const int32_t r = DrawTextFT(c->Layers[c->LayerCount - 1], x + style->Dx, y + style->Dy, 0,
                               glyph, face, size, style->Colour, mode);
  if (r >= 0) c->Text.Changed = 0;
  return r;
}

int32_t AddTextLayer(int32_t id, const std::string& text, int32_t size, int32_t align,
                     int32_t mode, int32_t w, int32_t h) {
  ControlRecord* c = ControlAt(id);
  if (!c) return -kErrBadParameter;
  TextFieldSetText(&c->Text, text.c_str());
  c->Text.TextSize = size;
  c->Text.Align = align;
  if (ControlAddLayers(c, 1) != 0) return -kErrAllocation;

  int32_t tw = TextWidth(text, &TextFont, size);
  int32_t x = 0;
  if (align == kAlignFit) {
    w = tw + 1;
  } else {
    if (w == 0) w = std::max(c->W - 2 * BorderWidth, size);
    tw = std::min(tw, w);
    if (align == kAlignCentre) x = Half(w - tw);
    else if (align == kAlignRight) x = w - tw;
  }
  if (h == 0) h = std::max(c->H - 2 * BorderWidth, size + 2);
  const int32_t y = TextTop(h, size);
  c->Text.LayoutWidth = tw;

  if (!MakeLastLayer(c, w, h, mode == 3 ? kLayerMode3Fill : 0)) return -kErrAllocation;
  const int32_t r = DrawTextFT(c->Layers[c->LayerCount - 1], x, y, 0, text, TextFont.Face, size,
                               c->Text.TextColour, mode);
  if (r >= 0) c->Text.Changed = 0;
  return r;
}

int32_t SetListRows(int32_t id, int32_t textSize, int32_t rows, int32_t rowHeight) {
  ControlRecord* c = ControlAt(id);
  if (!c || rows < 1) return -kErrBadParameter;
  c->Text.TextSize = textSize;
  c->Text.VisibleRows = rows;
  const int32_t first = c->LayerCount;
  if (ControlAddLayers(c, rows) != 0) return -kErrAllocation;
  const int32_t w = c->W - 2 * BorderWidth + 1;
  for (int32_t i = first; i < c->LayerCount; ++i)
    c->Layers[i] = platform::ImageCreate(w, rowHeight + 1, 0);
  c->Text.Changed = -1;
  NoteListControl(id);
  return first;
}

int32_t ScrollToSelection(int32_t id, int32_t itemCount) {
  ControlRecord* c = ControlAt(id);
  if (!c) return -1;
  TextField& t = c->Text;
  int32_t s = t.Selected;
  if (s >= 0) {
    s = std::min(s, itemCount - 1);
    const int32_t v = t.VisibleRows;
    int32_t f = t.FirstVisible;
    if (!t.Reversed) {
      if (s < f || s > f + v - 1) f = std::max(std::min(s, itemCount - v), 0);
    } else {
      const int32_t r = itemCount - s - 1;
      if (r < f || itemCount - s > f + v) f = std::max(std::min(r, itemCount - v), 0);
    }
    t.Selected = s;
    t.FirstVisible = f;
  }
  ControlPublishText(c, -1);
  return s;
}

int32_t StartTextEdit(int32_t id, const std::string& text) {
  ControlRecord* c = ControlAt(id);
  if (!c) return -kErrBadParameter;
  if (ControlRecord* old = ControlAt(ActiveEditField())) old->State.Pressed = 0;
  SetActiveEditField(id);
  EditFont = TextFont;

  TextField& t = c->Text;
  const int32_t pad = static_cast<int32_t>(std::nearbyint(t.TextSize / 2.0 + BorderWidth));
  const int32_t width = c->W - 2 * pad;
  TextFieldClear(&t);
  TextFieldSetText(&t, text.c_str());
  t.FitCount = TextFitCount(text, &EditFont, t.TextSize, width, false);
  t.EditPair[0] = 0;
  t.EditAfterSelection = 0;
  t.Caret = t.TextBytes;
  t.SelectionEnd = t.TextBytes;

  ControlSetVisible(c, -1);
  c->State.Pressed = -1;
  ControlPublishText(c, 0);
  return 0;
}

}  // namespace QUARLE_VISUALS
