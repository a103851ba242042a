#include "visuals/controls.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "basics/errors.h"
#include "visuals/control_table.h"
#include "visuals/dirty_region.h"
#include "visuals/visuals.h"

namespace QUARLE_VISUALS {

using QUARLE_BASICS::kErrAllocation;
using QUARLE_BASICS::kErrBadParameter;

namespace {
// The next record's serial. Records are made on the interface thread, but a
// test may make its own anywhere: whole increments only.
std::atomic<uint64_t> g_nextSerial{1};
}  // namespace

// --- Control records -------------------------------------------------------

void ControlInit(ControlRecord* c) {
  c->Id = 0;
  c->Serial = g_nextSerial.fetch_add(1, std::memory_order_relaxed);
  c->Parent = 0;
  c->EventMask = kDefaultEventMask;
  c->Reserved = 0;
  c->PressX = c->PressY = 0;
  c->Z = 0;
  c->Colour = 0;
  c->Reserved2 = 0;
  c->EventCallback = nullptr;
  c->DrawCallback = nullptr;
  c->Children = IdSet{};
  c->State = ControlState{};
  TextStyleInit(&c->Style);
  TextFieldInit(&c->Text);
  c->Render = new (std::nothrow) RenderRecord;
  if (c->Render) RenderRecordInit(c->Render);
  c->Canvas = nullptr;
  c->UserPointer = nullptr;
  c->Layers = nullptr;
  c->LayerCount = 0;
  c->NoHit = 0;
  c->Resized = 0;
  c->Moved = 0;
  c->Tag = 0;
  c->ClipChildren = 0;
  c->Dragged = 0;
  c->DragOver = 0;
  c->GradientFlag = 0;
  c->GradientFlag2 = 0;
  c->DeletePending = 0;
  c->VisibilityChanged = 0;
  c->MoveFlag = 0;
  c->Focusable = 0;
  c->EditArrows = 0;
  c->SpareFlag = 0;
  QUARLE_BASICS::DynZStringInit(c->ID);
  QUARLE_BASICS::DynZStringInit(c->Tooltip);
  c->RenderLock = platform::MutexCreate();
  c->ChildLock = platform::MutexCreate();
  c->PendingDx = c->PendingDy = c->PendingDw = c->PendingDh = 0;
  c->X = c->Y = c->W = c->H = 0;
  c->PrevX = c->PrevY = c->PrevW = c->PrevH = 0;
  c->Visible = 0;
  c->Alpha = 255;
}

void ControlCopy(ControlRecord* dst, const ControlRecord* src) {
  ControlInit(dst);
  // Layers: same sizes, pixel for pixel. A layer that cannot be made stays
  // empty; the copy is still usable and draws without that picture.
  if (src->LayerCount > 0 && ControlAddLayers(dst, src->LayerCount) == 0) {
    for (int32_t i = 0; i < src->LayerCount; ++i) {
      const Image* img = src->Layers[i];
      if (!img) continue;
      if (ControlCreateLayer(dst, i, img->width, img->height, 0) == 0)
        platform::ImageCopy(img, 0, 0, img->width, img->height, dst->Layers[i], 0, 0);
    }
  }
  dst->Reserved = src->Reserved;
  TextFieldCopy(&dst->Text, &src->Text);
  dst->Reserved2 = src->Reserved2;
  TextStyleCopy(&dst->Style, &src->Style);
  ControlSetAlpha(dst, src->Alpha);
  ControlStateCopy(&dst->State, &src->State);
  dst->GradientFlag = src->GradientFlag;
  dst->GradientFlag2 = src->GradientFlag2;

  ControlSetX(dst, src->X);
  ControlSetY(dst, src->Y);
  dst->Z = 0;
  ControlSetW(dst, src->W);
  ControlSetH(dst, src->H);
  ControlSetVisible(dst, src->Visible);

  dst->Colour = src->Colour;
  dst->DrawCallback = src->DrawCallback.load();
  dst->EventCallback = src->EventCallback;
  dst->EventMask = src->EventMask;
  QUARLE_BASICS::DynZStringAssignFrom(dst->ID, src->ID);
  QUARLE_BASICS::DynZStringAssignFrom(dst->Tooltip, src->Tooltip);

  dst->PrevX = dst->X;
  dst->PrevY = dst->Y;
  dst->PrevW = dst->W;
  dst->PrevH = dst->H;
  dst->PendingDx = dst->PendingDy = dst->PendingDw = dst->PendingDh = 0;
  dst->Moved = 0;
  dst->Resized = 0;

  dst->Tag = src->Tag;
  dst->ClipChildren = src->ClipChildren.load();
  dst->NoHit = src->NoHit.load();
  dst->VisibilityChanged = src->VisibilityChanged;

  // The video thread consumes the template's update flags under this lock.
  if (dst->Render && src->Render) {
    platform::MutexGuard g(src->RenderLock);
    RenderRecordCopy(dst->Render, src->Render);
  }
}

void ControlFree(ControlRecord* c) {
  platform::ImageDestroy(c->Canvas);
  c->Canvas = nullptr;
  if (c->Layers) {
    for (int32_t i = 0; i < c->LayerCount; ++i) platform::ImageDestroy(c->Layers[i]);
    std::free(c->Layers);
  }
  c->Layers = nullptr;
  c->LayerCount = 0;
  platform::MutexDestroy(c->RenderLock);
  platform::MutexDestroy(c->ChildLock);
  c->RenderLock = nullptr;
  c->ChildLock = nullptr;
  if (c->Render) {
    RenderRecordFree(c->Render);
    delete c->Render;
    c->Render = nullptr;
  }
  QUARLE_BASICS::DynZStringFree(c->ID);
  QUARLE_BASICS::DynZStringFree(c->Tooltip);
  TextFieldFree(&c->Text);
  IdSetFree(&c->Children);
}

int32_t ControlX(const ControlRecord* c) { return c->X; }
int32_t ControlY(const ControlRecord* c) { return c->Y; }
int32_t ControlW(const ControlRecord* c) { return c->W; }
int32_t ControlH(const ControlRecord* c) { return c->H; }

void ControlSetX(ControlRecord* c, int32_t x) {
  if (x == c->X) return;
  if (!c->Moved) c->PrevX = c->X;
  c->PendingDx += x - c->X;
  c->X = x;
  c->Moved = -1;
}

void ControlSetY(ControlRecord* c, int32_t y) {
  if (y == c->Y) return;
  if (!c->Moved) c->PrevY = c->Y;
  c->PendingDy += y - c->Y;
  c->Y = y;
  c->Moved = -1;
}

void ControlSetW(ControlRecord* c, int32_t w) {
  if (w < 1) w = 1;
  if (w == c->W) return;
  if (!c->Resized) c->PrevW = c->W;
  c->PendingDw += w - c->W;
  c->W = w;
  c->Resized = -1;
}

void ControlSetH(ControlRecord* c, int32_t h) {
  if (h < 1) h = 1;
  if (h == c->H) return;
  if (!c->Resized) c->PrevH = c->H;
  c->PendingDh += h - c->H;
  c->H = h;
  c->Resized = -1;
}

int64_t ControlVisible(const ControlRecord* c) { return c->Visible; }

void ControlSetVisible(ControlRecord* c, int64_t value) {
  if (c->Visible == value) return;
  c->Visible = value;
  c->VisibilityChanged = -1;
  // Children may lie outside their parent: they go or come with it.
  MarkSubtreeDirty(c);
}

void ControlPaintArea(const ControlRecord* c, int32_t& x0, int32_t& y0, int32_t& w, int32_t& h) {
  ControlPaintExtent(c, w, h);
  x0 = y0 = 0;
  if (const PaintReachFn reach = PaintReachOf(c->DrawCallback.load())) {
    reach(c, x0, y0, w, h);
    x0 = std::min(x0, 0);
    y0 = std::min(y0, 0);
    w = std::max(w, c->W);
    h = std::max(h, c->H);
  }
}

void ControlPaintExtent(const ControlRecord* c, int32_t& w, int32_t& h) {
  w = c->W;
  h = c->H;
  // A plain box paints its rectangle only.
  if (!c->DrawCallback.load() || !c->Layers) return;
  const int64_t b = BorderWidth > 0 ? BorderWidth : 0;
  // Layers are painted at the corner or inside the border; the gradient
  // overlay, the last layer when the control has one, covers the rectangle.
  const int32_t count = c->GradientFlag == -1 ? c->LayerCount - 1 : c->LayerCount;
  for (int32_t i = 0; i < count; ++i) {
    const Image* layer = c->Layers[i];
    if (!layer) continue;
    w = static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(w, b + layer->width), INT32_MAX));
    h = static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(h, b + layer->height), INT32_MAX));
  }
}

