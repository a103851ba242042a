// The headless interface with the engine, the libraries, the message console
// and the action history, the handlers of the browser pane and the library
// pages installed, and a temporary data folder (HOME too) for every file the
// handlers write. Reports are captured.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../build/build_fixture.h"
#include "app/startup.h"
#include "app/state/console.h"
#include "app/state/history.h"
#include "app/state/wave_library.h"
#include "audio/midi.h"
#include "basics/listings.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/windows.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/params.h"
#include "platform/paths.h"
#include "ui/panels/browser_tabs.h"
#include "ui/panels/filter_panel.h"
#include "ui/panels/install.h"
#include "ui/panels/libraries.h"
#include "ui/panels/melody_panel.h"
#include "ui/panels/messages_panel.h"
#include "ui/panels/midi_mapping.h"
#include "ui/panels/panel_common.h"
#include "ui/panels/sample_panel.h"
#include "visuals/controls.h"

namespace panelsb {

namespace V = QUARLE_VISUALS;
namespace fs = std::filesystem;

struct Reported {
  std::string text;
  int32_t level;
};
inline std::vector<Reported> Reports;
inline void CaptureReport(const std::string& text, int32_t level) { Reports.push_back({text, level}); }

class PanelsBTest : public buildtest::BuildTest {
 protected:
  void SetUp() override {
    BuildTest::SetUp();
    startFolder_ = fs::current_path();
    home_ = fs::temp_directory_path() /
            ("tarvelo_panels_b_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(home_);
    for (const char* sub : {"FILTERS", "MELODIES", "AUDIO/RECORDED", "SYNTHS"})
      fs::create_directories(home_ / sub);
    setenv("HOME", home_.c_str(), 1);
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::FromOsPath(home_.string()));
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);
    ASSERT_EQ(Tarvelo::WaveLibraryListsCreate(), 0);
    ASSERT_EQ(Tarvelo::MessageConsoleCreate(), 0);
    ASSERT_EQ(Tarvelo::ActionHistoryCreate(), 0);
    ASSERT_EQ(QUARLE_AUDIO::InitMidiControllerTypes(), 0);
    QUARLE_AUDIO::MidiDeviceCount = 0;
    Reports.clear();
    QUARLE_BASICS::MessageHook = CaptureReport;
    Tarvelo::ResetPanelServices();
    Tarvelo::ResetLibraryStatics();
    Tarvelo::ResetMessagePanelStatics();
    Tarvelo::ResetFilterPanelStatics();
    Tarvelo::ResetMelodyPanelStatics();
    Tarvelo::ResetMidiMappingStatics();
    Tarvelo::ResetBrowserTabStatics();
    Tarvelo::ParamEditMode = 0;
    Tarvelo::MidiLearnArmed.store(0);
    Tarvelo::FirDesign = Tarvelo::FirDesignRecord{};
    Tarvelo::FirDesign.FirSourceEntry = -1;
    QUARLE_BASICS::ListFolder(Tarvelo::BrowserListing, platform::FromOsPath(home_.string()), "*.*", 0, 0);
    QUARLE_BASICS::InitDrivesAndHome(Tarvelo::Drives);
    Tarvelo::InstallPanelHandlersB();
    ASSERT_EQ(Tarvelo::BuildInterface(1.0f), 0);
  }
  void TearDown() override {
    QUARLE_BASICS::MessageHook = nullptr;
    Tarvelo::SelectedModule = nullptr;
    Tarvelo::ClearSynth();
    Tarvelo::WaveLibraryListsFree();
    Tarvelo::ActionHistoryFree();
    Tarvelo::MessageConsoleFree();
    QUARLE_BASICS::DirListFree(Tarvelo::BrowserListing);
    Tarvelo::close();
    fs::current_path(startFolder_);
    BuildTest::TearDown();
    Tarvelo::ResetPanelServices();
    fs::remove_all(home_);
  }

  static int32_t Slot(int32_t s) { return Tarvelo::SlotId(s); }
  static V::TextField& Field(int32_t id) { return C(id)->Text; }
  static int32_t IdOf(const std::string& name) {
    for (int32_t id = 1; id < V::ControlTableCount(); ++id)
      if (Id(id) == name) return id;
    return 0;
  }
  static std::string Text(int32_t id) { return C(id) ? V::TextFieldGetText(&C(id)->Text) : "<none>"; }
  static int64_t On(int32_t id) { return C(id)->State.On; }
  static int64_t Shown(int32_t id) { return V::ControlVisible(C(id)); }
  static int64_t Disabled(int32_t id) { return V::IsDisabled(&C(id)->State); }

  // Events. A click or press on row r of a list (display position r from the top).
  static int32_t RowY(int32_t list, int32_t r) {
    const V::ControlRecord* c = C(list);
    const int32_t rows = c->Text.VisibleRows < 1 ? 1 : c->Text.VisibleRows;
    const int32_t rowH = static_cast<int32_t>(std::nearbyint((c->H - 2.0 * V::BorderWidth) / rows));
    return c->Y + V::BorderWidth + r * rowH + rowH / 2;
  }
  static int32_t Send(V::EventCallbackFn fn, uint32_t bits, int32_t x, int32_t y, int32_t id,
                      int32_t source = 0) {
    return fn(bits, x, y, id, source);
  }
  static int32_t Click(V::EventCallbackFn fn, int32_t id) {
    return fn(V::kEventClick, C(id)->X + 1, C(id)->Y + 1, id, 0);
  }
  static int32_t Press(V::EventCallbackFn fn, int32_t id) {
    return fn(V::kEventPress, C(id)->X + 1, C(id)->Y + 1, id, 0);
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

  // Library entries.
  static Tarvelo::WaveLibraryEntry* AddEntry(Tarvelo::WaveLibraryList& list, const std::string& file,
                                              int32_t frames, int32_t channels = 1,
                                              int32_t state = Tarvelo::kWaveIdle) {
    EXPECT_EQ(Tarvelo::WaveLibraryListReserve(list), 0);
    Tarvelo::WaveLibraryEntry* e = Tarvelo::WaveLibraryEntryNew();
    QUARLE_BASICS::DynZStringAssign(e->Folder, platform::FromOsPath(Home().string()));
    QUARLE_BASICS::DynZStringAssign(e->File, file);
    QUARLE_AUDIO::SoundBufferSetFormat(&e->Sound, channels, 48000, 32);
    e->Sound.frameCount = static_cast<uint32_t>(frames);
    e->Sound.dataSize = static_cast<uint32_t>(frames * channels * 4);
    e->Sound.samples = static_cast<float*>(std::calloc(frames * channels + 1, sizeof(float)));
    for (int32_t i = 0; i < frames * channels; ++i) e->Sound.samples[i] = 0.25f * ((i % 4) - 1.5f);
    e->LoadState = Tarvelo::kWaveDataHeld;
    e->State = state;
    e->ListIndex = list.header.count;
    Tarvelo::WaveLibraryListCommit(list, e);
    return e;
  }
  static fs::path Home() { return home_; }

  // A live module of a type, listed.
  static Tarvelo::ModuleRecord* Make(int32_t type) {
    Tarvelo::ModuleRecord* m = nullptr;
    EXPECT_GE(Tarvelo::AddModule(type, true, &m), 0);
    return m;
  }

  static inline fs::path home_;
  fs::path startFolder_;
};

}  // namespace panelsb
