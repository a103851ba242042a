#include "platform/images.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/screen.h"

namespace platform {

namespace {

std::recursive_mutex g_workPage;
// The work page's clip (guarded by g_workPage); off while g_clipped is false.
// one thread: holder of g_workPage
bool g_clipped = false;
int32_t g_clip[4] = {0, 0, 0, 0};
// The row clip's columns from g_clip[1] down, cut to the rectangle; empty: none.
// one thread: holder of g_workPage
std::vector<int32_t> g_clipRows;
// The draw clip (guarded by g_workPage): x0, y0, x1, y1 while on.
// one thread: holder of g_workPage
bool g_drawClipped = false;
int32_t g_drawClip[4] = {0, 0, 0, 0};
// Pixels asked outside it.
std::atomic<int64_t> g_outside{0};

// Lock that is taken only when the target is the work page.
// one thread: value
class TargetGuard {
 public:
  explicit TargetGuard(const Image* target) : held_(target == nullptr) {
    if (held_) g_workPage.lock();
  }
  ~TargetGuard() {
    if (held_) g_workPage.unlock();
  }
  TargetGuard(const TargetGuard&) = delete;
  TargetGuard& operator=(const TargetGuard&) = delete;

 private:
  bool held_;
};

uint32_t Mix(uint32_t s, uint32_t d, uint32_t a) { return (s * a + d * (255 - a) + 127) / 255; }

// BlendOver's rule, here where the row loops can take it in.
inline uint32_t Over(uint32_t source, uint32_t destination, uint32_t a) {
  if (a == 0) return destination;
  if (a >= 255) return source | 0xFF000000u;
  const uint32_t r = Mix((source >> 16) & 0xFF, (destination >> 16) & 0xFF, a);
  const uint32_t g = Mix((source >> 8) & 0xFF, (destination >> 8) & 0xFF, a);
  const uint32_t b = Mix(source & 0xFF, destination & 0xFF, a);
  const uint32_t da = destination >> 24;
  const uint32_t alpha = a + (da * (255 - a) + 127) / 255;
  return (alpha << 24) | (r << 16) | (g << 8) | b;
}

// Clips the copy of (sx, sy, w, h) to (dx, dy) against both sides and calls
// op(sourceRow, targetRow, count) for each row that remains.
// paints(source pixel, destination pixel): whether the copy changes a pixel
// of the page there, for the count of what a draw clip cut away.
template <typename RowOp, typename Paints>
void CopyRows(const Image* source, int32_t sx, int32_t sy, int32_t w, int32_t h, Image* target,
              int32_t dx, int32_t dy, RowOp op, Paints paints) {
  if (!source || !source->pixels || w < 1 || h < 1) return;
  TargetGuard guard(target);
  Surface dst;
  if (!SurfaceOf(target, dst)) return;
  int64_t x0 = sx, y0 = sy, tx = dx, ty = dy, cw = w, ch = h;
  // Cut at the source's edges, moving the destination along.
  if (x0 < 0) { cw += x0; tx -= x0; x0 = 0; }
  if (y0 < 0) { ch += y0; ty -= y0; y0 = 0; }
  cw = std::min<int64_t>(cw, source->width - x0);
  ch = std::min<int64_t>(ch, source->height - y0);
  const int64_t spitch = source->pitch / 4;
  if (cw > 0 && ch > 0) {
    const auto at = [&](int64_t x, int64_t y) {
      return paints(source->pixels[(y0 + y - ty) * spitch + x0 + x - tx],
                    dst.pixels[y * static_cast<int64_t>(dst.pitch) + x]);
    };
    NoteOutsideDrawClip(dst.CountOutsideDrawClip(tx, ty, tx + cw, ty + ch, at));
  }
  // Then at the target's writable edges, moving the source along.
  if (tx < dst.x0) { cw -= dst.x0 - tx; x0 += dst.x0 - tx; tx = dst.x0; }
  if (ty < dst.y0) { ch -= dst.y0 - ty; y0 += dst.y0 - ty; ty = dst.y0; }
  cw = std::min<int64_t>(cw, dst.x1 - tx);
  ch = std::min<int64_t>(ch, dst.y1 - ty);
  if (cw < 1 || ch < 1) return;
  for (int64_t r = 0; r < ch; ++r) {
    int64_t a = tx, b = tx + cw;
    if (dst.rows) {
      int64_t lo = 0, hi = 0;
      dst.RowSpan(ty + r, lo, hi);
      a = std::max(a, lo);
      b = std::min(b, hi);
      if (a >= b) continue;
    }
    const uint32_t* s = source->pixels + (y0 + r) * spitch + x0 + (a - tx);
    uint32_t* d = dst.pixels + (ty + r) * static_cast<int64_t>(dst.pitch) + a;
    op(s, d, static_cast<int32_t>(b - a));
  }
}

// A row of per-pixel alpha copy. Layers such as the plane's cables are mostly
// clear: runs of fully transparent pixels are passed over eight at a time, and
// opaque pixels are copied; the result is BlendOver's for every pixel.
void BlendRowOver(const uint32_t* s, uint32_t* d, int32_t n) {
  constexpr uint64_t kAlphas = 0xFF000000FF000000ull;
  int32_t i = 0;
  while (i < n) {
    for (; i + 8 <= n; i += 8) {
      uint64_t q[4];
      std::memcpy(q, s + i, sizeof q);
      if (((q[0] | q[1] | q[2] | q[3]) & kAlphas) != 0) break;
    }
    const int32_t end = std::min(n, i + 8);
    for (; i < end; ++i) {
      const uint32_t a = s[i] >> 24;
      if (a == 255) d[i] = s[i];
      else if (a != 0) d[i] = Over(s[i], d[i], a);
    }
  }
}

}  // namespace

Image* ImageCreate(int32_t width, int32_t height, uint32_t fill) {
  if (width < 1 || height < 1 || width > kImageMaxSide || height > kImageMaxSide) return nullptr;
  Image* image = new (std::nothrow) Image();
  if (!image) return nullptr;
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  image->pixels = new (std::nothrow) uint32_t[count];
  if (!image->pixels) {
    delete image;
    return nullptr;
  }
  image->width = width;
  image->height = height;
  image->pitch = width * 4;
  std::fill(image->pixels, image->pixels + count, fill);
  return image;
}

void ImageDestroy(Image* image) {
  if (!image) return;
  delete[] image->pixels;
  delete image;
}

void ImageFill(Image* image, uint32_t colour) {
  if (!image || !image->pixels) return;
  for (int32_t y = 0; y < image->height; ++y) {
    uint32_t* row = image->pixels + static_cast<int64_t>(y) * (image->pitch / 4);
    std::fill(row, row + image->width, colour);
  }
}

uint32_t* ImagePixel(Image* image, int32_t x, int32_t y) {
  if (!image || !image->pixels || x < 0 || y < 0 || x >= image->width || y >= image->height)
    return nullptr;
  return image->pixels + static_cast<int64_t>(y) * (image->pitch / 4) + x;
}

bool SurfaceOf(Image* target, Surface& out) {
  out = Surface();
  if (target) {
    if (!target->pixels) return false;
    out.pixels = target->pixels;
    out.width = target->width;
    out.height = target->height;
    out.pitch = target->pitch / 4;
    out.x1 = out.width;
    out.y1 = out.height;
    return true;
  }
  int64_t w = 0, h = 0, depth = 0;
  ScreenInfo(w, h, depth);
  uint32_t* p = ScreenPointer();
  if (!p || w < 1 || h < 1) return false;
  out.pixels = p;
  out.width = static_cast<int32_t>(w);
  out.height = static_cast<int32_t>(h);
  out.pitch = static_cast<int32_t>(w);
  out.x1 = out.width;
  out.y1 = out.height;
  std::lock_guard<std::recursive_mutex> g(g_workPage);
  if (g_clipped) {
    out.x0 = std::clamp(g_clip[0], 0, out.width);
    out.y0 = std::clamp(g_clip[1], 0, out.height);
    out.x1 = std::clamp(g_clip[2], out.x0, out.width);
    out.y1 = std::clamp(g_clip[3], out.y0, out.height);
    if (!g_clipRows.empty() && out.y1 > out.y0)
      out.rows = g_clipRows.data() + 2 * static_cast<int64_t>(out.y0 - g_clip[1]);
  }
  if (g_drawClipped) {
    out.drawClipped = true;
    out.cx0 = g_drawClip[0];
    out.cy0 = g_drawClip[1];
    out.cx1 = g_drawClip[2];
    out.cy1 = g_drawClip[3];
    // Rows of a row clip are read from y0 on: the top moves only when the
    // rows move with it.
    const int32_t top = std::clamp(g_drawClip[1], out.y0, out.y1);
    if (out.rows) out.rows += 2 * static_cast<int64_t>(top - out.y0);
    out.y0 = top;
    out.x0 = std::clamp(g_drawClip[0], out.x0, out.x1);
    out.x1 = std::clamp(g_drawClip[2], out.x0, out.x1);
    out.y1 = std::clamp(g_drawClip[3], out.y0, out.y1);
  }
  return true;
}

void SetDrawClip(int32_t x, int32_t y, int32_t w, int32_t h) {
  std::lock_guard<std::recursive_mutex> g(g_workPage);
  g_drawClipped = true;
  g_drawClip[0] = x;
  g_drawClip[1] = y;
  g_drawClip[2] = static_cast<int32_t>(
      std::clamp<int64_t>(int64_t{x} + std::max(w, 0), INT32_MIN, INT32_MAX));
  g_drawClip[3] = static_cast<int32_t>(
      std::clamp<int64_t>(int64_t{y} + std::max(h, 0), INT32_MIN, INT32_MAX));
}

void ClearDrawClip() {
  std::lock_guard<std::recursive_mutex> g(g_workPage);
  g_drawClipped = false;
}

void NoteOutsideDrawClip(int64_t pixels) {
  if (pixels > 0) g_outside.fetch_add(pixels, std::memory_order_relaxed);
}

int64_t TakeOutsideDrawClip() { return g_outside.exchange(0, std::memory_order_relaxed); }

void SetWorkPageClip(int32_t x, int32_t y, int32_t w, int32_t h) {
  std::lock_guard<std::recursive_mutex> g(g_workPage);
  g_clipped = true;
  g_clip[0] = x;
  g_clip[1] = y;
  g_clip[2] = static_cast<int32_t>(std::clamp<int64_t>(int64_t{x} + std::max(w, 0), INT32_MIN, INT32_MAX));
  g_clip[3] = static_cast<int32_t>(std::clamp<int64_t>(int64_t{y} + std::max(h, 0), INT32_MIN, INT32_MAX));
  g_clipRows.clear();
}

void SetWorkPageClipRows(int32_t x, int32_t y, int32_t w, int32_t h, const int32_t* spans) {
  std::lock_guard<std::recursive_mutex> g(g_workPage);
  SetWorkPageClip(x, y, w, h);
  const int64_t rows = int64_t{g_clip[3]} - g_clip[1];
  if (!spans || rows < 1) return;
  g_clipRows.resize(static_cast<size_t>(2 * rows));
  for (int64_t r = 0; r < rows; ++r) {
    // Cut to the rectangle, so that a reader needs no further check.
    int32_t lo = std::clamp(spans[2 * r], g_clip[0], g_clip[2]);
    int32_t hi = std::clamp(spans[2 * r + 1], g_clip[0], g_clip[2]);
    if (hi < lo) hi = lo;
    g_clipRows[2 * r] = lo;
    g_clipRows[2 * r + 1] = hi;
  }
}

void ClearWorkPageClip() {
  std::lock_guard<std::recursive_mutex> g(g_workPage);
  g_clipped = false;
  g_clipRows.clear();
}

void WorkPageLock() { g_workPage.lock(); }
void WorkPageUnlock() { g_workPage.unlock(); }

void DrawLine(Image* target, int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint32_t colour) {
  TargetGuard guard(target);
  Surface s;
  if (!SurfaceOf(target, s)) return;
  int64_t outside = 0;
  auto plot = [&](int64_t x, int64_t y) {
    if (s.Writable(x, y))
      s.pixels[y * static_cast<int64_t>(s.pitch) + x] = colour;
    else
      outside += s.OutsideDrawClip(x, y);
  };
  struct Note {
    int64_t& n;
    ~Note() { NoteOutsideDrawClip(n); }
  } note{outside};
  const auto all = [](int64_t, int64_t) { return true; };
  if (y0 == y1) {
    outside = s.CountOutsideDrawClip(std::min(x0, x1), y0, int64_t{std::max(x0, x1)} + 1,
                                     int64_t{y0} + 1, all);
    if (y0 < s.y0 || y0 >= s.y1) return;
    const int64_t a = std::max<int64_t>(std::min(x0, x1), s.x0);
    const int64_t b = std::min<int64_t>(std::max(x0, x1), s.x1 - 1);
    int64_t lo = 0, hi = 0;
    s.RowSpan(y0, lo, hi);
    uint32_t* row = s.pixels + static_cast<int64_t>(y0) * s.pitch;
    for (int64_t x = std::max(a, lo); x <= std::min(b, hi - 1); ++x) row[x] = colour;
    return;
  }
  if (x0 == x1) {
    outside = s.CountOutsideDrawClip(x0, std::min(y0, y1), int64_t{x0} + 1,
                                     int64_t{std::max(y0, y1)} + 1, all);
    if (x0 < s.x0 || x0 >= s.x1) return;
    const int64_t a = std::max<int64_t>(std::min(y0, y1), s.y0);
    const int64_t b = std::min<int64_t>(std::max(y0, y1), s.y1 - 1);
    for (int64_t y = a; y <= b; ++y)
      if (s.Writable(x0, y)) s.pixels[y * s.pitch + x0] = colour;
    return;
  }
  // Both ends beyond the same edge: nothing to walk through (unless a draw
  // clip cut the line away, whose pixels on the page are counted).
  if ((x0 < s.x0 && x1 < s.x0) || (y0 < s.y0 && y1 < s.y0) || (x0 >= s.x1 && x1 >= s.x1) ||
      (y0 >= s.y1 && y1 >= s.y1)) {
    if (!s.drawClipped) return;
    const auto [xa, xb] = std::minmax(x0, x1);
    const auto [ya, yb] = std::minmax(y0, y1);
    if (xb < 0 || yb < 0 || xa >= s.width || ya >= s.height) return;
  }
  // Bresenham in 64 bits so far-off end points cannot overflow.
  int64_t x = x0, y = y0;
  const int64_t ex = x1, ey = y1;
  const int64_t ddx = std::llabs(ex - x), ddy = -std::llabs(ey - y);
  const int64_t stepx = x < ex ? 1 : -1, stepy = y < ey ? 1 : -1;
  int64_t err = ddx + ddy;
  // A short line wholly inside what may be written (a winding trace redrawn
  // along its own row spans) is drawn without a check per pixel.
  const int64_t xa = std::min<int64_t>(x0, x1), xb = std::max<int64_t>(x0, x1);
  const int64_t ya = std::min<int64_t>(y0, y1), yb = std::max<int64_t>(y0, y1);
  bool inside = xa >= s.x0 && xb < s.x1 && ya >= s.y0 && yb < s.y1 && (!s.rows || yb - ya < 8);
  for (int64_t r = ya; inside && s.rows && r <= yb; ++r) {
    int64_t lo = 0, hi = 0;
    s.RowSpan(r, lo, hi);
    inside = xa >= lo && xb < hi;
  }
  for (;;) {
    if (inside)
      s.pixels[y * static_cast<int64_t>(s.pitch) + x] = colour;
    else
      plot(x, y);
    if (x == ex && y == ey) break;
    const int64_t e2 = 2 * err;
    if (e2 >= ddy) {
      err += ddy;
      x += stepx;
    }
    if (e2 <= ddx) {
      err += ddx;
      y += stepy;
    }
  }
}

void DrawBox(Image* target, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour) {
  if (w < 1 || h < 1) return;
  TargetGuard guard(target);
  Surface s;
  if (!SurfaceOf(target, s)) return;
  NoteOutsideDrawClip(s.CountOutsideDrawClip(x, y, int64_t{x} + w, int64_t{y} + h,
                                             [](int64_t, int64_t) { return true; }));
  const int64_t x0 = std::max<int64_t>(x, s.x0), y0 = std::max<int64_t>(y, s.y0);
  const int64_t x1 = std::min<int64_t>(static_cast<int64_t>(x) + w, s.x1);
  const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(y) + h, s.y1);
  for (int64_t r = y0; r < y1; ++r) {
    int64_t lo = 0, hi = 0;
    s.RowSpan(r, lo, hi);
    uint32_t* row = s.pixels + r * s.pitch;
    for (int64_t c = std::max(x0, lo); c < std::min(x1, hi); ++c) row[c] = colour;
  }
}

