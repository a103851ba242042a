// Small drawing routines shared by the renderer, the text drawing and the draw
// callbacks: the four glyph blitters, the per-pixel blender for custom-blend
// image copies, and the bevel frames.
//
// Blend formulas work on red and blue together (mask 0x00FF00FF, "rb") and on
// green alone (mask 0x0000FF00, "g"), each product shifted right by 8, so a
// weight of 255 gives 255/256 of a value: white drawn at full coverage by mode 0
// is 0xFFFEFEFE. That is the look the interface was tuned for; keep it.
#pragma once
#include <cstdint>

#include "platform/images.h"

struct FT_FaceRec_;  // FreeType's face record

namespace QUARLE_VISUALS {

using FontFace = FT_FaceRec_*;  // FreeType's FT_Face

// The image that draw callbacks and DrawFrame paint on: the control's canvas
// while the renderer paints into one, null for the work page. Set by the
// renderer before each control is drawn; video thread only.
// one thread: video
extern platform::Image* DrawTarget;

// A coverage bitmap as the font engine renders it: one byte a pixel (0 none ..
// 255 full), or one bit a pixel for `mono` (embedded bitmap strikes); `pitch`
// bytes from one row down to the next, negative when the rows run upwards in
// memory (buffer then points at the lowest row's bytes, as FreeType keeps it).
// one thread: value
struct GlyphBitmap {
  int32_t rows = 0;
  int32_t width = 0;
  int32_t pitch = 0;
  const uint8_t* buffer = nullptr;
  bool mono = false;
};

// A blitter puts the face's current rendered glyph (FT_Render_Glyph's bitmap)
// with its top-left pixel at (x, y) on the image, or on the work page for a null
// image (holding the work page's lock for the whole glyph). Parts of the glyph
// outside the target are cut.
using GlyphBlitFn = void (*)(platform::Image* target, FontFace face, int32_t x, int32_t y,
                             uint32_t colour);

// Mode 0: coverage blend where coverage > 0; the result takes the colour's alpha.
void GlyphBlit0(platform::Image* target, FontFace face, int32_t x, int32_t y, uint32_t colour);
// Mode 1: every pixel of the glyph box moves towards the colour by the coverage;
// the result's alpha is 0.
void GlyphBlit1(platform::Image* target, FontFace face, int32_t x, int32_t y, uint32_t colour);
// Mode 2: every pixel of the glyph box becomes the colour with the coverage as
// alpha (transparent where the coverage is 0): for text layers blitted later.
void GlyphBlit2(platform::Image* target, FontFace face, int32_t x, int32_t y, uint32_t colour);
// Mode 3: like mode 0 but keeps the destination's alpha, and paints empty
// (alpha 0) pixels with the colour at the coverage as alpha.
void GlyphBlit3(platform::Image* target, FontFace face, int32_t x, int32_t y, uint32_t colour);

// Entry m is the blitter of mode m. Ready before main runs; the program's
// start-up may fill it again.
// one thread: start-up
extern GlyphBlitFn GlyphBlitters[4];

// The blitters' work on a given bitmap; mode is 0..3 (others draw nothing).
void BlitCoverage(int32_t mode, platform::Image* target, const GlyphBitmap& glyph, int32_t x,
                  int32_t y, uint32_t colour);
// One pixel by the rule of a mode: coverage a over destination d.
uint32_t GlyphBlendPixel(int32_t mode, uint32_t colour, uint32_t a, uint32_t d);

// The blender the draw callbacks hand to platform::ImageCopyCustom (with
// parameter 0): the source over the destination by the source's alpha; with a
// non-zero parameter the destination's own alpha weakens its share. Always
// opaque; a source alpha of 0 leaves the destination.
uint32_t AlphaBlendPixel(uint32_t source, uint32_t destination, int64_t parameter);

// Bevel styles; a style above 2 counts as flat.
constexpr uint8_t kFrameFlat = 0;
constexpr uint8_t kFrameRaised = 1;
constexpr uint8_t kFrameSunken = 2;

// The dark colour of a bevel: red, green and blue halved, alpha 255.
uint32_t FrameDarkColour(uint32_t colour);

// A bevel frame of `thickness` one-pixel rings round the rectangle whose x, y,
// w, h are the first four words at `rect` (a RenderRecord snapshot qualifies),
// drawn on DrawTarget. Thickness 0 or below draws nothing.
void DrawFrame(const int32_t* rect, uint8_t style, int32_t thickness, uint32_t colour);
// The same frame on an image (null: the work page). A w or h of 0 takes the
// image's width or height; a negative x or y becomes 0 with w and h kept (the
// frame moves, it is not cut).
void DrawFrameOnImage(platform::Image* image, uint8_t style, int32_t thickness, uint32_t colour,
                      int32_t x, int32_t y, int32_t w, int32_t h);

}  // namespace QUARLE_VISUALS
