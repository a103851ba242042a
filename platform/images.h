// Off-screen 32-bit images of our Linux layer and the few drawing primitives the
// interface needs on them and on the screen's work page: lines, boxes and the
// four image copies (plain, per-pixel alpha, constant alpha, custom blender).
//
// Pixels are 0xAARRGGBB words, rows top-down. Every primitive clips to its
// target, so a caller can never write outside an image or the work page. A null
// target always means the open screen's work page (platform/screen.h); with no
// screen open, drawing on it does nothing.
#pragma once
#include <cstdint>

namespace platform {

// one thread: value
struct Image {
  int32_t width = 0;
  int32_t height = 0;
  int32_t pitch = 0;  // bytes from one row to the next
  uint32_t* pixels = nullptr;
};

constexpr int32_t kImageMaxSide = 16384;

// A new width x height image filled with `fill`; null for a side outside
// 1..kImageMaxSide or when the memory cannot be had. Free it with ImageDestroy.
Image* ImageCreate(int32_t width, int32_t height, uint32_t fill = 0);
void ImageDestroy(Image* image);  // null is ignored
void ImageFill(Image* image, uint32_t colour);

// Address of pixel (x, y); null outside the image or for a null image.
uint32_t* ImagePixel(Image* image, int32_t x, int32_t y);

// What a drawing routine needs of a target: the first pixel, the size, the
// pitch in pixels and the part that may be written, [x0, x1) x [y0, y1): all of
// an image, the work page's clip rectangle (below) for the work page.
// one thread: value
struct Surface {
  uint32_t* pixels = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t pitch = 0;  // pixels from one row to the next
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  // With a row clip (SetWorkPageClipRows) row y may be written only in
  // [rows[2 (y - y0)], rows[2 (y - y0) + 1]) as well; null: whole rows.
  const int32_t* rows = nullptr;
  // While a draw clip applies (SetDrawClip, work page only) x0..y1 are cut to
  // it too, and its own rectangle is kept here: a primitive counts what it was
  // asked to paint on the page outside it (NoteOutsideDrawClip).
  bool drawClipped = false;
  int32_t cx0 = 0, cy0 = 0, cx1 = 0, cy1 = 0;
  bool Writable(int64_t x, int64_t y) const {
    if (x < x0 || y < y0 || x >= x1 || y >= y1) return false;
    return !rows || (x >= rows[2 * (y - y0)] && x < rows[2 * (y - y0) + 1]);
  }
  // The writable columns [lo, hi) of row y (y0 <= y < y1); empty when lo >= hi.
  void RowSpan(int64_t y, int64_t& lo, int64_t& hi) const {
    lo = x0;
    hi = x1;
    if (!rows) return;
    const int64_t a = rows[2 * (y - y0)], b = rows[2 * (y - y0) + 1];
    if (a > lo) lo = a;
    if (b < hi) hi = b;
  }
  // A pixel of the page that the draw clip keeps a primitive from painting.
  bool OutsideDrawClip(int64_t x, int64_t y) const {
    return drawClipped && x >= 0 && y >= 0 && x < width && y < height &&
           (x < cx0 || y < cy0 || x >= cx1 || y >= cy1);
  }
  // How many pixels of [xa, xb) x [ya, yb) lie on the page outside the draw
  // clip and would be painted: paints(x, y) says which. Nothing to look at
  // for a request within the clip, the case of every sound draw.
  template <typename Paints>
  int64_t CountOutsideDrawClip(int64_t xa, int64_t ya, int64_t xb, int64_t yb,
                               Paints&& paints) const {
    if (!drawClipped) return 0;
    if (xa < 0) xa = 0;
    if (ya < 0) ya = 0;
    if (xb > width) xb = width;
    if (yb > height) yb = height;
    if (xa >= xb || ya >= yb) return 0;
    if (xa >= cx0 && ya >= cy0 && xb <= cx1 && yb <= cy1) return 0;
    int64_t n = 0;
    for (int64_t y = ya; y < yb; ++y) {
      const bool rowIn = y >= cy0 && y < cy1;
      for (int64_t x = xa; x < xb; ++x) {
        if (rowIn && x >= cx0 && x < cx1) {
          x = cx1 - 1;  // the clip's part of the row is passed over
          continue;
        }
        if (paints(x, y)) ++n;
      }
    }
    return n;
  }
};
// Fills `out` for an image, or for the work page when target is null. False
// (and `out` empty) for a work page while no screen is open.
bool SurfaceOf(Image* target, Surface& out);

// Limits every drawing on the work page to the rectangle x, y, w, h (cut to the
// page), so that a part of the page can be redrawn exactly as a whole redraw
// would draw it there; ClearWorkPageClip lifts the limit. Take the work page's
// lock around the clipped drawing.
void SetWorkPageClip(int32_t x, int32_t y, int32_t w, int32_t h);
// The same, with each row of the rectangle cut further to its own columns:
// spans holds 2 x h values, the first and past-the-last column of every row
// from y down (an empty pair leaves the row alone). A picture whose changes
// run along a thin, winding line is redrawn there only.
void SetWorkPageClipRows(int32_t x, int32_t y, int32_t w, int32_t h, const int32_t* spans);
void ClearWorkPageClip();

// A second limit on the work page, for one draw: the renderer sets it to the
// area a control marks when it changes (its rectangle and paint reach) around
// the control's draw callback, so that no draw can leave pixels there that a
// partial frame would not repaint. Every primitive cuts to it as to the page
// clip, and counts the pixels of the page it was asked to paint outside it:
// a draw that asks for any is at fault (tests take the count after every
// draw). Drawing on images other than the work page is not limited.
void SetDrawClip(int32_t x, int32_t y, int32_t w, int32_t h);
void ClearDrawClip();
// Adds to the count (for drawing routines outside this file).
void NoteOutsideDrawClip(int64_t pixels);
// The count since the last take; resets it.
int64_t TakeOutsideDrawClip();

// The work page's lock. Every routine here takes it while it draws on the work
// page; a caller that draws on the page's pixels itself (the glyph blitters)
// holds it for the whole job. Recursive, so a holder may call these routines.
void WorkPageLock();
void WorkPageUnlock();
// one thread: value
class WorkPageGuard {
 public:
  explicit WorkPageGuard(bool take = true) : held_(take) {
    if (held_) WorkPageLock();
  }
  ~WorkPageGuard() {
    if (held_) WorkPageUnlock();
  }
  WorkPageGuard(const WorkPageGuard&) = delete;
  WorkPageGuard& operator=(const WorkPageGuard&) = delete;

