// The synth plane's pictures: the cables from module outputs to the inputs
// they feed (and from the synth output module to SOUT), the module boxes, their
// port controls and SOUT.
//
// Cables are costly to paint (a glowing band each), so they are kept in the
// plane's layer 0 and painted again only when CablesDirty is set or a frame
// finds that a cable changed; while a box or the plane is dragged
// (PlaneMoving), and for good once the frame rate has proved low
// (LowFrameRateMode), they are drawn as plain dashed lines instead.
//
// Draw callbacks run on the video thread under MT_DRAW.
#pragma once
#include <atomic>
#include <cstdint>

#include "basics/geometry.h"
#include "visuals/controls.h"

namespace Tarvelo {

struct ModuleRecord;

using QUARLE_BASICS::Segment;
using QUARLE_VISUALS::RenderRecord;

// Cable kinds: 0 the input takes its source's level, 1 its frequency, 2 the
// synth output cable. The same index picks the glow sprite and ramp.
constexpr int32_t kCableKinds = 3;
extern const uint32_t CableColours[kCableKinds];

// Read each frame; set to -1 by the system-bar tick once the frame rate has
// stayed low, never cleared.
extern std::atomic<int64_t> LowFrameRateMode;
// Cables drawn dashed: the plane moving, or a low frame rate seen. Both words
// are the interface thread's; draws only read them.
bool PlaneInMovingLook();

// The inner rectangle of the plane, whole pixels: a point on its border counts
// as outside.
// one thread: value
struct CableBounds {
  float xmin = 0.0f, xmax = 0.0f, ymin = 0.0f, ymax = 0.0f;
};
// The plane control's inner rectangle (BorderWidth inside its edges).
CableBounds PlaneCableBounds(int32_t planeId);

// The part of the cable that lies inside the rectangle, or a null segment
// (dx = dy = 0) when none does. A cable with one end inside is returned from
// that end to the border; one with both ends outside runs between its two
// border crossings, or is null when it crosses fewer than two edges strictly
// inside their corners.
Segment& BuildCablePath(Segment& out, const Segment& cable, const CableBounds& bounds);
Segment& BuildCablePath(Segment& out, const Segment& cable, int32_t planeId);

// The clip rectangle of DrawCable: left, right, top, bottom (pixels included).
// one thread: value
struct CableClip {
  float left = 0.0f, right = 0.0f, top = 0.0f, bottom = 0.0f;
};

// Paints the cable as a straight glowing band into a 32-bit image: every pixel
// within reach of the centre line, between the two end points and inside the
// clip rectangle, becomes ramp[nearest(K x distance)] when that index is below
// 3W (replacing what was there). The ramp must hold at least 3W entries; the
// clip rectangle must lie inside the image. DrawSynthPlane passes W = 2 x
// UiUnit, K = 6: the band then reaches UiUnit pixels either side.
void DrawCable(uint32_t* pixels, int32_t pitch, const Segment& cable, const CableClip& clip,
               const uint32_t* ramp, int32_t W, int32_t K);

// Collects this frame's visible cables in window coordinates, under the module
// list's lock: the inputs fed by another live module with a box (of modules
// whose "cables drawn" word is set), then the synth output cable. kinds[i] is
// the kind of cables[i]. Returns the count; never more than `capacity`.
int32_t CollectCables(int32_t planeId, Segment* cables, int32_t* kinds, int32_t capacity);
// An upper bound of CollectCables' count for the present module list.
int32_t CableCapacity();

// The frame watch of the plane (QUARLE_VISUALS::SetFrameWatch): at the start of
// each frame the cables are collected and wherever one changed since the last
// frame (made, removed, moved, restyled: dashed or glowing, a new zoom) its
// old and new place are marked for redrawing; the plane then draws that
// collection. It places the boxes where they were last published, and works
// out the look of each box and port (module state, the selection, the flags
// below) under the module list's try-lock: their draws take that look and read
// no module. Video thread only.
void BeginCableFrame();
void EndCableFrame();
// The frame watch also takes the render's one-frame flags (ClipFlag,
// MidiMoved) from the modules: the value of `m`'s parameter `p` was moved by a
// controller for the frame being drawn. Video thread only.
bool MovedThisFrame(const ModuleRecord* m, int32_t p);

// Draw callbacks: 0, except DrawModuleBox, which gives a failed caption's
// negative text code (the rest of the box is drawn all the same).
int32_t DrawSynthPlane(RenderRecord* snap, int32_t id);
int32_t DrawModuleBox(RenderRecord* snap, int32_t id);
int32_t DrawModulePort(RenderRecord* snap, int32_t id);
int32_t DrawSynthOutput(RenderRecord* snap, int32_t id);
// Where DrawSynthOutput paints beyond its control (QUARLE_VISUALS::SetPaintReach).
void SynthOutputReach(const QUARLE_VISUALS::ControlRecord* c, int32_t& x0, int32_t& y0,
                      int32_t& x1, int32_t& y1);

}  // namespace Tarvelo
