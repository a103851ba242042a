// The two graphs of the module panel: the wave-shape preview (PGRAPH), one
// period of the selected oscillator shape, and the filter graph (FGRAPH), the
// taps of the FIR filter being designed with the window applied to them. Each
// keeps its picture in its layer 0, drawn again only when the control is
// published with redraw flags, and copied to the screen every frame.
#pragma once
#include <cstdint>

#include "platform/images.h"
#include "visuals/controls.h"

namespace Tarvelo {

constexpr uint32_t kGraphFrame = 0xFF32323C;
constexpr uint32_t kFilterWindowColour = 0xFFFF00AA;

// Paints the pictures into an image of W x H (the control less its border).
// shape: a wave-shape index 0..11, anything else leaves the background only.
void PaintWavePreview(platform::Image* picture, int32_t W, int32_t H, uint32_t background,
                      int32_t shape);
// taps: the design's tap count (1..128); kernel and window hold that many.
void PaintFilterGraph(platform::Image* picture, int32_t W, int32_t H, uint32_t background,
                      int32_t taps, const float* kernel, const float* window);

int32_t DrawWavePreview(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
int32_t DrawFilterGraph(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);

}  // namespace Tarvelo
