// Draw callbacks of the generic controls (buttons, tabs, switches, selectors,
// links, frames, panels, labels, value fields) and the drawing conventions that
// every view of the interface follows.
//
// Every draw callback runs on the video thread under MT_DRAW with a private
// snapshot of the control's RenderRecord and paints on DrawTarget: the
// control's canvas (coordinates from 0, 0) when it is non-null, else the work
// page (absolute coordinates). The live ControlRecord is read only for what the
// snapshot lacks: layer images, the tag and the overlay flags, which only the
// video thread touches once the interface is built.
//
// Conventions:
//   B = BorderWidth; Nearest(v) = v to the nearest integer, halves to even.
//   Boxes are filled boxes with inclusive corners.
//   To blit is to lay an image over the target by its per-pixel alpha (the
//   custom blender AlphaBlendPixel on a canvas, the plain alpha copy on the
//   work page).
//   Layer 0 is the caption image; the last layer is the gradient overlay when
//   the control's overlay flag (GradientFlag) is set.
#pragma once
#include <cmath>
#include <cstdint>
#include <string>

#include "platform/images.h"
#include "visuals/controls.h"
#include "visuals/fonts.h"

namespace Tarvelo {

struct ParamValue;
using QUARLE_VISUALS::ControlRecord;
using QUARLE_VISUALS::RenderRecord;

// --- Palette ------------------------------------------------------------------
constexpr uint32_t kColourFrameRest = 0xFF4B4B5A;   // buttons, tabs, switches, selectors at rest
constexpr uint32_t kColourFrameHover = 0xFFBEBEFF;  // hovered frames; value field hovered or pressed
constexpr uint32_t kColourBlue = 0xFF175DB0;        // tab on; record hover frame; selected bit cell
constexpr uint32_t kColourAmber = 0xFFC89600;       // pressed fills, hovered arrows, armed MIDI
constexpr uint32_t kColourGreen = 0xFF057805;       // on fills, confirmed MIDI, set bit cell
constexpr uint32_t kColourGrey = 0xFF32323C;        // default fill, record off, clear bit cell
constexpr uint32_t kColourNavy = 0xFF0A2A4D;        // tab off; frames of panels and value fields
constexpr uint32_t kColourGroupFrame = 0xFF3C3C4B;  // group frames and list frames
constexpr uint32_t kColourWhite = 0xFFFFFFFF;
constexpr uint32_t kColourBlack = 0x00000000;       // pressed caption; cleared layers
constexpr uint32_t kColourStrip = 0xFF141419;       // background of the text strips and idle read-outs
constexpr uint32_t kColourRed = 0xFF960F0F;         // alarms of the read-outs, input power on

// --- Shared drawing state (video thread only) -----------------------------------
// Each callback sets what it uses before use; the values persist to the next.
// one thread: video, the draws' pens (the section's comment)
extern uint32_t FrameColour;
extern uint8_t FrameStyle;  // 0 flat, 1 raised, 2 sunken
extern uint32_t FillColour;
extern uint32_t TextColour;
extern QUARLE_VISUALS::FontRecord* DrawFont;

// --- Helpers for every draw callback --------------------------------------------
// v to the nearest integer, halves to even (double precision). Inline: the
// views round every point they draw.
inline int32_t Nearest(double v) {
  if (!std::isfinite(v)) return 0;
  if (v > 2147483647.0) return 2147483647;
  if (v < -2147483648.0) return -2147483647 - 1;
  return static_cast<int32_t>(std::nearbyint(v));
}
// The size values of the interface: BorderWidth, UiUnit, the icon font's glyph size.
int32_t BorderPx();
int32_t UnitPx();
int32_t IconPx();
// -1 while gradient overlays are shown (the "USE SHADER" setting).
int64_t ShadersOn();

// Layer `index` of the live control, null when the control, the slot or the
// image is missing.
platform::Image* LayerAt(const ControlRecord* c, int32_t index);
// The live control of a draw callback's id (null when it does not exist).
ControlRecord* LiveControl(int32_t id);

// Filled box (x1, y1)-(x2, y2), corners included, on DrawTarget.
void FillBox(int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour);
// One-pixel outline of the box (x1, y1)-(x2, y2) on DrawTarget.
void OutlineBox(int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour);
// Line on DrawTarget with a 16-bit on/off pattern (bit 15 first, repeating
// along the line; 0xFFFF solid, 0xCCCC dotted).
void PatternLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint32_t colour,
                 uint16_t pattern);
