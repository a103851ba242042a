#include "ui/panels/sysbar.h"

#include <string>

#include "app/documents/sample_library_file.h"
#include "app/documents/synth_file.h"
#include "app/startup.h"
#include "app/startup_hooks.h"
#include "app/state/console.h"
#include "app/state/dialogs.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "platform/display.h"
#include "platform/saver.h"
#include "platform/screen.h"
#include "ui/build/frame.h"
#include "ui/panels/list_buttons.h"
#include "ui/panels/panel_common.h"
#include "ui/views/cables.h"
#include "visuals/event_loop.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::LangText;

int32_t TickCounter = 1;
int64_t AboutAutoClose = -1;
int32_t StatusTextCountdown = 0;
int32_t LowFrameRateTicks = 0;

namespace {
// The desktop size a window size was last asked for; -1 none.
// one thread: interface
int64_t g_askedWidth = -1;
int64_t g_askedHeight = -1;
}  // namespace

void ResetSysbarTick() {
  g_askedWidth = g_askedHeight = -1;
  TickCounter = 1;
  AboutAutoClose = -1;
  StatusTextCountdown = 0;
  LowFrameRateTicks = 0;
  LowFrameRateMode.store(0);
}

namespace {

// An on word that follows a module flag; published only when it changed.
bool FollowFlag(ControlRecord* c, int64_t flag) {
  if (!c || c->State.On == flag) return false;
  c->State.On = flag;
  return true;
}

void ModulePageButtons() {
  ModuleRecord* m = SelectedModule;
  if (!m) return;
  if (ControlRecord* mfp = SlotCtl(kUiMFP); FollowFlag(mfp, m->ModuleSwitches[kSwitchPower].Load()))
    V::ControlPublishState(mfp);
  const int32_t play = SlotId(kUiPLAY);
  if (play <= 0) return;
  if (ControlRecord* c = PanelCtl(play); FollowFlag(c, m->ModuleSwitches[kSwitchPlay].Load()))
    V::ControlPublishState(c);
  // The record switch and request are the render's to clear: read whole.
  if (ControlRecord* rec = PanelCtl(play + 2); FollowFlag(rec, m->ModuleSwitches[kSwitchRecord].Load())) {
    rec->Colour = m->RecordDone.Load() != 0 ? kTransportActiveColour : 0;
    V::ControlPublish(rec, 0);
    RefreshParamControl(m);
  }
  if (ControlRecord* loop = PanelCtl(play + 3)) {
    // The Melody Generator's kernel stores the flag at a phrase end meanwhile.
    loop->Colour = m->StateWord21.Load() != 0 ? kTransportActiveColour : 0;
    V::ControlPublish(loop, 0);
  }
}

void AudioDeviceSelectors() {
  int64_t changed = 0;
  {
    platform::MutexGuard guard(QUARLE_AUDIO::MT_AUDIO);
    changed = QUARLE_AUDIO::DeviceListChanged;
    QUARLE_AUDIO::DeviceListChanged = 0;
  }
  if (!changed) return;
  // The reset buttons put the device selectors back on the devices in use.
  const int32_t output = SlotId(kUiAS_INFO);
  const int32_t input = SlotId(kUiAS_IINFO);
  if (output > 0) PostControlEvent(output + 3, 0, V::kEventClick);
  if (input > 0) PostControlEvent(input + 3, 0, V::kEventClick);
}

// The index of the largest listed screen mode that fits the desktop (the
// handler takes a mode index); the smallest when none does.
int32_t FittingScreenMode(int64_t width, int64_t height) {
  for (int32_t i = V::ScreenModeCount - 1; i >= 0; --i)
    if (V::ScreenModes[i][0] <= static_cast<float>(width) && V::ScreenModes[i][1] <= static_cast<float>(height))
      return i;
  return 0;
}

void WatchMonitors() {
  {
    platform::MutexGuard guard(V::MT_DRAW);
    MonitorCount = platform::MonitorCount();
    int64_t w = 0, h = 0;
    if (platform::DesktopSize(w, h)) {
      DesktopWidth = w;
      DesktopHeight = h;
    }
  }
  if (int64_t{MonitorCount} * DesktopWidth < V::ScreenWidth || DesktopHeight < V::ScreenHeight) {
    // The new size applies at the next start, so the window stays too large:
    // asked once per desktop size, not at every watch.
    if (DesktopWidth != g_askedWidth || DesktopHeight != g_askedHeight) {
      g_askedWidth = DesktopWidth;
      g_askedHeight = DesktopHeight;
      HandlerMessage.type = 102;
      HandlerMessage.single1 = static_cast<float>(FittingScreenMode(DesktopWidth, DesktopHeight));
      HandlerMessage.single2 = static_cast<float>(DesktopHeight);
      HandlerMessage.single3 = 0.0f;
      PostHandlerMessage(QUARLE_BASICS::MainCommandQueue);
    }
  } else {
    int32_t x = 0, y = 0;
    {
      platform::MutexGuard guard(V::MT_DRAW);
      platform::ScreenWindowPosition(x, y);
    }
    bool move = false;
    if (x >= int64_t{MonitorCount} * DesktopWidth || y >= DesktopHeight) {
      x = y = 0;
      move = true;
    } else {
      if (x < 0) {
        x = 0;
        move = true;
      }
      if (y < 0) {
        y = 0;
        move = true;
      }
    }
    if (move) {
      platform::MutexGuard guard(V::MT_DRAW);
      platform::ScreenMoveWindow(x, y);
    }
  }
  if (ControlRecord* nb = SlotCtl(kUiVS_NBMON)) {
    if (nb->Text.Selected > MonitorCount - 1) nb->Text.Selected = MonitorCount - 1;
    V::ControlPublishText(nb, -1);
  }
}

void CloseAboutOnce() {
  if (ControlRecord* about = WindowCtl(kWinABOUT); about && V::ControlVisible(about)) {
    V::ControlSetVisible(about, 0);
    SetOnWord(AboutTabId, 0);
  }
  AboutAutoClose = 0;
}

void AutoSave() {
  // Handed to the saver: the window goes on while the disk takes them, and a
  // failure is said when the saver meets it.
  if (LibraryChanged != 0) {
    LibraryChanged = 0;
    SetStatusText(LangText(195, "Saving audio library..."));
    (Startup.SaveWFLibrary ? Startup.SaveWFLibrary : SaveWFLibraryThen)([](int32_t r) {
      if (r >= 0) return;
      QUARLE_BASICS::Report("SaveWFLibrary(): " + QUARLE_BASICS::ErrorText(r), 2);
      // Still not on disk: tried again at the next auto-save, as the session is.
      LibraryChanged = -1;
    });
  }
  if (Settings.AutoSave != 0) {
    SetStatusText(LangText(196, "Saving session..."));
    (Startup.SaveSession ? Startup.SaveSession : SaveSessionThen)(SessionFolder, SessionFile, [](int32_t r) {
      if (r < 0) QUARLE_BASICS::Report("SaveSession(): " + QUARLE_BASICS::ErrorText(r), 2);
      // A take still recording is not in it, as after Ctrl+S.
      if (const std::string takes = SaveSessionTakesNote(); r == 0 && !takes.empty()) SetStatusText(takes);
    });
  }
}

void StatusLine() {
  // A wait for a save, a data folder that does not answer, and a save on its
  // way, are said for as long as they last.
  std::string waiting = ListActsWaitingText();
  if (waiting.empty()) waiting = DataFolderSilentText();
  if (waiting.empty()) waiting = SaveOnItsWayText();
  if (!waiting.empty() && StatusTextCountdown <= 1) SetStatusText(waiting);
  if (StatusTextFresh.load() != 0) {
    StatusTextCountdown = 4;
    StatusTextFresh.store(0);
  }
  const ControlRecord* db = SlotCtl(kUiDB);
  // A question too long for the box shows its pieces in turn.
  if (db && V::ControlVisible(db)) {
    TurnDialogPage();
    return;
  }
  if (StatusTextCountdown >= 0) {
    --StatusTextCountdown;
    if (StatusTextCountdown == 0) {
      SetVisibleWord(SlotId(kUiCTRL_INFO), -1);
      SetVisibleWord(SlotId(kUiMB), 0);
    }
  }
}

void FrameRate() {
  const int32_t fps = V::FrameRate.load();
  if (ControlRecord* c = SlotCtl(kUiSTB_FPS)) {
    V::TextFieldSetText(&c->Text, (std::to_string(fps) + " FPS").c_str());
    V::ControlPublishText(c, 0);
  }
  if (V::VideoThreadActive.load() != 0 && V::VideoRunFlag.load() != 0 &&
      V::InterfaceReady.load() != 0) {
    // A screen with nothing to draw shows few frames without being slow.
    if (fps < kLowFrameRate && V::IdleFrameRate.load() == 0) {
      ++LowFrameRateTicks;
      if (LowFrameRateTicks > 5) LowFrameRateMode.store(-1);
    } else {
      LowFrameRateTicks = 0;
    }
  } else {
    LowFrameRateTicks = 0;
  }
}

}  // namespace

int32_t OnSysbarTick(uint32_t bits, int32_t, int32_t, int32_t, int32_t) {
  V::CpuSaving = (Settings.CpuSaving != 0 || PlaybackActive.load() == 0) ? -1 : 0;
  if (bits != 0) return 0;
  // Outcomes of saves whose message to queue 0 was lost (a full queue) wait
  // no longer than a tick.
  platform::SaverTakeOutcomes();
  // The video thread saves snapshots; what it could not save is said here.
  if (const int32_t e = V::SnapshotError.exchange(0); e != 0)
    QUARLE_BASICS::Report("Screen snapshot not saved: " + QUARLE_BASICS::ErrorText(e),
                          QUARLE_BASICS::kLevelError);
  PanelCheckMidiDevices();
  ModulePageButtons();
  AudioDeviceSelectors();
  if (TickCounter % 3 == 0) WatchMonitors();
  if (TickCounter == 5 && AboutAutoClose != 0) CloseAboutOnce();
  ReclaimUnloadedEntries();
  if (TickCounter % 60 == 0) AutoSave();
  StatusLine();
  FrameRate();
  if (++TickCounter > 300) TickCounter = 1;
  return 0;
}

}  // namespace Tarvelo
