#include "visuals/text.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "platform/charset.h"
#include "platform/paths.h"
#include "platform/screen.h"

namespace QUARLE_VISUALS {

namespace {

// Loads and renders the glyph of one Windows-1252 byte into the face's slot.
// Caller holds the face lock and has set the size.
int32_t LoadAndRender(FontFace face, unsigned char c) {
  const FT_UInt index = FT_Get_Char_Index(face, platform::Cp1252ToUnicode(c));
  if (FT_Load_Glyph(face, index, FT_LOAD_DEFAULT)) return -kErrFontLoadGlyph;
  if (FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL)) return -kErrFontRender;
  return 0;
}

int32_t SetSize(FontFace face, int32_t size) {
  if (!face || size < 1) return -kErrFontPixelSize;
  if (FT_Set_Pixel_Sizes(face, static_cast<FT_UInt>(size), static_cast<FT_UInt>(size)))
    return -kErrFontPixelSize;
  return 0;
}

int32_t ClampSize(int32_t size) { return std::clamp(size, kFontMinSize, kFontMaxSize); }

void ReportNoTable() {
  QUARLE_BASICS::Report(QUARLE_BASICS::LangText(98, "Font RAM Manager: ") +
                            QUARLE_BASICS::ErrorText(QUARLE_BASICS::kErrAllocation),
                        QUARLE_BASICS::kLevelError);
}

// The advance table of a font at a clamped size, built on first use; null after
// the report when it cannot be made. Caller holds MT_FONT.
const int32_t* TableLocked(const FontRecord* font, int32_t size) {
  int32_t*& slot = font->Widths[size - kFontMinSize];
  if (!slot) {
    int32_t* table = FontAllocTable(256);
    if (table) {
      for (int k = 0; k < 256; ++k) {
        // A character the face cannot render measures 0 rather than its error code.
        const int32_t a = GlyphAdvance(std::string(1, static_cast<char>(k)), font->Face, size);
        table[k] = a > 0 ? a : 0;
      }
    }
    slot = table;
  }
  if (!slot) ReportNoTable();
  return slot;
}

// Runs f(advanceOf) with a per-character advance at the clamped size: from the
// font's table (MT_FONT held meanwhile) or, for a font without tables, measured
// with the text font's face. Gives false when no table could be made.
template <typename F>
bool WithAdvances(const FontRecord* font, int32_t size, F f) {
  if (font && font->Widths) {
    platform::MutexGuard g(MT_FONT);
    const int32_t* table = TableLocked(font, size);
    if (!table) return false;
    f([table](unsigned char c) { return table[c]; });
    return true;
  }
  f([size](unsigned char c) {
    const int32_t a = GlyphAdvance(std::string(1, static_cast<char>(c)), TextFont.Face, size);
    return a > 0 ? a : 0;
  });
  return true;
}

bool IsLineBreak(unsigned char c) { return c == 10 || c == 13; }

// The target's size; false for the work page while no screen is open.
bool TargetSize(const platform::Image* image, int64_t& W, int64_t& H) {
  if (image) {
    W = image->width;
    H = image->height;
    return true;
  }
  int64_t depth = 0;
  platform::ScreenInfo(W, H, depth);
  return platform::ScreenPointer() != nullptr;
}

// Draws the glyphs from x whose bitmaps lie within the columns [left, right)
// of a target H pixels high, stopping at the first that reaches past right.
int32_t DrawGlyphsWithin(platform::Image* image, int64_t H, int64_t left, int64_t right, int32_t x,
                         int32_t y, const std::string& text, FontFace face, int32_t size,
                         uint32_t colour, int32_t mode) {
  mode = std::clamp(mode, 0, 3);
  if (!face || size < 1) return -QUARLE_BASICS::kErrBadParameter;
  if (static_cast<int64_t>(y) + size > H) return -QUARLE_BASICS::kErrBadParameter;

  FaceGuard guard;
  if (SetSize(face, size)) return -kErrFontPixelSize;
  int64_t d = 0;
  if (face->units_per_EM > 0) {
    d = 1 + static_cast<int64_t>(std::floor(static_cast<double>(face->descender) * size /
                                            static_cast<double>(face->units_per_EM)));
    if (d > 0) d = 0;
  }
  const GlyphBlitFn blit = GlyphBlitters[mode];
  int64_t pen = x;
  for (size_t i = 0; i < text.size(); ++i) {
    int64_t base = static_cast<int64_t>(y) + size - 1 + d;
    const int32_t r = LoadAndRender(face, static_cast<unsigned char>(text[i]));
    if (r) return r;
    const FT_GlyphSlot slot = face->glyph;
    const int64_t bearing = slot->bitmap_left;
    if (pen + bearing + static_cast<int64_t>(slot->bitmap.width) > right)
      return static_cast<int32_t>(i);
    const int64_t top = slot->bitmap_top;
    if (base - top < 0) base = top;  // a glyph taller than the line starts at the top
    const int64_t gx = pen + bearing;
    if (gx >= left && blit && gx <= INT32_MAX && base - top <= INT32_MAX)
      blit(image, face, static_cast<int32_t>(gx), static_cast<int32_t>(base - top), colour);
    pen += slot->advance.x >> 6;
  }
  return static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
}

// one thread: value
struct GlyphSpan {
  int64_t advance = 0;
  int64_t right = 0;  // the bitmap's right edge, from the pen
};

// A byte's glyph as DrawGlyphsWithin places it; false on a failure. Caller
// holds the face lock and has set the size.
bool Measure(FontFace face, unsigned char c, GlyphSpan& span) {
  if (LoadAndRender(face, c)) return false;
  const FT_GlyphSlot slot = face->glyph;
  span = {slot->advance.x >> 6, slot->bitmap_left + static_cast<int64_t>(slot->bitmap.width)};
  return true;
}

// The rightmost column the glyphs [from, to) reach, drawn from `pen` (moved
// past them); `pen` itself for none.
int64_t Reach(const std::vector<GlyphSpan>& spans, size_t from, size_t to, int64_t& pen) {
  int64_t reach = pen;
  for (size_t i = from; i < to; ++i) {
    reach = std::max(reach, pen + spans[i].right);
    pen += spans[i].advance;
  }
  return reach;
}

}  // namespace

