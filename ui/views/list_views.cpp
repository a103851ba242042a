#include "ui/views/list_views.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "app/startup.h"
#include "app/state/console.h"
#include "app/state/history.h"
#include "basics/listings.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "ui/views/control_drawing.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/glyphs.h"
#include "visuals/list_range.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using platform::Image;

namespace {

constexpr uint16_t kDottedLine = 0xCCCC;

int32_t RowsOf(int32_t visibleRows) { return visibleRows < 1 ? 1 : visibleRows; }

// The tooltip the last hovered row posted, and where it first differs from
// its neighbours' (HoveredRowDifferenceAt).
// one thread: video
struct HoveredRow {
  std::string text;
  int32_t difference = -1;
};
HoveredRow g_hovered;

// The first byte where the texts differ; the shorter one's length when one
// begins the other.
size_t FirstDifference(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Names numbered in the middle read alike when cut to a narrow room; the
// rows shown beside the hovered one (items lo..hi are drawn, and are the ones
// a list's prepare read) are the ones it must be told from.
void NoteHoveredRow(const std::string& tip, int32_t item, int32_t lo, int32_t hi, const ListDrawPlan& plan) {
  size_t at = 0;
  for (const int32_t other : {item - 1, item + 1})
    if (other >= lo && other <= hi) at = std::max(at, FirstDifference(tip, plan.tooltip(other, plan.context)));
  g_hovered.text = tip;
  g_hovered.difference = static_cast<int32_t>(std::min<size_t>(at, INT32_MAX));
}

}  // namespace

// --- Event side ----------------------------------------------------------------------

uint32_t ListProcedure(uint32_t bits, int32_t, int32_t y, int32_t id, int32_t count,
                       int32_t& accumulator) {
  ControlRecord* c = V::ControlAt(id);
  if (!c) return bits;
  V::TextField& f = c->Text;
  const int32_t b = V::BorderWidth;
  const int32_t rows = RowsOf(f.VisibleRows);
  const int32_t h = c->H;
  // A list too small for its rows still needs a row height to divide by.
  const int32_t rowH = std::max(Nearest(static_cast<double>(h - 2 * b) / rows), 1);
  if (count < 0) count = 0;

  if (bits & V::kEventDragRelease) {
    const double moved = std::abs(static_cast<double>(c->PressY) - y);
    bits = 0.67 * rowH > moved ? V::kEventClick : V::kEventHover;
  }

  if (bits >= 1 && bits <= 15) {
    const int32_t ly = y - c->Y - b;
    int32_t row = -1;
    if (0 < ly && ly < h - b) {
      row = std::max(ly / rowH, 0) + f.FirstVisible;
      if (f.Reversed) row = count - row - 1;
      if (row < 0 || row > count - 1) row = -1;
    }
    if (bits & (V::kEventHover | V::kEventPress)) {
      f.Mark = row;
    } else if (ListSelectable(f) == -1) {
      f.Selected = row == f.Selected ? -1 : row;
    }
    accumulator = 0;
    return bits;
  }

  if (bits == V::kEventDrag) {
    const int32_t step = std::max(Nearest(rowH * 0.67), 1);
    accumulator -= y;
    const int32_t n = accumulator / step;
    accumulator %= step;
    if (n != 0) {
      f.FirstVisible = V::ListFirstInRange(f.FirstVisible + n, count, rows);
      f.Changed = -1;
      c->Dragged = -1;
      c->PressY = Nearest(static_cast<double>(n) * (h - 2 * b) / rows + c->PressY);
    }
    return bits;
  }

  if (bits == V::kEventWheel) {
    f.FirstVisible = V::ListFirstInRange(f.FirstVisible + y, count, rows);
    f.Changed = -1;
    return bits;
  }

  if (bits == V::kEventKey) {
    int32_t key = V::KeyCode();
    if (f.Reversed) {
      if (key == V::kKeyUp)
        key = V::kKeyDown;
      else if (key == V::kKeyDown)
        key = V::kKeyUp;
    }
    if (key == V::kKeyUp) {
      if (f.Selected == -1) f.Selected = 0;
      f.Selected -= 1;
      if (f.Selected < 0) f.Selected = count - 1;
    } else if (key == V::kKeyDown) {
      f.Selected += 1;
      if (f.Selected >= count) f.Selected = 0;
    }
    V::ListScrollClamp(&f, count);
    f.Mark = f.Selected;
    accumulator = 0;
    f.Changed = -1;
    return V::kEventClick;
  }

  if (bits == V::kEventLeave) {
    f.Mark = -1;
    accumulator = 0;
    return bits;
  }

  accumulator = 0;
  return bits;
}

// --- Draw side -----------------------------------------------------------------------

int32_t ListRowHeightOf(const RenderRecord* snap) {
  return Nearest(static_cast<double>(snap->H - 2 * V::BorderWidth) / RowsOf(snap->Text.VisibleRows));
}

int32_t ListTextOffsetOf(const RenderRecord* snap) {
  return Nearest((ListRowHeightOf(snap) - snap->Text.TextSize) * 0.5);
}

std::vector<std::string> ListRowLines(const std::string& text, int32_t size, int32_t room) {
  std::vector<std::string> lines;
  const std::vector<size_t> starts = platform::CharacterStarts(text);
  const auto fits = [&](size_t a, size_t b) {
    return b <= a || V::TextWidth(text.substr(a, b - a), &V::TextFont, size) - 1 <= room;
  };
  const size_t n = starts.size();
  // Where character k starts; the text's end for k = n.
  const auto at = [&](size_t k) { return k < n ? starts[k] : text.size(); };
  size_t from = 0;  // the line's first character
  while (from < n) {
    // The most whole characters that fit, at least one.
    size_t to = from + 1;
    while (to < n && fits(at(from), at(to + 1))) ++to;
    if (to == n) {
      lines.push_back(text.substr(at(from)));
      break;
    }
    // Back to the last blank within, which ends this line.
    size_t cut = to;
    for (size_t k = to; k > from + 1; --k)
      if (text[at(k - 1)] == ' ') {
        cut = k;
        break;
      }
    lines.push_back(text.substr(at(from), at(cut) - at(from)));
    from = cut;
  }
  return lines;
}

int32_t DrawListView(RenderRecord* snap, int32_t id, const ListDrawPlan& plan,
                     ListDrawStatics& statics) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  const int32_t b = V::BorderWidth;
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  V::TextField& f = snap->Text;
  const int32_t rows = RowsOf(f.VisibleRows);
  const int32_t count = std::max(plan.count, 0);
  const int32_t rowH = ListRowHeightOf(snap);
  const int32_t x0 = x + b;
  const int32_t textY = ListTextOffsetOf(snap);

