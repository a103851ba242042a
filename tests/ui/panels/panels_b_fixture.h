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
#include <fstream>
#include <string>
#include <vector>

#include "panel_base.h"
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

using namespace paneltest;

class PanelsBTest : public PanelBase {
 protected:
  void SetUp() override {
    BuildTest::SetUp();
    MakeHome("tarvelo_panels_b_", {"FILTERS", "MELODIES", "AUDIO/RECORDED", "SYNTHS"});
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);
    ASSERT_EQ(Tarvelo::WaveLibraryListsCreate(), 0);
    ASSERT_EQ(Tarvelo::MessageConsoleCreate(), 0);
    ASSERT_EQ(Tarvelo::ActionHistoryCreate(), 0);
    ASSERT_EQ(QUARLE_AUDIO::InitMidiControllerTypes(), 0);
    QUARLE_AUDIO::MidiDeviceCount = 0;
    Tarvelo::ResetPanelServices();
    Tarvelo::ResetLibraryStatics();
    Tarvelo::ResetMessagePanelStatics();
    Tarvelo::ResetFilterPanelStatics();
    Tarvelo::ResetMelodyPanelStatics();
    Tarvelo::ResetMidiMappingStatics();
    Tarvelo::ResetBrowserTabStatics();
    Tarvelo::ParamEditMode.Store(0);
    Tarvelo::MidiLearnArmed.store(0);
    Tarvelo::FirDesign = Tarvelo::FirDesignRecord{};
    Tarvelo::FirDesign.FirSourceEntry = -1;
    QUARLE_BASICS::ListFolder(Tarvelo::BrowserListing, platform::FromOsPath(home_.string()), "*.*", 0, 0);
    QUARLE_BASICS::InitDrivesAndHome(Tarvelo::Drives);
    Tarvelo::InstallPanelHandlersB();
    ASSERT_EQ(Tarvelo::BuildInterface(1.0f), 0);
  }
  void TearDown() override {
    LeaveHome();
    Tarvelo::SelectedModule = nullptr;
    Tarvelo::ClearSynth();
    Tarvelo::WaveLibraryListsFree();
    Tarvelo::ActionHistoryFree();
    Tarvelo::MessageConsoleFree();
    QUARLE_BASICS::DirListFree(Tarvelo::BrowserListing);
    Tarvelo::close();
    BuildTest::TearDown();
    Tarvelo::ResetPanelServices();
    fs::remove_all(home_);
  }

  static V::TextField& Field(int32_t id) { return C(id)->Text; }
  static int32_t IdOf(const std::string& name) { return Named(name) < 0 ? 0 : Named(name); }
  static int32_t Send(V::EventCallbackFn fn, uint32_t bits, int32_t x, int32_t y, int32_t id,
                      int32_t source = 0) {
    return fn(bits, x, y, id, source);
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
    e->State.Store(state);
    e->ListIndex = list.header.count;
    Tarvelo::WaveLibraryListCommit(list, e);
    return e;
  }
};

}  // namespace panelsb
