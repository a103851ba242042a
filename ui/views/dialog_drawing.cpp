#include "ui/views/dialog_drawing.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/paths.h"
#include "platform/threads.h"
#include "ui/views/list_views.h"
#include "ui/views/control_drawing.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/glyphs.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using platform::Image;

namespace {

constexpr uint16_t kDashed = 0xCCCC;

uint32_t StripFrame(const RenderRecord* snap) {
  return (snap->State.Active != 0 || snap->State.Pressed != 0) ? kColourFrameHover : kColourNavy;
}

// Fill and overlay, common to the four strips.
void StripBackground(const RenderRecord* snap, const ControlRecord* c) {
  FillColour = kStripBackground;
  FillBox(snap->X, snap->Y, snap->X + snap->W - 1, snap->Y + snap->H - 1, FillColour);
  // The text strip narrows while the edit line shows; its overlay does not.
  BlitOverlay(c, snap->X, snap->Y, snap->W, snap->H);
}

bool Blank(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char ch) { return ch == ' ' || ch == '\t'; });
}

// Renders text into the layer, within its first cellW columns: width clamped
// to the layer and written back to the live control, x centred (or 0),
// y = nearest((H - size) / 2 + 1).
int32_t RenderStripText(Image* layer, ControlRecord* c, const std::string& text, int32_t size,
                        bool centred, int32_t cellW, uint32_t colour) {
  int32_t width = std::max(V::TextWidth(text, &V::TextFont, size), 0);
  if (width > layer->width) width = layer->width;
  V::ControlSetLayoutWidth(c, width);
  const int32_t x = centred ? Nearest((layer->width - width) * 0.5) : 0;
  const int32_t y = Nearest((layer->height - size) * 0.5 + 1.0);
  ClearImage(layer, layer->width - 1, layer->height - 1);
  return V::DrawTextInCell(layer, x, y, 0, cellW, text, V::TextFont.Face, size, colour, 2);
}

// TextWidth - 1 of text[from, to), not below 0; an empty or inverted range is 0.
int32_t SpanWidth(const std::string& text, int32_t from, int32_t to, int32_t size) {
  const int32_t n = static_cast<int32_t>(text.size());
  from = std::clamp(from, 0, n);
  to = std::clamp(to, 0, n);
  if (to <= from) return 0;
  return std::max(V::TextWidth(text.substr(from, to - from), &V::TextFont, size) - 1, 0);
}

// What the status line shows of a list row's name too wide for it, `at` the
// byte where the name first differs from the rows beside it: the list's own
// cut (head, mark, end) when that keeps `at` in view; else the head, a mark,
// the run from the word holding `at` on, a mark and the end, so names
// numbered in the middle read apart. No cut splits an escape form.
std::string RowNameInWidth(const std::string& text, int32_t at, int32_t size, int32_t room) {
  const std::string plain = V::NameInWidth(text, V::TextFont.Face, size, room);
  const size_t cut = plain.find('\x85'), n = text.size();
  if (at < 0 || cut == std::string::npos || plain == text) return plain;
  const size_t kept = plain.size() - cut - 1;
  if (static_cast<size_t>(at) < cut || static_cast<size_t>(at) >= n - kept) return plain;

  // Advance widths; a glyph's ink may reach a little past its advance.
  const auto width = [&](size_t a, size_t b) -> int64_t {
    return b > a ? std::max(V::TextWidth(text.substr(a, b - a), &V::TextFont, size) - 1, 0) : 0;
  };
  const int64_t fit = room - std::max(2, size / 5);
  const int64_t mark = std::max(V::TextWidth("\x85", &V::TextFont, size) - 1, 0);
  const std::vector<size_t> starts = platform::CharacterStarts(text);
  size_t c = 0;  // the character holding `at`
  while (c + 1 < starts.size() && starts[c + 1] <= static_cast<size_t>(at)) ++c;
  if (c + 1 >= starts.size()) return plain;
  // The run starts with the word that holds the difference, within an eighth.
  size_t from = c;
  while (from > 0 && text[starts[from - 1]] != ' ' && width(starts[from - 1], starts[c]) <= fit / 8) --from;
  // The end within a quarter, after the difference.
  size_t end = starts.size() - 1;
  while (end - 1 > c && width(starts[end - 1], n) <= fit / 4) --end;
  const auto total = [&](size_t head, size_t to) {
    return width(0, starts[head]) + (head < from ? mark : 0) + width(starts[from], starts[to]) +
           (to < end ? mark : 0) + width(starts[end], n);
  };
  size_t to = c + 1;
  if (total(0, to) > fit) return plain;
  // The run up to half the room; the head takes what is left.
  while (to < end && width(starts[from], starts[to + 1]) <= fit / 2 && total(0, to + 1) <= fit) ++to;
  size_t head = 0;
  while (head < from && total(head + 1, to) <= fit) ++head;
  std::string shown = text.substr(0, starts[head]);
  if (head < from) shown += '\x85';
  shown += text.substr(starts[from], starts[to] - starts[from]);
  if (to < end) shown += '\x85';
  return shown + text.substr(starts[end]);
}

}  // namespace

