#include "platform/events.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <mutex>

#include "platform/charset.h"
#include "platform/screen.h"
#include "platform/sdl.h"
#include "platform/threads.h"

namespace platform {

namespace {

constexpr size_t kKeyBufferSize = 64;
// Where the window's connection cannot be watched, a wait naps no longer than
// the polling loop did.
constexpr double kBlindNap = 0.001;

// WindowEventWait's wake-up: a counter the waiter polls beside the display's
// connection. `waiting` is raised before the waiter looks for work, so a
// waker that finds it low knows its work will be seen.
struct Wake {
  std::atomic<bool> waiting{false};
  std::once_flag once;
  // one thread: maker, made once by its call_once
  int fd = -1;
};
Wake g_wake;

int WakeFd() {
  std::call_once(g_wake.once, [] { g_wake.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); });
  return g_wake.fd;
}

// What the pump learnt that the interface reads later, and events injected
// from any thread.
struct PumpState {
  std::mutex lock;
  // one thread: holder of lock
  std::deque<WindowEvent> injected;
  // one thread: holder of lock
  std::deque<uint32_t> keyBuffer;
  // one thread: holder of lock
  int32_t pointerX = 0;
  // one thread: holder of lock
  int32_t pointerY = 0;
  // one thread: holder of lock
  int32_t wheelPosition = 0;
};
PumpState g_pump;

void RememberKey(const WindowEvent& e) {
  if (e.kind != kWindowKeyPress) return;
  std::lock_guard<std::mutex> g(g_pump.lock);
  if (g_pump.keyBuffer.size() >= kKeyBufferSize) g_pump.keyBuffer.pop_front();
  g_pump.keyBuffer.push_back(e.ascii ? e.ascii : 256 + e.scanCode);
}

// PC set-1 scan codes by SDL (USB HID) scancode; 0 for keys without one.
// Keypad keys and the editing block share codes, as on the PC keyboard.
uint32_t ScanTable(int32_t s) {
  static const uint8_t kLetters[26] = {30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50,
                                       49, 24, 25, 16, 19, 31, 20, 22, 47, 17, 45, 21, 44};
  if (s >= 4 && s <= 29) return kLetters[s - 4];           // A..Z
  if (s >= 30 && s <= 39) return static_cast<uint32_t>(s - 28);  // 1..9, 0 -> 2..11
  if (s >= 58 && s <= 67) return static_cast<uint32_t>(s + 1);   // F1..F10 -> 59..68
  switch (s) {
    case 40: return 28;   // Return
    case 41: return 1;    // Escape
    case 42: return 14;   // Backspace
    case 43: return 15;   // Tab
    case 44: return 57;   // Space
    case 45: return 12;   // -
    case 46: return 13;   // =
    case 47: return 26;   // [
    case 48: return 27;   // ]
    case 49: return 43;   // backslash
    case 50: return 43;   // the ISO key beside Return
    case 51: return 39;   // ;
    case 52: return 40;   // '
    case 53: return 41;   // `
    case 54: return 51;   // ,
    case 55: return 52;   // .
    case 56: return 53;   // /
    case 57: return 58;   // Caps Lock
    case 68: return 87;   // F11
    case 69: return 88;   // F12
    case 70: return 55;   // Print Screen
    case 71: return 70;   // Scroll Lock
    case 72: return 69;   // Pause
    case 73: return 82;   // Insert
    case 74: return 71;   // Home
    case 75: return 73;   // Page Up
    case 76: return 83;   // Delete
    case 77: return 79;   // End
    case 78: return 81;   // Page Down
    case 79: return 77;   // Right
    case 80: return 75;   // Left
    case 81: return 80;   // Down
    case 82: return 72;   // Up
    case 83: return 69;   // Num Lock
    case 84: return 53;   // keypad /
    case 85: return 55;   // keypad *
    case 86: return 74;   // keypad -
    case 87: return 78;   // keypad +
    case 88: return 28;   // keypad Enter
    case 89: return 79;   // keypad 1
    case 90: return 80;
    case 91: return 81;
    case 92: return 75;
    case 93: return 76;
    case 94: return 77;
    case 95: return 71;
    case 96: return 72;
    case 97: return 73;   // keypad 9
    case 98: return 82;   // keypad 0
    case 99: return 83;   // keypad .
    case 100: return 86;  // the ISO key beside left Shift
    case 101: return 93;  // Menu
    case 224: return 29;  // left Ctrl
    case 225: return 42;  // left Shift
    case 226: return 56;  // left Alt
    case 227: return 91;  // left GUI
    case 228: return 29;  // right Ctrl
    case 229: return 54;  // right Shift
    case 230: return 56;  // right Alt
    case 231: return 92;  // right GUI
    default: return 0;
  }
}

// SDL's modifier bits, as plain numbers so the translation needs no SDL headers.
constexpr uint32_t kModShift = 0x0003;
constexpr uint32_t kModCtrl = 0x00C0;
constexpr uint32_t kModAlt = 0x0300;
constexpr uint32_t kModLeftAlt = 0x0100;
constexpr uint32_t kModRightAlt = 0x0200;  // AltGr
constexpr uint32_t kModMode = 0x4000;      // AltGr on some layouts
constexpr uint32_t kModNum = 0x1000;
constexpr uint32_t kModCaps = 0x2000;
constexpr int32_t kSdlKeypadBit = 1 << 30;  // keys without a character code

// Left Alt alone makes shortcut keys: Alt-M is the key M (256 + its scan
// code), not the "m" SDL's text input types with it. AltGr (right Alt, the
// mode key, or Ctrl+Alt where a layout reports it so) types its text.
bool AltShortcut(uint32_t mods) {
  return (mods & kModLeftAlt) != 0 && (mods & (kModRightAlt | kModMode | kModCtrl)) == 0;
}

char ShiftedUs(char c) {
  static const char kPlain[] = "`1234567890-=[]\\;',./";
  static const char kShift[] = "~!@#$%^&*()_+{}|:\"<>?";
  for (int i = 0; kPlain[i]; ++i)
    if (kPlain[i] == c) return kShift[i];
  return c;
}

#if TARVELO_HAVE_SDL
// A left-Alt key pressed without its text right behind it: the text that
// comes later (after the release, or on an input method's turn) is the
// shortcut's, not typed. The next key press decides anew.
// one thread: interface
bool g_shortcutText = false;

// The modifier keys themselves: Ctrl, Shift, Alt, GUI, the mode key.
bool ModifierKey(int32_t sdlScancode) {
  return (sdlScancode >= 224 && sdlScancode <= 231) || sdlScancode == 257;
}

// Call holding SdlVideoLock.
bool SdlActive() { return ScreenIsOpen() && !ScreenHeadless() && SDL_WasInit(SDL_INIT_VIDEO); }

// A left press the window reported whose release it has not yet. SDL follows
// a pointer out of the window only when it captured it (a window with the
// keys' focus); it tells the move that leaves at the window's edge, with the
// true motion, and drops the rest until the pointer is back. Meanwhile the
// pump reads the pointer from the display server, so a drag hears every move.
// `x`, `y`: where the last move told put the pointer (page pixels), `read`:
// whether the server told it, since SDL's last move.
// one thread: interface
struct HeldPointer {
  bool down = false;
  bool read = false;
  int32_t x = 0, y = 0;
};
HeldPointer g_held;

// Notes an SDL move (page pixels, its motion made consistent with the moves
// read from the server in between).
void NoteSdlMove(WindowEvent& out) {
  if (g_held.read) {
    out.dx = out.x - g_held.x;
    out.dy = out.y - g_held.y;
    g_held.read = false;
  }
  int64_t w = 0, h = 0, depth = 0;
  ScreenInfo(w, h, depth);
  // On the page's edge a move may have been cut to it: the motion says where
  // the pointer went.
  const bool inside = out.x > 0 && out.y > 0 && out.x < w - 1 && out.y < h - 1;
  g_held.x = inside ? out.x : g_held.x + out.dx;
  g_held.y = inside ? out.y : g_held.y + out.dy;
}

// A move of the held pointer out of the window, read from the server; false
// when SDL follows the pointer or it did not move. A release out there SDL
// may not tell until the pointer is back: the button found up ends the press
// (a move with the button up, which the event loop takes as its release).
bool ReadHeldPointer(WindowEvent& out) {
  if (!g_held.down || SDL_GetMouseFocus() != nullptr) return false;
  int32_t x = 0, y = 0;
  uint32_t buttons = 0;
  if (!ScreenPointerInWindow(x, y, buttons)) return false;
  const bool up = !(buttons & kButtonLeft);
  const bool moved = x != g_held.x || y != g_held.y;
  if (!up && !moved) return false;
  // The travel first, as the drag's; the release at the next look.
  out = PointerMoveEvent(x, y, x - g_held.x, y - g_held.y, moved ? buttons | kButtonLeft : buttons);
  g_held.x = x;
  g_held.y = y;
  g_held.read = true;
  if (!moved) g_held.down = false;
  return true;
}

bool Translate(const SDL_Event& e, WindowEvent& out) {
  out = WindowEvent{};
  switch (e.type) {
    case SDL_QUIT:
      out.kind = kWindowClose;
      return true;
    case SDL_WINDOWEVENT:
      switch (e.window.event) {
        case SDL_WINDOWEVENT_CLOSE:
          // SDL follows a close of its last window with a quit event at once:
          // one request, or the second would answer the question the first asks.
          SDL_FlushEvent(SDL_QUIT);
          out.kind = kWindowClose;
          return true;
        case SDL_WINDOWEVENT_FOCUS_LOST: out.kind = kWindowFocusLost; return true;
        case SDL_WINDOWEVENT_FOCUS_GAINED: out.kind = kWindowFocusGained; return true;
        case SDL_WINDOWEVENT_ENTER: out.kind = kWindowPointerEnter; return true;
        case SDL_WINDOWEVENT_LEAVE: out.kind = kWindowPointerLeave; return true;
        // A window put away no longer hears the buttons: a release comes to
        // nobody.
        case SDL_WINDOWEVENT_MINIMIZED:
        case SDL_WINDOWEVENT_HIDDEN: out.kind = kWindowHidden; return true;
        case SDL_WINDOWEVENT_EXPOSED:
        case SDL_WINDOWEVENT_RESIZED:
        case SDL_WINDOWEVENT_SIZE_CHANGED:
        case SDL_WINDOWEVENT_RESTORED:
          ScreenNoteExposed();
          return false;
        case SDL_WINDOWEVENT_MOVED:
          ScreenNoteWindowMoved(e.window.data1, e.window.data2);
          return false;
        default: return false;
      }
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
      const int32_t sc = static_cast<int32_t>(e.key.keysym.scancode);
      out.kind = e.type == SDL_KEYUP ? kWindowKeyRelease
                                     : (e.key.repeat ? kWindowKeyRepeat : kWindowKeyPress);
      out.scanCode = ScanCodeOfSdl(sc);
      if (e.type == SDL_KEYUP) {
        out.ascii = AsciiOfSdlKey(e.key.keysym.sym, sc, e.key.keysym.mod);
        return true;
      }
      // The text a press types follows it in the queue: one event for both.
      SDL_Event next;
      const bool typed =
          SDL_PeepEvents(&next, 1, SDL_PEEKEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1 &&
          next.type == SDL_TEXTINPUT;
      const uint32_t mods = e.key.keysym.mod;
      const uint32_t own = AsciiOfSdlKey(e.key.keysym.sym, sc, mods);
      out.ascii = KeyCharacter(e.key.keysym.sym, sc, mods, typed ? next.text.text : nullptr);
      if (!ModifierKey(sc)) g_shortcutText = AltShortcut(mods) && !typed;
      if (typed && (own == 0 || own >= 32)) {
        SDL_PeepEvents(&next, 1, SDL_GETEVENT, SDL_TEXTINPUT, SDL_TEXTINPUT);
        if (AltShortcut(mods)) return true;  // a shortcut's text is not typed
        // A dead key that found nothing to compose with types both characters.
        const std::u32string chars = TypedCharacters(next.text.text);
        if (out.ascii == 0 && !chars.empty()) out.unicode = TypedKeyEvent(0, chars[0]).unicode;
        for (size_t i = 1; i < chars.size(); ++i) WindowEventInject(TypedKeyEvent(0, chars[i]));
      }
      return true;
    }
    case SDL_TEXTINPUT: {
      if (g_shortcutText) {
        g_shortcutText = false;
        return false;
      }
      // Typed without a key press (an input method): a press of each character.
      const std::u32string chars = TypedCharacters(e.text.text);
      if (chars.empty()) return false;
      out = TypedKeyEvent(0, chars[0]);
      for (size_t i = 1; i < chars.size(); ++i) WindowEventInject(TypedKeyEvent(0, chars[i]));
      return true;
    }
    case SDL_MOUSEMOTION:
      out.kind = kWindowPointerMove;
      out.x = e.motion.x;
      out.y = e.motion.y;
      out.dx = e.motion.xrel;
      out.dy = e.motion.yrel;
      // The buttons down during the move: one up while the loop holds its
      // press tells of a release the window never got.
      if (e.motion.state & SDL_BUTTON_LMASK) out.buttons |= kButtonLeft;
      if (e.motion.state & SDL_BUTTON_RMASK) out.buttons |= kButtonRight;
      if (e.motion.state & SDL_BUTTON_MMASK) out.buttons |= kButtonMiddle;
      out.buttonsKnown = true;
      ScreenEventToPage(out.x, out.y, out.dx, out.dy);
      NoteSdlMove(out);
      return true;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      uint32_t b = 0;
      if (e.button.button == SDL_BUTTON_LEFT) b = kButtonLeft;
      else if (e.button.button == SDL_BUTTON_RIGHT) b = kButtonRight;
      else if (e.button.button == SDL_BUTTON_MIDDLE) b = kButtonMiddle;
      if (!b) return false;
      out.buttons = b;
      if (b == kButtonLeft) {
        g_held.down = e.type == SDL_MOUSEBUTTONDOWN;
        g_held.read = false;
        int x = e.button.x, y = e.button.y, dx = 0, dy = 0;
        ScreenEventToPage(x, y, dx, dy);
        g_held.x = x;
        g_held.y = y;
      }
      if (e.type == SDL_MOUSEBUTTONUP) out.kind = kWindowButtonRelease;
      else out.kind = e.button.clicks >= 2 ? kWindowDoubleClick : kWindowButtonPress;
      return true;
    }
    case SDL_MOUSEWHEEL: {
      int32_t notches = e.wheel.y;
      if (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) notches = -notches;
      if (notches == 0) return false;
      std::lock_guard<std::mutex> g(g_pump.lock);
      g_pump.wheelPosition += notches;
      out.kind = kWindowWheel;
      out.wheel = g_pump.wheelPosition;
      return true;
    }
    default:
      return false;
  }
}
#endif

}  // namespace

