// A headless interface for the event-loop and focus tests: the visuals started,
// queue 0 empty, a fake seconds timer, captured log messages, and event
// callbacks that record what they receive.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../ui/ui_fixture.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "platform/display.h"
#include "platform/events.h"
#include "platform/joystick.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/focus.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace guitest {

using namespace QUARLE_VISUALS;

struct Call {
  uint32_t bits;
  int32_t x, y, id, source;
  std::string typed;
  int64_t released;
};

inline std::vector<Call> g_calls;
inline std::vector<std::pair<std::string, int32_t>> g_messages;
// A callback of control g_failId returns g_failResult.
inline int32_t g_failId = -1;
inline int32_t g_failResult = 0;
// The fake timer: each reading advances it by g_step.
inline double g_now = 1000.0;
inline double g_step = 0.0;

// When set, the first reading at or past it closes the window.
inline double g_closeAt = 0.0;

inline void Capture(const std::string& text, int32_t level) { g_messages.emplace_back(text, level); }
inline double FakeClock() {
  const double t = g_now;
  g_now += g_step;
  if (g_closeAt > 0.0 && t >= g_closeAt) {
    g_closeAt = 0.0;
    platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
  }
  return t;
}

inline int32_t Record(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source) {
  g_calls.push_back({bits, x, y, id, source, KeyTypedText(), KeyReleased()});
  return id == g_failId ? g_failResult : 0;
}

inline void PostQuit() {
  QUARLE_BASICS::CommandMessage m{};
  m.type = QUARLE_BASICS::kCommandEndLoop;
  QUARLE_BASICS::PostCommand(m, 0, 0);
}

inline void DrainQueue0() { uitest::DrainQueue(0); }

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::StartHeadlessVisuals();
    if (HasFatalFailure()) return;
    GuiLoopReset();
    CpuSaving = 0;
    g_calls.clear();
    g_messages.clear();
    g_failId = -1;
    g_failResult = 0;
    g_now = 1000.0;
    g_step = 0.0;
    g_closeAt = 0.0;
    SetGuiClock(FakeClock);
    QUARLE_BASICS::MessageHook = Capture;
    platform::WindowEventsClear();
    platform::KeyBufferDrain();
    platform::JoystickSimulateReset();
    platform::SetSimulatedWindowPointer(0, 0);
    DrainQueue0();
    VideoRunFlag = -1;
    InterfaceReady = -1;
    FocusedControl = 0;
    FocusMode = 0;
  }
  void TearDown() override {
    FocusReset();
    VisualsShutdown();
    GuiLoopReset();
    SetGuiClock(nullptr);
    QUARLE_BASICS::MessageHook = nullptr;
    platform::WindowEventsClear();
    platform::JoystickSimulateReset();
    DrainQueue0();
    VideoRunFlag = 0;
    InterfaceReady = 0;
  }

  // A visible control with the recording callback (or none) under parent.
  static int32_t Make(int32_t parent, int32_t x, int32_t y, int32_t w, int32_t h, int32_t mask,
                      const char* tooltip = "", EventCallbackFn fn = Record) {
    int32_t id = -1;
    EXPECT_EQ(CreateControl(parent, x, y, w, h, fn, nullptr, -1, mask, "", tooltip, &id), 0);
    return id;
  }

  static void Inject(const platform::WindowEvent& e) { platform::WindowEventInject(e); }
  static void Move(int32_t x, int32_t y, int32_t dx = 0, int32_t dy = 0) {
    Inject(platform::PointerMoveEvent(x, y, dx, dy));
  }
  static void Press() { Inject(platform::ButtonEvent(platform::kWindowButtonPress, platform::kButtonLeft)); }
  static void Release() { Inject(platform::ButtonEvent(platform::kWindowButtonRelease, platform::kButtonLeft)); }
  static void Key(uint32_t scan, uint32_t ascii) { Inject(platform::KeyPressEvent(scan, ascii)); }
  static void KeyUp(uint32_t scan, uint32_t ascii) { Inject(platform::KeyReleaseEvent(scan, ascii)); }
  // Runs the loop over what was queued, ending with the window's close.
  static int32_t Run() {
    Inject(platform::PlainEvent(platform::kWindowClose));
    return GuiMessageLoop();
  }
  // Runs the loop for that long on the fake timer (g_step must be above 0).
  static int32_t RunFor(double seconds) {
    g_closeAt = g_now + seconds;
    return GuiMessageLoop();
  }
  // The calls one control received, as their bits.
  static std::vector<uint32_t> BitsOf(int32_t id) {
    std::vector<uint32_t> out;
    for (const Call& c : g_calls)
      if (c.id == id) out.push_back(c.bits);
    return out;
  }
};

}  // namespace guitest