std::string GuideDateTimeText(const std::tm& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d-%02d-%04d   %02d:%02d:%02d", t.tm_mon + 1, t.tm_mday,
                t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

int32_t DrawLiveGuide(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  StripBackground(snap, c);
  Image* layer = LayerAt(c, 0);
  int32_t result = 0;
  if (layer) {
    platform::MutexGuard g(V::MT_HOVER);
    if (V::HoverText.Changed != 0) {
      std::string text = V::TextFieldGetText(&V::HoverText);
      if (Blank(text)) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        text = GuideDateTimeText(local);
        V::TextFieldSetText(&V::HoverText, text.c_str());
      }
      // A list row's name too wide for the line keeps in view where it
      // differs from the rows beside it.
      const int32_t size = snap->Text.TextSize;
      if (const int32_t at = HoveredRowDifferenceAt(text); at >= 0)
        text = RowNameInWidth(text, at, size, layer->width);
      const int32_t r = RenderStripText(layer, c, text, size, true, layer->width, kColourWhite);
      if (r < 0) result = r;
      V::HoverText.Changed = 0;
    }
  }
  BlitImage(layer, snap->X + BorderPx(), snap->Y + BorderPx());
  FrameColour = StripFrame(snap);
  FrameStyle = V::kFrameFlat;
  FrameRect(snap, FrameStyle, BorderPx(), FrameColour);
  return result;
}

int32_t DrawMessageBox(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  StripBackground(snap, c);
  Image* layer = LayerAt(c, 0);
  if (layer && snap->Text.Changed != 0)
    RenderStripText(layer, c, V::TextFieldGetText(&snap->Text), snap->Text.TextSize, true,
                    layer->width, snap->Text.TextColour);
  BlitImage(layer, snap->X + BorderPx(), snap->Y + BorderPx());
  FrameColour = kColourBlue;
  FrameStyle = V::kFrameFlat;
  FrameRect(snap, FrameStyle, BorderPx(), FrameColour);
  return 0;
}

int32_t DrawDialogText(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  StripBackground(snap, c);
  Image* layer = LayerAt(c, 0);
  if (layer && snap->Text.Changed != 0) {
    // The strip narrows beside the edit line while its layer keeps the whole
    // width: the text ends a margin short of the strip's own frame.
    const int32_t inside = std::min(layer->width, snap->W - 2 * BorderPx());
    const int32_t r = RenderStripText(layer, c, V::TextFieldGetText(&snap->Text),
                                      snap->Text.TextSize, false, inside - BorderPx() - 1,
                                      kColourWhite);
    if (r < 0) return r;
  }
  BlitImage(layer, snap->X + BorderPx(), snap->Y + BorderPx());
  FrameColour = StripFrame(snap);
  FrameStyle = V::kFrameFlat;
  FrameRect(snap, FrameStyle, BorderPx(), FrameColour);
  return 0;
}

int32_t DrawDialogEdit(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  V::TextField& f = snap->Text;
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  const int32_t b = BorderPx();
  const int32_t s = f.TextSize;

  FrameColour = snap->State.Active != 0 ? kColourFrameHover : kColourNavy;
  if (snap->State.Pressed != 0) {
    FrameColour = kColourFrameHover;
    FrameStyle = V::kFrameSunken;
  } else {
    FrameStyle = V::kFrameRaised;
  }
  TextColour = kColourWhite;

  const std::string text = V::TextFieldGetText(&f);
  const int32_t stored = static_cast<int32_t>(text.size()) + 1;
  const int32_t pad = Nearest(s * 0.5 + b);
  const int32_t avail = w - 2 * pad;
  const int32_t ty = Nearest((h - s) * 0.5);
  const int32_t first = EditFirstVisible(f);
  const int32_t last = EditLastVisible(f);
  const int32_t caret = EditCaret(f);
  const int32_t anchor = EditAnchor(f);

  const int32_t wc = SpanWidth(text, first, caret, s);
  const int32_t wv = std::min(SpanWidth(text, first, last, s), avail);
  int32_t start = 0, width = 0;
  const bool selection = EditSelectionLength(f) != 0;
  if (selection) {
    if (anchor >= first && anchor < last) {
      const int32_t wa = SpanWidth(text, first, anchor, s);
      start = wa;
      width = wc - wa;
      if (width < 0) {
        start = wc;
        width = wa - wc;
      }
    } else if (anchor >= last) {
      start = wc;
      width = wv - wc;
    } else {
      start = 0;
      width = wc + 1;
    }
  }

  Image* layer = LayerAt(c, 0);
  if (layer && f.Changed != 0) {
    ClearImage(layer, w - 3, s + 2);
    const int32_t from = std::clamp(first, 0, static_cast<int32_t>(text.size()));
    const int32_t to = std::clamp(last, from, static_cast<int32_t>(text.size()));
    const int32_t r = V::DrawTextFT(layer, 0, 0, 0, text.substr(from, to - from), V::TextFont.Face,
                                    s, kColourWhite, 2);
    if (r < 0) return r;
  }

  FillColour = kStripBackground;
  FillBox(x, y, x + w - 1, y + h - 1, FillColour);
  BlitOverlay(c, x, y);
  if (selection)
    FillBox(x + pad + start, y + b, x + pad + start + width - 1, y + h - b - 1, kEditSelection);
  BlitImage(layer, x + pad, y + ty);
  platform::DrawLine(V::DrawTarget, x + pad + wc, y + b, x + pad + wc, y + h - b, kColourWhite);
  if (first > 0) PatternBox(x + b, y + b, x + b + 1, y + h - b - 1, kColourAmber, kDashed);
  if (last < stored - 1)
    PatternBox(x + w - b - 1, y + b, x + w - b - 2, y + h - b - 1, kColourAmber, kDashed);
  FrameRect(snap, FrameStyle, b, FrameColour);
  return 0;
}

}  // namespace Tarvelo