uint32_t ScanCodeOfSdl(int32_t sdlScancode) { return ScanTable(sdlScancode); }

uint32_t AsciiOfSdlKey(int32_t key, int32_t sc, uint32_t mods) {
  const bool shift = (mods & kModShift) != 0;
  const bool ctrl = (mods & kModCtrl) != 0;
  const bool alt = (mods & kModAlt) != 0;
  const bool caps = (mods & kModCaps) != 0;
  const bool num = (mods & kModNum) != 0;

  // Keys whose character does not depend on the modifiers.
  switch (key) {
    case '\r': return 13;
    case 27: return 27;
    case '\b': return 8;
    case '\t': return 9;
    case 127: return 0;  // Delete types nothing; it is known by its scan code
    default: break;
  }
  if (key & kSdlKeypadBit) {
    if (sc == 88) return 13;  // keypad Enter
    if (sc == 84) return '/';
    if (sc == 85) return '*';
    if (sc == 86) return '-';
    if (sc == 87) return '+';
    if (!num || alt || ctrl) return 0;
    if (sc >= 89 && sc <= 97) return static_cast<uint32_t>('1' + (sc - 89));
    if (sc == 98) return '0';
    if (sc == 99) return '.';
    return 0;
  }
  if (alt) return 0;
  if (key >= 'a' && key <= 'z') {
    if (ctrl) return static_cast<uint32_t>(key - 'a' + 1);
    return static_cast<uint32_t>((shift != caps) ? key - 32 : key);
  }
  if (ctrl) {
    if (key == '[') return 27;
    if (key == '\\') return 28;
    if (key == ']') return 29;
    return 0;
  }
  if (key >= 32 && key < 127) {
    const char c = static_cast<char>(key);
    return static_cast<uint8_t>(shift ? ShiftedUs(c) : c);
  }
  if (key >= 0xA0 && key <= 0xFF) {
    // Latin-1 keys of other layouts keep their code in Windows-1252.
    const bool upper = (shift != caps) && key >= 0xE0 && key != 0xF7 && key != 0xFF;
    return static_cast<uint32_t>(upper ? key - 32 : key);
  }
  return 0;
}