  // A list that shrank below its scroll position is brought back on the
  // interface thread, which owns the position; until that publish arrives the
  // frame draws the position it will publish, as a whole redraw would.
  const int32_t first = V::ListFirstInRange(f.FirstVisible, count, rows);
  f.FirstVisible = first;
  const bool reversed = f.Reversed != 0;

  int32_t top = reversed ? count - first - 1 : first;
  if (top < 0) top = 0;
  int32_t last = reversed ? top - rows + 1 : first + rows - 1;
  if (last > count - 1) last = count - 1;
  int32_t step = 1;
  if (last < top) {
    step = -1;
    if (last < 0) last = 0;
    if (top > count - 1) top = count - 1;
  }

  if (f.Reversed != statics.reversed || count != statics.count || first != statics.first)
    f.Changed = -1;
  const bool redraw = f.Changed != 0;

  if (plan.prepare) plan.prepare(top, last, step, plan.context);

  // The hovered row's whole text, when its row cannot hold it: its lines and
  // the slot of the first.
  std::vector<std::string> spread;
  int32_t spreadAt = 0;
  if (plan.wholeWhenHovered && plan.tooltip && f.Mark >= 0 && f.Mark < count && f.Mark >= std::min(top, last) &&
      f.Mark <= std::max(top, last)) {
    const std::string whole = plan.tooltip(f.Mark, plan.context);
    const int32_t room = w - b - 3 - 2 * UnitPx();
    if (whole != statics.spreadText || room != statics.spreadRoom || f.TextSize != statics.spreadSize) {
      statics.spreadText = whole;
      statics.spreadRoom = room;
      statics.spreadSize = f.TextSize;
      statics.spreadLines.clear();
      if (room > 0 && V::TextWidth(whole, &V::TextFont, f.TextSize) - 1 > room)
        statics.spreadLines = ListRowLines(whole, f.TextSize, room);
    }
    if (!statics.spreadLines.empty()) {
      spread = statics.spreadLines;
      if (spread.size() > static_cast<size_t>(rows)) spread.resize(static_cast<size_t>(rows));
      const int32_t hoveredSlot = reversed ? top - f.Mark : f.Mark - top;
      spreadAt = std::max(0, std::min(hoveredSlot, rows - static_cast<int32_t>(spread.size())));
    }
  }
  // Rows that held such lines last frame hold their own items again.
  const bool spreadBefore = statics.spread;
  statics.spread = !spread.empty();

