// The headless interface every interface test builds on, in three steps:
//   HeadlessUi        the visuals started without a screen, queue 0 there and
//                     the DejaVu faces loaded (fontResult keeps the outcome);
//   InterfaceTest     plus a fresh control index and the sizes of zoom 1 on a
//                     1920 x 1080 window, ready to build into;
//   LiveInterfaceTest plus the engine with its catalog, the action history,
//                     the whole interface built with the module pages
//                     installed and the messages captured.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/documents/doc_hooks.h"
#include "app/fixed_tables.h"
#include "app/state/dialogs.h"
#include "app/state/history.h"
#include "app/state/module_page.h"
#include "app/state/modules.h"
#include "app/state/settings.h"
#include "audio/audio.h"
#include "basics/dynzstring.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "engine/tuning.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "ui/build/callbacks.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/fonts.h"
#include "visuals/layers.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace uitest {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::CommandMessage;

// The visuals without a screen, with queue 0 to post to.
inline void StartHeadlessVisuals() {
  setenv("TARVELO_HEADLESS", "1", 1);
  platform::DisplayResetSimulated();
  if (QUARLE_BASICS::CommandQueueCount() == 0) {
    int32_t q = -1;
    ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
  }
  int64_t w = 0, h = 0;
  ASSERT_EQ(V::init(12, w, h, 1), 0);
}

// Every message waiting on a queue, in posting order.
inline std::vector<CommandMessage> DrainQueue(int32_t queue) {
  CommandMessage* buffer = nullptr;
  QUARLE_BASICS::ArrayHeader header;
  QUARLE_BASICS::ArrayHeaderInit(header);
  std::vector<CommandMessage> out;
  if (QUARLE_BASICS::FetchCommands(buffer, header, queue) == 0) out.assign(buffer, buffer + header.count);
  std::free(buffer);
  QUARLE_BASICS::ArrayHeaderFree(header);
  return out;
}

// Waits until a frame counter moves past where it stands (the video thread
// begins another frame); false after the hang bound.
inline bool WaitPast(const std::atomic<int64_t>& counter, int64_t by = 0) {
  const int64_t from = counter.load() + by;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (counter.load() <= from) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The control's tooltip once the interface thread has set what draws posted
// (as its loop does for their message).
inline std::string TipOf(int32_t id) {
  V::TakeFoundTooltips();
  const V::ControlRecord* c = V::ControlAt(id);
  return c ? QUARLE_BASICS::DynZStringGet(c->Tooltip) : "<none>";
}

// A snapshot that frees itself.
struct Snap {
  V::RenderRecord r;
  Snap() { V::RenderRecordInit(&r); }
  ~Snap() { V::RenderRecordFree(&r); }
  Snap(const Snap&) = delete;
  Snap& operator=(const Snap&) = delete;
  V::RenderRecord* operator->() { return &r; }
  V::RenderRecord* get() { return &r; }
};

class HeadlessUi : public ::testing::Test {
 protected:
  void SetUp() override {
    StartHeadlessVisuals();
    if (HasFatalFailure()) return;
    fontResult = LoadFaces();
  }
  // The faces the interface is drawn with: Debian's DejaVu pair, unless a
  // fixture loads the ones that ship beside the program.
  virtual int32_t LoadFaces() {
    platform::SetProgramFolderOverride("/usr/share/fonts/truetype/dejavu");
    return V::LoadFonts("/DejaVuSans-Bold.ttf", "/DejaVuSans.ttf");
  }
  void TearDown() override {
    V::VisualsShutdown();
    platform::SetProgramFolderOverride("");
  }

  static V::ControlRecord* C(int32_t id) { return V::ControlAt(id); }
  static std::vector<CommandMessage> Drain(int32_t queue = 0) { return DrainQueue(queue); }

  int32_t fontResult = -1;
};

class InterfaceTest : public HeadlessUi {
 protected:
  void SetUp() override {
    HeadlessUi::SetUp();
    if (HasFatalFailure()) return;
    V::UiIndex = static_cast<int32_t*>(std::calloc(Tarvelo::kUiSlotCount, sizeof(int32_t)));
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
    HeadlessUi::TearDown();
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
  static std::string Id(int32_t id) { return C(id) ? QUARLE_BASICS::DynZStringGet(C(id)->ID) : "<none>"; }
  static std::string Text(int32_t id) { return C(id) ? V::TextFieldGetText(&C(id)->Text) : "<none>"; }
};

inline std::vector<std::pair<std::string, int32_t>>& Reports() {
  static std::vector<std::pair<std::string, int32_t>> reports;
  return reports;
}
inline void Capture(const std::string& text, int32_t level) { Reports().emplace_back(text, level); }

class LiveInterfaceTest : public InterfaceTest {
 protected:
  void SetUp() override {
    InterfaceTest::SetUp();
    if (HasFatalFailure()) return;
    Tarvelo::Settings = Tarvelo::SettingsRecord{};
    // The tunings as a new process has them, whatever the test before edited.
    for (Tarvelo::Tuning& t : Tarvelo::Tunings) {
      Tarvelo::FreeTuning(t);
      Tarvelo::InitTuning(t);
    }
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);
    Tarvelo::SetDisplayDriverNames();
    Tarvelo::SetProductIdentity();
    Tarvelo::SetLanguageAndLevelTables();
    QUARLE_BASICS::DynZStringAssign(QUARLE_AUDIO::PlaybackDeviceList[0], "[No Device]");
    QUARLE_AUDIO::PlaybackDeviceCount = 1;
    QUARLE_AUDIO::PlaybackSelected = 0;
    ASSERT_EQ(Tarvelo::ActionHistoryCreate(), 0);
    Tarvelo::DialogOwner = 0;
    Tarvelo::DialogAnswered = 0;
    Tarvelo::DialogAnswer = 0;
    BeforeBuild();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Tarvelo::BuildInterface(1.0f), 0);
    Tarvelo::InstallModuleUi();
    Reports().clear();
    QUARLE_BASICS::MessageHook = Capture;
    Drain(0);
  }
  void TearDown() override {
    Drain(0);
    QUARLE_BASICS::MessageHook = nullptr;
    Tarvelo::SelectedModule = nullptr;
    Tarvelo::BoxHooks = Tarvelo::ModuleBoxHooks{};
    Tarvelo::ResetDocumentUiHooks();
    Tarvelo::ResetUiCallbacks();
    Tarvelo::ActionHistoryFree();
    Tarvelo::PlaybackActive.store(0);
    Tarvelo::close();
    Tarvelo::FreeKeyboardKeyColours();
    V::DrawTarget = nullptr;
    InterfaceTest::TearDown();
    V::PurgeRequest = 0;
    Tarvelo::DialogOwner = 0;
    Tarvelo::DialogAnswered = 0;
  }
  // What a fixture sets up between the engine and the building of the interface.
  virtual void BeforeBuild() {}

  static int32_t Slot(int32_t slot) { return V::UiIndex[slot]; }
  static std::vector<std::string> History() {
    std::vector<std::string> lines;
    for (int32_t i = 0; i < Tarvelo::ActionHistory.count; ++i) lines.push_back(Tarvelo::GetActionLine(i));
    return lines;
  }
  static int32_t Plane() { return V::WindowList[Tarvelo::kWinSYNTH]; }
};

}  // namespace uitest
