// The interface's event loop, run by the main thread once the interface is
// built. Each pass drains command queue 0 (control events posted by any thread,
// tooltips a draw found, reports for the system-message handler, the quit
// message), then takes every pending window event (platform/events.h),
// hit-tests the control tree, derives the event bits (visuals/controls.h:
// hover, press, click, drag, drag-over, drop, wheel, key) and calls the
// EventCallback of the control concerned when the bits are in its EventMask.
// Between passes it keeps the root control's once-a-second tick, the gamepad,
// the hover text and the CPU-saving sleep.
//
// Every event callback of the interface runs on this thread, from here. After
// each call the loop publishes the control (UpdateControl (id, 0)).
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "basics/queues.h"
#include "platform/loop_meter.h"
#include "visuals/controls.h"

namespace QUARLE_VISUALS {

// Key codes: a key that types a character gives that character's code (1..255);
// any other key 256 + its scan code.
constexpr int32_t kKeyTab = 9;
constexpr int32_t kKeyEnter = 13;
constexpr int32_t kKeyEscape = 27;
constexpr int32_t kKeyUp = 328;
constexpr int32_t kKeyLeft = 331;
constexpr int32_t kKeyRight = 333;
constexpr int32_t kKeyDown = 336;
constexpr int32_t kKeyDelete = 339;
constexpr int32_t kKeyShortcutCount = 512;

// The key input: the last key and the keyboard's state, and the control that
// takes key events (ActiveEditField). Its words, in SelectorState terms:
//   CounterA  scan code            CounterB  character code (0 for none)
//   Spare[0]  pending dead key (0 none, 1 circumflex, 2 diaeresis, 3 grave, 4 tilde)
//   Spare[1]  key base (256 for a key without a character, else 0)
//   Spare[2]  key code part (the scan code for base 256, else the character)
//   Words[0]  shift (left OR right)   Words[1] left shift   Words[2] right shift
//   Words[3]  0                        Words[4] control-character flag (Ctrl held)
//   Words2[0] insert toggle            Words2[1] printable (the key typed text)
//   Word3     released (-1 for a key release)
//   Text      typed text (up to 2 characters, or a character's escape form)
//   Text2     the pending accent character
//   Value     ActiveEditField          Previous  the field before it
// Handlers read it through the helpers below.
// one thread: interface, the event loop's
extern SelectorState KeyInput;

inline int32_t KeyCode() { return static_cast<int32_t>(KeyInput.Spare[1] + KeyInput.Spare[2]); }
inline uint32_t KeyScanCode() { return KeyInput.CounterA; }
inline uint32_t KeyAscii() { return KeyInput.CounterB; }
inline const char* KeyTypedText() { return KeyInput.Text; }
inline int64_t KeyReleased() { return KeyInput.Word3; }
inline int64_t KeyShift() { return KeyInput.Words[0]; }
inline int64_t KeyControl() { return KeyInput.Words[4]; }
inline int64_t KeyInsert() { return KeyInput.Words2[0]; }
inline int64_t KeyPrintable() { return KeyInput.Words2[1]; }
inline int32_t ActiveEditField() { return SelectorValue(&KeyInput); }
// Keeps the old field as the previous one and clears the stored key codes.
inline void SetActiveEditField(int32_t id) { SelectorSetValue(&KeyInput, id); }

// The control that takes key events while no text is edited (the on-screen
// keyboard), and the controls that keys click while it does: indexed by key code.
// one thread: interface, set by the build and the dialogs, read by the event loop
extern int32_t DefaultKeyTarget;
extern int32_t KeyShortcutTable[kKeyShortcutCount];
// The control a close request of the window manager clicks (the Quit button),
// so that closing the window asks and saves as quitting does; 0 (or a control
// that is gone) ends the loop at once.
// one thread: interface, set by the build, read by the event loop
extern int32_t CloseRequestTarget;
// The source id of that click, so the target can tell a close request from a
// click of its own (which may withdraw its question: a close never does).
constexpr int32_t kCloseRequestSource = -1;

// The tooltip of the control under the pointer; guarded by MT_HOVER.
// one thread: holder of MT_HOVER, the loop sets it, the live guide's draw (video) reads it
extern TextField HoverText;

// A control's tooltip is the interface thread's, as is the rest of its record:
// a draw that works one out (a list's hovered row, a read-out's value) posts
// it, and the loop sets it before it copies the hover text. On the drawing
// thread, while it draws the control; only a text that differs from the last
// one posted for the control is posted (a queue-0 message of type
// kCommandFoundTooltips wakes the loop). A post names the control's serial:
// it reaches only that control, never one made later in its slot.
void PostFoundTooltip(int32_t id, const std::string& text);
// Sets each tooltip posted since the last call on its control, if still
// there (interface thread: the loop does it for the message).
void TakeFoundTooltips();
// The drawing thread forgets what it posted for the control and drops its
// pending post (the purge does it for every control of a purged tree), or
// for every control (id < 0: the table is freed, nothing draws), so that a
// new control in that place gets its text.
void ForgetFoundTooltips(int32_t id);

// -1 asks for a gamepad detection on the next pass (initially, and once a second).
// one thread: interface, the event loop's
extern int64_t GamepadRedetect;
// -1: Tab and Enter drive the focus.
// one thread: interface, the event loop's
extern int64_t TabFocusKeys;
// -1: a pass that found nothing to do sleeps 1 ms. Set by the root's tick.
// one thread: interface, the settings and the root's tick set it, the event loop reads it
extern int64_t CpuSaving;
// Passes a second of the loop, over the second before the last tick. A wait
// for work (wrapped in a platform::LoopRest on ControlLoopMeter) counts as the
// 1 ms naps it stands for, so that an idle loop reads as one that naps.
extern std::atomic<int32_t> LoopRate;
// one thread: interface, the event loop's; the tick reads it into ControlLoopValue
extern platform::LoopMeter ControlLoopMeter;
constexpr double kControlLoopNap = 0.001;

// Called for every queue-0 message but the loop's own: a control event (100),
// tooltips a draw found (99) and the quit message (-1). A non-zero result is
// an error code.
using SystemMessageHandlerFn = int32_t (*)(QUARLE_BASICS::CommandMessage* message);
int32_t DefaultSystemMessageHandler(QUARLE_BASICS::CommandMessage* message);  // 0
// one thread: interface, set by the start-up before the loop runs
extern SystemMessageHandlerFn SystemMessageHandler;

// Runs until the window is closed or a quit message arrives (0), or until queue
// 0 cannot be fetched or the system-message handler fails while the video thread
// or the interface is down (that error). Must run on the thread that owns the
// graphics window.
int32_t GuiMessageLoop();

// The seconds timer the loop measures with (the high-resolution clock unless
// replaced; tests drive it). Null restores the clock.
using GuiClockFn = double (*)();
void SetGuiClock(GuiClockFn clock);
double GuiTimer();

// Flags the control for deletion (the purge frees it with its subtree at the
// video thread's next frame) and ends at once whatever the loop holds on it or
// below it: the press and its drag (a drag-over target it offered something
// to hears a leave), the hover, the edit field (the default key target takes
// the keys again) and the focus. Nothing later reaches the subtree, not even
// a control that takes one of its slots after the purge. Interface thread.
void FlagForDeletion(int32_t id);

// The loop's state back to its start: pointer state, key input (the edit field
// becomes 0), shortcuts, hover text, gamepad, flags and handler defaults.
void GuiLoopReset();

}  // namespace QUARLE_VISUALS
