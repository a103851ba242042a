#include "visuals/dirty_region.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/threads.h"
#include "visuals/control_table.h"

namespace QUARLE_VISUALS {

namespace {

// Beyond this many separate rectangles a frame redraws their bounding box.
constexpr size_t kMaxRects = 8;
constexpr int32_t kMaxLive = 32;

// The region the next frame redraws, posted from any thread.
struct DirtyRegion {
  std::mutex lock;
  // one thread: holder of lock
  std::vector<platform::ScreenRect> rects;
  // Beside each rectangle its row spans (2 x its height values), or nothing
  // for all of it.
  // one thread: holder of lock
  std::vector<std::vector<int32_t>> rows;
  // one thread: holder of lock
  bool whole = false;
};
DirtyRegion g_dirty;

struct LiveEntry {
  std::atomic<DrawCallbackFn> draw{nullptr};
  std::atomic<LiveNewsFn> news{nullptr};
  std::atomic<LiveAreaFn> area{nullptr};
  std::atomic<LiveRowsFn> rows{nullptr};
  // one thread: video
  bool wanted = false;  // this frame's answer
};
// The draw callbacks that redraw on their own news, filled at installation,
// and those of them wanted this frame.
struct LiveTable {
  LiveEntry entries[kMaxLive];
  std::atomic<int32_t> count{0};
  // one thread: video
  DrawCallbackFn wanted[kMaxLive] = {};
  // one thread: video
  int32_t wantedCount = 0;
};
LiveTable g_live;

// What a draw callback tells of its controls' drawing: the record parts it
// does not show, and where it paints beyond them.
struct DrawTraits {
  std::atomic<DrawCallbackFn> draw{nullptr};
  std::atomic<uint32_t> ignores{0};
  std::atomic<PaintReachFn> reach{nullptr};
};
constexpr int32_t kMaxTraits = 16;
struct TraitTable {
  DrawTraits entries[kMaxTraits];
  std::atomic<int32_t> count{0};
};
TraitTable g_traits;

const DrawTraits* TraitsOf(DrawCallbackFn fn) {
  if (!fn) return nullptr;
  const int32_t n = g_traits.count.load();
  for (int32_t i = 0; i < n; ++i)
    if (g_traits.entries[i].draw.load() == fn) return &g_traits.entries[i];
  return nullptr;
}

// Set up by the interface's installation, on one thread.
DrawTraits* AddTraits(DrawCallbackFn fn) {
  if (!fn) return nullptr;
  if (const DrawTraits* t = TraitsOf(fn)) return const_cast<DrawTraits*>(t);
  const int32_t n = g_traits.count.load();
  if (n >= kMaxTraits) return nullptr;
  g_traits.entries[n].draw.store(fn);
  g_traits.count.store(n + 1);
  return &g_traits.entries[n];
}

int32_t LiveIndex(DrawCallbackFn fn) {
  if (!fn) return -1;
  const int32_t n = g_live.count.load();
  for (int32_t i = 0; i < n; ++i)
    if (g_live.entries[i].draw.load() == fn) return i;
  return -1;
}

int64_t Area(const platform::ScreenRect& r) { return int64_t{r.w} * r.h; }

platform::ScreenRect Union(const platform::ScreenRect& a, const platform::ScreenRect& b) {
  const int32_t x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
  const int32_t x1 = std::max(a.x + a.w, b.x + b.w), y1 = std::max(a.y + a.h, b.y + b.h);
  return {x0, y0, x1 - x0, y1 - y0};
}

// Two rectangles are drawn as one when their union wastes little: a control
// drawn in two separate passes would run its draw callback twice.
bool WorthMerging(const platform::ScreenRect& a, const platform::ScreenRect& b) {
  return Area(Union(a, b)) * 2 <= (Area(a) + Area(b)) * 3;
}

// The columns [lo, hi) that a rectangle with its row spans covers in row y
// (lo >= hi: none).
void ColumnsOf(const platform::ScreenRect& r, const std::vector<int32_t>& rows, int32_t y,
               int32_t& lo, int32_t& hi) {
  lo = hi = 0;
  if (y < r.y || y >= r.y + r.h) return;
  if (rows.empty()) {
    lo = r.x;
    hi = r.x + r.w;
    return;
  }
  lo = rows[2 * static_cast<size_t>(y - r.y)];
  hi = rows[2 * static_cast<size_t>(y - r.y) + 1];
}

// The spans of u = a joined with b: in each row the columns from the first
// either covers to the last either covers. Nothing when neither has spans.
std::vector<int32_t> JoinedRows(const platform::ScreenRect& a, const std::vector<int32_t>& ar,
                                const platform::ScreenRect& b, const std::vector<int32_t>& br,
                                const platform::ScreenRect& u) {
  std::vector<int32_t> out;
  if (ar.empty() && br.empty()) return out;
  out.resize(2 * static_cast<size_t>(u.h));
  for (int32_t k = 0; k < u.h; ++k) {
    int32_t alo = 0, ahi = 0, blo = 0, bhi = 0;
    ColumnsOf(a, ar, u.y + k, alo, ahi);
    ColumnsOf(b, br, u.y + k, blo, bhi);
    int32_t lo = u.x, hi = u.x;
    if (alo < ahi && blo < bhi) {
      lo = std::min(alo, blo);
      hi = std::max(ahi, bhi);
    } else if (alo < ahi) {
      lo = alo;
      hi = ahi;
    } else if (blo < bhi) {
      lo = blo;
      hi = bhi;
    }
    out[2 * static_cast<size_t>(k)] = lo;
    out[2 * static_cast<size_t>(k) + 1] = hi;
  }
  return out;
}

void AddLocked(platform::ScreenRect r, std::vector<int32_t> rows) {
  for (bool merged = true; merged;) {
    merged = false;
    for (size_t i = 0; i < g_dirty.rects.size(); ++i) {
      if (WorthMerging(g_dirty.rects[i], r)) {
        const platform::ScreenRect u = Union(g_dirty.rects[i], r);
        rows = JoinedRows(g_dirty.rects[i], g_dirty.rows[i], r, rows, u);
        r = u;
        g_dirty.rects.erase(g_dirty.rects.begin() + static_cast<std::ptrdiff_t>(i));
        g_dirty.rows.erase(g_dirty.rows.begin() + static_cast<std::ptrdiff_t>(i));
        merged = true;
        break;
      }
    }
  }
  g_dirty.rects.push_back(r);
  g_dirty.rows.push_back(std::move(rows));
  if (g_dirty.rects.size() > kMaxRects) {
    platform::ScreenRect box = g_dirty.rects[0];
    for (const auto& k : g_dirty.rects) box = Union(box, k);
    g_dirty.rects.assign(1, box);
    g_dirty.rows.assign(1, {});
  }
}

// Cut to +-kFar so that sums stay in range (the screen cuts them to itself
// later); false when nothing is left.
constexpr int32_t kFar = 1 << 20;
bool Cut(int32_t x, int32_t y, int32_t w, int32_t h, platform::ScreenRect& out) {
  if (w < 1 || h < 1) return false;
  const int32_t x0 = std::clamp(x, -kFar, kFar), y0 = std::clamp(y, -kFar, kFar);
  const int32_t x1 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{x} + w, -kFar, kFar));
  const int32_t y1 = static_cast<int32_t>(std::clamp<int64_t>(int64_t{y} + h, -kFar, kFar));
  if (x1 <= x0 || y1 <= y0) return false;
  out = {x0, y0, x1 - x0, y1 - y0};
  return true;
}

}  // namespace