uint32_t KeyCharacter(int32_t key, int32_t sc, uint32_t mods, const char* typed) {
  const uint32_t own = AsciiOfSdlKey(key, sc, mods);
  if ((own != 0 && own < 32) || !typed || AltShortcut(mods)) return own;
  const std::u32string chars = TypedCharacters(typed);
  return chars.empty() ? 0 : TypedKeyEvent(0, chars[0]).ascii;
}

std::u32string TypedCharacters(const std::string& utf8) {
  std::u32string out;
  uint32_t cp = 0;
  for (size_t i = 0; i < utf8.size();) {
    // C1 controls too: the code page's five unassigned bytes travel as them.
    if (NextUtf8(utf8, i, cp) && cp >= 32 && (cp < 127 || cp >= 0xA0)) out += static_cast<char32_t>(cp);
  }
  return out;
}

WindowEvent TypedKeyEvent(uint32_t scanCode, char32_t character) {
  const int32_t b = UnicodeToCp1252(character);
  WindowEvent e = KeyPressEvent(scanCode, b >= 0 ? static_cast<uint32_t>(b) : 0);
  if (b < 0) e.unicode = character;
  return e;
}

bool WindowEventPoll(WindowEvent& event) {
  {
    std::lock_guard<std::mutex> g(g_pump.lock);
    if (!g_pump.injected.empty()) {
      event = g_pump.injected.front();
      g_pump.injected.pop_front();
      if (event.kind == kWindowPointerMove) {
        g_pump.pointerX = event.x;
        g_pump.pointerY = event.y;
      }
      if (event.kind == kWindowWheel) g_pump.wheelPosition = event.wheel;
      goto taken;
    }
  }
#if TARVELO_HAVE_SDL
  if (!ScreenHeadless()) {
    // While the video thread presents (up to a display refresh) the pump is
    // left for the next pass instead of holding up the interface.
    std::unique_lock<std::recursive_mutex> sdl(SdlVideoLock(), std::try_to_lock);
    if (sdl.owns_lock() && SdlActive()) {
      SDL_Event e;
      while (SDL_PollEvent(&e)) {
        if (Translate(e, event)) goto taken;
      }
      if (ReadHeldPointer(event)) goto taken;
    }
  }
#endif
  return false;
taken:
  RememberKey(event);
  return true;
}