  ListRowPlace place;
  place.x0 = x0;
  place.rowH = rowH;
  place.textY = textY;
  place.x = x;
  place.y = y;
  place.w = w;
  place.h = h;
  int32_t ry = y + b;
  int32_t slot = 0;
  for (int32_t i = top; step > 0 ? i <= last : i >= last; i += step, ++slot) {
    if (i < 0 || i >= count) break;
    place.item = i;
    place.slot = slot;
    place.top = ry;
    place.selected = i == f.Selected;
    place.hovered = i == f.Mark;
    FillColour = (i % 2 == 0) ? kListRowEven : kListRowOdd;
    if (place.selected) FillColour = kListRowSelected;
    TextColour = kColourWhite;
    if (place.hovered) {
      if (!place.selected) FillColour = kListRowHovered;
      if (plan.tooltip) {
        const std::string tip = plan.tooltip(i, plan.context);
        NoteHoveredRow(tip, i, std::min(top, last), std::min(std::max(top, last), count - 1), plan);
        V::PostFoundTooltip(id, tip);
      }
    }
    FillBox(x0, ry, x + w - 1, ry + rowH - 1, FillColour);
    if (plan.decorate) plan.decorate(place, plan.context);
    Image* row = LayerAt(c, plan.firstRowLayer + slot);
    bool render = redraw || spreadBefore;
    if (plan.rowKey) {
      if (statics.rowKeys.size() <= static_cast<size_t>(slot)) statics.rowKeys.resize(slot + 1, 0);
      const uint64_t key = plan.rowKey(i, plan.context);
      render = render || statics.rowKeys[slot] != key;
      statics.rowKeys[slot] = key;
    }
    if (render && row) {
      ClearImage(row, w - b - 3, f.TextSize);
      if (plan.renderRow) plan.renderRow(row, i, snap, plan.context);
    }
    if (row) BlitImage(row, x0, ry + textY);
    if (plan.finish) plan.finish(place, plan.context);
    ry += rowH;
  }

  for (size_t k = 0; k < spread.size(); ++k) {
    const int32_t slotK = spreadAt + static_cast<int32_t>(k);
    const int32_t rowTop = y + b + slotK * rowH;
    FillBox(x0, rowTop, x + w - 1, rowTop + rowH - 1, kListRowHovered);
    Image* row = LayerAt(c, plan.firstRowLayer + slotK);
    if (!row) continue;
    ClearImage(row, w - b - 3, f.TextSize);
    DrawListRowText(row, UnitPx(), 0, spread[k], f.TextSize, kColourWhite);
    BlitImage(row, x0, rowTop + textY);
  }

  statics.count = count;
  statics.reversed = f.Reversed;
  statics.first = first;

