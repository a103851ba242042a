#include "visuals/control_table.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "visuals/dirty_region.h"
#include "visuals/event_loop.h"
#include "visuals/list_range.h"
#include "visuals/visuals.h"

namespace QUARLE_VISUALS {

using QUARLE_BASICS::kErrAllocation;
using QUARLE_BASICS::kErrBadParameter;
using QUARLE_BASICS::kErrMutexCreate;

Mutex* MT_CONTROLCOUNT = nullptr;

namespace {

// The slots are atomics: the video thread reads them while the main thread
// fills and the purge empties them.
// one thread: start-up, the table is made and freed around the threads' life
std::atomic<ControlRecord*>* g_slots = nullptr;
std::atomic<int32_t> g_count{0};
int32_t g_capacity = 0;
// one thread: interface, the clone's
int32_t g_cloneDepth = 0;
// Deeper than any tree the interface builds.
constexpr int32_t kMaxTreeDepth = 256;
// The slots the clone in progress has filled, to be emptied when it fails.
// one thread: interface
std::vector<int32_t> g_cloned;
// No slot below this is empty. The rule stays "the first empty slot": the hint
// only spares the scan over the filled start of the table.
std::atomic<int32_t> g_searchFrom{0};

void RaiseCount() {
  platform::MutexGuard g(MT_CONTROLCOUNT);
  g_count.fetch_add(1);
}

// The first empty slot below the count, else the count itself; -1 when full.
int32_t FreeSlot() {
  const int32_t count = g_count.load();
  int32_t from = g_searchFrom.load();
  int32_t i = from;
  while (i < count && g_slots[i].load()) ++i;
  // Only moves on when no slot below was emptied meanwhile (the purge runs on
  // the video thread).
  g_searchFrom.compare_exchange_strong(from, i);
  if (i < count) return i;
  return count < g_capacity ? count : -1;
}

void NoteEmptied(int32_t slot) {
  int32_t from = g_searchFrom.load();
  while (slot < from && !g_searchFrom.compare_exchange_weak(from, slot)) {
  }
}

void EmptySlot(int32_t slot) {
  g_slots[slot].store(nullptr);
  NoteEmptied(slot);
}

// The ids of a set, copied under its owner's lock. For the purge's own walk of
// a tree it has taken out of its parent's set (nobody else reaches it then)
// and for a fresh clone's template.
void CopyChildIds(const ControlRecord* c, std::vector<int32_t>& out) {
  out.clear();
  platform::MutexGuard g(c->ChildLock);
  if (c->Children.Ids) out.assign(c->Children.Ids, c->Children.Ids + c->Children.Count);
}

int32_t ZOf(int32_t id) {
  const ControlRecord* c = ControlAt(id);
  return c ? c->Z : 0;
}

void Adopt(ControlRecord* parent, ControlRecord* c, int32_t id, int32_t& result) {
  platform::MutexGuard g(parent->ChildLock);
  if (IdSetAdd(&parent->Children, id) < 0) {
    result = -kErrAllocation;
    return;
  }
  c->Parent = parent->Id;
  parent->Children.NextZ += 1;
  c->Z = static_cast<int32_t>(parent->Children.NextZ);
  // The set is drawn in its order, and the new child, highest in z, may have
  // taken a place a removed one left before others. Stable: children of equal
  // z (clones) keep their order.
  int32_t* ids = parent->Children.Ids;
  std::stable_sort(ids, ids + parent->Children.Count,
                   [](int32_t a, int32_t b) { return ZOf(a) < ZOf(b); });
  MarkControlDirty(c);
}

void WithdrawFromSlot(int32_t slot, ControlRecord* c) {
  EmptySlot(slot);
  ControlFree(c);
  delete c;
}

}  // namespace

void LiveChildren(const ControlRecord* c, std::vector<ChildRef>& out) {
  out.clear();
  if (!c) return;
  platform::MutexGuard g(c->ChildLock);
  for (uint32_t i = 0; c->Children.Ids && i < c->Children.Count; ++i) {
    const int32_t id = c->Children.Ids[i];
    if (id < 1 || id == c->Id) continue;
    // Still in the set under its lock: the purge has not freed it.
    const ControlRecord* k = ControlAt(id);
    if (!k || k->DeletePending.load() != 0 || k->Parent != c->Id) continue;
    out.push_back(ChildRef{id, k->Serial});
  }
}

ControlRecord* ChildRecord(const ChildRef& ref) {
  ControlRecord* c = ControlAt(ref.Id);
  return (c && c->Serial == ref.Serial && c->DeletePending.load() == 0) ? c : nullptr;
}

bool ControlFlagged(const ControlRecord* c) {
  // Bounded: a broken parent chain cannot loop forever.
  for (int32_t depth = 0; c && depth < kMaxTreeDepth; ++depth) {
    if (c->DeletePending.load() != 0) return true;
    if (c->Parent == c->Id) return false;  // the root
    c = ControlAt(c->Parent);
  }
  return false;
}

ControlRecord* ControlLive(int32_t id) {
  ControlRecord* c = ControlAt(id);
  return c && !ControlFlagged(c) ? c : nullptr;
}

ControlRecord* ControlAt(int32_t id) {
  if (!g_slots || id < 0 || id >= g_capacity) return nullptr;
  return g_slots[id].load();
}

int32_t ControlTableCount() { return g_count.load(); }
int32_t ControlTableCapacity() { return g_capacity; }

int32_t ControlTableCreate() {
  if (g_slots) return 0;
  g_slots = new (std::nothrow) std::atomic<ControlRecord*>[kControlTableCapacity];
  if (!g_slots) return -kErrAllocation;
  for (int32_t i = 0; i < kControlTableCapacity; ++i) g_slots[i].store(nullptr);
  g_capacity = kControlTableCapacity;
  g_count = 0;
  g_searchFrom = 0;
  MT_CONTROLCOUNT = platform::MutexCreate();
  return MT_CONTROLCOUNT ? 0 : -kErrMutexCreate;
}

void ControlTableFree() {
  ForgetListControls();
  ForgetFoundTooltips(-1);
  if (g_slots) {
    const int32_t count = g_count.load();
    for (int32_t i = 0; i < count; ++i) {
      ControlRecord* c = g_slots[i].exchange(nullptr);
      if (!c) continue;
      ControlFree(c);
      delete c;
    }
    delete[] g_slots;
  }
  g_slots = nullptr;
  g_count = 0;
  g_capacity = 0;
  g_cloneDepth = 0;
  g_searchFrom = 0;
  platform::MutexDestroy(MT_CONTROLCOUNT);
  MT_CONTROLCOUNT = nullptr;
}

int32_t CreateControl(int32_t parent, int32_t x, int32_t y, int32_t w, int32_t h,
                      EventCallbackFn eventCallback, DrawCallbackFn drawCallback,
                      int64_t visible, int32_t eventMask, const char* idText,
                      const char* tooltip, int32_t* newId) {
  if (!g_slots) return -kErrAllocation;
  const int32_t slot = FreeSlot();
  if (slot < 0) return -kErrAllocation;
  const bool appended = slot == g_count.load();
  ControlRecord* p = nullptr;
  if (parent != slot) {
    p = ControlAt(parent);
    if (!p) return -kErrBadParameter;
  }

  auto* c = new (std::nothrow) ControlRecord;
  if (!c) return -kErrAllocation;
  ControlInit(c);
  if (!c->Render) {
    ControlFree(c);
    delete c;
    return -kErrAllocation;
  }
  int32_t result = 0;
  const bool noLocks = !c->RenderLock || !c->ChildLock;
  if (noLocks) result = -kErrMutexCreate;

  c->EventMask = eventMask;
  c->Text.TextSize = kDefaultTextSize;
  c->Id = slot;
  ControlSetX(c, x);
  ControlSetY(c, y);
  ControlSetW(c, w);
  ControlSetH(c, h);
  if (!noLocks) ControlSetVisible(c, visible);
  c->DrawCallback = drawCallback;
  c->Colour = 0;
  c->EventCallback = eventCallback;
  QUARLE_BASICS::DynZStringAssign(c->ID, idText ? idText : "");
  QUARLE_BASICS::DynZStringAssign(c->Tooltip, tooltip ? tooltip : "");

  if (p) {
    ControlSetX(c, c->X + p->X);
    ControlSetY(c, c->Y + p->Y);
    // Stored before adoption: the video thread finds it through the parent's set.
    g_slots[slot].store(c);
    int32_t adopt = 0;
    Adopt(p, c, slot, adopt);
    if (adopt != 0) {
      WithdrawFromSlot(slot, c);
      return adopt;
    }
    if (result == -kErrMutexCreate) {
      std::string msg = QUARLE_BASICS::LangText(
          99, "An error occured while control {$} attempted to adopt control {$}.");
      msg = QUARLE_BASICS::InsertArg(msg, std::to_string(parent));
      msg = QUARLE_BASICS::InsertArg(msg, std::to_string(slot));
      QUARLE_BASICS::Report(msg, QUARLE_BASICS::kLevelError);
    }
  } else {
    g_slots[slot].store(c);
  }

  c->PrevX = c->X;
  c->PrevY = c->Y;
  c->PrevW = c->W;
  c->PrevH = c->H;
  c->PendingDx = c->PendingDy = c->PendingDw = c->PendingDh = 0;
  c->Moved = 0;  // Resized stays set: the first publish clears it
  if (appended) RaiseCount();
  if (newId) *newId = slot;
  return result;
}

namespace {

int32_t CloneLevel(const ControlRecord* tmpl, int64_t recurse, int32_t parent) {
  if (!tmpl || !g_slots) return -kErrAllocation;
  const int32_t slot = FreeSlot();
  if (slot < 0) return -kErrAllocation;
  ControlRecord* p = ControlAt(parent);
  if (!p) return -kErrBadParameter;

  auto* c = new (std::nothrow) ControlRecord;
  if (!c) return -kErrAllocation;
  {
    platform::MutexGuard g(MT_DRAW);
    ControlCopy(c, tmpl);
    c->Id = slot;  // before the slot shows it: the video thread reads it
    g_slots[slot].store(c);
  }
  g_cloned.push_back(slot);
  if (slot == g_count.load()) RaiseCount();

  if (g_cloneDepth > 1) {
    // The parent is itself a fresh clone that nothing draws yet.
    {
      platform::MutexGuard g(p->ChildLock);
      if (IdSetAdd(&p->Children, slot) < 0) return -kErrAllocation;
    }
    c->Parent = parent;
    c->Z = 0;
    MarkControlDirty(c);
  }

  if (recurse == -1) {
    // Cloning never adds to the template's set (the new subtree hangs under a
    // fresh control); a child of it marked for deletion is not copied.
    std::vector<ChildRef> children;
    LiveChildren(tmpl, children);
    for (const ChildRef& ref : children) {
      const ControlRecord* t = ChildRecord(ref);
      if (!t) continue;
      ++g_cloneDepth;
      const int32_t r = CloneLevel(t, -1, slot);
      --g_cloneDepth;
      if (r < 0) return r;
    }
  }

  if (g_cloneDepth == 1) {
    int32_t adopt = 0;
    Adopt(p, c, slot, adopt);
    if (adopt != 0) return adopt;
  }
  return slot;
}

}  // namespace

int32_t CloneControlTree(const ControlRecord* tmpl, int64_t recurse, int32_t parent) {
  if (g_cloneDepth == 0) g_cloned.clear();
  ++g_cloneDepth;
  const int32_t r = CloneLevel(tmpl, recurse, parent);
  --g_cloneDepth;
  // A clone that failed part-way is not adopted, so nothing draws its
  // controls: they go again rather than filling the table for good.
  if (r < 0 && g_cloneDepth == 0) {
    for (auto it = g_cloned.rbegin(); it != g_cloned.rend(); ++it)
      if (ControlRecord* k = ControlAt(*it)) WithdrawFromSlot(*it, k);
    g_cloned.clear();
  }
  return r;
}

int32_t UpdateControl(int32_t id, int64_t force) {
  // A flagged subtree is the purge's: publishing it would race the free.
  ControlRecord* c = ControlLive(id);
  if (!c) return -kErrBadParameter;
  if (c->Moved || c->State.DisabledToggle || force)
    PropagateToChildren(id, id, c->State.DisabledToggle, c->Moved, force);
  ControlPublish(c, 0);
  return 0;
}

int32_t PropagateToChildren(int32_t node, int32_t root, int64_t disabledChanged, int64_t moved,
                            int64_t force) {
  ControlRecord* n = ControlAt(node);
  ControlRecord* r = ControlAt(root);
  if (!n || !r) return -kErrBadParameter;
  if (node != root) {
    if (moved) {
      ControlSetX(n, n->X + r->PendingDx);
      ControlSetY(n, n->Y + r->PendingDy);
    }
    if (disabledChanged) SetDisabled(&n->State, IsDisabled(&r->State));
    if (force) n->UserPointer = r->UserPointer;
  }
  std::vector<ChildRef> children;
  LiveChildren(n, children);
  for (const ChildRef& child : children) {
    // A child naming its own ancestor chain would never end; the tree has none.
    if (child.Id == root || !ChildRecord(child)) continue;
    PropagateToChildren(child.Id, root, disabledChanged, moved, force);
  }
  n->PendingDx = 0;
  n->PendingDy = 0;
  n->PrevX = n->X;
  n->PrevY = n->Y;
  n->Moved = 0;
  n->State.DisabledToggle = 0;
  if (node != root) ControlPublish(n, 0);
  return 0;
}

void BringToFront(int32_t id) {
  if (id < 1) return;
  ControlRecord* c = ControlAt(id);
  if (!c || c->Parent == id) return;
  ControlRecord* p = ControlAt(c->Parent);
  if (!p) return;
  // Its children, which may reach beyond it, now cover what they lay under.
  MarkSubtreeDirty(c);
  platform::MutexGuard g(p->ChildLock);
  if (p->Children.Count < 1) return;
  p->Children.NextZ += 1;
  c->Z = static_cast<int32_t>(p->Children.NextZ);
  const auto count = static_cast<int32_t>(p->Children.Count);
  SortChildrenByZ(p->Children.Ids, 0, count - 1);
  if (p->Children.NextZ > kZRenumberLimit) {
    bool any = false;
    int32_t lowest = 0;
    for (int32_t i = 0; i < count; ++i) {
      const ControlRecord* s = ControlAt(p->Children.Ids[i]);
      if (p->Children.Ids[i] < 1 || !s) continue;
      if (!any || s->Z < lowest) lowest = s->Z;
      any = true;
    }
    if (any) {
      for (int32_t i = 0; i < count; ++i) {
        ControlRecord* s = ControlAt(p->Children.Ids[i]);
        if (p->Children.Ids[i] >= 1 && s) s->Z -= lowest;
      }
      p->Children.NextZ -= static_cast<uint32_t>(lowest);
    }
  }
}

void SortChildrenByZ(int32_t* ids, int32_t lo, int32_t hi) {
  // Hoare partition round the middle element; the smaller side recurses so the
  // depth stays logarithmic.
  while (ids && lo < hi) {
    const int32_t pivot = ZOf(ids[lo + (hi - lo) / 2]);
    int32_t i = lo;
    int32_t j = hi;
    while (i <= j) {
      while (ZOf(ids[i]) < pivot) ++i;
      while (ZOf(ids[j]) > pivot) --j;
      if (i <= j) {
        const int32_t t = ids[i];
        ids[i] = ids[j];
        ids[j] = t;
        ++i;
        --j;
      }
    }
    if (j - lo < hi - i) {
      SortChildrenByZ(ids, lo, j);
      lo = i;
    } else {
      SortChildrenByZ(ids, i, hi);
      hi = j;
    }
  }
}

int32_t ControlHitTest(int32_t x, int32_t y, int32_t id) {
  ControlRecord* c = ControlAt(id);
  if (!c) return 0;
  if (c->Visible != -1) return 0;
  const int64_t px = x, py = y;
  if (px < c->X || px > int64_t{c->X} + c->W - 1 || py < c->Y || py > int64_t{c->Y} + c->H - 1)
    return 0;
  if (IsDisabled(&c->State)) return id;
  std::vector<ChildRef> children;
  LiveChildren(c, children);
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    if (!ChildRecord(*it)) continue;
    const int32_t hit = ControlHitTest(x, y, it->Id);
    if (hit < 1) continue;
    const ControlRecord* h = ControlAt(hit);
    if (h && !h->NoHit) return hit;
  }
  return id;
}