int64_t ControlIsEnabled(const ControlRecord* c) { return ~IsDisabled(&c->State); }

void ControlSetAlpha(ControlRecord* c, int64_t alpha) {
  const int64_t a = alpha < 0 ? 0 : (alpha > 255 ? 255 : alpha);
  if (c->Alpha.exchange(a) != a) MarkSubtreeDirty(c);
}

uint32_t ControlAlpha(const ControlRecord* c) { return static_cast<uint32_t>(c->Alpha); }

int32_t RenderCanvasEnsure(ControlRecord* c, int32_t w, int32_t h, uint32_t fill) {
  if (w <= 0 || h <= 0) return -kErrBadParameter;
  if (c->Canvas && c->Canvas->width == w && c->Canvas->height == h) return 0;
  platform::ImageDestroy(c->Canvas);
  c->Canvas = platform::ImageCreate(w, h, fill);
  return c->Canvas ? 0 : -kErrAllocation;
}

int32_t ControlAddLayers(ControlRecord* c, int32_t n) {
  if (n < 1) return 0;
  const int64_t count = static_cast<int64_t>(c->LayerCount) + n;
  if (count > INT32_MAX / static_cast<int64_t>(sizeof(Image*))) return -kErrAllocation;
  auto* layers = static_cast<Image**>(std::calloc(static_cast<size_t>(count), sizeof(Image*)));
  if (!layers) return -kErrAllocation;
  if (c->Layers) {
    std::memcpy(layers, c->Layers, sizeof(Image*) * static_cast<size_t>(c->LayerCount));
    std::free(c->Layers);
  }
  c->Layers = layers;
  c->LayerCount = static_cast<int32_t>(count);
  return 0;
}

