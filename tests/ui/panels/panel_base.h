// What both panel fixtures share: a temporary data folder (HOME too), the
// reports captured, and events sent to controls of the headless interface.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "../build/build_fixture.h"
#include "basics/dynzstring.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "engine/modulelist.h"
#include "engine/render.h"
#include "platform/paths.h"
#include "ui/panels/panel_common.h"
#include "visuals/controls.h"

namespace paneltest {

namespace V = QUARLE_VISUALS;
namespace fs = std::filesystem;

// The audio thread's side: a frame after another, parked when a hold asks;
// stopped when it leaves scope, a failed assertion's return included.
struct PlayingRender {
  std::atomic<bool> stop{false};
  std::atomic<int32_t> frames{0};
  std::thread thread{[this] {
    std::vector<float> block(128);
    while (!stop.load()) {
      float* p = block.data();
      Tarvelo::RenderAudio(&p, 0, 128);
      frames.fetch_add(1);
    }
  }};
  void Stop() {
    stop.store(true);
    if (thread.joinable()) thread.join();
  }
  ~PlayingRender() { Stop(); }
};

struct Reported {
  std::string text;
  int32_t level;
};
inline std::vector<Reported> Reports;
inline void CaptureReport(const std::string& text, int32_t level) { Reports.push_back({text, level}); }

class PanelBase : public buildtest::BuildTest {
 protected:
  // A fresh data folder with these subfolders, HOME pointing at it.
  void MakeHome(const char* prefix, std::initializer_list<const char*> subs) {
    startFolder_ = fs::current_path();
    home_ = fs::temp_directory_path() /
            (prefix + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(home_);
    for (const char* sub : subs) fs::create_directories(home_ / sub);
    setenv("HOME", home_.c_str(), 1);
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::FromOsPath(home_.string()));
    Reports.clear();
    QUARLE_BASICS::MessageHook = CaptureReport;
  }
  void LeaveHome() {
    QUARLE_BASICS::MessageHook = nullptr;
    fs::current_path(startFolder_);
  }
  static fs::path Home() { return home_; }

  static int32_t Slot(int32_t s) { return Tarvelo::SlotId(s); }
  static int64_t On(int32_t id) { return C(id)->State.On; }
  static int64_t Shown(int32_t id) { return V::ControlVisible(C(id)); }
  static int64_t Disabled(int32_t id) { return V::IsDisabled(&C(id)->State); }
  // The id of the first control with this ID text, -1 without one.
  static int32_t Named(const std::string& name) {
    for (int32_t id = 0; id < V::ControlTableCount(); ++id)
      if (C(id) && Id(id) == name) return id;
    return -1;
  }
  static bool HasReport(const std::string& text, int32_t level) {
    for (const Reported& r : Reports)
      if (r.text == text && r.level == level) return true;
    return false;
  }

  static int32_t Click(V::EventCallbackFn fn, int32_t id) {
    return fn(V::kEventClick, C(id)->X + 1, C(id)->Y + 1, id, 0);
  }
  static int32_t Press(V::EventCallbackFn fn, int32_t id) {
    return fn(V::kEventPress, C(id)->X + 1, C(id)->Y + 1, id, 0);
  }
  // Row r of a list, counted on screen from the top.
  static int32_t RowY(int32_t list, int32_t r) {
    const V::ControlRecord* c = C(list);
    const int32_t rows = c->Text.VisibleRows < 1 ? 1 : c->Text.VisibleRows;
    const int32_t rowH = static_cast<int32_t>(std::nearbyint((c->H - 2.0 * V::BorderWidth) / rows));
    return c->Y + V::BorderWidth + r * rowH + rowH / 2;
  }
  static int32_t ClickRow(V::EventCallbackFn fn, int32_t list, int32_t r) {
    return fn(V::kEventClick, C(list)->X + 10, RowY(list, r), list, 0);
  }
  static int32_t PressRow(V::EventCallbackFn fn, int32_t list, int32_t r) {
    return fn(V::kEventPress, C(list)->X + 10, RowY(list, r), list, 0);
  }
  // A click on the right (+1) or left (-1) part of a selector.
  static int32_t Step(V::EventCallbackFn fn, int32_t id, int32_t direction) {
    const V::ControlRecord* c = C(id);
    return fn(V::kEventClick, direction > 0 ? c->X + c->W - 2 : c->X + 2, c->Y + 1, id, 0);
  }
  // A live module of a type, listed.
  static Tarvelo::ModuleRecord* Make(int32_t type) {
    Tarvelo::ModuleRecord* m = nullptr;
    EXPECT_GE(Tarvelo::AddModule(type, true, &m), 0);
    return m;
  }

  static inline fs::path home_;
  fs::path startFolder_;
};

}  // namespace paneltest
