// The scrolling lists of the interface: one scheme for every list control.
//
// Event side, ListProcedure: turns pointer, wheel and key events into the
// list's hovered row, selection and scroll position; each list's event
// callback calls it first and then acts on the bits it returns.
// Draw side, DrawListView: paints the visible rows (striped, hovered,
// selected), renders row texts into the control's cached row images only when
// the list changed, and adds the overflow marks, the scroll thumb and the frame.
// Each list supplies its item count and row painter through a ListDrawPlan.
//
// List state lives in the control's TextField:
//   Selected      selected item index, -1 none
//   FirstVisible  display position of the top row
//   Mark          hovered item index, -1 none
//   VisibleRows   rows shown (SetListRows)
//   TextSize      row text size (SetListRows)
//   EditStates[0] selectable flag (-1: a click selects, a click on the selected
//                 row clears the selection)
//   Reversed      -1: display order reversed (item count - 1 at the top)
//   Changed       redraw flag (-1: every row image rendered again)
// Item index and display position: position p shows item p, or count - 1 - p
// on a reversed list.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/images.h"
#include "visuals/controls.h"

namespace Tarvelo {

using QUARLE_VISUALS::ControlRecord;
using QUARLE_VISUALS::RenderRecord;

// Row fills of every list.
constexpr uint32_t kListRowEven = 0xFF000028;
constexpr uint32_t kListRowOdd = 0xFF000041;
constexpr uint32_t kListRowSelected = 0xFF057805;
constexpr uint32_t kListRowHovered = 0xFF175DB0;
constexpr uint32_t kListFrame = 0xFF3C3C4B;
constexpr uint32_t kListFrameHover = 0xFFBEBEFF;

// The selectable flag of a list (see above).
inline int64_t& ListSelectable(QUARLE_VISUALS::TextField& f) { return f.EditStates[0]; }
inline int64_t ListSelectable(const QUARLE_VISUALS::TextField& f) { return f.EditStates[0]; }

// --- Event side -------------------------------------------------------------------
// The shared part of a list's event callback, for the list control `id` with
// `count` items and the callback's own drag accumulator (main thread only).
// Updates the live control's text field, dragged flag and press point; the
// event loop publishes the control after the callback. Returns the bits the
// list's own action should act on: a release after a short drag and every key
// become a click (8), a release after a longer drag a hover (1); other bits
// come back unchanged. A control that does not exist changes nothing.
uint32_t ListProcedure(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t count,
                       int32_t& accumulator);

// --- Draw side --------------------------------------------------------------------
// What a list's draw callback keeps between frames (video thread only; one per
// callback, zero at start).
// one thread: video, one per draw callback
struct ListDrawStatics {
  int32_t count = 0;
  int64_t reversed = 0;
  int32_t first = 0;
  std::vector<uint64_t> rowKeys;  // by row slot: the key its image was rendered for
  bool spread = false;            // row images hold a hovered row's lines (wholeWhenHovered)
  // The last hovered text cut into lines, for its room and size (none: it fit).
  std::string spreadText;
  int32_t spreadRoom = 0, spreadSize = 0;
  std::vector<std::string> spreadLines;
};

// Where one row is drawn, handed to the hooks of a ListDrawPlan.
// one thread: value
struct ListRowPlace {
  int32_t item = 0;     // item index
  int32_t slot = 0;     // row slot from the top, 0..rows - 1
  int32_t x0 = 0;       // left edge of the rows (x + B)
  int32_t top = 0;      // top of the row
  int32_t rowH = 0;     // row height
  int32_t textY = 0;    // row image offset below the top
  int32_t x = 0, y = 0, w = 0, h = 0;  // the control's rectangle
  bool selected = false;
  bool hovered = false;
};

// one thread: value
struct ListDrawPlan {
  int32_t count = 0;          // item count, read by the caller under its lock
  int32_t firstRowLayer = 0;  // layer index of row slot 0's image
  void* context = nullptr;    // handed to every hook
  // Before the first row: the items that will be drawn run from `top` to
  // `last` by `step` (+1 or -1); nothing is drawn when top > last for step +1
  // or top < last for step -1. Lists that copy their data do it here.
  void (*prepare)(int32_t top, int32_t last, int32_t step, void* context) = nullptr;
  // Renders item into its row image, already cleared; TextColour is white.
  void (*renderRow)(platform::Image* row, int32_t item, const RenderRecord* snap,
                    void* context) = nullptr;
  // What renderRow draws for the item, as a key (a hash of its text): a row
  // whose key changed is rendered again though the list did not change. Null:
  // rows are rendered again only with the list.
  uint64_t (*rowKey)(int32_t item, void* context) = nullptr;
  // The tooltip of the hovered item.
  std::string (*tooltip)(int32_t item, void* context) = nullptr;
  // The hovered row's whole text (its tooltip), when wider than its row, is
  // shown where the pointer rests: wrapped over the rows from it down (up
  // from the list's foot when too few are left), as many as it needs.
  bool wholeWhenHovered = false;
  // After the row's background box, before its image (markers).
  void (*decorate)(const ListRowPlace& row, void* context) = nullptr;
  // After the row's image (icons).
  void (*finish)(const ListRowPlace& row, void* context) = nullptr;
};

// The list draw for the control `id` from its snapshot. A first visible row
// past the items is clamped in the snapshot only (the interface thread clamps
// and publishes the control's own, KeepListsInRange); writes the hovered row's
// tooltip to the live control (under MT_HOVER). Always 0.
int32_t DrawListView(RenderRecord* snap, int32_t id, const ListDrawPlan& plan,
                     ListDrawStatics& statics);

// Where the text of the row under the pointer (its tooltip, which the status
// line shows) first differs from the texts of the rows beside it, as the
// list's draw that posted it last found: the status line keeps that part in
// view when it must cut the text. -1 when that text is not the one a list's
// hovered row posted last. Video thread (the draws).
int32_t HoveredRowDifferenceAt(const std::string& text);

// A row's text, drawn into its row image from column x up to `right` (the
// image's width for a negative one) in the text face, mode 2. Every list
// draws its rows' texts through it: a text too long for the room keeps its
// end in view after a mark (QUARLE_VISUALS::NameInWidth), so rows of names
// that begin alike stay apart; the tooltip holds the whole text.
void DrawListRowText(platform::Image* row, int32_t x, int32_t y, const std::string& text,
                     int32_t size, uint32_t colour, int32_t right = -1);

// A text cut into lines `room` pixels wide at text size `size`, at blanks
// (which end the line they cut), a word longer than a line where the line
// ends; no cut splits a character's escape form. Joined they are the text.
std::vector<std::string> ListRowLines(const std::string& text, int32_t size, int32_t room);

// The row height and text offset of a list's snapshot (nearest((h - 2B) / rows),
// nearest((rowH - text size) x 0.5)); a row count below 1 counts as 1.
int32_t ListRowHeightOf(const RenderRecord* snap);
int32_t ListTextOffsetOf(const RenderRecord* snap);

// --- Members ------------------------------------------------------------------------
// Their item counts, read under the lists' locks: the draws' and the interface
// thread's (SetListCount).
int32_t SystemMessageCount();
int32_t ActionHistoryCount();
int32_t FileListCount();
int32_t DrawDriveList(RenderRecord* snap, int32_t id);          // BDRV
// What a drive's cell shows of its root folder: the last folder of the path
// (USB for \media\ann\USB); the first drive's root, a lone backslash, stays.
std::string DriveLabel(const std::string& root);
int32_t DrawSystemMessageList(RenderRecord* snap, int32_t id);  // MSGS
int32_t DrawActionHistoryList(RenderRecord* snap, int32_t id);  // MSGA
int32_t DrawFileList(RenderRecord* snap, int32_t id);           // FILES

}  // namespace Tarvelo
