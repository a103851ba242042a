#include "visuals/glyphs.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>

namespace QUARLE_VISUALS {

platform::Image* DrawTarget = nullptr;

GlyphBlitFn GlyphBlitters[4] = {GlyphBlit0, GlyphBlit1, GlyphBlit2, GlyphBlit3};

namespace {

constexpr uint32_t kRb = 0x00FF00FFu;
constexpr uint32_t kG = 0x0000FF00u;

// The coverage-weighted mix of modes 0 and 3: colour share a, destination 255 - a.
uint32_t CoverageMix(uint32_t p, uint32_t a, uint32_t d) {
  return (((p & kRb) * a) >> 8 & kRb) + (((p & kG) * a) >> 8 & kG) +
         (((255 - a) * (d & kRb)) >> 8 & kRb) + (((255 - a) * (d & kG)) >> 8 & kG);
}

GlyphBitmap BitmapOfFace(FontFace face) {
  GlyphBitmap g;
  if (!face || !face->glyph) return g;
  const FT_Bitmap& b = face->glyph->bitmap;
  if (b.pixel_mode != FT_PIXEL_MODE_GRAY && b.pixel_mode != FT_PIXEL_MODE_MONO) return g;
  g.rows = static_cast<int32_t>(b.rows);
  g.width = static_cast<int32_t>(b.width);
  g.pitch = b.pitch;
  g.buffer = b.buffer;
  g.mono = b.pixel_mode == FT_PIXEL_MODE_MONO;
  return g;
}

}  // namespace

uint32_t GlyphBlendPixel(int32_t mode, uint32_t p, uint32_t a, uint32_t d) {
  switch (mode) {
    case 0:
      if (a == 0) return d;
      return CoverageMix(p, a, d) + (p & 0xFF000000u);
    case 1: {
      // Signed differences with an arithmetic shift; 64 bits so a x difference
      // cannot overflow.
      const int64_t drb = d & kRb, dg = d & kG;
      const int64_t rb = (drb + ((static_cast<int64_t>(a) * (static_cast<int64_t>(p & kRb) - drb)) >> 8)) & kRb;
      const int64_t g = (dg + ((static_cast<int64_t>(a) * (static_cast<int64_t>(p & kG) - dg)) >> 8)) & kG;
      return static_cast<uint32_t>(rb | g);
    }
    case 2:
      return (p & 0x00FFFFFFu) | (a << 24);
    case 3: {
      if (a == 0) return d;
      const uint32_t s = (p & 0x00FFFFFFu) | (a << 24);
      if ((d >> 24) == 0) return s;
      return (d & 0xFF000000u) + CoverageMix(s, a, d);
    }
    default:
      return d;
  }
}

void BlitCoverage(int32_t mode, platform::Image* target, const GlyphBitmap& glyph, int32_t x,
                  int32_t y, uint32_t colour) {
  if (mode < 0 || mode > 3 || !glyph.buffer || glyph.rows < 1 || glyph.width < 1) return;
  platform::WorkPageGuard guard(target == nullptr);
  platform::Surface s;
  if (!platform::SurfaceOf(target, s)) return;
  const uint8_t* first =
      glyph.pitch < 0 ? glyph.buffer - static_cast<int64_t>(glyph.rows - 1) * glyph.pitch
                      : glyph.buffer;
  platform::NoteOutsideDrawClip(s.CountOutsideDrawClip(
      x, y, int64_t{x} + glyph.width, int64_t{y} + glyph.rows, [&](int64_t px, int64_t py) {
        const uint8_t* src = first + (py - y) * glyph.pitch;
        const int64_t c = px - x;
        return glyph.mono ? ((src[c >> 3] >> (7 - (c & 7))) & 1u) != 0 : src[c] != 0;
      }));
  // The callers place glyphs inside the target; cutting here as well keeps a
  // stray glyph from writing outside it.
  const int64_t c0 = std::max<int64_t>(0, static_cast<int64_t>(s.x0) - x);
  const int64_t c1 = std::min<int64_t>(glyph.width, static_cast<int64_t>(s.x1) - x);
  const int64_t r0 = std::max<int64_t>(0, static_cast<int64_t>(s.y0) - y);
  const int64_t r1 = std::min<int64_t>(glyph.rows, static_cast<int64_t>(s.y1) - y);
  if (c0 >= c1 || r0 >= r1) return;
  const uint8_t* top = first;
  for (int64_t r = r0; r < r1; ++r) {
    const uint8_t* src = top + r * glyph.pitch;
    uint32_t* dst = s.pixels + (y + r) * static_cast<int64_t>(s.pitch) + x;
    int64_t lo = 0, hi = 0;
    s.RowSpan(y + r, lo, hi);
    const int64_t cEnd = std::min<int64_t>(c1, hi - x);
    for (int64_t c = std::max<int64_t>(c0, lo - x); c < cEnd; ++c) {
      const uint32_t a = glyph.mono ? (((src[c >> 3] >> (7 - (c & 7))) & 1u) ? 255u : 0u) : src[c];
      dst[c] = GlyphBlendPixel(mode, colour, a, dst[c]);
    }
  }
}

void GlyphBlit0(platform::Image* target, FontFace face, int32_t x, int32_t y, uint32_t colour) {
  BlitCoverage(0, target, BitmapOfFace(face), x, y, colour);
}
void GlyphBlit1(platform::Image* target, FontFace face, int32_t x, int32_t y, uint32_t colour) {
  BlitCoverage(1, target, BitmapOfFace(face), x, y, colour);
}
void GlyphBlit2(platform::Image* target, FontFace face, int32_t x, int32_t y, uint32_t colour) {
  BlitCoverage(2, target, BitmapOfFace(face), x, y, colour);
}
void GlyphBlit3(platform::Image* target, FontFace face, int32_t x, int32_t y, uint32_t colour) {
  BlitCoverage(3, target, BitmapOfFace(face), x, y, colour);
}

uint32_t AlphaBlendPixel(uint32_t source, uint32_t destination, int64_t parameter) {
  const uint32_t sa = source >> 24;
  if (sa == 0) return destination;
  // The weights below give 255/256 of a channel at full alpha; an opaque source
  // must come through unchanged, so it is taken as it is.
  if (sa == 255) return source;
  uint32_t k = 255 - sa;
  if (parameter != 0) k = (k * (destination >> 24)) >> 8;
  return 0xFF000000u | ((((destination & kRb) * k + (source & kRb) * sa) >> 8) & kRb) |
         ((((destination & kG) * k + (source & kG) * sa) >> 8) & kG);
}

uint32_t FrameDarkColour(uint32_t colour) { return ((colour >> 1) & 0x007F7F7Fu) | 0xFF000000u; }

namespace {

// The frame's lines on a target; x, y, w, h already corrected.
void FrameLines(platform::Image* target, uint8_t style, int32_t t, uint32_t colour, int32_t x,
                int32_t y, int32_t w, int32_t h) {
  if (t < 1) return;
  if (style > 2) style = kFrameFlat;
  const uint32_t light = colour, dark = FrameDarkColour(colour);
  const uint32_t topLeft = style == kFrameSunken ? dark : light;
  const uint32_t bottomRight = style == kFrameRaised ? dark : light;
  const int64_t X = x, Y = y, W = w, H = h;
  auto line = [target](int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c) {
    auto cl = [](int64_t v) {
      return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN / 2, INT32_MAX / 2));
    };
    platform::DrawLine(target, cl(x0), cl(y0), cl(x1), cl(y1), c);
  };
  platform::WorkPageGuard guard(target == nullptr);
  if (t == 1) {
    line(X, Y, X + W - 1, Y, topLeft);
    line(X + W - 1, Y + 1, X + W - 1, Y + H - 1, bottomRight);
    line(X + W - 2, Y + H - 1, X, Y + H - 1, bottomRight);
    line(X, Y + H - 2, X, Y + 1, topLeft);
    return;
  }
  for (int64_t i = 0; i < t; ++i) {
    line(X + i, Y + i, X + W - i - 1, Y + i, topLeft);
    line(X + W - i - 1, Y + i, X + W - i - 1, Y + H - i - 1, bottomRight);
    line(X + W - i - 1, Y + H - i - 1, X + i, Y + H - i - 1, bottomRight);
    line(X + i, Y + H - i - 1, X + i, Y + i, topLeft);
  }
}

}  // namespace

void DrawFrame(const int32_t* rect, uint8_t style, int32_t thickness, uint32_t colour) {
  if (!rect) return;
  FrameLines(DrawTarget, style, thickness, colour, rect[0], rect[1], rect[2], rect[3]);
}

void DrawFrameOnImage(platform::Image* image, uint8_t style, int32_t thickness, uint32_t colour,
                      int32_t x, int32_t y, int32_t w, int32_t h) {
  platform::WorkPageGuard guard(image == nullptr);
  platform::Surface s;
  if (!platform::SurfaceOf(image, s)) return;
  if (w == 0) w = s.width;
  if (h == 0) h = s.height;
  if (x < 0) x = 0;
  if (y < 0) y = 0;
  FrameLines(image, style, thickness, colour, x, y, w, h);
}

}  // namespace QUARLE_VISUALS
