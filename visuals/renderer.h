// The control tree renderer: draws a control and its subtree onto the work page
// of the screen, reading only what the controls have published.
//
// For each control it takes a snapshot of the RenderRecord, decides whether the
// control can be drawn straight onto the work page or must be drawn on its own
// canvas and composed (because an ancestor clips it or it is translucent), lets
// the DrawCallback paint on DrawTarget (visuals/glyphs.h) or draws the plain box,
// draws the children in z order with the same clip, and marks the control as
// disabled (dark overlay) or focused (raised frame).
//
// Runs on the video thread. Locks, never nested: the control's RenderLock (the
// snapshot), the clip control's RenderLock (its rectangle), MT_DRAW (canvas
// creation, each draw callback, each composition, the disabled overlay) and the
// control's ChildLock (copy of the child ids).
#pragma once
#include <cstdint>
#include <vector>

namespace QUARLE_VISUALS {

constexpr uint32_t kDisabledOverlay = 0x7F000000;  // black at alpha 127
constexpr uint32_t kFocusFrameColour = 0xFFFFFFFF;

// Draws the subtree of id; the video thread calls it with the root, (0, 0, ...).
// clip: the id of the control that clips this one (0 none); pass: handed
// unchanged to the children.
void RenderControlTree(int32_t id, int32_t clip, int64_t pass);
// Redraws the tree only inside the rectangle: every drawing on the work page is
// cut to it, and controls wholly outside it are not drawn (their children still
// are, unless the control clips them). The pixels inside come out exactly as a
// whole redraw draws them; those outside are left as they are. With spans (2 x h
// values, see platform::SetWorkPageClipRows) each row is cut to its own columns.
void RenderControlTreeIn(int32_t x, int32_t y, int32_t w, int32_t h,
                         const int32_t* spans = nullptr);

// Each draw callback painting on the work page may paint only the area its
// control marks when it changes: its rectangle and paint reach (PaintX, PaintY,
// PaintW, PaintH), cut further by the part being redrawn. The primitives cut
// what falls outside and count it (platform::SetDrawClip): a draw that asks
// for any pixel there is at fault, since a partial frame would never repaint
// it. What each control asked there since the last take, its id and pixels.
// one thread: value
struct PaintOutside {
  int32_t id = 0;
  int64_t pixels = 0;
};
std::vector<PaintOutside> TakePaintOutside();

// How rectangle A lies in rectangle B: -1 disjoint, 0 inside, 1 cut by a
// vertical edge of B (its x span), 2 cut by a horizontal edge (its y span), 3 both.
int32_t ClipRect(float xA, float yA, float wA, float hA, float xB, float yB, float wB, float hB);

}  // namespace QUARLE_VISUALS
