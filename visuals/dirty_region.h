// Where the screen must be drawn anew before the next frame. Publishing a
// control, showing, hiding or moving it, changing its children or the focus
// marks the rectangles concerned; the video thread takes them once a frame and
// redraws only there. Any thread may mark; one lock, never held while another
// is taken.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/screen.h"
#include "visuals/controls.h"

namespace QUARLE_VISUALS {

void MarkScreenDirty(int32_t x, int32_t y, int32_t w, int32_t h);
// Only the given columns of each row of the rectangle: spans holds 2 x h values,
// the first and past-the-last column of every row from y down. A rectangle
// merged with others keeps, in each row, the columns from the first any of
// them covers to the last.
void MarkScreenRows(int32_t x, int32_t y, int32_t w, int32_t h, const int32_t* spans);
void MarkWholeScreenDirty();
// What the control paints as the main thread holds it (ControlPaintExtent).
void MarkControlDirty(const ControlRecord* c);
// What a published record paints; the caller holds the control's RenderLock.
void MarkPublishedDirty(const RenderRecord* r);
// The same, taking the control's RenderLock.
void MarkControlPublishedDirty(ControlRecord* c);
// The control and every descendant, as held and as published: what showing,
// hiding or fading a control changes.
void MarkSubtreeDirty(ControlRecord* c);

// Parts of a published record that controls drawn by a draw callback do not
// show from the record: a publish that changes only those marks nothing. The
// callback's owner redraws what they change itself (a frame watch).
enum DrawIgnoredParts : uint32_t {
  kIgnoresHover = 1,       // State.Active
  kIgnoresPressPoint = 2,  // PressX, PressY
  kIgnoresPointer = 4,     // UserPointer
};
void SetDrawIgnores(DrawCallbackFn fn, uint32_t parts);
uint32_t DrawIgnores(DrawCallbackFn fn);
// Where controls drawn by fn paint beyond their rectangle and layers
// (ControlPaintArea); null: nowhere.
void SetPaintReach(DrawCallbackFn fn, PaintReachFn reach);
PaintReachFn PaintReachOf(DrawCallbackFn fn);

// Takes what was marked since the last take: `whole` when everything is to be
// redrawn, else the rectangles (none: nothing to draw). Rectangles that overlap
// or lie close are merged, so a frame draws few of them.
void TakeDirtyRegion(std::vector<platform::ScreenRect>& out, bool& whole);
// The same with each rectangle's row spans beside it (none: all of it).
void TakeDirtyRegion(std::vector<platform::ScreenRect>& out,
                     std::vector<std::vector<int32_t>>& rows, bool& whole);

// Draw callbacks whose picture follows live data (the scope, the meters, the
// played keys) rather than what their control publishes: controls drawn by them
// are redrawn every frame in which `news` (none: always) says their data may
// have changed, and shown only when their pixels changed. `news` runs on the
// video thread once a frame.
using LiveNewsFn = bool (*)();
// The parts of a live control to redraw this frame, given its published
// rectangle: a view whose picture changes only in places (the scope's trace,
// the spectrum's two edges) names up to kMaxLiveAreas rectangles covering what
// it drew last frame and what it draws now, and returns how many (0: nothing).
// Negative: the whole rectangle. Runs on the video thread after `news`.
constexpr int32_t kMaxLiveAreas = 2;
using LiveAreaFn = int32_t (*)(const platform::ScreenRect& control, platform::ScreenRect* areas);
// A view whose changes wind through its areas may also name, for area i of the
// area function's last answer, the columns of each of its rows (2 x its height
// values, as MarkScreenRows takes them); null: all of the area.
using LiveRowsFn = const int32_t* (*)(int32_t area);
void AddLiveDrawCallback(DrawCallbackFn fn, LiveNewsFn news = nullptr, LiveAreaFn area = nullptr,
                         LiveRowsFn rows = nullptr);
// The area and rows functions registered with fn; null for none.
LiveAreaFn LiveRedrawArea(DrawCallbackFn fn);
LiveRowsFn LiveRedrawRows(DrawCallbackFn fn);
// Whether controls drawn by fn are to be redrawn this frame (asks each news
// function once per call to LiveFrameBegin).
bool LiveRedrawWanted(DrawCallbackFn fn);
// Asks the news functions for this frame; false when no live control is to be
// redrawn.
bool LiveFrameBegin();
void ClearLiveDrawCallbacks();

}  // namespace QUARLE_VISUALS