void WindowEventInject(const WindowEvent& event) {
  {
    std::lock_guard<std::mutex> g(g_pump.lock);
    g_pump.injected.push_back(event);
  }
  WindowEventWake();
}

void WindowEventWake() {
  if (!g_wake.waiting.load()) return;
  const int fd = WakeFd();
  if (fd < 0) return;
  const uint64_t one = 1;
  const ssize_t r = write(fd, &one, sizeof one);
  (void)r;  // a full counter wakes the waiter as well
}

void WindowEventWait(double seconds, bool (*pending)()) {
  if (!(seconds > 0.0)) return;
  const int wake = WakeFd();
  int display = -1;
  bool blind = wake < 0;
  g_wake.waiting.store(true);
  struct Lower {
    ~Lower() { g_wake.waiting.store(false); }
  } lower;
  if (pending && pending()) return;
  {
    std::lock_guard<std::mutex> g(g_pump.lock);
    if (!g_pump.injected.empty()) return;
  }
#if TARVELO_HAVE_SDL
  if (!ScreenHeadless()) {
    // A present under way holds the lock: its events are taken next pass.
    std::unique_lock<std::recursive_mutex> sdl(SdlVideoLock(), std::try_to_lock);
    if (!sdl.owns_lock()) {
      blind = true;
    } else if (SdlActive()) {
      // The pass before pumped the connection dry; what came since waits in
      // SDL's queue, in the display library's (read by a present), or on the
      // connection, which the wait watches.
      if (SDL_HasEvents(SDL_FIRSTEVENT, SDL_LASTEVENT) || ScreenEventsQueued()) return;
      display = ScreenConnectionFd();
      if (display < 0) blind = true;
    }
  }
#endif
  if (blind) seconds = std::min(seconds, kBlindNap);
  if (wake < 0) {
    SleepSeconds(seconds);
    return;
  }
  pollfd fds[2] = {{wake, POLLIN, 0}, {display, POLLIN, 0}};
  const int ms = static_cast<int>(std::min(std::ceil(seconds * 1000.0), 3600000.0));
  poll(fds, display >= 0 ? 2 : 1, ms);
  uint64_t sink = 0;
  while (read(wake, &sink, sizeof sink) > 0) {
  }
}

