// The headless interface built with the first half of the panel handlers,
// the engine and its catalog, the libraries, the console and the action
// history, a temporary data folder (HOME too), the main and audio queues, and
// the reports captured.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "panel_base.h"
#include "app/startup.h"
#include "app/startup_hooks.h"
#include "app/documents/doc_hooks.h"
#include "app/state/modules.h"
#include "app/state/console.h"
#include "app/state/dialogs.h"
#include "app/state/history.h"
#include "app/state/settings.h"
#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "basics/listings.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/params.h"
#include "engine/tuning.h"
#include "platform/events.h"
#include "platform/paths.h"
#include "platform/sdl.h"
#include "platform/threads.h"
#include "ui/panels/install.h"
#include "ui/panels/panel_common.h"
#include "ui/panels/sysbar.h"
#include "visuals/controls.h"
#include "visuals/event_loop.h"

namespace panelsa {

using namespace paneltest;
using QUARLE_BASICS::CommandMessage;

class PanelsATest : public PanelBase {
 protected:
  void SetUp() override {
    BuildTest::SetUp();
    QUARLE_BASICS::MainCommandQueue = 0;
    if (QUARLE_BASICS::AudioCommandQueue < 1) {
      int32_t q = -1;
      ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
      QUARLE_BASICS::AudioCommandQueue = q;
    }
    MakeHome("tarvelo_panels_a_", {"TUNINGS", "SYNTHS", "AUDIO", "MELODIES"});
    for (platform::Mutex*& m : Tarvelo::MT_TUNINGS) m = platform::MutexCreate();
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);
    ASSERT_EQ(Tarvelo::WaveLibraryListsCreate(), 0);
    ASSERT_EQ(Tarvelo::MessageConsoleCreate(), 0);
    ASSERT_EQ(Tarvelo::ActionHistoryCreate(), 0);
    Tarvelo::ResetPanelServices();
    Tarvelo::ResetSysbarTick();
    Tarvelo::DialogOwner = 0;
    Tarvelo::DialogAnswer = 0;
    Tarvelo::DialogAnswered = 0;
    Tarvelo::ResetStartupHooks();
    Tarvelo::PlaybackActive = 0;
    Tarvelo::CaptureActive = 0;
    Tarvelo::ParamEditMode.Store(0);
    Tarvelo::LibraryChanged = 0;
    Tarvelo::SessionFolder = platform::FromOsPath((home_ / "SYNTHS").string());
    Tarvelo::SessionFile = "Session.tarvelo";
    Tarvelo::SessionTitle = "Session";
    QUARLE_BASICS::ListFolder(Tarvelo::BrowserListing, platform::FromOsPath(home_.string()), "*.*", 0, 0);
    Tarvelo::InstallModuleUi();
    Tarvelo::InstallPanelHandlersA();
    ASSERT_EQ(Tarvelo::BuildInterface(1.0f), 0);
    Drain(0);
    Drain(QUARLE_BASICS::AudioCommandQueue);
  }
  void TearDown() override {
    LeaveHome();
    Tarvelo::PlaybackActive = 0;
    Tarvelo::CaptureActive = 0;
    Tarvelo::SelectedModule = nullptr;
    Tarvelo::ClearSynth();
    Tarvelo::WaveLibraryListsFree();
    Tarvelo::ActionHistoryFree();
    Tarvelo::MessageConsoleFree();
    QUARLE_BASICS::DirListFree(Tarvelo::BrowserListing);
    Tarvelo::close();
    for (platform::Mutex*& m : Tarvelo::MT_TUNINGS) {
      platform::MutexDestroy(m);
      m = nullptr;
    }
    Drain(0);
    Drain(QUARLE_BASICS::AudioCommandQueue);
    BuildTest::TearDown();
    Tarvelo::ResetPanelServices();
    Tarvelo::ResetStartupHooks();
    Tarvelo::ResetDocumentUiHooks();
    Tarvelo::BoxHooks = Tarvelo::ModuleBoxHooks{};
    fs::remove_all(home_);
  }

  static std::vector<CommandMessage> AudioPosts() { return Drain(QUARLE_BASICS::AudioCommandQueue); }
  static int32_t Window(int32_t slot) { return Tarvelo::WindowIdOf(slot); }
  // The window manager put the window at (x, y): SDL's report, through the window's translation.
  static void WindowManagerMoves(int32_t x, int32_t y) {
    SDL_Event e{};
    e.window.type = SDL_WINDOWEVENT;
    e.window.event = SDL_WINDOWEVENT_MOVED;
    e.window.data1 = x;
    e.window.data2 = y;
    platform::WindowEvent w;
    EXPECT_FALSE(platform::TranslateSdlEventForTest(e, w));  // nothing for the loop
  }

};

}  // namespace panelsa