std::string NameInWidth(const std::string& text, FontFace face, int32_t size, int32_t width) {
  if (!face || size < 1) return text;
  FaceGuard guard;
  if (SetSize(face, size)) return text;
  const size_t n = text.size();
  // Only the glyphs a cut can keep are measured: from the start until one
  // lies surely past the room (no bearing reaches back a whole size), and
  // from the end through half the room, which may reach back among those.
  std::vector<GlyphSpan> spans(n);
  GlyphSpan mark;
  size_t front = 0;
  int64_t pen = 0;
  for (; front < n && pen <= int64_t{width} + size; pen += spans[front++].advance)
    if (!Measure(face, static_cast<unsigned char>(text[front]), spans[front])) return text;
  if (front == n) {
    pen = 0;
    if (Reach(spans, 0, n, pen) <= width) return text;
  }
  if (!Measure(face, 0x85, mark) || mark.right > width) return text;
  const int64_t half = (width - mark.advance) / 2;
  // The end's measure goes on past where the head's stopped: a name only a
  // little wider than the room keeps as much of its end as a long one.
  size_t back = n;
  for (int64_t advance = 0; back > 0 && advance <= half; advance += spans[back].advance) {
    --back;
    if (back >= front && !Measure(face, static_cast<unsigned char>(text[back]), spans[back]))
      return text;
  }
  // The head reaches only into glyphs measured.
  const size_t measured = back <= front ? n : front;
  const std::vector<size_t> starts = platform::CharacterStarts(text);
  // The end first, within half the room the mark leaves; the head takes the rest.
  size_t tail = n;
  for (size_t k = starts.size() - 1; k-- > 0 && starts[k] >= back;) {
    pen = 0;
    if (Reach(spans, starts[k], n, pen) > half) break;
    tail = starts[k];
  }
  pen = 0;
  const int64_t tailReach = Reach(spans, tail, n, pen);
  size_t head = 0;
  for (size_t k = 1; k < starts.size() && starts[k] <= std::min(tail, measured); ++k) {
    pen = 0;
    const int64_t reach = Reach(spans, 0, starts[k], pen);
    if (reach > width || pen + mark.right > width || pen + mark.advance + tailReach > width) break;
    head = starts[k];
  }
  return text.substr(0, head) + "\x85" + text.substr(tail);
}

int32_t DrawTextFT(platform::Image* image, int32_t x, int32_t y, int32_t rightMargin,
                   const std::string& text, FontFace face, int32_t size, uint32_t colour,
                   int32_t mode) {
  int64_t W = 0, H = 0;
  if (!TargetSize(image, W, H)) return -QUARLE_BASICS::kErrBadParameter;
  if (rightMargin < 0 || rightMargin > W) rightMargin = 0;
  return DrawGlyphsWithin(image, H, 0, W - rightMargin, x, y, text, face, size, colour, mode);
}

