// Focus navigation: one focus list per top-level window (the window slots of
// WindowList), the focused control with its window slot and list position, the
// moves the keyboard (Tab) and the gamepad stick make, and the gamepad's
// detection over joystick ids 0 to 15.
//
// The lists are built once, after the interface exists (BuildAllFocusLists);
// before that every move does nothing. Hidden or disabled controls and windows
// stay listed and are passed over at each move. Everything here runs on the
// main thread; FocusedControl and FocusMode (visuals/visuals.h) are read by the
// video thread for the focus frame.
#pragma once
#include <cstdint>

#include "visuals/controls.h"

namespace QUARLE_VISUALS {

constexpr int32_t kJoystickIdCount = 16;

// The gamepad used for navigation: its joystick id (-1 none) and its state.
// one thread: interface
struct GamepadRecord {
  int32_t Id = -1;
  JoystickState State;
};
// one thread: interface, the event loop's and the focus moves'
extern GamepadRecord Gamepad;
// -1 for each joystick id that answered at the last detection.
// one thread: interface, the event loop's gamepad detection
extern int64_t JoystickPresent[kJoystickIdCount];

// For each window slot with a window, its focus list; then the moves work.
void BuildAllFocusLists();
// Appends to the list the focusable descendants of control id: a child with a
// non-zero event mask that hit testing does not pass over is listed (and marked
// Focusable) and its own children are not searched; any other child is searched.
// Gives the new count.
int32_t BuildFocusList(int32_t*& list, int32_t& count, int32_t id);

// The moves give the control now at the focus position (0 before the lists
// exist, or when no window holds a focusable control); the caller stores it in
// FocusedControl.
int32_t FocusNext();
int32_t FocusPrev();
// wrap -1 stays in the window (past the last comes the first); any other value
// moves on to the next window past the last.
int32_t FocusNextInWindow(int64_t wrap);
// Move to the next or previous window slot with an active window and give its
// window id.
int32_t FocusNextWindow();
int32_t FocusPrevWindow();
// The first focusable control of a window slot (clamped to the slots).
int32_t FocusWindow(int32_t slot);
// FocusedControl := id when it is in its window's focus list, else the first
// focusable control of that window.
void SetFocusControl(int32_t id);
// -1 when the control and every ancestor up to the root are visible and enabled.
int64_t IsControlFocusable(int32_t id);
// -1 when the slot holds a window that is visible and not disabled.
int64_t IsWindowActive(int32_t slot);

// The focus position: window slot and index in its list.
int32_t FocusWindowSlot();
int32_t FocusListPosition();
// -1 once the lists are built.
int64_t FocusReady();
// Frees the lists and makes the moves inert again (shutdown, tests).
void FocusReset();

// The lowest joystick id of 0..15 that answers, -1 when none; fills JoystickPresent.
int32_t FindFirstJoystick();
// Applies the stick's changed directions to the focus: horizontal moves between
// windows, vertical within the window (down wraps, up goes to the previous).
void GamepadFocusNav();

}  // namespace QUARLE_VISUALS
