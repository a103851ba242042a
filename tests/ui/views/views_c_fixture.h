// A headless interface with a live engine behind it, for the synth plane, the
// settings windows and the tuning editor: the visuals started without a screen,
// the DejaVu faces, the sizes of zoom 1 on a 1920 x 1080 window, the engine with
// its catalog, the whole interface built with this folder's callbacks and the
// module pages installed. Messages are captured and queues drained.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
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
#include "engine/command.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "platform/display.h"
#include "platform/images.h"
#include "platform/paths.h"
#include "ui/build/callbacks.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "ui/views/control_images.h"
#include "ui/views/install_c.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/fonts.h"
#include "visuals/glyphs.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace viewsc {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::CommandMessage;

inline std::vector<std::pair<std::string, int32_t>>& Reports() {
  static std::vector<std::pair<std::string, int32_t>> reports;
  return reports;
}
inline void Capture(const std::string& text, int32_t level) { Reports().emplace_back(text, level); }

// A snapshot that frees itself.
struct Snap {
  V::RenderRecord r;
  Snap() { V::RenderRecordInit(&r); }
  ~Snap() { V::RenderRecordFree(&r); }
  Snap(const Snap&) = delete;
  Snap& operator=(const Snap&) = delete;
  V::RenderRecord* get() { return &r; }
};

class ViewsCTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TARVELO_HEADLESS", "1", 1);
    platform::DisplayResetSimulated();
    if (QUARLE_BASICS::CommandQueueCount() == 0) {
      int32_t q = -1;
      ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
    }
    if (QUARLE_BASICS::AudioCommandQueue < 0) {
      int32_t q = -1;
      ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
      QUARLE_BASICS::AudioCommandQueue = q;
    }
    int64_t w = 0, h = 0;
    ASSERT_EQ(V::init(12, w, h, 1), 0);
    platform::SetProgramFolderOverride("/usr/share/fonts/truetype/dejavu");
    V::LoadFonts("/DejaVuSans-Bold.ttf", "/DejaVuSans.ttf");
    V::UiIndex = static_cast<int32_t*>(std::calloc(Tarvelo::kUiSlotCount, sizeof(int32_t)));
    V::DialogEditIndex = static_cast<int32_t*>(std::calloc(1, sizeof(int32_t)));
    for (int32_t& k : V::KeyShortcutTable) k = 0;
    Tarvelo::ResetUiCallbacks();
    Tarvelo::MonitorsSpanned = 1;
    Tarvelo::SelectedModule = nullptr;
    Tarvelo::Settings = Tarvelo::SettingsRecord{};
    Tarvelo::Settings.OutputBufferLength = 10;
    Tarvelo::Settings.Monitors = 1;
    Tarvelo::UiUnit = 5;
    V::BorderWidth = 3;
    V::IconFont.IconSize = 22;
    Tarvelo::DefaultTextSize = 20;
    V::ScreenWidth = 1920;
    V::ScreenHeight = 1080;
    V::InterfaceReady = 0;
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);
    Tarvelo::SetDisplayDriverNames();
    Tarvelo::SetProductIdentity();
    Tarvelo::SetLanguageAndLevelTables();
    QUARLE_BASICS::DynZStringAssign(QUARLE_AUDIO::PlaybackDeviceList[0], "[No Device]");
    QUARLE_AUDIO::PlaybackDeviceCount = 1;
    QUARLE_AUDIO::PlaybackSelected = 0;
    QUARLE_BASICS::DynZStringAssign(QUARLE_AUDIO::CaptureDeviceList[0], "[No Device]");
    QUARLE_AUDIO::CaptureDeviceCount = 1;
    QUARLE_AUDIO::CaptureSelected = 0;
    ASSERT_EQ(Tarvelo::ActionHistoryCreate(), 0);
    Tarvelo::DialogOwner = 0;
    Tarvelo::DialogAnswered = 0;
    Tarvelo::DialogAnswer = 0;
    Tarvelo::Cb.CreateGlowImages = Tarvelo::CreateGlowImages;
    Tarvelo::InstallViewCallbacksC();
    ASSERT_EQ(Tarvelo::BuildInterface(1.0f), 0);
    Tarvelo::InstallModuleUi();
    Reports().clear();
    QUARLE_BASICS::MessageHook = Capture;
    Drain(0);
    Drain(QUARLE_BASICS::AudioCommandQueue);
  }

  void TearDown() override {
    Drain(0);
    Drain(QUARLE_BASICS::AudioCommandQueue);
    QUARLE_BASICS::MessageHook = nullptr;
    Tarvelo::SelectedModule = nullptr;
    Tarvelo::BoxHooks = Tarvelo::ModuleBoxHooks{};
    Tarvelo::ResetDocumentUiHooks();
    Tarvelo::ResetUiCallbacks();
    Tarvelo::ActionHistoryFree();
    Tarvelo::PlaybackActive.store(0);
    Tarvelo::close();
    Tarvelo::FreeKeyboardKeyColours();
    Tarvelo::FreeGlowImages();
    V::DrawTarget = nullptr;
    V::VisualsShutdown();
    V::PurgeRequest = 0;
    platform::SetProgramFolderOverride("");
    V::InterfaceReady = 0;
    Tarvelo::DialogOwner = 0;
    Tarvelo::DialogAnswered = 0;
  }

  // Every message waiting on a queue, in posting order.
  static std::vector<CommandMessage> Drain(int32_t queue) {
    CommandMessage* buffer = nullptr;
    QUARLE_BASICS::ArrayHeader header;
    QUARLE_BASICS::ArrayHeaderInit(header);
    std::vector<CommandMessage> out;
    if (QUARLE_BASICS::FetchCommands(buffer, header, queue) == 0)
      out.assign(buffer, buffer + header.count);
    std::free(buffer);
    platform::MutexDestroy(header.lock);
    return out;
  }

  static int32_t Slot(int32_t slot) { return V::UiIndex[slot]; }
  static V::ControlRecord* C(int32_t id) { return V::ControlAt(id); }
  static std::string Text(int32_t id) {
    return C(id) ? V::TextFieldGetText(&C(id)->Text) : "<none>";
  }
  static std::vector<std::string> History() {
    std::vector<std::string> lines;
    for (int32_t i = 0; i < Tarvelo::ActionHistory.count; ++i)
      lines.push_back(Tarvelo::GetActionLine(i));
    return lines;
  }
  // The id of the control with this ID text, counting from `from`.
  static int32_t Find(const std::string& idText, int32_t from = 1) {
    for (int32_t i = from; i < V::ControlTableCount(); ++i)
      if (C(i) && QUARLE_BASICS::DynZStringGet(C(i)->ID) == idText) return i;
    return 0;
  }
  static int32_t Plane() { return V::WindowList[Tarvelo::kWinSYNTH]; }

  // A module of the type placed at window position (x, y); its list index.
  static Tarvelo::ModuleRecord* Make(int32_t type, int32_t x, int32_t y) {
    const int32_t i = Tarvelo::CreateModule(type, x, y, -1);
    EXPECT_GE(i, 0);
    return i >= 0 ? Tarvelo::ModuleList.entries[i] : nullptr;
  }
  static V::ControlRecord* Box(const Tarvelo::ModuleRecord* m) {
    return m ? C(static_cast<int32_t>(m->BoxControl)) : nullptr;
  }
  // The port controls of a module's box: inputs in port order, then the output.
  static std::vector<int32_t> Ports(const Tarvelo::ModuleRecord* m) {
    std::vector<int32_t> out;
    const V::ControlRecord* box = Box(m);
    if (!box || box->Children.Count < 1) return out;
    const V::ControlRecord* group = C(box->Children.Ids[0]);
    for (uint32_t i = 0; group && i < group->Children.Count; ++i)
      if (group->Children.Ids[i] > 0) out.push_back(group->Children.Ids[i]);
    return out;
  }
  static int32_t Input(const Tarvelo::ModuleRecord* m, int32_t port) {
    std::vector<int32_t> p = Ports(m);
    return port < static_cast<int32_t>(p.size()) - 1 ? p[port] : 0;
  }
  static int32_t Output(const Tarvelo::ModuleRecord* m) {
    std::vector<int32_t> p = Ports(m);
    return p.empty() ? 0 : p.back();
  }
  // The event loop's call: the callback, then UpdateControl.
  static int32_t Send(int32_t id, uint32_t bits, int32_t x = 0, int32_t y = 0,
                      int32_t source = 0) {
    V::ControlRecord* c = C(id);
    if (!c || !c->EventCallback) return -999;
    const int32_t r = c->EventCallback(bits, x, y, id, source);
    V::UpdateControl(id, 0);
    return r;
  }
  // Publishes, snapshots and draws the control onto the target, as the renderer does.
  static int32_t Draw(int32_t id) {
    Snap s;
    V::FetchRenderRecord(s.get(), id);
    return C(id)->DrawCallback.load()(s.get(), id);
  }
};

}  // namespace viewsc
