#include "platform/events.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/joystick.h"
#include "platform/sdl.h"
#include "platform/video.h"

namespace {

using namespace platform;

// SDL's numbers, spelled out so the test needs no SDL headers.
constexpr int32_t kSdlA = 4, kSdlM = 16, kSdlX = 27, kSdl1 = 30, kSdlLeftBracket = 47,
                  kSdlDelete = 76, kSdlUp = 82, kSdlKp0 = 98;
constexpr int32_t kKeypad = 1 << 30;
constexpr uint32_t kShift = 0x0001, kCtrl = 0x0040, kAlt = 0x0100, kNum = 0x1000, kCaps = 0x2000;

TEST(WindowKeys, ScanCodesAreThoseOfThePcKeyboard) {
  EXPECT_EQ(ScanCodeOfSdl(kSdlA), 30u);
  EXPECT_EQ(ScanCodeOfSdl(kSdlLeftBracket), 26u);  // the dead circumflex key of some layouts
  EXPECT_EQ(ScanCodeOfSdl(81), 80u);  // Down
  EXPECT_EQ(ScanCodeOfSdl(kSdlKp0), 82u);  // shares Insert's code
  EXPECT_EQ(ScanCodeOfSdl(229), 54u);
  EXPECT_EQ(ScanCodeOfSdl(500), 0u);
}

TEST(WindowKeys, CharactersFollowTheModifiers) {
  EXPECT_EQ(AsciiOfSdlKey('a', kSdlA, 0), static_cast<uint32_t>('a'));
  EXPECT_EQ(AsciiOfSdlKey('a', kSdlA, kShift), static_cast<uint32_t>('A'));
  EXPECT_EQ(AsciiOfSdlKey('a', kSdlA, kCaps | kShift), static_cast<uint32_t>('a'));
  EXPECT_EQ(AsciiOfSdlKey('x', kSdlX, kCtrl), 24u);  // Ctrl-X
  EXPECT_EQ(AsciiOfSdlKey('m', kSdlM, kAlt), 0u);    // Alt-M: known by its scan code
  EXPECT_EQ(AsciiOfSdlKey('1', kSdl1, kShift), static_cast<uint32_t>('!'));
  EXPECT_EQ(AsciiOfSdlKey(127, kSdlDelete, 0), 0u);
  EXPECT_EQ(AsciiOfSdlKey(kKeypad | kSdlUp, kSdlUp, 0), 0u);
  EXPECT_EQ(AsciiOfSdlKey(kKeypad | kSdlKp0, kSdlKp0, kNum), static_cast<uint32_t>('0'));
  EXPECT_EQ(AsciiOfSdlKey(kKeypad | kSdlKp0, kSdlKp0, 0), 0u);  // Insert without Num Lock
  EXPECT_EQ(AsciiOfSdlKey(0xE9, 31, kShift), 0xC9u);
  EXPECT_EQ(AsciiOfSdlKey(0, kSdlLeftBracket, 0), 0u);           // a dead key types nothing
}

// Typed characters are the layout's (SDL's text input), in Windows-1252;
// control characters stay the key's own.
TEST(WindowKeys, TypedCharactersComeFromTheLayoutsText) {
  constexpr int32_t kSdlE = 8, kSdlQ = 20, kSdlZ = 29;
  constexpr uint32_t kAltGr = 0x0200, kMode = 0x4000;
  struct Case {
    int32_t key, scan;
    uint32_t mods;
    const char* typed;
    uint32_t want;
  };
  const Case cases[] = {
      {'2', 31, kShift, "\"", '"'},             // German Shift-2, not the US '@'
      {'q', kSdlQ, kAltGr, "@", '@'},            // AltGr-Q
      {'y', kSdlZ, 0, "z", 'z'},                 // the layout's letter on the key
      {0xFC, kSdlLeftBracket, 0, "\xC3\xBC", 0xFC},  // u-umlaut
      {'e', kSdlE, 0, "\xE2\x82\xAC", 0x80},   // the euro sign of the code page
      {0x436, kSdlX, 0, "\xD0\xB6", 0},         // Cyrillic: no byte (the press carries it whole)
      {'a', kSdlA, kCtrl, nullptr, 1},           // Ctrl-A
      {'\r', 40, 0, nullptr, 13},                // Enter
      {27, 41, 0, nullptr, 27},                  // Esc
      {'a', kSdlA, kShift, nullptr, 'A'},        // no text input: the key's own
      {'m', kSdlM, kAlt, "m", 0},                // left Alt: a shortcut, known by its scan code
      {'q', kSdlQ, kMode, "@", '@'},             // AltGr as the mode key, right Alt, or Ctrl+Alt types
      {'q', kSdlQ, kAlt | kAltGr, "@", '@'},
      {'q', kSdlQ, kCtrl | kAlt, "@", '@'},
  };
  for (const Case& c : cases)
    EXPECT_EQ(KeyCharacter(c.key, c.scan, c.mods, c.typed), c.want) << (c.typed ? c.typed : "-") << " " << c.mods;
  EXPECT_EQ(TypedCharacters("a\xC3\xA9\xE2\x80\x9C\xF0\x9F\x8E\xB9\x01\xC2\x81\xC0\xAF"),
            U"a\u00E9\u201C\U0001F3B9");  // controls (C1 too) and overlong bytes left out
}

#if TARVELO_HAVE_SDL
SDL_Event SdlKey(uint32_t type, int32_t sym, int32_t scan, uint32_t mods) {
  SDL_Event e{};
  e.type = type;
  e.key.keysym = {static_cast<SDL_Scancode>(scan), sym, static_cast<uint16_t>(mods), 0};
  return e;
}
SDL_Event SdlText(const char* utf8) {
  SDL_Event e{};
  e.type = SDL_TEXTINPUT;
  std::snprintf(e.text.text, sizeof e.text.text, "%s", utf8);
  return e;
}

// SDL's events (queued without a window, text input on as the program's is)
// through the pump's translation, with the presses it adds.
std::vector<WindowEvent> Pump(const std::vector<SDL_Event>& queued) {
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  EXPECT_EQ(SDL_InitSubSystem(SDL_INIT_EVENTS), 0) << SDL_GetError();
  SDL_EventState(SDL_TEXTINPUT, SDL_ENABLE);
  for (SDL_Event e : queued) EXPECT_EQ(SDL_PushEvent(&e), 1) << SDL_GetError();
  std::vector<WindowEvent> got;
  SDL_Event e;
  WindowEvent out;
  while (SDL_PeepEvents(&e, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1) {
    if (TranslateSdlEventForTest(e, out)) got.push_back(out);
    while (WindowEventPoll(out)) got.push_back(out);
  }
  KeyBufferDrain();
  SDL_QuitSubSystem(SDL_INIT_EVENTS);
  return got;
}

// Left Alt's text is typed neither right after its press nor later (released,
// or on an input method's turn); AltGr's and Ctrl+Alt's is.
TEST(WindowKeys, LeftAltKeysAreShortcutsAndAltGrTypesThroughTheTranslation) {
  setenv("TARVELO_HEADLESS", "1", 1);
  WindowEventsClear();
  constexpr int32_t kSdlQ = 20;
  constexpr uint32_t kAltGr = 0x0200, kDown = SDL_KEYDOWN;
  const SDL_Event altM = SdlKey(kDown, 'm', kSdlM, kAlt), up = SdlKey(SDL_KEYUP, 'm', kSdlM, kAlt), m = SdlText("m");
  // Scan code, character: its byte, or the character the code page lacks.
  using Presses = std::vector<std::pair<uint32_t, uint32_t>>;
  const struct {
    const char* what;
    std::vector<SDL_Event> queued;
    Presses presses;
  } cases[] = {
      {"Alt-M", {altM, m, up}, {{50, 0}}},
      {"Alt-M, its text late", {altM, up, m}, {{50, 0}}},
      {"Alt held, M twice", {SdlKey(kDown, 226 | kKeypad, 226, kAlt), altM, m, up, altM, up, m}, {{56, 0}, {50, 0}, {50, 0}}},
      {"Alt-M, an input method's text", {altM, m, SdlText("ab")}, {{50, 0}, {0, 'a'}, {0, 'b'}}},
      {"Alt-M without text, A, an input method's text", {altM, SdlKey(kDown, 'a', kSdlA, 0), SdlText("a"), SdlText("cd")},
       {{50, 0}, {30, 'a'}, {0, 'c'}, {0, 'd'}}},
      {"AltGr-Q", {SdlKey(kDown, 'q', kSdlQ, kAltGr), SdlText("@")}, {{16, '@'}}},
      {"Ctrl+Alt-Q", {SdlKey(kDown, 'q', kSdlQ, kCtrl | kAlt), SdlText("@")}, {{16, '@'}}},
      {"Ctrl-X", {SdlKey(kDown, 'x', kSdlX, kCtrl)}, {{45, 24}}},
      {"an input method's text", {SdlText("ab")}, {{0, 'a'}, {0, 'b'}}},
      {"a Cyrillic key", {SdlKey(kDown, 0x436, kSdlX, 0), SdlText("\xD0\xB6")}, {{45, 0x436}}},
      {"an input method's Cyrillic, accent, CJK, beyond the BMP",
       {SdlText("\xD0\x9F\xC3\xA9\xE6\x97\xA5\xF0\x9D\x84\x9E")},
       {{0, 0x41F}, {0, 0xE9}, {0, 0x65E5}, {0, 0x1D11E}}},
  };
  for (const auto& c : cases) {
    Presses presses;
    for (const WindowEvent& e : Pump(c.queued))
      if (e.kind == kWindowKeyPress) presses.emplace_back(e.scanCode, e.ascii | e.unicode);
    EXPECT_EQ(presses, c.presses) << c.what;
  }
}

// A move tells the buttons down during it (one up tells of a release the
// window never got); minimised or hidden, the window is hidden.
TEST(WindowEvents, TheWindowTellsTheButtonsOfAMoveAndItsHiding) {
  const struct {
    uint8_t window;  // none: a move with these buttons down
    uint32_t state;
    WindowEventKind kind;
    uint32_t buttons;
  } rows[] = {
      {0, SDL_BUTTON_LMASK, kWindowPointerMove, kButtonLeft},
      {0, 0, kWindowPointerMove, 0},
      {0, SDL_BUTTON_RMASK | SDL_BUTTON_MMASK, kWindowPointerMove, kButtonRight | kButtonMiddle},
      {SDL_WINDOWEVENT_FOCUS_LOST, 0, kWindowFocusLost, 0},
      {SDL_WINDOWEVENT_MINIMIZED, 0, kWindowHidden, 0},
      {SDL_WINDOWEVENT_HIDDEN, 0, kWindowHidden, 0},
  };
  for (const auto& row : rows) {
    SDL_Event sdl{};
    if (row.window) sdl.window = {SDL_WINDOWEVENT, 0, 0, row.window, 0, 0, 0, 0, 0};
    else sdl.motion = {SDL_MOUSEMOTION, 0, 0, 0, row.state, 12, 10, 2, 0};
    const std::vector<WindowEvent> got = Pump({sdl});
    SCOPED_TRACE(&row - rows);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, row.kind);
    EXPECT_EQ(got[0].buttons, row.buttons);
    EXPECT_EQ(got[0].buttonsKnown, !row.window);
    EXPECT_EQ(got[0].dx, row.window ? 0 : 2);
  }
  EXPECT_FALSE(PointerMoveEvent(1, 2, 3, 4).buttonsKnown);  // injected without its buttons
  EXPECT_TRUE(PointerMoveEvent(1, 2, 3, 4, 0).buttonsKnown);
  EXPECT_FALSE(WindowLeftButtonLetGo());  // headless: no record of SDL's to put right
}
#endif

TEST(WindowEvents, InjectedEventsComeBackInOrderAndKeysFillTheBuffer) {
  setenv("TARVELO_HEADLESS", "1", 1);
  WindowEventsClear();
  KeyBufferDrain();
  WindowEvent e;
  EXPECT_FALSE(WindowEventPoll(e));
  WindowEventInject(PointerMoveEvent(40, 30, 2, -1));
  WindowEventInject(KeyPressEvent(30, 'a'));
  WindowEventInject(WheelEvent(-2));
  ASSERT_TRUE(WindowEventPoll(e));
  EXPECT_EQ(e.kind, kWindowPointerMove);
  EXPECT_EQ(e.dy, -1);
  int32_t x = 0, y = 0;
  WindowPointer(x, y);  // the simulated pointer follows injected moves
  EXPECT_EQ(x, 40);
  EXPECT_EQ(y, 30);
  ASSERT_TRUE(WindowEventPoll(e));
  EXPECT_EQ(e.kind, kWindowKeyPress);
  EXPECT_EQ(e.ascii, static_cast<uint32_t>('a'));
  ASSERT_TRUE(WindowEventPoll(e));
  EXPECT_EQ(e.wheel, -2);
  EXPECT_FALSE(WindowEventPoll(e));
  EXPECT_EQ(KeyBufferCount(), 1u);
  for (int i = 0; i < 100; ++i) WindowEventInject(KeyPressEvent(30, 'a'));
  while (WindowEventPoll(e)) {
  }
  EXPECT_EQ(KeyBufferDrain(), 64u);  // bounded
  EXPECT_EQ(KeyBufferCount(), 0u);
  SetSimulatedWindowPointer(0, 0);
}

namespace {
double Since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
std::atomic<bool> g_work{false};
constexpr double kLong = 120.0;
bool WorkPending() { return g_work.load(); }
}  // namespace

// The interface's wait: it ends at once when work is there, with a wake or an
// event from another thread (long before its timeout), and else at its timeout.
// The long waits are far beyond what a busy machine adds: ending well within
// half of one tells that something other than the timeout ended it.
TEST(WindowEvents, AWaitEndsWithWorkAWakeAnEventOrItsTimeout) {
  setenv("TARVELO_HEADLESS", "1", 1);
  WindowEventsClear();
  auto t0 = std::chrono::steady_clock::now();
  WindowEventWait(0.05);
  EXPECT_GE(Since(t0), 0.045);

  g_work = true;
  t0 = std::chrono::steady_clock::now();
  WindowEventWait(kLong, WorkPending);
  EXPECT_LT(Since(t0), kLong / 2);
  g_work = false;

  WindowEventWake();  // nobody waits: nothing is kept for a later wait
  t0 = std::chrono::steady_clock::now();
  WindowEventWait(0.05, WorkPending);
  EXPECT_GE(Since(t0), 0.045);

  for (int kind = 0; kind < 2; ++kind) {
    std::thread other([kind] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (kind == 0) WindowEventWake();
      else WindowEventInject(KeyPressEvent(30, 'a'));
    });
    t0 = std::chrono::steady_clock::now();
    WindowEventWait(kLong, WorkPending);
    EXPECT_LT(Since(t0), kLong / 2) << kind;
    other.join();
  }
  WindowEvent e;
  ASSERT_TRUE(WindowEventPoll(e));
  EXPECT_EQ(e.kind, kWindowKeyPress);
  t0 = std::chrono::steady_clock::now();
  WindowEventInject(KeyPressEvent(30, 'a'));
  WindowEventWait(kLong);  // an event already waiting: no sleep
  EXPECT_LT(Since(t0), kLong / 2);
  WindowEventsClear();
  KeyBufferDrain();
}