int32_t ControlCreateLayer(ControlRecord* c, int32_t index, int32_t w, int32_t h, uint32_t fill) {
  if (index < 0) return -kErrBadParameter;
  if (index >= c->LayerCount) {
    const int32_t r = ControlAddLayers(c, index + 1 - c->LayerCount);
    if (r != 0) return r;
  }
  if (w == 0) w = c->W;
  if (h == 0) h = c->H;
  if (w <= 0 || h <= 0) return -kErrBadParameter;
  platform::ImageDestroy(c->Layers[index]);
  c->Layers[index] = nullptr;
  if (fill == 0xFFFFFFFFu) fill = 0;
  c->Layers[index] = platform::ImageCreate(w, h, fill);
  return c->Layers[index] ? 0 : -kErrAllocation;
}

namespace {

bool SameState(const ControlState& a, const ControlState& b, bool hover) {
  return (!hover || a.Active == b.Active) && a.Pressed == b.Pressed && a.On == b.On &&
         a.Spare == b.Spare && a.Disabled == b.Disabled;
}

bool SameStyle(const TextStyle& a, const TextStyle& b) {
  return a.Glyph == b.Glyph && a.Size == b.Size && a.Dx == b.Dx && a.Dy == b.Dy &&
         a.SizeA == b.SizeA && a.SizeB == b.SizeB && a.Font == b.Font && a.Colour == b.Colour;
}

template <typename T, size_t N>
bool SameWords(const T (&a)[N], const T (&b)[N]) {
  return std::equal(a, a + N, b);
}

// Everything of a text field a draw may read but its update flags.
bool SameText(const TextField& a, const TextField& b) {
  return SameWords(a.EditWords, b.EditWords) && SameWords(a.EditLongs, b.EditLongs) &&
         a.KeyReleases == b.KeyReleases && a.Selected == b.Selected &&
         a.FirstVisible == b.FirstVisible && a.Mark == b.Mark && a.VisibleRows == b.VisibleRows &&
         a.TextSize == b.TextSize && a.TextColour == b.TextColour &&
         a.LayoutWidth == b.LayoutWidth && SameWords(a.EditPair, b.EditPair) &&
         a.Caret == b.Caret && a.SelectionEnd == b.SelectionEnd &&
         a.EditAfterSelection == b.EditAfterSelection && a.FitCount == b.FitCount &&
         a.EditAfterFit == b.EditAfterFit && a.Align == b.Align &&
         SameWords(a.EditStates, b.EditStates) && a.Reversed == b.Reversed &&
         SameWords(a.EditFlags, b.EditFlags) && a.Min == b.Min && a.Max == b.Max &&
         std::strcmp(TextFieldGetText(&a), TextFieldGetText(&b)) == 0;
}

}  // namespace