namespace {

// The WindowList slot holding the first window met walking up from id; -1 for none.
int32_t WindowSlotWalk(int32_t id) {
  const ControlRecord* c = ControlAt(id);
  if (!c || c->Parent == 0 || !WindowList) return -1;
  // Bounded by the table: a broken parent chain cannot loop forever.
  for (int32_t steps = 0; steps <= g_count.load(); ++steps) {
    if (id == 0 || !c) return -1;
    for (int32_t s = 0; s < WindowSlotCount; ++s)
      if (WindowList[s] == id) return s;
    id = c->Parent;
    c = ControlAt(id);
  }
  return -1;
}

}  // namespace

int32_t WindowOfControl(int32_t id) {
  const int32_t s = WindowSlotWalk(id);
  return s < 0 ? 0 : WindowList[s];
}

int32_t WindowSlotOfControl(int32_t id) {
  const int32_t s = WindowSlotWalk(id);
  return s < 0 ? 0 : s;
}

int32_t DestroyControlTree(ControlRecord* c) {
  if (!c) return -kErrBadParameter;
  std::vector<int32_t> children;
  CopyChildIds(c, children);
  for (const int32_t child : children) {
    if (child < 1 || child == c->Id) continue;
    ControlRecord* k = ControlAt(child);
    if (k && k->Parent == c->Id) DestroyControlTree(k);
  }
  // The slot is emptied before the record goes, so nobody finds a freed record.
  if (ControlAt(c->Id) == c) EmptySlot(c->Id);
  ControlFree(c);
  delete c;
  return 0;
}

void DestroyAllControls() {
  if (!g_slots) return;
  const int32_t count = g_count.load();
  for (int32_t i = 0; i < count; ++i) {
    ControlRecord* c = g_slots[i].exchange(nullptr);
    if (!c) continue;
    ControlFree(c);
    delete c;
  }
  platform::MutexGuard g(MT_CONTROLCOUNT);
  g_count = 0;
  g_searchFrom = 0;
  MarkWholeScreenDirty();
}

}  // namespace QUARLE_VISUALS
