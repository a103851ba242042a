// Finding the test process's own window on a shared X server: the window
// tests run side by side on one display, so a window of the right size may
// be another test's.
#pragma once

#include <gtest/gtest.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "basics/queues.h"
#include "visuals/event_loop.h"
#include "visuals/visuals.h"

// The viewable top-level window of process `pid` (SDL names its process on
// its windows), of the given size unless w is negative; 0 while there is none.
inline Window FindProcessWindow(Display* d, pid_t pid, int w = -1, int h = -1) {
  const Atom pidAtom = XInternAtom(d, "_NET_WM_PID", False);
  Window root = 0, parent = 0;
  Window* kids = nullptr;
  unsigned int n = 0;
  Window found = 0;
  if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &kids, &n)) return 0;
  for (unsigned int i = 0; i < n && !found; ++i) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, kids[i], &a) || a.map_state != IsViewable ||
        (w >= 0 && (a.width != w || a.height != h)))
      continue;
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, kids[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items,
                           &after, &data) == Success && data) {
      if (format == 32 && items == 1 &&
          *reinterpret_cast<unsigned long*>(data) == static_cast<unsigned long>(pid))
        found = kids[i];
      XFree(data);
    }
  }
  if (kids) XFree(kids);
  return found;
}

// This process's window of the given size (the window tests run side by side
// on one display, so a window of the right size may be another test's).
inline Window FindWindow(Display* d, int w, int h) { return FindProcessWindow(d, getpid(), w, h); }

// What a window manager sends for its close button or Alt-F4 (and a
// desktop's logout first).
inline void SendCloseRequest(Display* d, Window w) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, w, False, NoEventMask, &e);
  XSync(d, False);
}

// Waits for this process's window of the given size; 0 when it did not appear
// within 30 s, a bound that only catches a hang (a busy machine takes its time).
inline Window WaitForWindow(Display* d, int w, int h) {
  Window win = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!win && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    win = FindWindow(d, w, h);
  }
  return win;
}

// The start every window scenario shares, in a process of its own: the
// environment pointed at the X server, a connection of the test's own (*x),
// a command queue, the visuals started and a fresh event loop. "" when all
// went well, else what went wrong.
inline std::string StartOnDisplay(const char* display, Display** x) {
  setenv("DISPLAY", display, 1);
  unsetenv("TARVELO_HEADLESS");
  unsetenv("SDL_VIDEODRIVER");
#if defined(__SANITIZE_THREAD__)
  // The GL stack is not built for ThreadSanitizer; the window's own surface is.
  setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
#endif
  *x = XOpenDisplay(display);
  if (!*x) return std::string("cannot connect to ") + display;
  int32_t q = -1;
  if (QUARLE_BASICS::CommandQueueCount() == 0 && QUARLE_BASICS::CreateCommandQueue(q) != 0)
    return "no command queue";
  int64_t w = 0, h = 0;
  if (QUARLE_VISUALS::init(12, w, h, 1) != 0) return "the visuals did not start";
  QUARLE_VISUALS::GuiLoopReset();
  return "";
}

// The server's one pointer, held by one window test at a time (they run side
// by side on one display): a lock file per display, let go at the process's end.
inline void HoldThePointer(const char* display) {
  std::string name = display;
  for (char& c : name)
    if (c == '/' || c == ':') c = '_';
  const int fd = open(("/tmp/tarvelo-test-pointer" + name).c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
  if (fd >= 0) flock(fd, LOCK_EX);
}

// The X server the window tests draw on; the test is skipped without one.
#define TARVELO_WINDOW_TEST_DISPLAY(name)                              \
  const char* name = std::getenv("TARVELO_TEST_DISPLAY");              \
  if (!name || !*name) GTEST_SKIP() << "no X server for window tests (TARVELO_TEST_DISPLAY)"; \
  GTEST_FLAG_SET(death_test_style, "threadsafe")

// Runs a window scenario (an expression giving its faults, empty when none)
// in a child process, which ends without exit handlers: what the window's
// libraries keep is theirs.
#define EXPECT_WINDOW_SCENARIO(scenario)                                  \
  EXPECT_EXIT(                                                           \
      {                                                                  \
        const std::string fault = (scenario);                            \
        if (!fault.empty()) std::fprintf(stderr, "%s\n", fault.c_str()); \
        std::_Exit(fault.empty() ? 0 : 1);                               \
      },                                                                 \
      ::testing::ExitedWithCode(0), "")