void ControlPublish(ControlRecord* c, int64_t flags) {
  if (!c->RenderLock || !c->Render) return;
  // Flagged: the purge may be freeing its record now.
  if (ControlFlagged(c)) return;
  {
    platform::MutexGuard g(c->RenderLock);
    RenderRecord* r = c->Render;
    const int64_t before = r->Text.Changed;
    int32_t paintX = 0, paintY = 0, paintW = 0, paintH = 0;
    ControlPaintArea(c, paintX, paintY, paintW, paintH);
    // Where it was drawn and where it will be, unless the record draws as it
    // did: a publish that changes nothing (every event delivered publishes its
    // control, a hover too) redraws nothing. A plain box draws its rectangle
    // and colour only; what a draw callback reads beside its record is
    // watched where it changes.
    const DrawCallbackFn draw = c->DrawCallback.load();
    const uint32_t ignored = draw ? DrawIgnores(draw) : ~0u;
    const bool same =
        flags == 0 && c->Text.Changed == 0 && r->X == c->X && r->Y == c->Y && r->W == c->W &&
        r->H == c->H && r->PaintX == paintX && r->PaintY == paintY && r->PaintW == paintW &&
        r->PaintH == paintH && r->Colour == c->Colour &&
        r->Visible == c->Visible && r->Alpha == c->Alpha &&
        r->State.Disabled == c->State.Disabled &&
        (!draw ||
         (((ignored & kIgnoresPressPoint) || (r->PressX == c->PressX && r->PressY == c->PressY)) &&
          SameState(r->State, c->State, !(ignored & kIgnoresHover)) &&
          SameStyle(r->Style, c->Style) && SameText(r->Text, c->Text) && r->Tag == c->Tag &&
          ((ignored & kIgnoresPointer) || r->UserPointer == c->UserPointer)));
    if (!same) {
      MarkPublishedDirty(r);
      MarkControlDirty(c);
    }
    r->X = c->X;
    r->Y = c->Y;
    r->W = c->W;
    r->H = c->H;
    r->PaintX = paintX;
    r->PaintY = paintY;
    r->PaintW = paintW;
    r->PaintH = paintH;
    r->PendingDx = c->PendingDx;
    r->PendingDy = c->PendingDy;
    r->PendingDw = c->PendingDw;
    r->PendingDh = c->PendingDh;
    r->Colour = c->Colour;
    r->PressX = c->PressX;
    r->PressY = c->PressY;
    r->Visible = c->Visible;
    r->Alpha = c->Alpha;
    ControlStateCopy(&r->State, &c->State);
    TextStyleCopy(&r->Style, &c->Style);
    TextFieldCopy(&r->Text, &c->Text);
    r->Text.Changed = c->Text.Changed | before | flags;
    r->Tag = c->Tag;
    r->UserPointer = c->UserPointer;
  }
  c->Text.Changed = 0;
  if (c->Resized) {
    c->Resized = 0;
    c->PendingDw = 0;
    c->PendingDh = 0;
  }
}

void ControlPublishText(ControlRecord* c, int64_t flags) {
  if (!c->RenderLock || !c->Render) return;
  // Flagged: the purge may be freeing its record now.
  if (ControlFlagged(c)) return;
  {
    platform::MutexGuard g(c->RenderLock);
    const int64_t before = c->Render->Text.Changed;
    MarkPublishedDirty(c->Render);
    TextFieldCopy(&c->Render->Text, &c->Text);
    c->Render->Text.Changed = c->Text.Changed | before | flags;
  }
  c->Text.Changed = 0;
}

void ControlSetLayoutWidth(ControlRecord* c, int32_t width) {
  if (!c) return;
  if (!c->RenderLock) {
    c->Text.LayoutWidth = width;
    return;
  }
  platform::MutexGuard g(c->RenderLock);
  c->Text.LayoutWidth = width;
}

void ControlPublishState(ControlRecord* c) {
  if (!c->RenderLock || !c->Render) return;
  // Flagged: the purge may be freeing its record now.
  if (ControlFlagged(c)) return;
  platform::MutexGuard g(c->RenderLock);
  MarkPublishedDirty(c->Render);
  ControlStateCopy(&c->Render->State, &c->State);
}

