// The graphics window's event queue of our Linux layer: SDL2's window, key and
// pointer events translated into the records the interface's event loop works
// with, the pointer query, and the window's key buffer.
//
// Keys carry a PC scan code (set 1: Esc 1, Enter 28, Ctrl 29, left Shift 42,
// right Shift 54, M 50, the editing keys Up 72, Left 75, Right 77, Down 80,
// Insert 82, Delete 83) and the Windows-1252 character the key types, 0 when it
// types none (arrows, Delete, function keys, left-Alt combinations: Alt-M is
// 256 + 50 to the event loop). Ctrl with a letter types its control character
// (Ctrl-C 3, Ctrl-X 24). AltGr (right Alt, the mode key, Ctrl+Alt) types what
// the layout gives it.
//
// Headless (platform/screen.h) nothing comes from SDL: tests put events into the
// queue with WindowEventInject and set the pointer the query returns. Injected
// events are also taken before SDL's own when a window is shown.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

union SDL_Event;

namespace platform {

enum WindowEventKind : int32_t {
  kWindowEventNone = 0,
  kWindowKeyPress,
  kWindowKeyRelease,
  kWindowKeyRepeat,
  kWindowPointerMove,
  kWindowButtonPress,
  kWindowButtonRelease,
  kWindowDoubleClick,
  kWindowWheel,
  kWindowFocusLost,
  kWindowFocusGained,
  kWindowPointerEnter,
  kWindowPointerLeave,
  kWindowClose,
  kWindowHidden,  // minimised, or hidden by a switch to another workspace
};

// Button word bits of button events.
constexpr uint32_t kButtonLeft = 1;
constexpr uint32_t kButtonRight = 2;
constexpr uint32_t kButtonMiddle = 4;

// one thread: value
struct WindowEvent {
  WindowEventKind kind = kWindowEventNone;
  uint32_t scanCode = 0;  // keys
  uint32_t ascii = 0;     // keys: the character typed, 0 for none
  // Keys: a character typed that the code page lacks, by its Unicode number
  // (ascii is then 0); a text field writes it in its escape form.
  uint32_t unicode = 0;
  int32_t x = 0, y = 0;   // pointer moves: the new position in window pixels
  int32_t dx = 0, dy = 0; // pointer moves: the motion
  uint32_t buttons = 0;   // button events: the button(s) concerned; moves: those down
  int32_t wheel = 0;      // wheel: the absolute wheel position (up counts +1 a notch)
  // Moves: `buttons` tells the buttons down during the move. The window's own
  // moves know them; a move injected without them says nothing of the buttons.
  bool buttonsKnown = false;
};

// Takes the next pending event; false when none is pending. Never blocks.
bool WindowEventPoll(WindowEvent& event);
// Queues an event as if the window had reported it (wakes WindowEventWait).
void WindowEventInject(const WindowEvent& event);

// Blocks the calling thread until a window event may be pending, WindowEventWake
// is called, `pending` (when given; asked after the waiter is registered) says
// other work is there, or `seconds` have passed. Waits on the display's
// connection where it can be watched (X11); elsewhere it naps at most 1 ms, as
// the polling loop it replaces did.
void WindowEventWait(double seconds, bool (*pending)() = nullptr);
// Ends a WindowEventWait now (any thread; costs nothing while none waits).
void WindowEventWake();
// Drops every injected event not yet taken.
void WindowEventsClear();

// The program ended its press of the left button without a release (the
// window was put away while it was down). SDL still counts the button down
// and would drop its next press, so its record is put right: the window is
// handed a release, which comes back as the press's late one. False when
// nothing was handed over: SDL counts the button up already, or its record
// cannot be reached (headless, drivers other than X11).
bool WindowLeftButtonLetGo();

// Small builders for injected events.
WindowEvent KeyPressEvent(uint32_t scanCode, uint32_t ascii);
WindowEvent KeyReleaseEvent(uint32_t scanCode, uint32_t ascii);
WindowEvent PointerMoveEvent(int32_t x, int32_t y, int32_t dx, int32_t dy);
// A move as the window reports it, with the buttons down during it.
WindowEvent PointerMoveEvent(int32_t x, int32_t y, int32_t dx, int32_t dy, uint32_t buttons);
WindowEvent ButtonEvent(WindowEventKind kind, uint32_t buttons);
WindowEvent WheelEvent(int32_t position);
WindowEvent PlainEvent(WindowEventKind kind);

// The pointer's position in window pixels. Headless: the simulated position
// (0, 0 until set).
void WindowPointer(int32_t& x, int32_t& y);
void SetSimulatedWindowPointer(int32_t x, int32_t y);

// The window's key buffer: every key press also lands here (at most 64 are
// kept). Nothing reads it; emptying it keeps old keys from piling up. Gives the
// number of keys dropped.
size_t KeyBufferDrain();
size_t KeyBufferCount();

// The PC scan code and typed character of an SDL key (SDL_Scancode, SDL_Keycode,
// SDL_Keymod as plain numbers), as the translation above gives them.
uint32_t ScanCodeOfSdl(int32_t sdlScancode);
uint32_t AsciiOfSdlKey(int32_t sdlKeycode, int32_t sdlScancode, uint32_t sdlMods);
// The character a key press types. Control characters come from the key itself
// (Enter, Esc, Backspace, Tab, Ctrl with a letter); any other character is the
// one the keyboard layout typed, as SDL's text input gives it (UTF-8), so every
// layout types what its keys show: in Windows-1252, 0 for a character the code
// page lacks (the translation's press then carries it as `unicode`). `typed`
// null: no text came with the key (text input off), and the key's own
// character is taken as above. With left Alt alone (no AltGr, no
// Ctrl) the key's own character wins too, 0 for a letter: a shortcut, whose
// text the translation drops. Note keys go by the scan code whatever this
// gives.
uint32_t KeyCharacter(int32_t sdlKeycode, int32_t sdlScancode, uint32_t sdlMods, const char* typed);
// The characters of a typed text (a key's, or an input method's without a
// key press of its own), by their Unicode numbers; controls and malformed
// bytes are left out.
std::u32string TypedCharacters(const std::string& utf8);
// A press that types one such character: its Windows-1252 byte, or the
// character itself (`unicode`) when the code page lacks it.
WindowEvent TypedKeyEvent(uint32_t scanCode, char32_t character);

// Tests: the translation of one SDL event, as the pump makes it (false: none
// comes of it). It reads SDL's queue as the pump does (a key press takes the
// text that follows it), so the caller's SDL has its events subsystem started.
// Always false in a build without SDL.
bool TranslateSdlEventForTest(const SDL_Event& event, WindowEvent& out);

}  // namespace platform