  if (count > 0) {
    const int32_t mx = Nearest((w - 32) * 0.5 + x);
    if (first > 0)
      for (int32_t j = 0; j < b; ++j)
        PatternLine(mx, y + b + j, mx + 31, y + b + j, kColourWhite, kDottedLine);
    if (count - first > rows)
      for (int32_t j = 0; j < b; ++j)
        PatternLine(mx, y + h - b - 1 - j, mx + 31, y + h - b - 1 - j, kColourWhite, kDottedLine);
  }

  if (count > rows) {
    const int32_t th = Nearest(static_cast<double>(rows) * (h - 2 * b) / count);
    const int32_t bx = x + w - b - 1;
    const int32_t ty = Nearest(static_cast<double>(first) * (h - th) / (count - rows) + y);
    FillBox(bx - b + 1, ty, bx, ty + th - 1, kColourWhite);
  }

  FrameColour = (snap->State.Active != 0 || snap->State.Pressed != 0) ? kListFrameHover : kListFrame;
  FrameStyle = V::kFrameFlat;
  FrameRect(snap, FrameStyle, b, FrameColour);
  return 0;
}

int32_t HoveredRowDifferenceAt(const std::string& text) {
  return text == g_hovered.text ? g_hovered.difference : -1;
}

void DrawListRowText(Image* row, int32_t x, int32_t y, const std::string& text, int32_t size,
                     uint32_t colour, int32_t right) {
  if (!row) return;
  right = right < 0 ? row->width : std::min(right, row->width);
  V::DrawTextInCell(row, x, y, 0, right, V::NameInWidth(text, V::TextFont.Face, size, right - x),
                    V::TextFont.Face, size, colour, 2);
}

// --- Members ---------------------------------------------------------------------------

namespace {

ListDrawStatics g_messageStatics, g_historyStatics, g_fileStatics;

void DrawRowText(Image* row, const std::string& text, int32_t x, int32_t y, const RenderRecord* snap) {
  DrawListRowText(row, x, y, text, snap->Text.TextSize, TextColour);
}

void RenderMessageRow(Image* row, int32_t item, const RenderRecord* snap, void*) {
  const std::string text = GetLogMessage(item);  // sets TextColour to the level's colour
  DrawRowText(row, text, UnitPx(), 0, snap);
}

std::string MessageTooltip(int32_t item, void*) {
  const uint32_t keep = TextColour;
  std::string text = GetLogMessage(item);
  TextColour = keep;
  return text;
}

void RenderHistoryRow(Image* row, int32_t item, const RenderRecord* snap, void*) {
  TextColour = kColourWhite;
  DrawRowText(row, GetActionLine(item), UnitPx(), 0, snap);
}

std::string HistoryTooltip(int32_t item, void*) { return GetActionLine(item); }

void RenderFileRow(Image* row, int32_t item, const RenderRecord* snap, void*) {
  std::string name;
  uint32_t attribute = 0;
  {
    QUARLE_BASICS::DirList* list = BrowserListing;
    if (!list) return;
    platform::MutexGuard g(list->header.lock);
    name = QUARLE_BASICS::DirListName(list, static_cast<uint32_t>(item));
    attribute = QUARLE_BASICS::DirListAttr(list, static_cast<uint32_t>(item));
  }
  TextColour = kColourWhite;
  if (attribute & 16)
    V::DrawTextFT(row, UnitPx(), 2, 0, "F", V::IconFont.Face, IconPx(), TextColour, 2);
  DrawRowText(row, name, IconPx() + 2 * UnitPx(), 1, snap);
}

// A list's count, read under the lock its writers hold.
int32_t CountUnder(platform::Mutex* lock, const int32_t& count) {
  platform::MutexGuard g(lock);
  return count;
}

std::string FileTooltip(int32_t item, void*) {
  QUARLE_BASICS::DirList* list = BrowserListing;
  if (!list) return "";
  platform::MutexGuard g(list->header.lock);
  return QUARLE_BASICS::DirListName(list, static_cast<uint32_t>(item));
}

}  // namespace

int32_t SystemMessageCount() { return CountUnder(MessageConsole.lock, MessageConsole.count); }