bool WindowLeftButtonLetGo() {
#if TARVELO_HAVE_SDL
  if (ScreenHeadless()) return false;
  std::lock_guard<std::recursive_mutex> sdl(SdlVideoLock());
  int x = 0, y = 0;
  if (!SdlActive() || !(SDL_GetMouseState(&x, &y) & SDL_BUTTON_LMASK)) return false;
  return ScreenSendLeftRelease(x, y);
#else
  return false;
#endif
}

void WindowEventsClear() {
  std::lock_guard<std::mutex> g(g_pump.lock);
  g_pump.injected.clear();
}

WindowEvent KeyPressEvent(uint32_t scanCode, uint32_t ascii) {
  WindowEvent e;
  e.kind = kWindowKeyPress;
  e.scanCode = scanCode;
  e.ascii = ascii;
  return e;
}

WindowEvent KeyReleaseEvent(uint32_t scanCode, uint32_t ascii) {
  WindowEvent e = KeyPressEvent(scanCode, ascii);
  e.kind = kWindowKeyRelease;
  return e;
}

WindowEvent PointerMoveEvent(int32_t x, int32_t y, int32_t dx, int32_t dy) {
  WindowEvent e;
  e.kind = kWindowPointerMove;
  e.x = x;
  e.y = y;
  e.dx = dx;
  e.dy = dy;
  return e;
}