void MarkScreenDirty(int32_t x, int32_t y, int32_t w, int32_t h) {
  platform::ScreenRect r;
  if (!Cut(x, y, w, h, r)) return;
  std::lock_guard<std::mutex> g(g_dirty.lock);
  if (!g_dirty.whole) AddLocked(r, {});
}

void MarkScreenRows(int32_t x, int32_t y, int32_t w, int32_t h, const int32_t* spans) {
  platform::ScreenRect r;
  if (!Cut(x, y, w, h, r)) return;
  // A rectangle reaching that far is marked whole.
  if (!spans || r.x != x || r.y != y || r.w != w || r.h != h) {
    MarkScreenDirty(x, y, w, h);
    return;
  }
  std::vector<int32_t> rows(spans, spans + 2 * static_cast<size_t>(h));
  for (int32_t k = 0; k < h; ++k) {
    int32_t& lo = rows[2 * static_cast<size_t>(k)];
    int32_t& hi = rows[2 * static_cast<size_t>(k) + 1];
    lo = std::clamp(lo, x, x + w);
    hi = std::clamp(hi, lo, x + w);
  }
  std::lock_guard<std::mutex> g(g_dirty.lock);
  if (!g_dirty.whole) AddLocked(r, std::move(rows));
}

void MarkWholeScreenDirty() {
  std::lock_guard<std::mutex> g(g_dirty.lock);
  g_dirty.whole = true;
  g_dirty.rects.clear();
  g_dirty.rows.clear();
}