 private:
  bool held_;
};

// A one-pixel solid line from (x0, y0) to (x1, y1), both ends included; pixels
// are written, not blended.
void DrawLine(Image* target, int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint32_t colour);
// A filled box of w x h pixels with its top-left corner at (x, y); written, not
// blended. Nothing for w or h below 1.
void DrawBox(Image* target, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour);

// A per-pixel blender: (source pixel, destination pixel, parameter) -> the new
// destination pixel.
using PixelBlender = uint32_t (*)(uint32_t source, uint32_t destination, int64_t parameter);

// The copies take the rectangle (sx, sy, w, h) of the source image to (dx, dy)
// of the target. The parts that lie outside the source or the target are cut.
// A source that is also the target must not overlap the destination rectangle.
//
// Plain: the pixels are copied as they are.
void ImageCopy(const Image* source, int32_t sx, int32_t sy, int32_t w, int32_t h, Image* target,
               int32_t dx, int32_t dy);
// Per-pixel alpha: each source pixel is laid over the destination weighted by
// its own alpha a (channel = (s x a + d x (255 - a) + 127) / 255; the result's
// alpha is a + da x (255 - a) / 255, rounded the same way). Alpha 0 leaves the
// destination, 255 replaces it.
void ImageCopyAlpha(const Image* source, int32_t sx, int32_t sy, int32_t w, int32_t h,
                    Image* target, int32_t dx, int32_t dy);
// Constant alpha: as the per-pixel copy with each pixel's weight scaled by
// alpha / 255 (rounded), so a translucent image keeps its transparent parts.
void ImageCopyBlend(const Image* source, int32_t sx, int32_t sy, int32_t w, int32_t h,
                    Image* target, int32_t dx, int32_t dy, int32_t alpha);
// Custom: every destination pixel becomes blender (source, destination, parameter).
void ImageCopyCustom(const Image* source, int32_t sx, int32_t sy, int32_t w, int32_t h,
                     Image* target, int32_t dx, int32_t dy, PixelBlender blender,
                     int64_t parameter);

// The source-over rule of ImageCopyAlpha for one pixel with weight a (0..255).
uint32_t BlendOver(uint32_t source, uint32_t destination, uint32_t a);

}  // namespace platform