int32_t ActionHistoryCount() { return CountUnder(ActionHistory.lock, ActionHistory.count); }

int32_t FileListCount() {
  QUARLE_BASICS::DirList* list = BrowserListing;
  return list ? CountUnder(list->header.lock, list->header.count) : 0;
}

int32_t DrawSystemMessageList(RenderRecord* snap, int32_t id) {
  return DrawListView(snap, id,
                      {.count = SystemMessageCount(),
                       .renderRow = RenderMessageRow,
                       .tooltip = MessageTooltip,
                       .wholeWhenHovered = true},
                      g_messageStatics);
}

int32_t DrawActionHistoryList(RenderRecord* snap, int32_t id) {
  return DrawListView(snap, id,
                      {.count = ActionHistoryCount(),
                       .renderRow = RenderHistoryRow,
                       .tooltip = HistoryTooltip},
                      g_historyStatics);
}

int32_t DrawFileList(RenderRecord* snap, int32_t id) {
  return DrawListView(snap, id,
                      {.count = FileListCount(),
                       .renderRow = RenderFileRow,
                       .tooltip = FileTooltip},
                      g_fileStatics);
}

std::string DriveLabel(const std::string& root) {
  size_t end = root.size();
  while (end > 1 && root[end - 1] == '\\') --end;
  if (end <= 1) return root.substr(0, end);
  const size_t start = root.rfind('\\', end - 1);
  return start == std::string::npos ? root.substr(0, end) : root.substr(start + 1, end - start - 1);
}

int32_t DrawDriveList(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  const int32_t b = V::BorderWidth;
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  const int32_t size = snap->Text.TextSize;
  TextColour = kColourWhite;
  FrameColour = (snap->State.Active != 0 || snap->State.Pressed != 0) ? kColourFrameHover
                                                                      : kColourNavy;
  FrameStyle = V::kFrameFlat;

  const QUARLE_BASICS::DriveList* drives = Drives;
  const int32_t n = drives ? std::clamp(drives->count.load(), 0, 26) : 0;
  Image* layer = LayerAt(c, 0);
  if (n > 0) {
    const int32_t cw = Nearest(static_cast<double>(w - 2 * b) / n);
    if (snap->Text.Changed != 0 && layer) {
      ClearImage(layer, w - 1, h - 1);
      for (int32_t d = 1; d <= n; ++d) {
        // A drive is its root folder on this platform, and mounts side by side
        // begin alike (/media/<user>/...): its cell shows the root's last
        // folder, centred, its end kept after a mark where that is wider than
        // the cell, as the lists cut names (the tooltip names the root whole).
        const int32_t left = cw * (d - 1);
        const int32_t cell = std::min(cw, w - 2 * b - left);
        const std::string label =
            V::NameInWidth(DriveLabel(QUARLE_BASICS::DriveText(drives, static_cast<uint8_t>(d))),
                           V::TextFont.Face, size, cell);
        const int32_t tw = std::min(V::TextWidth(label, &V::TextFont, size), cell);
        const int32_t cx = left + std::max(Nearest((cell - tw) * 0.5), 0);
        V::DrawTextInCell(layer, cx, 0, left, cell, label, V::TextFont.Face, size, TextColour, 1);
      }
    }
    int32_t cx0 = x + b;
    const int32_t y0 = y + b;
    for (int32_t d = 1; d <= n; ++d, cx0 += cw) {
      if (d == snap->Text.Mark)
        FillColour = kColourAmber;
      else if (d == snap->Text.Selected)
        FillColour = kColourBlue;
      else
        FillColour = kColourNavy;
      // Within the control: the frame covers the cells' outer rows.
      FillBox(cx0, y0, std::min(cx0 + cw, x + w) - 1, y + h - 1, FillColour);
    }
  }
  if (layer) CopyImageAdditive(layer, x + b, Nearest((h - size) * 0.5 + y + 1.0));
  FrameRect(snap, FrameStyle, b, FrameColour);
  return 0;
}

}  // namespace Tarvelo
