// A real window under an X server (TARVELO_TEST_DISPLAY names it; scripts/test
// starts Xvfb for it): the event loop pumps the window's events on this thread,
// the video thread renders and presents, other threads post audio reports and
// MIDI-driven control events, and the window is resized from outside 300 times,
// 20 a second. After every size change the window must show the interface
// again (its pixels read back from the X server), and nothing may crash. The
// pointer's desktop position, which a window drag reads, is the server's.
#include <gtest/gtest.h>

#if TARVELO_TEST_X11
#include <X11/Xlib.h>

#include "x11_window.h"
#include <X11/Xutil.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "basics/queues.h"
#include "platform/display.h"
#include "platform/events.h"
#include "platform/screen.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace {

using namespace QUARLE_VISUALS;

#if TARVELO_TEST_X11

constexpr int32_t kW = 320;
constexpr int32_t kH = 240;
constexpr uint32_t kRoot = 0xFF3060A0u;
constexpr uint32_t kMiddle = 0xFFE0C020u;
constexpr int kResizes = 300;
constexpr auto kResizePeriod = std::chrono::milliseconds(50);

std::atomic<int> g_clicks{0};
std::atomic<int> g_reports{0};

// A played key: the control changes colour and publishes it, as the keyboard
// does for a MIDI note.
int32_t Played(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  if (bits != kEventClick) return 0;
  ControlRecord* c = ControlAt(id);
  c->Colour = (g_clicks.fetch_add(1) % 2) ? kMiddle : 0xFFE0C021u;
  return 0;
}

int32_t CountReport(QUARLE_BASICS::CommandMessage*) {
  g_reports.fetch_add(1);
  return 0;
}

uint32_t PixelAt(XImage* image, int x, int y) {
  return static_cast<uint32_t>(XGetPixel(image, x, y)) & 0x00FFFFFFu;
}

// Whether the window shows the page scaled into it: the middle control at the
// window's centre and the root's colour at a point of the page's top-left area.
bool ShowsInterface(Display* d, Window win, int w, int h) {
  XImage* image = XGetImage(d, win, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h),
                            AllPlanes, ZPixmap);
  if (!image) return false;
  const double scale = std::min(static_cast<double>(w) / kW, static_cast<double>(h) / kH);
  const double left = (w - kW * scale) / 2.0, top = (h - kH * scale) / 2.0;
  const int rx = static_cast<int>(left + 30.0 * scale), ry = static_cast<int>(top + 30.0 * scale);
  // The middle control's colour flips its lowest bit with every played note.
  const bool ok = (PixelAt(image, w / 2, h / 2) & ~1u) == (kMiddle & 0x00FFFFFEu) &&
                  PixelAt(image, rx, ry) == (kRoot & 0x00FFFFFFu);
  XDestroyImage(image);
  return ok;
}

