// The scope and spectrum view (SCOPE): it drains the output blocks the audio
// thread reported into its own sample buffer, advances through them in step
// with the time that passed, and paints a window of up to 4096 floats (2048
// stereo frames) as a waveform, an X-Y figure, an X-Y trace with glow, or a
// spectrum. The control has no box or frame of its own: it shows through the
// synth plane drawn after it.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/images.h"
#include "platform/screen.h"
#include "visuals/controls.h"

namespace Tarvelo {

// The visualization mode: 0 off, 1 waveform, 2 X-Y, 3 mirror, 4 spectrum.
// Written by the visualization-mode switch (and taken from the "SCOPE"
// setting when the views are installed), read by the video thread.
extern std::atomic<int32_t> ScopeMode;

// The window the scope paints: at most this many floats from the buffer's start.
constexpr int32_t kScopeWindowFloats = 4096;
// The sample buffer (the engine's scope sample window) holds this many floats.
constexpr int32_t kScopeBufferFloats = 32768;

// The buffer's fill and the pacing state; video thread only. Exposed so that
// tests can set up a known state.
// one thread: video
struct ScopePacing {
  int32_t count = 0;          // floats in the buffer
  double deferred = 0.0;      // advance owed while too little sound was there
  double previousTime = -1.0; // clock of the previous move; below 0 before the first
  // Set once ScopeHasNews moves the buffer on every frame: the draw then only
  // paints, so a frame drawn in several parts shows one window throughout.
  bool movedByNews = false;
};
// one thread: video, the scope's draw and its per-frame news
extern ScopePacing ScopeState;
// The buffer (the engine's block), null before the engine is up.
float* ScopeBuffer();
// The clock (seconds) the buffer advances by: the high-resolution clock unless
// replaced (tests drive it); null restores it.
void SetScopeClock(double (*clock)());

int32_t DrawScope(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
// Once a frame, while a mode is on and the sound plays: moves the buffer on (the
// ring's new blocks, the time that passed) and says whether the window the mode
// paints differs from the one last shown; also true when the scope is switched
// on, off or to another mode. Video thread only (it remembers what it showed).
bool ScopeHasNews();
// The parts of the scope's control (its published rectangle) to redraw in this
// frame: the band the mode's picture reaches now, joined with the band of the
// last frame (so the old picture is wiped): the waveform's rows, the X-Y
// figure's or the mirror trace's box, the spectrum's two edge strips. Returns
// their count, or -1 for all of the control (when the mode switches, before a
// band is known, on several monitors). Video thread only, after ScopeHasNews.
int32_t ScopeRedrawArea(const platform::ScreenRect& control, platform::ScreenRect* areas);
// For area i of ScopeRedrawArea's last answer, the columns of each of its rows
// that the picture reaches, now or in the last frame (2 values a row, the first
// and past-the-last column): the spectrum's contours wind through their strips
// and are redrawn along them only. Null: all of the area (the other modes).
const int32_t* ScopeRedrawRows(int32_t area);

// The mode painters, on DrawTarget from the snapshot's rectangle, over
// `count` floats of interleaved stereo at `window`.
void DrawScopeWaveform(const QUARLE_VISUALS::RenderRecord* snapshot, const float* window,
                       int32_t count);
void DrawScopeXY(const QUARLE_VISUALS::RenderRecord* snapshot, const float* window,
                 int32_t count);
void DrawScopeMirror(const QUARLE_VISUALS::RenderRecord* snapshot, const float* window,
                     int32_t count);
void DrawScopeSpectrum(const QUARLE_VISUALS::RenderRecord* snapshot, const float* window,
                       int32_t count);

// The 3 x 3 marker sprites of the scope (centre, edge and corner colours):
// 0 left channel (red), 1 right channel (blue), 2 X-Y older trace (green),
// 3 X-Y newer glow (magenta). Made on first use; null when they cannot be.
platform::Image* ScopeMarker(int32_t which);
void FreeScopeMarkers();

}  // namespace Tarvelo
