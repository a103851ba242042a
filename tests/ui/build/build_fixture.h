// A headless interface to build into: the visuals started without a screen,
// the DejaVu fonts as text and icon font, the sizes of zoom 1 and a fresh
// control index.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/state/settings.h"
#include "basics/dynzstring.h"
#include "basics/queues.h"
#include "engine/modulelist.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "ui/build/frame.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/fonts.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace buildtest {

namespace V = QUARLE_VISUALS;

class BuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TARVELO_HEADLESS", "1", 1);
    platform::DisplayResetSimulated();
    if (QUARLE_BASICS::CommandQueueCount() == 0) {
      int32_t q = -1;
      ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
    }
    int64_t w = 0, h = 0;
    ASSERT_EQ(V::init(12, w, h, 1), 0);
    platform::SetProgramFolderOverride("/usr/share/fonts/truetype/dejavu");
    V::LoadFonts("/DejaVuSans-Bold.ttf", "/DejaVuSans.ttf");
    V::UiIndex = static_cast<int32_t*>(std::calloc(113, sizeof(int32_t)));
    V::DialogEditIndex = static_cast<int32_t*>(std::calloc(1, sizeof(int32_t)));
    for (int32_t& k : V::KeyShortcutTable) k = 0;
    Tarvelo::ResetUiCallbacks();
    Tarvelo::MonitorsSpanned = 1;
    Tarvelo::SelectedModule = nullptr;
    Tarvelo::Settings.AutoSave = 0;
    Tarvelo::Settings.Scope = 0;
    Zoom(1);
    Window(1920, 1080);
    V::InterfaceReady = 0;
  }
  void TearDown() override {
    Tarvelo::ResetUiCallbacks();
    V::VisualsShutdown();
    platform::SetProgramFolderOverride("");
    V::InterfaceReady = 0;
  }
  // The sizes the display settings give at zoom 1 and 2.
  static void Zoom(int z) {
    Tarvelo::UiUnit = 5 * z;
    V::BorderWidth = 3 * z;
    V::IconFont.IconSize = 22 * z;
    Tarvelo::DefaultTextSize = 20 * z;
  }
  static void Window(int32_t w, int32_t h) {
    V::ScreenWidth = w;
    V::ScreenHeight = h;
  }
  static V::ControlRecord* C(int32_t id) { return V::ControlAt(id); }
  static std::string Id(int32_t id) {
    return C(id) ? QUARLE_BASICS::DynZStringGet(C(id)->ID) : "<none>";
  }
  static std::string Tip(int32_t id) {
    return C(id) ? QUARLE_BASICS::DynZStringGet(C(id)->Tooltip) : "<none>";
  }
  // x, y relative to the parent, as the tables give them.
  static void ExpectRect(int32_t id, int32_t x, int32_t y, int32_t w, int32_t h) {
    const V::ControlRecord* c = C(id);
    ASSERT_NE(c, nullptr) << id;
    const V::ControlRecord* p = id == 0 ? nullptr : C(c->Parent);
    EXPECT_EQ(c->X - (p ? p->X : 0), x) << Id(id);
    EXPECT_EQ(c->Y - (p ? p->Y : 0), y) << Id(id);
    EXPECT_EQ(c->W, w) << Id(id);
    EXPECT_EQ(c->H, h) << Id(id);
  }
  // One number for a whole table, so a changed entry anywhere shows up
  // without copying the table here.
  static uint64_t TableHash(const int32_t* t, int32_t n) {
    uint64_t h = 1469598103934665603ull;
    for (int32_t i = 0; i < n; ++i) h = (h ^ static_cast<uint32_t>(t[i])) * 1099511628211ull;
    return h;
  }
  // True once the plane and template group exists (SOUT id 141).
  static bool PlaneBuilt() { return V::UiIndex[Tarvelo::kUiSOUT] == 141; }
};

}  // namespace buildtest