void MarkControlDirty(const ControlRecord* c) {
  if (!c) return;
  int32_t x0 = 0, y0 = 0, w = 0, h = 0;
  ControlPaintArea(c, x0, y0, w, h);
  MarkScreenDirty(c->X + x0, c->Y + y0, w - x0, h - y0);
}

void MarkPublishedDirty(const RenderRecord* r) {
  if (!r) return;
  const int32_t x0 = std::min(r->PaintX, 0), y0 = std::min(r->PaintY, 0);
  MarkScreenDirty(r->X + x0, r->Y + y0, std::max(r->W, r->PaintW) - x0,
                  std::max(r->H, r->PaintH) - y0);
}

void MarkControlPublishedDirty(ControlRecord* c) {
  if (!c || !c->Render || !c->RenderLock) return;
  platform::MutexGuard g(c->RenderLock);
  MarkPublishedDirty(c->Render);
}

void MarkSubtreeDirty(ControlRecord* c) {
  if (!c) return;
  MarkControlDirty(c);
  MarkControlPublishedDirty(c);
  // A control flagged for deletion is the video thread's to destroy, with its
  // subtree: LiveChildren leaves it out.
  std::vector<ChildRef> children;
  LiveChildren(c, children);
  for (const ChildRef& ref : children)
    if (ControlRecord* child = ChildRecord(ref)) MarkSubtreeDirty(child);
}

void SetDrawIgnores(DrawCallbackFn fn, uint32_t parts) {
  if (DrawTraits* t = AddTraits(fn)) t->ignores.store(parts);
}

uint32_t DrawIgnores(DrawCallbackFn fn) {
  const DrawTraits* t = TraitsOf(fn);
  return t ? t->ignores.load() : 0;
}

void SetPaintReach(DrawCallbackFn fn, PaintReachFn reach) {
  if (DrawTraits* t = AddTraits(fn)) t->reach.store(reach);
}

PaintReachFn PaintReachOf(DrawCallbackFn fn) {
  const DrawTraits* t = TraitsOf(fn);
  return t ? t->reach.load() : nullptr;
}

void TakeDirtyRegion(std::vector<platform::ScreenRect>& out, bool& whole) {
  std::vector<std::vector<int32_t>> rows;
  TakeDirtyRegion(out, rows, whole);
}

void TakeDirtyRegion(std::vector<platform::ScreenRect>& out,
                     std::vector<std::vector<int32_t>>& rows, bool& whole) {
  out.clear();
  rows.clear();
  std::lock_guard<std::mutex> g(g_dirty.lock);
  whole = g_dirty.whole;
  g_dirty.whole = false;
  out.swap(g_dirty.rects);
  rows.swap(g_dirty.rows);
}

void AddLiveDrawCallback(DrawCallbackFn fn, LiveNewsFn news, LiveAreaFn area, LiveRowsFn rows) {
  if (!fn || LiveIndex(fn) >= 0) return;
  const int32_t n = g_live.count.load();
  if (n >= kMaxLive) return;
  g_live.entries[n].news.store(news);
  g_live.entries[n].area.store(area);
  g_live.entries[n].rows.store(rows);
  g_live.entries[n].draw.store(fn);
  g_live.count.store(n + 1);
}

bool LiveFrameBegin() {
  const int32_t n = g_live.count.load();
  g_live.wantedCount = 0;
  for (int32_t i = 0; i < n; ++i) {
    const LiveNewsFn news = g_live.entries[i].news.load();
    g_live.entries[i].wanted = !news || news();
    if (g_live.entries[i].wanted) g_live.wanted[g_live.wantedCount++] = g_live.entries[i].draw.load();
  }
  return g_live.wantedCount > 0;
}

LiveAreaFn LiveRedrawArea(DrawCallbackFn fn) {
  const int32_t i = LiveIndex(fn);
  return i >= 0 ? g_live.entries[i].area.load() : nullptr;
}

LiveRowsFn LiveRedrawRows(DrawCallbackFn fn) {
  const int32_t i = LiveIndex(fn);
  return i >= 0 ? g_live.entries[i].rows.load() : nullptr;
}

bool LiveRedrawWanted(DrawCallbackFn fn) {
  // Asked for every control of the table each frame: only this frame's wanted
  // few are looked through.
  if (!fn) return false;
  for (int32_t i = 0; i < g_live.wantedCount; ++i)
    if (g_live.wanted[i] == fn) return true;
  return false;
}

void ClearLiveDrawCallbacks() {
  g_live.count.store(0);
  g_live.wantedCount = 0;
}

}  // namespace QUARLE_VISUALS