// Outline of the box (x1, y1)-(x2, y2) drawn with a line pattern.
void PatternBox(int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour,
                uint16_t pattern);
// Lays the whole image over DrawTarget at (x, y) by its per-pixel alpha.
void BlitImage(const platform::Image* image, int32_t x, int32_t y);
// The same, only the part that falls within the rectangle rx, ry, rw, rh.
void BlitImageWithin(const platform::Image* image, int32_t x, int32_t y, int32_t rx, int32_t ry,
                     int32_t rw, int32_t rh);
// Copies the whole image onto DrawTarget with every pixel replacing the target.
void CopyImageOpaque(const platform::Image* image, int32_t x, int32_t y);
// Adds the image's red, green and blue to the target (saturating), alpha 255.
void CopyImageAdditive(const platform::Image* image, int32_t x, int32_t y);
// Clears the box (0, 0)-(x2, y2) of an image to transparent black (cut to the image).
void ClearImage(platform::Image* image, int32_t x2, int32_t y2);
// Fills a box (corners included) of an image; cut to the image.
void ImageBox(platform::Image* image, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
              uint32_t colour);
// The control's overlay (its last layer) laid over (x, y) when its overlay flag
// is -1, shaders are on and the layer exists.
void BlitOverlay(const ControlRecord* c, int32_t x, int32_t y);
// The same, cut to w x h: for a control resized after its overlay was made.
void BlitOverlay(const ControlRecord* c, int32_t x, int32_t y, int32_t w, int32_t h);
// DrawFrame round the snapshot's rectangle.
void FrameRect(const RenderRecord* snap, uint8_t style, int32_t thickness, uint32_t colour);

// Renders a button's caption into its layer 0 as the button scheme does:
// text in TextFont (or the style's glyph), width clamped to the layer and
// written back to the snapshot and the live text field, aligned, drawn in
// TextColour with blit mode 2. Nothing without layer 0.
void RenderCaption(RenderRecord* snap, ControlRecord* c);

// --- Draw callbacks ---------------------------------------------------------------
// (snapshot, control id) -> 0, except DrawValueField (a negative text code).
int32_t DrawButton(RenderRecord* snap, int32_t id);
int32_t DrawRecordButton(RenderRecord* snap, int32_t id);
int32_t DrawMidiMapButton(RenderRecord* snap, int32_t id);
int32_t DrawTab(RenderRecord* snap, int32_t id);
int32_t DrawMultiStateSwitch(RenderRecord* snap, int32_t id);
int32_t DrawToggleSwitch(RenderRecord* snap, int32_t id);
int32_t DrawLogo(RenderRecord* snap, int32_t id);
int32_t DrawSelector(RenderRecord* snap, int32_t id);
int32_t DrawLink(RenderRecord* snap, int32_t id);
int32_t DrawGroupFrame(RenderRecord* snap, int32_t id);
int32_t DrawPanel(RenderRecord* snap, int32_t id);
int32_t DrawAboutWindow(RenderRecord* snap, int32_t id);
int32_t DrawLabel(RenderRecord* snap, int32_t id);
int32_t DrawValueField(RenderRecord* snap, int32_t id);
// The value fields' live watch: whether a shown field's value changed since it
// was drawn (its Dirty flag), or a controller moved the selected module's
// selected value, which its field takes up when drawn. Video thread only.
bool ValueFieldHasNews();

// The centring offset of a value field's text, written by DrawValueField under
// the value's lock; the value editor adds it when it looks for a segment.
int32_t& ValueFieldOffset(ParamValue& v);

}  // namespace Tarvelo