void FetchRenderRecord(RenderRecord* dst, int32_t id) {
  const int32_t count = ControlTableCount();
  if (count < 1) return;
  if (id < 0) id = 0;
  if (id > count - 1) id = count - 1;
  ControlRecord* c = ControlAt(id);
  if (!c || !c->Render) return;
  platform::MutexGuard g(c->RenderLock);
  RenderRecordCopy(dst, c->Render);
  // A fully transparent control keeps its flags until it is actually drawn.
  if (dst->Alpha > 0) c->Render->Text.Changed = 0;
}

void ReturnRenderFlags(const RenderRecord* snap, int32_t id) {
  if (!snap || snap->Text.Changed == 0 || id < 0 || id > ControlTableCount() - 1) return;
  ControlRecord* c = ControlAt(id);
  if (!c || !c->Render) return;
  platform::MutexGuard g(c->RenderLock);
  c->Render->Text.Changed |= snap->Text.Changed;
}

// --- Small records -----------------------------------------------------------

void ControlStateCopy(ControlState* dst, const ControlState* src) { *dst = *src; }

int64_t IsDisabled(const ControlState* s) { return s->Disabled != 0 ? -1 : 0; }

void SetDisabled(ControlState* s, int64_t value) {
  if (value != s->Disabled) s->DisabledToggle = ~s->DisabledToggle;
  s->Disabled = value;
}

void TextStyleInit(TextStyle* s) { *s = TextStyle{}; }

void TextStyleSet(TextStyle* s, uint8_t glyph, int32_t size, FontRecord* font, int32_t dx,
                  int32_t dy, uint32_t colour) {
  *s = TextStyle{};
  s->Glyph = glyph;
  s->Size = size;
  s->Font = font;
  s->Dx = dx;
  s->Dy = dy;
  s->Colour = colour;
  s->SizeA = size;
  s->SizeB = size;
}

void TextStyleCopy(TextStyle* dst, const TextStyle* src) { *dst = *src; }

void TextFieldInit(TextField* f) {
  *f = TextField{};
  f->Text = static_cast<char*>(std::calloc(1, 1));
  f->TextBytes = 1;
}

void TextFieldFree(TextField* f) {
  std::free(f->Text);
  f->Text = nullptr;
}

void TextFieldCopy(TextField* dst, const TextField* src) {
  TextFieldSetText(dst, TextFieldGetText(src));
  char* text = dst->Text;
  const int32_t bytes = dst->TextBytes;
  *dst = *src;
  dst->Text = text;
  dst->TextBytes = bytes;
}

void TextFieldClear(TextField* f) {
  TextFieldSetText(f, "");
  f->Selected = -1;
  f->FirstVisible = 0;
  f->Mark = -1;
  f->VisibleRows = 0;
  f->Caret = 0;
  f->SelectionEnd = 0;
  for (uint32_t& w : f->EditWords) w = 0;
  f->EditPair[0] = f->EditPair[1] = 0;
  f->EditAfterSelection = 0;
  f->EditAfterFit = 0;
  f->FitCount = 1;
  for (int64_t& w : f->EditStates) w = 0;
}

const char* TextFieldGetText(const TextField* f) { return f->Text ? f->Text : ""; }

void TextFieldSetText(TextField* f, const char* text) {
  if (!text) text = "";
  const size_t len = std::strlen(text);
  if (len == 0 && f->Text) {
    f->Text[0] = 0;
  } else {
    if (len + 1 > static_cast<size_t>(INT32_MAX)) return;
    auto* buf = static_cast<char*>(std::calloc(len + 1, 1));
    if (!buf) return;
    std::memcpy(buf, text, len);
    std::free(f->Text);
    f->Text = buf;
  }
  f->TextBytes = static_cast<int32_t>(len + 1);
  f->Changed = -1;
}

int32_t TextFieldTextSize(const TextField* f) { return f->TextBytes; }

void TextFieldClampNumber(TextField* f) {
  float v = static_cast<float>(std::strtod(TextFieldGetText(f), nullptr));
  if (v < f->Min) v = static_cast<float>(f->Min);
  if (v > f->Max) v = static_cast<float>(f->Max);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(v));
  std::string s(buf);
  const size_t a = s.find_first_not_of(' ');
  const size_t b = s.find_last_not_of(' ');
  s = a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
  TextFieldSetText(f, s.c_str());
}