TEST(Joysticks, SimulatedJoysticksAnswerByTheirId) {
  setenv("TARVELO_HEADLESS", "1", 1);
  JoystickSimulateReset();
  uint32_t buttons = 7;
  float axes[kJoystickAxisCount];
  EXPECT_FALSE(JoystickRead(0, buttons, axes));
  EXPECT_EQ(buttons, 0u);
  EXPECT_EQ(axes[0], kJoystickNoAxis);
  const float set[kJoystickAxisCount] = {0.75f, -1.0f, 0, 0, 0, 0, kJoystickNoAxis, kJoystickNoAxis};
  JoystickSimulate(4, true, 5, set);
  EXPECT_TRUE(JoystickRead(4, buttons, axes));
  EXPECT_EQ(buttons, 5u);
  EXPECT_EQ(axes[0], 0.75f);
  EXPECT_EQ(axes[1], -1.0f);
  EXPECT_EQ(axes[7], kJoystickNoAxis);
  EXPECT_FALSE(JoystickRead(16, buttons, axes));
  EXPECT_FALSE(JoystickRead(-1, buttons, axes));
  EXPECT_EQ(JoystickSimulatedReads(), 2);  // ids outside 0..15 read nothing
  JoystickSimulateReset();
}

TEST(Bmp, RowsArePaddedToFourBytesAndStoredBottomUp) {
  const uint32_t px[2 * 3] = {0xFF112233, 0xFF445566, 0, 0, 0xFFAABBCC, 0xFFDDEEFF};
  const std::string s = EncodeBmp24(px, 2, 3, 2);
  ASSERT_EQ(s.size(), 54u + 8u * 3u);  // 6 bytes a row, padded to 8
  EXPECT_EQ(static_cast<uint8_t>(s[54]), 0xCC);  // the bottom row first, as B, G, R
  EXPECT_EQ(static_cast<uint8_t>(s[55]), 0xBB);
  EXPECT_EQ(static_cast<uint8_t>(s[56]), 0xAA);
  EXPECT_EQ(static_cast<uint8_t>(s[54 + 16]), 0x33);  // the top row last
  EXPECT_EQ(static_cast<uint8_t>(s[54 + 16 + 3]), 0x66);
  EXPECT_EQ(s[54 + 6], 0);  // padding
  EXPECT_TRUE(EncodeBmp24(nullptr, 2, 3, 2).empty());
  EXPECT_TRUE(EncodeBmp24(px, 0, 3, 2).empty());
}

}  // namespace