int32_t DrawTextInCell(platform::Image* image, int32_t x, int32_t y, int32_t cellX, int32_t cellW,
                       const std::string& text, FontFace face, int32_t size, uint32_t colour,
                       int32_t mode) {
  int64_t W = 0, H = 0;
  if (!TargetSize(image, W, H)) return -QUARLE_BASICS::kErrBadParameter;
  const int64_t left = std::max<int64_t>(cellX, 0);
  const int64_t right = std::min<int64_t>(int64_t{cellX} + std::max(cellW, 0), W);
  return DrawGlyphsWithin(image, H, left, right, x, y, text, face, size, colour, mode);
}

int32_t GlyphAdvance(const std::string& character, FontFace face, int32_t size) {
  FaceGuard guard;
  if (SetSize(face, size)) return -kErrFontPixelSize;
  const unsigned char c = character.empty() ? 0 : static_cast<unsigned char>(character[0]);
  const int32_t r = LoadAndRender(face, c);
  if (r) return r;
  const int32_t advance = static_cast<int32_t>(face->glyph->advance.x >> 6);
  return advance < 1 ? size - 1 : advance;
}

int32_t TextWidth(const std::string& text, const FontRecord* font, int32_t size) {
  size = ClampSize(size);
  int64_t sum = 0;
  const bool cached = font && font->Widths;
  if (!WithAdvances(font, size, [&](auto advanceOf) {
        for (unsigned char c : text) sum += advanceOf(c);
      }))
    return 0;
  if (cached) sum += 1;
  return static_cast<int32_t>(std::min<int64_t>(sum, INT32_MAX));
}

int32_t TextFitCount(const std::string& text, const FontRecord* font, int32_t size,
                     int32_t width, bool breakAtSpace) {
  if (text.empty()) return 0;
  size = ClampSize(size);
  const int64_t n = static_cast<int64_t>(text.size());
  int64_t stop = n;  // index of the first character that does not fit
  int64_t lineEnd = -1;
  if (!WithAdvances(font, size, [&](auto advanceOf) {
        int64_t sum = 0;
        for (int64_t i = 0; i < n; ++i) {
          const unsigned char c = static_cast<unsigned char>(text[i]);
          if (IsLineBreak(c)) {
            lineEnd = i + 1;
            return;
          }
          sum += advanceOf(c);
          if (sum > width) {
            stop = i;
            return;
          }
        }
      }))
    return 0;
  if (lineEnd >= 0) return static_cast<int32_t>(lineEnd);
  if (stop == 0) return 0;
  if (stop == n) return static_cast<int32_t>(n);
  if (!breakAtSpace) return static_cast<int32_t>(stop);
  int64_t cut = stop;
  while (cut > 1 && text[cut - 1] != ' ') --cut;
  return static_cast<int32_t>(cut > 1 ? cut : stop);
}

int32_t TextFitBackward(const std::string& text, const FontRecord* font, int32_t size,
                        int32_t width, int32_t endPos, bool breakAtSpace) {
  if (text.empty()) return 0;
  const int64_t n = static_cast<int64_t>(text.size());
  const int64_t end = std::clamp<int64_t>(endPos, 1, n);
  size = ClampSize(size);
  int64_t stop = 0;      // position (from 1) whose character does not fit; 0: all fit
  int64_t afterBreak = 0;
  if (!WithAdvances(font, size, [&](auto advanceOf) {
        int64_t sum = 0;
        for (int64_t p = end; p >= 1; --p) {
          const unsigned char c = static_cast<unsigned char>(text[p - 1]);
          if (p < end && IsLineBreak(c)) {
            afterBreak = p + 1;
            return;
          }
          sum += advanceOf(c);
          if (sum > width) {
            stop = p;
            return;
          }
        }
      }))
    return 0;
  if (afterBreak > 0) return static_cast<int32_t>(afterBreak);
  if (stop == 0) return 1;
  if (stop == end) return static_cast<int32_t>(end);
  int64_t s = stop + 1;
  if (breakAtSpace) {
    while (s < end && text[s - 1] != ' ') ++s;
    if (s >= end) s = stop + 1;
  }
  return static_cast<int32_t>(s);
}

}  // namespace QUARLE_VISUALS