void ListScrollClamp(TextField* f, int32_t n) {
  if (f->Selected > n - 1) f->Selected = n - 1;
  if (f->Selected >= 0) {
    const int32_t r = f->Reversed ? n - f->Selected - 1 : f->Selected;
    if (f->FirstVisible > r) f->FirstVisible = r;
    const int32_t last = f->FirstVisible + f->VisibleRows - 1;
    if (last < n && r > last) f->FirstVisible = r - f->VisibleRows + 1;
  }
  f->Changed = -1;
}

void RenderRecordInit(RenderRecord* r) {
  *r = RenderRecord{};
  TextStyleInit(&r->Style);
  TextFieldInit(&r->Text);
}

void RenderRecordFree(RenderRecord* r) { TextFieldFree(&r->Text); }

void RenderRecordCopy(RenderRecord* dst, const RenderRecord* src) {
  TextField text = dst->Text;  // keeps dst's buffer for the text copy below
  *dst = *src;
  dst->Text = text;
  TextFieldCopy(&dst->Text, &src->Text);
}

int32_t IdSetAdd(IdSet* set, int32_t id) {
  if (set->Count < 1) {
    auto* ids = static_cast<int32_t*>(std::malloc(sizeof(int32_t)));
    if (!ids) return -kErrAllocation;
    std::free(set->Ids);
    ids[0] = id;
    set->Ids = ids;
    set->Count = 1;
    return 0;
  }
  for (uint32_t i = 0; i < set->Count; ++i)
    if (set->Ids[i] == id) return static_cast<int32_t>(i);
  for (uint32_t i = 0; i < set->Count; ++i) {
    if (set->Ids[i] == 0) {
      set->Ids[i] = id;
      return static_cast<int32_t>(i);
    }
  }
  if (set->Count >= static_cast<uint32_t>(INT32_MAX)) return -kErrAllocation;
  auto* ids = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (set->Count + 1)));
  if (!ids) return -kErrAllocation;
  std::memcpy(ids, set->Ids, sizeof(int32_t) * set->Count);
  ids[set->Count] = id;
  std::free(set->Ids);
  set->Ids = ids;
  return static_cast<int32_t>(set->Count++);
}

void IdSetRemove(IdSet* set, int32_t id) {
  for (uint32_t i = 0; i < set->Count; ++i) {
    if (set->Ids[i] != id) continue;
    set->Ids[i] = 0;
    if (i == set->Count - 1) --set->Count;
    return;
  }
}

void IdSetFree(IdSet* set) {
  std::free(set->Ids);
  set->Ids = nullptr;
  set->Count = 0;
}

void SelectorCopy(SelectorState* dst, const SelectorState* src) { *dst = *src; }

int32_t SelectorValue(const SelectorState* s) { return s->Value; }

void SelectorSetValue(SelectorState* s, int32_t value) {
  if (value == s->Value) return;
  s->Previous = s->Value;
  s->Value = value;
  s->CounterA = 0;
  s->CounterB = 0;
}

int32_t SelectorPrevious(const SelectorState* s) { return s->Previous; }

int64_t SelectorChanged(const SelectorState* s) {
  return (s->Previous != s->Value && s->Previous > 0) ? -1 : 0;
}

uint32_t JoystickSetButtons(JoystickState* j, uint32_t mask) {
  j->ChangedButtons = j->Buttons ^ mask;
  j->Buttons = mask;
  return j->ChangedButtons;
}

void JoystickAxisUpdate(JoystickState* j, int32_t axis) {
  if (axis < 0 || axis >= kJoystickAxes) return;
  const float v = j->Axis[axis];
  if (v == kJoystickAxisAbsent) return;
  const float dir = v < -0.5f ? -1.0f : (v > 0.5f ? 1.0f : 0.0f);
  if (dir != j->Direction[axis]) {
    j->AxisChanged[axis] = -1;
    j->Direction[axis] = dir;
  }
}

void JoystickClearChanged(JoystickState* j) {
  for (int64_t& c : j->AxisChanged) c = 0;
}

void JoystickReset(JoystickState* j) {
  j->Buttons = 0;
  j->ChangedButtons = 0xFFFFFFFFu;
  for (int32_t i = 0; i < kJoystickAxes; ++i) {
    j->Axis[i] = 0.0f;
    j->Direction[i] = 0.0f;
    j->AxisChanged[i] = 0;
  }
}

}  // namespace QUARLE_VISUALS
