// A headless interface with a live engine behind it: the visuals started
// without a screen, the DejaVu fonts, the sizes of zoom 1 on a 1920 x 1080
// window, the engine with its catalog, the whole interface built (with the
// module-box templates) and the module page installed. Messages are captured;
// queue 0 is drained before each test.
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
#include "engine/modulelist.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "ui/build/callbacks.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/fonts.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace moduleui {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::CommandMessage;

inline std::vector<std::pair<std::string, int32_t>>& Reports() {
  static std::vector<std::pair<std::string, int32_t>> reports;
  return reports;
}
inline void Capture(const std::string& text, int32_t level) { Reports().emplace_back(text, level); }

// Calls of the callbacks a test stands in for: (control id, bits, source).
struct Call {
  int32_t id;
  uint32_t bits;
  int32_t source;
};
inline std::vector<Call>& Calls() {
  static std::vector<Call> calls;
  return calls;
}
inline int32_t RecordCall(uint32_t bits, int32_t, int32_t, int32_t id, int32_t source) {
  Calls().push_back({id, bits, source});
  return 0;
}

class ModuleUiTest : public ::testing::Test {
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
    V::UiIndex = static_cast<int32_t*>(std::calloc(Tarvelo::kUiSlotCount, sizeof(int32_t)));
    V::DialogEditIndex = static_cast<int32_t*>(std::calloc(1, sizeof(int32_t)));
    for (int32_t& k : V::KeyShortcutTable) k = 0;
    Tarvelo::ResetUiCallbacks();
    Tarvelo::Cb.OnModuleTab = RecordCall;
    Tarvelo::Cb.OnSampleRecord = RecordCall;
    Tarvelo::Cb.OnSequencerRecord = RecordCall;
    Tarvelo::Cb.OnMelodyGeneratorRecord = RecordCall;
    Tarvelo::MonitorsSpanned = 1;
    Tarvelo::SelectedModule = nullptr;
    Tarvelo::Settings = Tarvelo::SettingsRecord{};
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
    ASSERT_EQ(Tarvelo::ActionHistoryCreate(), 0);
    Tarvelo::DialogOwner = 0;
    Tarvelo::DialogAnswered = 0;
    Tarvelo::DialogAnswer = 0;
    Tarvelo::BrowserTab = 0;
    ASSERT_EQ(Tarvelo::BuildInterface(1.0f), 0);
    Tarvelo::InstallModuleUi();
    Reports().clear();
    QUARLE_BASICS::MessageHook = Capture;
    Drain();
    Calls().clear();
  }

  void TearDown() override {
    Drain();
    QUARLE_BASICS::MessageHook = nullptr;
    Tarvelo::SelectedModule = nullptr;
    Tarvelo::BoxHooks = Tarvelo::ModuleBoxHooks{};
    Tarvelo::ResetDocumentUiHooks();
    Tarvelo::ResetUiCallbacks();
    Tarvelo::ActionHistoryFree();
    Tarvelo::close();
    Tarvelo::FreeKeyboardKeyColours();
    V::VisualsShutdown();
    V::PurgeRequest = 0;
    platform::SetProgramFolderOverride("");
    V::InterfaceReady = 0;
    Tarvelo::DialogOwner = 0;
    Tarvelo::DialogAnswered = 0;
    Tarvelo::BrowserTab = 0;
  }

  // Every message waiting on queue 0, in posting order.
  static std::vector<CommandMessage> Drain() {
    CommandMessage* buffer = nullptr;
    QUARLE_BASICS::ArrayHeader header;
    QUARLE_BASICS::ArrayHeaderInit(header);
    std::vector<CommandMessage> out;
    if (QUARLE_BASICS::FetchCommands(buffer, header, 0) == 0)
      out.assign(buffer, buffer + header.count);
    std::free(buffer);
    platform::MutexDestroy(header.lock);
    return out;
  }

  static int32_t Slot(int32_t slot) { return V::UiIndex[slot]; }
  static V::ControlRecord* C(int32_t id) { return V::ControlAt(id); }
  static V::ControlRecord* S(int32_t slot) { return C(Slot(slot)); }
  static std::string Text(int32_t id) { return C(id) ? V::TextFieldGetText(&C(id)->Text) : "<none>"; }
  static std::string IdText(int32_t id) {
    return C(id) ? QUARLE_BASICS::DynZStringGet(C(id)->ID) : "<none>";
  }
  static bool Shown(int32_t id) { return C(id) && V::ControlVisible(C(id)) != 0; }
  static bool Disabled(int32_t id) { return C(id) && C(id)->State.Disabled != 0; }
  static int32_t Listed() { return Tarvelo::ModuleList.count; }
  static Tarvelo::ModuleRecord* Module(int32_t i) { return Tarvelo::ModuleList.entries[i]; }
  static std::vector<std::string> History() {
    std::vector<std::string> lines;
    for (int32_t i = 0; i < Tarvelo::ActionHistory.count; ++i) lines.push_back(Tarvelo::GetActionLine(i));
    return lines;
  }
  // The children of a control that are still there.
  static std::vector<int32_t> Children(int32_t id) {
    std::vector<int32_t> out;
    const V::ControlRecord* c = C(id);
    for (uint32_t i = 0; c && i < c->Children.Count; ++i)
      if (c->Children.Ids[i] > 0) out.push_back(c->Children.Ids[i]);
    return out;
  }
  static int32_t Plane() { return V::WindowList[Tarvelo::kWinSYNTH]; }
};

}  // namespace moduleui