// The whole scenario; "" when it went well, else what went wrong. Runs in a
// process of its own: the window's libraries keep memory for the life of the
// process, and the environment is changed for it.
std::string ResizeScenario(const char* display) {
  Display* x = nullptr;
  const std::string started = StartOnDisplay(display, &x);
  if (!started.empty()) return started;
  CpuSaving = -1;
  SystemMessageHandler = CountReport;
  if (!platform::ScreenOpen(kW, kH, 32, 2, 0, 0)) return "no window";
  int32_t root = -1, middle = -1;
  CreateControl(0, 0, 0, kW, kH, nullptr, nullptr, -1, 11, "", "", &root);
  ControlAt(root)->Colour = kRoot;
  UpdateControl(root, 0);
  CreateControl(root, 80, 60, 160, 120, Played, nullptr, -1, 11, "", "", &middle);
  ControlAt(middle)->Colour = kMiddle;
  UpdateControl(middle, 0);
  InterfaceReady = -1;
  if (StartVideoThread(0) != 0) return "no video thread";

  const Window win = WaitForWindow(x, kW, kH);
  if (!win) return "the program's window did not appear";

  std::atomic<bool> done{false};
  // The audio thread's reports and the MIDI thread's notes, as they arrive.
  std::thread audio([&done] {
    while (!done) {
      QUARLE_BASICS::CommandMessage m{};
      m.type = 206;
      QUARLE_BASICS::PostCommand(m, 0, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  std::thread midi([&done, middle] {
    while (!done) {
      QUARLE_BASICS::CommandMessage m{};
      m.type = QUARLE_BASICS::kCommandControlEvent;
      m.arg2 = static_cast<uint32_t>(middle);
      m.arg5 = kEventClick;
      QUARLE_BASICS::PostCommand(m, 0, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(7));
    }
  });

  // The outside resizes, from a connection of their own, as a window manager
  // would make them; each is checked on screen before the next.
  std::vector<int> failedAt;
  std::thread resizer([&] {
    const int sizes[][2] = {{200, 150}, {640, 480}, {333, 111}, {800, 200}, {150, 400},
                            {321, 241}, {1024, 768}, {97, 73}};
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < kResizes; ++i) {
      const int* size = sizes[i % 8];
      XResizeWindow(x, win, static_cast<unsigned>(size[0]), static_cast<unsigned>(size[1]));
      XSync(x, False);
      // Met in milliseconds; the bound only catches a hang (sanitizers and a
      // busy machine slow everything down).
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      bool shown = false;
      while (!shown && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        shown = ShowsInterface(x, win, size[0], size[1]);
      }
      if (!shown) failedAt.push_back(i);
      next += kResizePeriod;
      std::this_thread::sleep_until(next);
    }
    done = true;
    QUARLE_BASICS::CommandMessage quit{};
    quit.type = QUARLE_BASICS::kCommandEndLoop;
    QUARLE_BASICS::PostCommand(quit, 0, 0);
  });

  // The interface thread: pumps the window's events until the quit message.
  const int32_t loop = GuiMessageLoop();
  resizer.join();
  audio.join();
  midi.join();

  std::string fault;
  if (loop != 0) fault += "the event loop ended with " + std::to_string(loop) + "; ";
  if (!failedAt.empty())
    fault += std::to_string(failedAt.size()) + " of " + std::to_string(kResizes) +
             " sizes did not show the interface, the first at resize " +
             std::to_string(failedAt[0]) + "; ";
  if (VideoThreadActive.load() != -1) fault += "the video thread stopped; ";
  if (g_clicks.load() < 100) fault += "too few notes reached the interface; ";
  if (g_reports.load() < 100) fault += "too few reports reached the interface; ";
  StopVideoThread();
  XCloseDisplay(x);
  return fault;
}

// Where the pointer is on the desktop, as a window drag reads it at every
// step: what the server says now, however the pointer came there (here moved
// by another client, which SDL's own global state may not hear of).
std::string PointerScenario(const char* display) {
  Display* x = nullptr;
  const std::string started = StartOnDisplay(display, &x);
  if (!started.empty()) return started;
  if (!platform::ScreenOpen(kW, kH, 32, 2, 0, 0)) return "no window";
  std::string fault;
  const int spots[][2] = {{70, 14}, {190, 14}, {190, 74}, {3, 900}, {1000, 5}};
  for (const auto& spot : spots) {
    XWarpPointer(x, None, DefaultRootWindow(x), 0, 0, 0, 0, spot[0], spot[1]);
    XSync(x, False);
    platform::WindowEvent e;
    while (platform::WindowEventPoll(e)) {
    }
    int32_t px = -1, py = -1;
    platform::ScreenPointerOnDesktop(px, py);
    if (px != spot[0] || py != spot[1])
      fault += "(" + std::to_string(px) + "," + std::to_string(py) + ") for (" +
               std::to_string(spot[0]) + "," + std::to_string(spot[1]) + "); ";
  }
  XCloseDisplay(x);
  return fault;
}

TEST(WindowResize, TheDesktopPointerIsWhereTheServerHasIt) {
  TARVELO_WINDOW_TEST_DISPLAY(display);
  EXPECT_WINDOW_SCENARIO(PointerScenario(display));
}

TEST(WindowResize, TheWindowShowsTheInterfaceAfterEveryOutsideResize) {
  TARVELO_WINDOW_TEST_DISPLAY(display);
  EXPECT_WINDOW_SCENARIO(ResizeScenario(display));
}

#endif  // TARVELO_TEST_X11

}  // namespace
