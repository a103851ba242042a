// Layer images and text-field operations of controls: the fixed pictures drawn
// once at construction (an icon glyph centred in a box, a text label aligned in
// a box, one blank row image per visible row of a list), keeping a list's
// selected row in view, and starting a text edit.
//
// Boxes leave BorderWidth pixels free on each side: a width or height of 0
// means the control's size less 2 x BorderWidth. Main thread only.
#pragma once
#include <cstdint>
#include <string>

#include "visuals/controls.h"
#include "visuals/fonts.h"

namespace QUARLE_VISUALS {

// Alignments of AddTextLayer.
constexpr int32_t kAlignFit = 0;  // the layer is exactly as wide as the text
constexpr int32_t kAlignLeft = 1;
constexpr int32_t kAlignCentre = 2;
constexpr int32_t kAlignRight = 3;
// Mode 3 layers start filled with this instead of transparent black.
constexpr uint32_t kLayerMode3Fill = 0xFFFF00FF;

// The font of the active edit field (set from TextFont by StartTextEdit).
// one thread: interface, the text editing's
extern FontRecord EditFont;

// Copies the style into the control and adds a layer with the style's glyph
// centred in a w x h box (at least the glyph's advance wide and size + 2 high);
// the box's height and width go to the style's SizeA and SizeB. The drawing's
// result (0 or more), a negative drawing or measuring error, -21 when the image
// cannot be made, -19 for a control that does not exist.
int32_t AddGlyphLayer(int32_t id, const TextStyle* style, int32_t mode, int32_t w, int32_t h);
// Sets the control's text, text size and alignment and adds a layer with the
// text drawn in TextFont in the text colour, aligned in a w x h box; the text's
// drawn width goes to LayoutWidth. Results as AddGlyphLayer.
int32_t AddTextLayer(int32_t id, const std::string& text, int32_t size, int32_t align,
                     int32_t mode, int32_t w, int32_t h);
// Sets the list's text size and visible rows and adds one transparent row image
// per row, (width - 2 x BorderWidth + 1) x (rowHeight + 1). The index of the
// first row image; -19 for rows below 1 or a control that does not exist (nothing
// changes); -21 when the layer array cannot grow.
int32_t SetListRows(int32_t id, int32_t textSize, int32_t rows, int32_t rowHeight);
// Clamps the selection to the items and scrolls the list (normal or reversed
// order) so that it is visible; publishes the text field. The selection after
// clamping (below 0 for none, and -1 for a control that does not exist).
int32_t ScrollToSelection(int32_t id, int32_t itemCount);
// Makes the control the ActiveEditField holding the text, caret after its last
// character, shown and pressed (the previous field is released). 0; -19 for a
// control that does not exist.
int32_t StartTextEdit(int32_t id, const std::string& text);

}  // namespace QUARLE_VISUALS
