// A window manager's close of a real window under an X server
// (TARVELO_TEST_DISPLAY): the close request the window manager sends
// (WM_DELETE_WINDOW, which SDL reports as a window close followed by a quit)
// clicks the close target once, as the Quit button's own click does, and the
// loop runs on; without a target it ends the loop.
#include <gtest/gtest.h>

#if TARVELO_TEST_X11
#include <X11/Xlib.h>

#include "x11_window.h"
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "basics/queues.h"
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

std::atomic<int> g_quitClicks{0};

int32_t QuitClicked(uint32_t bits, int32_t, int32_t, int32_t, int32_t) {
  if (bits == kEventClick) g_quitClicks.fetch_add(1);
  return 0;
}

// "" when the close clicked the target once and the loop ran on until told to
// end (withTarget), or when the close ended the loop by itself (without).
std::string CloseScenario(const char* display, bool withTarget) {
  Display* x = nullptr;
  const std::string started = StartOnDisplay(display, &x);
  if (!started.empty()) return started;
  if (!platform::ScreenOpen(kW, kH, 32, 2, 0, 0)) return "no window";
  int32_t root = -1, quit = -1;
  CreateControl(0, 0, 0, kW, kH, nullptr, nullptr, -1, 11, "", "", &root);
  CreateControl(root, 10, 10, 40, 30, QuitClicked, nullptr, -1, 11, "", "", &quit);
  CloseRequestTarget = withTarget ? quit : 0;
  InterfaceReady = -1;
  if (StartVideoThread(0) != 0) return "no video thread";

  const Window win = WaitForWindow(x, kW, kH);
  if (!win) return "the program's window did not appear";

  // The manager ends the loop itself only once the close has had its effect
  // (the target clicked, and a moment for a quit that should not come), or
  // when nothing ended the loop within a bound that only catches a hang: what
  // ended the loop is told by who did it, not by how long it took.
  std::atomic<bool> ended{false};
  std::atomic<bool> told{false};
  std::thread manager([&] {
    SendCloseRequest(x, win);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ended.load() && std::chrono::steady_clock::now() < limit) {
      if (withTarget && g_quitClicks.load() > 0) {
        // The quit SDL adds comes with the close: by now the loop has it.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (ended.load()) return;
    told = true;
    QUARLE_BASICS::CommandMessage m{};
    m.type = QUARLE_BASICS::kCommandEndLoop;
    QUARLE_BASICS::PostCommand(m, 0, 0);
  });
  const int32_t loop = GuiMessageLoop();
  ended = true;
  manager.join();
  StopVideoThread();
  XCloseDisplay(x);

  std::string fault;
  if (loop != 0) fault += "the loop ended with " + std::to_string(loop) + "; ";
  if (withTarget) {
    if (g_quitClicks.load() != 1) fault += std::to_string(g_quitClicks.load()) + " clicks on the target, not 1; ";
    if (!told.load()) fault += "the close ended the loop; ";
  } else {
    if (g_quitClicks.load() != 0) fault += "a click without a target; ";
    if (told.load()) fault += "the close did not end the loop; ";
  }
  return fault;
}

TEST(WindowClose, TheWindowManagersCloseClicksTheTargetOnceOrEndsTheLoop) {
  TARVELO_WINDOW_TEST_DISPLAY(display);
  for (const bool withTarget : {true, false}) {
    SCOPED_TRACE(withTarget ? "with a target" : "without");
    EXPECT_WINDOW_SCENARIO(CloseScenario(display, withTarget));
  }
}

#endif  // TARVELO_TEST_X11

}  // namespace
