#include "ui/views/graphs.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "engine/catalog/catalog.h"
#include "engine/dsp/waves.h"
#include "engine/dsp/windows.h"
#include "ui/views/control_drawing.h"
#include "visuals/glyphs.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

namespace {

constexpr uint32_t kWhite = 0xFFFFFFFF;

// A shape value that is not a number draws nothing above the centre line.
double Finite(float v) { return std::isfinite(v) ? static_cast<double>(v) : 0.0; }

// A filter's tap as the graph draws it: 1 reaches the picture's edge, and a
// file's huge taps are held just past it, so their bars stay within the
// coordinates a box can span.
double Shown(float v) { return std::clamp(Finite(v), -2.0, 2.0); }

void Background(platform::Image* p, int32_t W, int32_t H, uint32_t colour) {
  ImageBox(p, 0, 0, W - 1, H - 1, colour);
}

void Box(platform::Image* p, int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour) {
  ImageBox(p, std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2), colour);
}

// Copies the cached picture (drawn again first when the data changed) and
// frames the graph.
template <class Paint>
void ShowGraph(V::RenderRecord* snap, int32_t id, Paint paint) {
  const int32_t B = V::BorderWidth;
  platform::Image* picture = LayerAt(LiveControl(id), 0);
  if (picture && snap->Text.Changed != 0) paint(picture, snap->W - 2 * B, snap->H - 2 * B);
  if (picture) CopyImageOpaque(picture, snap->X + B, snap->Y + B);
  V::DrawFrame(&snap->X, V::kFrameFlat, B, kGraphFrame);
}

}  // namespace

void PaintWavePreview(platform::Image* p, int32_t W, int32_t H, uint32_t background,
                      int32_t shape) {
  if (!p || W < 1 || H < 1) return;
  Background(p, W, H, background);
  if (shape < 0 || shape >= kWaveShapeCount) return;
  const WaveFunction f = WaveShapeTable[shape].Function;
  if (!f) return;
  const int32_t mid = Nearest(H * 0.5);
  const float step = 1.0f / static_cast<float>(W);
  // White noise draws from the render's generator, the audio thread's: the
  // preview draws from its own, the same noise every frame.
  std::minstd_rand noise(1);
  for (int32_t x = 0; x < W; ++x) {
    if (f == WaveWhiteNoise) {
      const double r = static_cast<double>(noise() - noise.min()) / static_cast<double>(noise.max() - noise.min());
      const int32_t yn = Nearest((mid - 1) * (2.0 * r - 1.0));
      platform::DrawLine(p, x, mid - yn, x, mid, kWhite);
      continue;
    }
    // The phase starts anew for every column: a shape that advances its phase
    // does not carry it over.
    float phase = static_cast<float>(x) / static_cast<float>(W);
    const double v = Finite(f(&phase, 1.0f, step, 0.0f, 1.0f, 1.0f));
    const int32_t yv = Nearest((mid - 1) * v);
    platform::DrawLine(p, x, mid - yv, x, mid, kWhite);
  }
}

void PaintFilterGraph(platform::Image* p, int32_t W, int32_t H, uint32_t background,
                      int32_t taps, const float* kernel, const float* window) {
  if (!p || W < 1 || H < 1) return;
  Background(p, W, H, background);
  if (taps < 1 || !kernel || !window) return;
  if (taps > kFirMaxTaps) taps = kFirMaxTaps;
  // The taps start at the picture's left edge, so the whole design shows.
  const int32_t X0 = 0;
  const int32_t bar = std::max(Nearest(static_cast<double>(W) / taps), 1);
  const int32_t mid = Nearest(H * 0.5);
  const float dx = static_cast<float>(W) / static_cast<float>(taps);
  for (int32_t i = 0; i < taps; ++i) {
    const int32_t xi = X0 + static_cast<int32_t>(std::floor(static_cast<float>(i) * dx));
    Box(p, xi, mid - Nearest((mid - 1) * Shown(kernel[i])), xi + bar, mid, kWhite);
    const int32_t hw = Nearest((mid - 1) * Shown(window[i]));
    platform::DrawLine(p, xi, mid - hw, xi + bar, mid - hw, kFilterWindowColour);
  }
  platform::DrawLine(p, X0, mid, X0 + W - 1, mid, kFilterWindowColour);
  const int32_t xc = X0 + Nearest(static_cast<double>(taps) * dx) / 2;
  platform::DrawLine(p, xc, 0, xc, H - 1, kFilterWindowColour);
}

int32_t DrawWavePreview(V::RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ShowGraph(snap, id, [snap](platform::Image* p, int32_t W, int32_t H) {
    PaintWavePreview(p, W, H, snap->Colour, snap->Text.Selected);
  });
  return 0;
}

int32_t DrawFilterGraph(V::RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  // The design as its last build published it: the filter page rebuilds it
  // meanwhile, and the redraw it publishes then brings the new one.
  FirGraphCopy graph;
  CopyFirGraph(graph);
  ShowGraph(snap, id, [snap, &graph](platform::Image* p, int32_t W, int32_t H) {
    PaintFilterGraph(p, W, H, snap->Colour, graph.TapCount, graph.Kernel, graph.Window);
  });
  return 0;
}

}  // namespace Tarvelo
