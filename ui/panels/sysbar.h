// The root window's once-a-second tick: the program's periodic housekeeping on
// the main thread (MIDI hot-plug, the module page's transport buttons, the
// audio device selectors, the window kept on the desktop, the About window's
// automatic close, the auto-saves, the status line's return to the live
// guide, the frame-rate read-out and the low-frame-rate mode).
#pragma once
#include <atomic>
#include <cstdint>

namespace Tarvelo {

// Number of the current tick, 1..300 (after 300 comes 1).
// one thread: interface, the system-bar tick's
extern int32_t TickCounter;
// -1 while the About window shown at start-up is still to be closed at tick 5.
// one thread: interface, the system-bar tick's and the About window's
extern int64_t AboutAutoClose;
// Ticks left before the status line gives way to the live guide; -1 idle.
// one thread: interface, the system-bar tick's
extern int32_t StatusTextCountdown;
// Consecutive ticks under 42 frames per second.
// one thread: interface, the system-bar tick's
extern int32_t LowFrameRateTicks;
// LowFrameRateMode (ui/views/cables.h) is set after more than 5 slow ticks in
// a row and never cleared.

// The colour of REC and LOOP while the module's recording or loop state is on.
constexpr uint32_t kTransportActiveColour = 0xFFC86400;
constexpr int32_t kLowFrameRate = 42;

// EventCallback of the root control. With bits other than 0 only the CPU
// saving flag is refreshed. Always 0.
int32_t OnSysbarTick(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// The tick's state back to the start of the program (tests).
void ResetSysbarTick();

}  // namespace Tarvelo
