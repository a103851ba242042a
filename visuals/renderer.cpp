#include "visuals/renderer.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "basics/queues.h"
#include "platform/images.h"
#include "visuals/control_table.h"
#include "visuals/glyphs.h"
#include "visuals/visuals.h"

namespace QUARLE_VISUALS {

namespace {

int32_t Round(float v) { return static_cast<int32_t>(std::nearbyint(v)); }

// The part of the page being redrawn (RenderControlTreeIn); video thread only.
// one thread: video
struct Region {
  bool on = false;
  int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};
Region g_region;

// What draws asked to paint outside their area; a few controls are named.
constexpr size_t kMaxOutside = 32;
std::mutex g_outsideLock;
// one thread: holder of g_outsideLock
PaintOutside g_outside[kMaxOutside];
size_t g_outsideCount = 0;

void NoteOutside(int32_t id, int64_t pixels) {
  std::lock_guard<std::mutex> g(g_outsideLock);
  for (size_t i = 0; i < g_outsideCount; ++i)
    if (g_outside[i].id == id) {
      g_outside[i].pixels += pixels;
      return;
    }
  if (g_outsideCount < kMaxOutside) g_outside[g_outsideCount++] = PaintOutside{id, pixels};
}

// With a region set: false when the control's published rectangle lies wholly
// outside it (nothing of the control itself is drawn then). Reads the record
// without consuming its update flags: they belong to the pass that draws it.
bool ReachesRegion(ControlRecord* c, bool& hidden) {
  hidden = false;
  if (!g_region.on || !c->Render || !c->RenderLock) return true;
  int64_t x = 0, y = 0, w = 0, h = 0;
  {
    platform::MutexGuard g(c->RenderLock);
    // What it paints, which may reach past its rectangle.
    const int64_t x0 = std::min(c->Render->PaintX, 0), y0 = std::min(c->Render->PaintY, 0);
    x = c->Render->X + x0;
    y = c->Render->Y + y0;
    w = std::max(c->Render->W, c->Render->PaintW) - x0;
    h = std::max(c->Render->H, c->Render->PaintH) - y0;
    hidden = c->Render->Alpha == 0;
  }
  return x < g_region.x1 && y < g_region.y1 && x + w > g_region.x0 && y + h > g_region.y0;
}

void RenderChildren(ControlRecord* c, int32_t id, int32_t clipId, int64_t pass) {
  // The children are drawn from a copy so that the main thread may change the
  // set meanwhile; the lock is held only for the copy.
  std::vector<int32_t> children;
  {
    platform::MutexGuard g(c->ChildLock);
    if (c->Children.Ids) children.assign(c->Children.Ids, c->Children.Ids + c->Children.Count);
  }
  for (int32_t child : children) {
    if (child < 1 || child == id || !ControlAt(child)) continue;
    RenderControlTree(child, clipId, pass);
  }
}

// The dark overlay of a disabled control, laid over the work page pixel by pixel
// (the same source-over rule as a per-pixel alpha copy of a filled image).
void DarkenOnWorkPage(int32_t x, int32_t y, int32_t w, int32_t h) {
  platform::WorkPageGuard page;
  platform::Surface s;
  if (!platform::SurfaceOf(nullptr, s)) return;
  const int64_t x0 = std::max<int64_t>(x, s.x0);
  const int64_t y0 = std::max<int64_t>(y, s.y0);
  const int64_t x1 = std::min<int64_t>(int64_t{x} + w, s.x1);
  const int64_t y1 = std::min<int64_t>(int64_t{y} + h, s.y1);
  const uint32_t a = kDisabledOverlay >> 24;
  for (int64_t row = y0; row < y1; ++row) {
    int64_t lo = 0, hi = 0;
    s.RowSpan(row, lo, hi);
    uint32_t* p = s.pixels + row * s.pitch;
    for (int64_t col = std::max(x0, lo); col < std::min(x1, hi); ++col)
      p[col] = platform::BlendOver(kDisabledOverlay, p[col], a);
  }
}

}  // namespace

int32_t ClipRect(float xA, float yA, float wA, float hA, float xB, float yB, float wB, float hB) {
  const int32_t rA = Round(xA + wA);
  const int32_t bA = Round(yA + hA);
  const int32_t rB = Round(xB + wB);
  const int32_t bB = Round(yB + hB);
  if (!(yA <= static_cast<float>(bB - 1) && yB <= static_cast<float>(bA - 1) &&
        xA <= static_cast<float>(rB - 1) && xB <= static_cast<float>(rA - 1)))
    return -1;
  const bool h = (xA < static_cast<float>(rB) && static_cast<float>(rB) < static_cast<float>(rA)) ||
                 (xA < xB && xB < static_cast<float>(rA));
  const bool v = (yA < static_cast<float>(bB) && static_cast<float>(bB) < static_cast<float>(bA)) ||
                 (yA < yB && yB < static_cast<float>(bA));
  if (h && v) return 3;
  if (h) return 1;
  if (v) return 2;
  return 0;
}

void RenderControlTree(int32_t id, int32_t clip, int64_t pass) {
  if (id < 0 || id > ControlTableCount() - 1) return;
  ControlRecord* c = ControlAt(id);
  if (!c || c->Visible == 0) return;

  bool hidden = false;
  if (!ReachesRegion(c, hidden)) {
    // Children may lie outside their parent, unless it clips them.
    if (!hidden && !c->ClipChildren) RenderChildren(c, id, clip, pass);
    return;
  }

  RenderRecord snap;
  RenderRecordInit(&snap);
  FetchRenderRecord(&snap, id);
  if (snap.Alpha == 0) {
    RenderRecordFree(&snap);
    return;
  }

  const int32_t clipId = c->ClipChildren ? id : clip;
  DrawTarget = nullptr;
  const bool translucent = snap.Alpha < 255;
  const int32_t x = snap.X, y = snap.Y, w = snap.W, h = snap.H;

  int32_t q = 0;
  int32_t cx = 0, cy = 0, cw = 0, ch = 0;
  if (clipId != 0 && clipId != id) {
    ControlRecord* k = ControlAt(clipId);
    if (k && k->Render) {
      {
        platform::MutexGuard g(k->RenderLock);
        cx = k->Render->X;
        cy = k->Render->Y;
        cw = k->Render->W;
        ch = k->Render->H;
      }
      q = ClipRect(static_cast<float>(x), static_cast<float>(y), static_cast<float>(w),
                   static_cast<float>(h), static_cast<float>(cx), static_cast<float>(cy),
                   static_cast<float>(cw), static_cast<float>(ch));
    }
  }

  // Wholly outside its clip: nothing of it or its subtree, and no mark. What
  // it was to draw anew stays pending for when it comes back in.
  if (q == -1) {
    ReturnRenderFlags(&snap, id);
    RenderRecordFree(&snap);
    return;
  }

  Image* canvas = nullptr;
  if (q > 0 || translucent) {
    platform::MutexGuard g(MT_DRAW);
    if (RenderCanvasEnsure(c, w, h, 0) == 0) canvas = c->Canvas;
    DrawTarget = canvas;
  }

  int32_t left = 0, top = 0, right = w - 1, bottom = h - 1;
  if (q > 0) {
    // A control wider (or taller) than its clip is cut on both sides.
    if (q & 1) {
      if (cx > x) left = Round(static_cast<float>(cx) - static_cast<float>(x));
      if (cx + cw < x + w)
        right = Round(static_cast<float>(cx) + static_cast<float>(cw) - static_cast<float>(x) - 1.0f);
    }
    if (q & 2) {
      if (cy > y) top = Round(static_cast<float>(cy) - static_cast<float>(y));
      if (cy + ch < y + h)
        bottom = Round(static_cast<float>(cy) + static_cast<float>(ch) - static_cast<float>(y) - 1.0f);
    }
  }
  const int32_t destX = x + left;
  const int32_t destY = y + top;

  if (canvas) {
    snap.X = 0;
    snap.Y = 0;
  }

  const DrawCallbackFn draw = c->DrawCallback.load();
  if (!draw) {
    if (!c->NoHit) {
      if (canvas)
        platform::DrawBox(canvas, 0, 0, w, h, snap.Colour);
      else
        platform::DrawBox(nullptr, destX, destY, right - left + 1, bottom - top + 1, snap.Colour);
    }
  } else {
    if (canvas) platform::ImageFill(canvas, 0x00000000);
    int32_t r = 0;
    {
      platform::MutexGuard g(MT_DRAW);
      // On the page the draw is held to what its control marks; a canvas is
      // its rectangle already.
      if (!canvas) {
        const int32_t px = std::min(snap.PaintX, 0), py = std::min(snap.PaintY, 0);
        platform::SetDrawClip(x + px, y + py, std::max(w, snap.PaintW) - px,
                              std::max(h, snap.PaintH) - py);
      }
      r = draw(&snap, id);
      if (!canvas) {
        platform::ClearDrawClip();
        if (const int64_t n = platform::TakeOutsideDrawClip(); n > 0) NoteOutside(id, n);
      }
    }
    if (r != 0) QUARLE_BASICS::PostSimpleCommand(r, VisualsCommandQueue, 0);
  }

  if (canvas) {
    platform::MutexGuard g(MT_DRAW);
    const int32_t pw = right - left + 1;
    const int32_t ph = bottom - top + 1;
    if (q > 0 && !translucent)
      platform::ImageCopyAlpha(canvas, left, top, pw, ph, nullptr, destX, destY);
    else if (q > 0)
      platform::ImageCopyBlend(canvas, left, top, pw, ph, nullptr, destX, destY,
                               static_cast<int32_t>(c->Alpha.load()));
    else
      platform::ImageCopyBlend(canvas, 0, 0, w, h, nullptr, x, y,
                               static_cast<int32_t>(c->Alpha.load()));
  }

  RenderChildren(c, id, clipId, pass);

  if (IsDisabled(&snap.State) == -1) {
    platform::MutexGuard g(MT_DRAW);
    DarkenOnWorkPage(x, y, w, h);
  } else {
    const int32_t focused = FocusedControl.load();
    const uint32_t mode = FocusMode.load();
    if (focused >= 1 && focused == id && mode >= 1 && mode <= 3)
      DrawFrameOnImage(nullptr, kFrameRaised, BorderWidth, kFocusFrameColour, x, y, w, h);
  }

  RenderRecordFree(&snap);
}

std::vector<PaintOutside> TakePaintOutside() {
  std::lock_guard<std::mutex> g(g_outsideLock);
  std::vector<PaintOutside> out(g_outside, g_outside + g_outsideCount);
  g_outsideCount = 0;
  return out;
}

void RenderControlTreeIn(int32_t x, int32_t y, int32_t w, int32_t h, const int32_t* spans) {
  if (w < 1 || h < 1) return;
  platform::SetWorkPageClipRows(x, y, w, h, spans);
  g_region = Region{true, x, y, int64_t{x} + w, int64_t{y} + h};
  RenderControlTree(0, 0, 0);
  g_region = Region{};
  platform::ClearWorkPageClip();
}

}  // namespace QUARLE_VISUALS
