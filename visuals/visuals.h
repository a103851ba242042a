// The interface namespace's start and end, and the state it shares between its
// parts: the draw and hover locks, the window list and focus lists, the screen
// mode chosen at start, the focus globals the renderer reads, the pointer state
// of the event loop.
//
// Start: QUARLE_VISUALS::init (window slots, &w, &h, monitors) creates the
// locks, the window and focus lists, the control table, starts the font engine,
// picks the screen mode (ScreenWidth x ScreenHeight) and creates the visual
// command queue. End: VisualsShutdown, harmless when init never ran.
#pragma once
#include <atomic>
#include <cstdint>

#include "basics/dynzstring.h"
#include "basics/queues.h"
#include "platform/threads.h"
#include "visuals/fonts.h"

namespace QUARLE_VISUALS {

using platform::Mutex;
using QUARLE_BASICS::ArrayHeader;
using QUARLE_BASICS::CommandMessage;
// Draw-callback errors are posted to this queue; it lives with the other queue numbers.
using QUARLE_BASICS::VisualsCommandQueue;

constexpr int32_t kMaxScreenModes = 128;
// Window sizes below these are raised; modes outside them are not offered.
constexpr int32_t kMinScreenWidth = 1280;
constexpr int32_t kMinScreenHeight = 720;
constexpr int32_t kMaxScreenWidth = 4096;
constexpr int32_t kMaxScreenHeight = 2160;

// MT_DRAW: drawing and the page flip (renderer, video thread; the main thread
// while it clones controls, saves a snapshot or re-reads the pointer).
// MT_HOVER: the hover text. MT_FONT (visuals/fonts.h): the font width caches.
// one thread: start-up, the locks are made by VisualsInit and destroyed by VisualsShutdown
extern Mutex* MT_DRAW;
extern Mutex* MT_HOVER;

// -1 after a successful init.
// one thread: start-up
extern int64_t VisualsInitialised;

// One entry per window slot: the control id of a top-level window (0 = empty),
// filled by the interface construction. WindowSlotCount is its count and capacity.
// one thread: start-up, filled by the build before the video thread starts; the frame watch reads it
extern int32_t* WindowList;
extern int32_t WindowSlotCount;
// Per window slot: the focus list (null until built) and its count.
// one thread: interface, the focus moves'
extern int32_t** FocusLists;
extern int32_t* FocusListCounts;

// The display modes offered (width, height), ascending as listed; the chosen
// one (-1 none); the size of the screen to open.
// one thread: interface, the start-up and the display settings window
extern float ScreenModes[kMaxScreenModes][2];
extern int32_t ScreenModeCount;
extern int32_t ScreenModeIndex;
extern int64_t ScreenWidth;
extern int64_t ScreenHeight;
// -1 when the last init found no mode within the wished size (a saved size
// the display no longer offers) and took the smallest mode instead, 0
// otherwise: the caller says which setting was passed over.
// one thread: start-up
extern int32_t ScreenSizePassedOver;

// The frame thickness boxes leave free on each side; the focus frame's thickness.
// one thread: start-up, set with the zoom's sizes before the video thread starts; every draw reads it
extern int32_t BorderWidth;

// The control with keyboard and gamepad focus, and the focus mode (bit 0: the
// focus frame is shown; bit 1: a gamepad is present). Written by the event loop,
// read by the video thread for the focus frame.
extern std::atomic<int32_t> FocusedControl;
extern std::atomic<uint32_t> FocusMode;

// The event loop's pointer state (main thread only); init reads the pointer
// position into x, y.
// one thread: interface, the event loop's
struct PointerState {
  int32_t x = 0, y = 0;        // position of the last move (window pixels)
  int32_t dx = 0, dy = 0;      // motion of the last move
  int32_t wheelDelta = 0;      // previous wheel position minus the new one
  int32_t wheelPosition = 0;
  int32_t pressed = 0;         // control on which the left button went down
  int32_t lastTarget = 0;      // control of the last pointer-derived event
  int32_t hit = 0;             // last hit test (or key target)
  int64_t held = 0;            // -1 while the left button is down
  int64_t dragging = 0;
  int64_t dragOver = 0;
  float dragDistance = 0.0f;   // travel while held, before a drag starts
  uint32_t button = 0;         // button word of the last press or release
  int64_t doublePress = 0;     // -1 when the last press was a double-click's second
};
// one thread: interface
extern PointerState Pointer;

// The event loop's fetch buffer for queue 0 (made by the program's start-up with
// std::calloc and ArrayHeaderInit; freed here at shutdown).
// one thread: interface, made by the start-up, used by the event loop
extern CommandMessage* GuiFetchBuffer;
extern ArrayHeader GuiFetchHeader;
// The interface index (UiIndex, 113 control ids) and the dialog edit index,
// made with std::calloc by the program's start-up; freed here at shutdown.
// one thread: start-up, made by the start-up and filled by the build before the video thread starts; draws and the frame watch read it
extern int32_t* UiIndex;
// one thread: interface, the dialogs'
extern int32_t* DialogEditIndex;

// Set by the video thread's code while a thread may run, so that the shutdown
// stops it before freeing what it draws; null otherwise.
// one thread: interface
extern void (*VideoThreadStopper)();

// 0; -1 already initialised (nothing changes); -26 a lock cannot be made; -30
// the font engine did not start (-21 when its tables cannot be had); -19 no
// usable screen mode, a window slot count below 1 or an unknown desktop; -21 an
// allocation failed; or the error of the queue creation. State made before a
// failure is kept, and a later init reuses it. w and h: the wished window size
// (0 takes it from the other side or the desktop), returned as settled. A wish
// no listed mode fits takes the smallest mode that the desktop holds (w and h
// become its size, ScreenSizePassedOver tells); with none, the display's
// failure text (platform::DisplayFailureText) says why.
int32_t init(int32_t windowSlots, int64_t& w, int64_t& h, int64_t monitors);
// Releases everything the namespace holds; init may run again afterwards.
void VisualsShutdown();

}  // namespace QUARLE_VISUALS
