// Drawing and measuring texts with the interface's faces (visuals/fonts.h).
// Texts are Windows-1252 byte strings: each byte is one character, looked up in
// the face by the Unicode code point of that byte.
#pragma once
#include <cstdint>
#include <string>

#include "platform/images.h"
#include "visuals/fonts.h"

namespace QUARLE_VISUALS {

// Draws the text glyph by glyph with its top at y onto the image, or onto the
// work page for a null image, through GlyphBlitters[mode] (mode clamped to
// 0..3), in `size`-pixel glyphs. Drawing stops before the first glyph that
// would reach past the image's width less rightMargin (a margin below 0 or
// above the width counts as 0); glyphs are cut at the target's bottom edge.
// Gives the number of characters drawn (the text's length when all were), or
// -19 (y + size beyond the height, a size below 1, no face, or no work page),
// -32, -33, -34 on a FreeType failure (the characters before it stay drawn).
int32_t DrawTextFT(platform::Image* image, int32_t x, int32_t y, int32_t rightMargin,
                   const std::string& text, FontFace face, int32_t size, uint32_t colour,
                   int32_t mode);

// The same drawing kept to one cell of the target, the columns cellX ..
// cellX + cellW - 1 (cut to the target): from x on, only the glyphs that lie
// wholly within the cell are drawn, and drawing stops before the first glyph
// that would reach past its right edge, so a text longer than its cell shows
// its head in whole glyphs. Gives what DrawTextFT gives.
int32_t DrawTextInCell(platform::Image* image, int32_t x, int32_t y, int32_t cellX, int32_t cellW,
                       const std::string& text, FontFace face, int32_t size, uint32_t colour,
                       int32_t mode);

// The text as a list shows a name in `width` pixels from where it is drawn:
// the text itself when all its glyphs fit; else its head and its end with the
// mark "\x85" (an ellipsis) between, the end taking up to half the room, so
// names that differ only near their end (a number, a take, the extension)
// still differ in view. No cut splits an escape form (platform/paths.h);
// the text itself when not even the mark fits, or on a FreeType failure.
std::string NameInWidth(const std::string& text, FontFace face, int32_t size, int32_t width);

// Advance in pixels of the text's first character at that size (an advance
// below 1 gives size - 1), or -32, -33, -34.
int32_t GlyphAdvance(const std::string& character, FontFace face, int32_t size);

// Width in pixels of the text; size clamped to 8..100. With the font's advance
// tables: 1 + the sum of the advances (so the empty text measures 1); 0 after
// the "Font RAM Manager: " report when no table can be made. A font without
// tables (the icon font) is measured with the text font's face instead, as the
// plain sum of the advances.
int32_t TextWidth(const std::string& text, const FontRecord* font, int32_t size);

// How many leading characters fit in `width` pixels. A line feed or carriage
// return at index i ends the line there and gives i + 1 (the break belongs to
// its line). With breakAtSpace a cut is moved back to just after the last
// space, when there is one after the first character.
int32_t TextFitCount(const std::string& text, const FontRecord* font, int32_t size,
                     int32_t width, bool breakAtSpace);

// The first position (counting from 1) of the longest run of characters that
// ends at endPos (clamped to 1..length) and fits in `width` pixels; endPos when
// not even that character fits. A line break before endPos ends the run, which
// then starts right after it. With breakAtSpace the start moves forward to the
// next space before endPos, when there is one. 0 for the empty text.
int32_t TextFitBackward(const std::string& text, const FontRecord* font, int32_t size,
                        int32_t width, int32_t endPos, bool breakAtSpace);

}  // namespace QUARLE_VISUALS
