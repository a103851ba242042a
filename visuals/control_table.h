// The control table and the control tree. Every control lives in one slot of a
// fixed table of 100,000 pointers; the slot index is the control's id and id 0
// is the root window. The interface is built in a fixed order, so ids equal
// creation order and handlers rely on it.
//
// Threads: everything here runs on the main thread, except DestroyControlTree,
// which the video thread runs between frames for controls flagged with
// DeletePending. The video thread walks the tree at the same time: it reads the
// count and the slots, takes each control's RenderLock for its snapshot and its
// ChildLock to copy the child ids. So adoption and z changes happen under the
// parent's ChildLock, clones are stored under MT_DRAW, the count grows under
// MT_CONTROLCOUNT. A ChildLock is never held while taking another lock here.
// The interface walks a control's children through LiveChildren: the set
// copied under its lock, without the controls marked for deletion, which the
// purge may free at any moment.
#pragma once
#include <cstdint>
#include <vector>

#include "visuals/controls.h"

namespace QUARLE_VISUALS {

constexpr int32_t kControlTableCapacity = 100000;
// BringToFront renumbers z values once the counter passes this.
constexpr uint32_t kZRenumberLimit = 10000;

// one thread: start-up, made by VisualsInit and freed by VisualsShutdown; the lock itself guards the count
extern Mutex* MT_CONTROLCOUNT;  // guards changes of the count

// The record in a slot; null for an empty slot, an id outside the table or
// before the table exists.
ControlRecord* ControlAt(int32_t id);
// One past the highest slot ever taken (slots below it may be empty).
int32_t ControlTableCount();
int32_t ControlTableCapacity();  // 100,000 while the table exists, else 0

// Creates a control in the first empty slot (else appends one) and adopts it
// into its parent: x, y are relative to the parent and made absolute; z is the
// parent's next z value plus 1. The first control, made with parent 0 into slot
// 0, is the root and is not adopted. The new id goes to *newId when given.
// 0; -21 when the table is full or memory runs out (nothing changes); -19 for a
// parent that does not exist (nothing changes); -26 when the control's locks
// cannot be made (it keeps its slot, hidden, and is still adopted; reported).
int32_t CreateControl(int32_t parent, int32_t x, int32_t y, int32_t w, int32_t h,
                      EventCallbackFn eventCallback, DrawCallbackFn drawCallback,
                      int64_t visible, int32_t eventMask, const char* idText,
                      const char* tooltip, int32_t* newId = nullptr);

// Copies a control (and with recurse -1 its whole subtree) into free slots under
// parent, at the template's absolute position. The new id; -21 for a null
// template or a full table (the controls cloned so far are removed again); -19
// for a parent that does not exist.
int32_t CloneControlTree(const ControlRecord* tmpl, int64_t recurse, int32_t parent);

// Hands the control's pending move, its disabled state and (force -1) its
// UserPointer down its subtree, publishing every node, the control last.
// 0; -19 for an id that names no control.
int32_t UpdateControl(int32_t id, int64_t force);
int32_t PropagateToChildren(int32_t node, int32_t root, int64_t disabledChanged, int64_t moved,
                            int64_t force);

// A child as a walk of its parent's set found it. A slot is reused after a
// purge, so the child is named by its record's serial beside its id.
// one thread: value
struct ChildRef {
  int32_t Id = 0;
  uint64_t Serial = 0;
};
// The children of c that are not marked for deletion, in the set's (z) order,
// copied under c's ChildLock: the purge on the video thread takes ids out of
// the set and then frees their trees, so a walker reads the set only so, and
// holds no child's record past the lock. Free places, c itself and children
// naming another parent are left out.
void LiveChildren(const ControlRecord* c, std::vector<ChildRef>& out);
// The record of a child LiveChildren found, while its slot still holds it (the
// serial) and it is not marked for deletion; else null. Interface thread: the
// purge frees only marked controls and their subtrees, and only the interface
// marks, so the record stays until the walk itself deletes something.
ControlRecord* ChildRecord(const ChildRef& ref);

// Is c, or any control above it, flagged for deletion? The purge frees a
// flagged control with its whole subtree at the video thread's next frame, so
// a control below a flagged one is as good as gone: nothing touches it.
bool ControlFlagged(const ControlRecord* c);
// The control an interface-side delivery, callback, focus, hover or publish
// may touch: in the table and not flagged (ControlFlagged); else null. Only
// the interface thread flags, so the answer holds until it flags again.
ControlRecord* ControlLive(int32_t id);

// Gives the control the front-most z among its siblings and re-sorts them.
void BringToFront(int32_t id);
// Sorts ids[lo..hi] by ascending z (equal z in no fixed order).
void SortChildrenByZ(int32_t* ids, int32_t lo, int32_t hi);

// The deepest visible control under (x, y) in the subtree of id; a disabled
// control takes the hit itself; NoHit controls are passed over; 0 for nothing.
int32_t ControlHitTest(int32_t x, int32_t y, int32_t id);
// The window (WindowList entry) that holds the control, or 0; and its slot.
int32_t WindowOfControl(int32_t id);
int32_t WindowSlotOfControl(int32_t id);

// Destroys the control and its subtree, children first, emptying their slots.
// The caller removes the id from the parent's child set first. 0; -19 for null.
int32_t DestroyControlTree(ControlRecord* c);
// Every control destroyed, count 0.
void DestroyAllControls();

// --- For VisualsInit / VisualsShutdown ---
int32_t ControlTableCreate();  // 0, -21, -26
void ControlTableFree();

}  // namespace QUARLE_VISUALS