uint32_t BlendOver(uint32_t source, uint32_t destination, uint32_t a) {
  return Over(source, destination, a);
}

void ImageCopy(const Image* source, int32_t sx, int32_t sy, int32_t w, int32_t h, Image* target,
               int32_t dx, int32_t dy) {
  CopyRows(source, sx, sy, w, h, target, dx, dy,
           [](const uint32_t* s, uint32_t* d, int32_t n) { std::copy(s, s + n, d); },
           [](uint32_t, uint32_t) { return true; });
}

void ImageCopyAlpha(const Image* source, int32_t sx, int32_t sy, int32_t w, int32_t h,
                    Image* target, int32_t dx, int32_t dy) {
  CopyRows(source, sx, sy, w, h, target, dx, dy, BlendRowOver,
           [](uint32_t s, uint32_t) { return (s >> 24) != 0; });
}

void ImageCopyBlend(const Image* source, int32_t sx, int32_t sy, int32_t w, int32_t h,
                    Image* target, int32_t dx, int32_t dy, int32_t alpha) {
  const uint32_t k = static_cast<uint32_t>(std::clamp(alpha, 0, 255));
  if (k == 0) return;
  CopyRows(source, sx, sy, w, h, target, dx, dy, [k](const uint32_t* s, uint32_t* d, int32_t n) {
    for (int32_t i = 0; i < n; ++i) d[i] = Over(s[i], d[i], ((s[i] >> 24) * k + 127) / 255);
  }, [k](uint32_t s, uint32_t) { return ((s >> 24) * k + 127) / 255 != 0; });
}

void ImageCopyCustom(const Image* source, int32_t sx, int32_t sy, int32_t w, int32_t h,
                     Image* target, int32_t dx, int32_t dy, PixelBlender blender,
                     int64_t parameter) {
  if (!blender) return;
  CopyRows(source, sx, sy, w, h, target, dx, dy,
           [blender, parameter](const uint32_t* s, uint32_t* d, int32_t n) {
             for (int32_t i = 0; i < n; ++i) d[i] = blender(s[i], d[i], parameter);
           },
           [blender, parameter](uint32_t s, uint32_t d) { return blender(s, d, parameter) != d; });
}

}  // namespace platform