WindowEvent PointerMoveEvent(int32_t x, int32_t y, int32_t dx, int32_t dy, uint32_t buttons) {
  WindowEvent e = PointerMoveEvent(x, y, dx, dy);
  e.buttons = buttons;
  e.buttonsKnown = true;
  return e;
}

WindowEvent ButtonEvent(WindowEventKind kind, uint32_t buttons) {
  WindowEvent e;
  e.kind = kind;
  e.buttons = buttons;
  return e;
}

WindowEvent WheelEvent(int32_t position) {
  WindowEvent e;
  e.kind = kWindowWheel;
  e.wheel = position;
  return e;
}

WindowEvent PlainEvent(WindowEventKind kind) {
  WindowEvent e;
  e.kind = kind;
  return e;
}

void WindowPointer(int32_t& x, int32_t& y) {
#if TARVELO_HAVE_SDL
  std::unique_lock<std::recursive_mutex> sdl(SdlVideoLock(), std::defer_lock);
  if (!ScreenHeadless()) sdl.lock();
  if (!ScreenHeadless() && SdlActive()) {
    int px = 0, py = 0;
    SDL_GetMouseState(&px, &py);
    ScreenWindowToPage(px, py);
    x = px;
    y = py;
    return;
  }
#endif
  std::lock_guard<std::mutex> g(g_pump.lock);
  x = g_pump.pointerX;
  y = g_pump.pointerY;
}

void SetSimulatedWindowPointer(int32_t x, int32_t y) {
  std::lock_guard<std::mutex> g(g_pump.lock);
  g_pump.pointerX = x;
  g_pump.pointerY = y;
}

size_t KeyBufferDrain() {
  std::lock_guard<std::mutex> g(g_pump.lock);
  const size_t n = g_pump.keyBuffer.size();
  g_pump.keyBuffer.clear();
  return n;
}

size_t KeyBufferCount() {
  std::lock_guard<std::mutex> g(g_pump.lock);
  return g_pump.keyBuffer.size();
}

bool TranslateSdlEventForTest(const SDL_Event& event, WindowEvent& out) {
#if TARVELO_HAVE_SDL
  return Translate(event, out);
#else
  (void)event;
  out = WindowEvent{};
  return false;
#endif
}

}  // namespace platform
