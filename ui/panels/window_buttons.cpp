#include "ui/panels/window_buttons.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/documents/synth_file.h"
#include "app/documents/tuning_save.h"
#include "app/state/console.h"
#include "app/state/dialogs.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "audio/audio.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/ratio.h"
#include "basics/timetext.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "engine/tuning.h"
#include "engine/units.h"
#include "platform/display.h"
#include "platform/screen.h"
#include "ui/build/frame.h"
#include "ui/panels/list_buttons.h"
#include "ui/panels/panel_common.h"
#include "ui/panels/sysbar.h"
#include "ui/views/scope_view.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::LangText;

int32_t MoveMonitorIndex = 0;
const char* const AboutLinkAddresses[2] = {"https://www.tarvelo.org",
                                           "https://www.tarvelo.org/developers"};

std::string GainCaption(float gain) {
  int32_t sign = 0;
  const float db = QUARLE_BASICS::RoundToDigits(UnitLinearToDb(gain, 0.0f, 0.0f, &sign), 2);
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, db);
  return std::string(buf, res.ptr) + "dB";
}

namespace {

// The quit's questions (the dialog's first word).
enum QuitQuestion : int32_t { kQuitConfirm = 0, kQuitSaveFirst = 1, kQuitUnsaved = 2 };

void EndTheLoop() {
  HandlerMessage.type = QUARLE_BASICS::kCommandEndLoop;
  PostHandlerMessage(QUARLE_BASICS::MainCommandQueue);
}

// Asks to confirm the quit; with the synth on no disk after a failed save,
// whether to save it elsewhere first, as the end's own save would fail too.
void AskQuit(int32_t id) {
  if (SessionSaveFailure() != 0) {
    const std::string asked = DialogQuestionThatFits(
        {LangText(666, "The synth is not saved (its save failed). Save it here before quitting?"),
         LangText(667, "Unsaved. Save first?")},
        -1);
    PanelOpenDialog(id, asked, -1, SynthNameElsewhere(), kQuitSaveFirst, -1, -1);
  } else {
    PanelOpenDialog(id, LangText(198, "Please confirm that you want to quit."), 0, "", kQuitConfirm, -1, -1);
  }
  SetOnWord(id, -1);
}

void QuitAnswered(int32_t id, int32_t source) {
  const bool yes = PanelDialogAnswer() == -1;
  const int32_t question = PanelDialogWord(1);
  // A question withdrawn for another one quits nothing.
  if (source == SlotId(kUiDB)) return;
  if (question == kQuitSaveFirst && yes) {
    const std::string path = TextOf(V::DialogEditIndex ? *V::DialogEditIndex : 0);
    const size_t cut = path.find_last_of("\\/");
    if (path.empty() || cut == std::string::npos || cut + 1 == path.size()) {
      AskQuit(id);
      return;
    }
    const std::string folder = path.substr(0, cut), name = path.substr(cut + 1);
    SetStatusText(QUARLE_BASICS::InsertArg(LangText(660, "Waiting for {$} to be saved..."), name));
    // Quits once the synth is on the disk; a failure asks again.
    SaveSessionThen(folder, name, [id](int32_t rc) {
      if (rc == 0) {
        EndTheLoop();
        return;
      }
      QUARLE_BASICS::Report("SaveSession(): " + QUARLE_BASICS::ErrorText(rc), 2);
      AskQuit(id);
    });
  } else if (question == kQuitSaveFirst) {
    PanelOpenDialog(id, LangText(668, "Quit without saving the synth?"), 0, "", kQuitUnsaved, -1, -1);
    SetOnWord(id, -1);
  } else if (yes) {
    EndTheLoop();
  }
}

}  // namespace

int32_t OnQuit(uint32_t bits, int32_t, int32_t, int32_t id, int32_t source) {
  // A window close while the question is up (a second click on the window's
  // close button, a window manager that repeats its request) leaves it up for
  // an answer: only the Quit button itself takes its question back.
  const bool keepAsking = source == V::kCloseRequestSource && PanelDialogOwner() == id;
  if ((bits & V::kEventClick) && !keepAsking) {
    const int64_t answered = PanelTakeDialogAnswered();
    if (answered != 0) {
      SetOnWord(id, 0);
      QuitAnswered(id, source);
    } else if (PanelDialogOwner() != id) {
      AskQuit(id);
    } else {
      PanelCloseDialog();
      SetOnWord(id, 0);
    }
  }
  PressedLook(id, bits);
  return 0;
}

int32_t OnMinimizeWindow(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (bits & V::kEventClick) {
    platform::MutexGuard guard(V::MT_DRAW);
    PanelMinimizeWindow();
  }
  return 0;
}

namespace {

// Where the pointer was on the desktop at the drag's last step. The window's
// own motion of a move counts the window's move under the pointer too, so a
// drag follows the pointer's travel on the desktop instead.
// one thread: interface
int32_t MoveDragX = 0, MoveDragY = 0;

}  // namespace

int32_t OnMoveWindow(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (bits & V::kEventPress) {
    platform::MutexGuard guard(V::MT_DRAW);
    platform::ScreenPointerOnDesktop(MoveDragX, MoveDragY);
  } else if (bits & (V::kEventDrag | V::kEventDragRelease)) {
    // The release too: the moves of the drag's end may have come to the
    // window as one it did not report.
    platform::MutexGuard guard(V::MT_DRAW);
    int32_t px = 0, py = 0, wx = 0, wy = 0;
    platform::ScreenPointerOnDesktop(px, py);
    platform::ScreenWindowPosition(wx, wy);
    platform::ScreenMoveWindow(wx + (px - MoveDragX), wy + (py - MoveDragY));
    MoveDragX = px;
    MoveDragY = py;
  } else if (bits & V::kEventClick) {
    if (++MoveMonitorIndex > MonitorCount) MoveMonitorIndex = 1;
    platform::MutexGuard guard(V::MT_DRAW);
    if (MoveMonitorIndex > 1) {
      int64_t w = 0, h = 0;
      platform::DesktopSize(w, h);
      platform::ScreenMoveWindow(static_cast<int32_t>(w * (MoveMonitorIndex - 1)), 0);
    } else {
      platform::ScreenMoveWindow(0, 0);
    }
  }
  return 0;
}

namespace {

// The tuning window opens with the browser on the tunings folder and the
// active tuning's file selected; a tuning never saved is saved first.
void ShowTuningFile() {
  const std::string folder = QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\TUNINGS";
  const std::string name = QUARLE_BASICS::DynZStringGet(ActiveTuning.FileName);
  if (PanelBrowseFolder(folder, name) != -1) return;
  // The listing must hold the new file before it can be selected: the saver's outcome.
  const auto listed = [folder, name](int32_t) { PanelBrowseFolder(folder, name); };
  if (const int32_t r = SaveTuningThen(ActiveTuning, MT_TUNINGS[kActiveTuning], listed); r != 0) listed(r);
}

// A device's open flag (-1 open), read under the audio lock its thread writes under.
int64_t DeviceOpen(const int64_t& flag) {
  platform::MutexGuard guard(QUARLE_AUDIO::MT_AUDIO);
  return flag;
}

}  // namespace

int32_t OnWindowTab(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventPress)) return 0;
  ControlRecord* tab = PanelCtl(id);
  if (!tab) return 0;
  const int32_t slot = static_cast<int32_t>(tab->Tag);
  const int32_t window = WindowIdOf(slot);
  // Slot 0 of an empty window-list entry would be the root itself.
  if (window > 0) {
    if (slot == kWinABOUT) AboutAutoClose = 0;
    ControlRecord* w = PanelCtl(window);
    const int64_t visible = w && V::ControlVisible(w) ? 0 : -1;
    if (w) V::ControlSetVisible(w, visible);
    // A window opened over another comes up in front of it, where its
    // clicks land, not behind the one opened before.
    if (w && visible) V::BringToFront(window);
    if (slot >= 0 && slot < 6 && WindowTabIds[slot] > 0) SetOnWord(WindowTabIds[slot], visible);
    if (slot == kWinTNG && visible) ShowTuningFile();
  }
  const ControlRecord* synth = WindowCtl(kWinSYNTH);
  const int64_t planeShown = synth && V::ControlVisible(synth) ? -1 : 0;
  SetVisibleWord(WindowIdOf(kWinSTB), planeShown);
  SetVisibleWord(SlotId(kUiSCOPE), planeShown);
  return 0;
}

int32_t OnAboutLink(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  const ControlRecord* c = PanelCtl(id);
  if (!c || c->Tag > 1) return 0;
  PanelOpenWebAddress(AboutLinkAddresses[c->Tag]);
  return 0;
}

int32_t OnAudioInputPower(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  if (DeviceOpen(QUARLE_AUDIO::CaptureOpen) == -1) {
    HandlerMessage.type =
        CaptureActive.load() != 0 ? QUARLE_AUDIO::kAudioCaptureOff : QUARLE_AUDIO::kAudioCaptureOn;
    PostHandlerMessage(QUARLE_BASICS::AudioCommandQueue);
  } else {
    QUARLE_BASICS::Report(LangText(199, "Audio capture is not available."), 1);
    SetOnWord(id, 0);
  }
  return 0;
}

int32_t OnAudioOutputPower(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  if (DeviceOpen(QUARLE_AUDIO::PlaybackOpen) == -1) {
    if (PlaybackActive.load() == 0) {
      UpdateProcessingOrder(~uint64_t{0});
      HandlerMessage.type = QUARLE_AUDIO::kAudioPlaybackOn;
    } else {
      HandlerMessage.type = QUARLE_AUDIO::kAudioPlaybackOff;
    }
    PostHandlerMessage(QUARLE_BASICS::AudioCommandQueue);
  } else {
    QUARLE_BASICS::Report(LangText(200, "Audio playback is not available"), 1);
    SetOnWord(id, 0);
    PlaybackActive.store(0);
  }
  return 0;
}

namespace {

// A drag over the meter's whole width adds 1.0 to the gain.
float DraggedGain(float gain, int32_t dx, int32_t id, float max) {
  const ControlRecord* c = PanelCtl(id);
  const int32_t w = c && c->W > 0 ? c->W : 1;
  gain += static_cast<float>(dx) / static_cast<float>(w);
  if (!(gain >= kMinGain)) gain = kMinGain;
  if (gain > max) gain = max;
  return gain;
}

}  // namespace

int32_t OnAudioInputMeter(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventDrag)) return 0;
  InputGain = DraggedGain(InputGain, x, id, kMaxInputGain);
  SetTextOf(id, GainCaption(InputGain));
  return 0;
}

int32_t OnAudioOutputMeter(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventDrag)) return 0;
  OutputLevel = DraggedGain(OutputLevel, x, id, kMaxPlaybackGain);
  SetTextOf(id, GainCaption(OutputLevel));
  HandlerMessage.type = QUARLE_AUDIO::kAudioOutputGain;
  HandlerMessage.single1 = OutputLevel;
  PostHandlerMessage(QUARLE_BASICS::AudioCommandQueue);
  return 0;
}

int32_t OnRecordOutput(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  if (OutputRecording != 0) {
    HandlerMessage.type = QUARLE_AUDIO::kAudioRecordStop;
    PostHandlerMessage(QUARLE_BASICS::AudioCommandQueue);
  } else {
    const std::string stem = "REC_" + QUARLE_BASICS::TimeStampText() + "_" + SessionTitle;
    char* block = static_cast<char*>(std::malloc(stem.size() + 1));
    int32_t posted = -QUARLE_BASICS::kErrAllocation;
    if (block) {
      std::memcpy(block, stem.c_str(), stem.size() + 1);
      HandlerMessage.type = QUARLE_AUDIO::kAudioRecordStart;
      HandlerMessage.word2 = reinterpret_cast<uint64_t>(block);
      HandlerMessage.single1 = static_cast<float>(stem.size() + 1);
      // Its reports name the take by this number.
      HandlerMessage.arg2 = ++RecordingTake;
      // The audio thread takes the block over; a refused post leaves it here.
      posted = PostHandlerMessage(QUARLE_BASICS::AudioCommandQueue);
      if (posted != 0) std::free(block);
    }
    if (posted != 0) {
      // No start reached the audio thread: REC stays off.
      QUARLE_BASICS::Report(QUARLE_BASICS::LangText(619, "No recording was started:") + " " +
                                QUARLE_BASICS::ErrorText(posted),
                            QUARLE_BASICS::kLevelInfo);
      return 0;
    }
  }
  OutputRecording = OutputRecording != 0 ? 0 : -1;
  SetOnWord(id, OutputRecording);
  return 0;
}

int32_t OnVisualizationMode(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  int64_t mode = c->State.Spare + 1;
  if (mode < 0 || mode > 4) mode = 0;
  c->State.Spare = mode;
  c->Colour = VisualizationModeColours[mode];
  Settings.Scope = static_cast<int32_t>(mode);
  ScopeMode.store(static_cast<int32_t>(mode));
  SaveSettings();
  return 0;
}

int32_t OnResetPlanePosition(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  ControlRecord* plane = WindowCtl(kWinSYNTH);
  const int32_t soutId = SlotId(kUiSOUT);
  ControlRecord* sout = PanelCtl(soutId);
  if (!plane || !sout) return 0;

  int64_t anchor = 0;
  if (const ModuleRecord* out = SynthOutputModule.load()) anchor = out->BoxControl.Load();
  if (anchor <= 0) {
    const int32_t i = LastModuleByY();
    if (i >= 0 && i < ModuleList.count && ModuleList.entries[i]) anchor = ModuleList.entries[i]->BoxControl.Load();
  }
  // A box deleted just before goes with the video thread's next purge, which
  // takes it from the plane's set and frees its tree: it is neither the
  // anchor nor moved.
  std::vector<V::ChildRef> children;
  V::LiveChildren(plane, children);
  ControlRecord* box = nullptr;
  for (const V::ChildRef& child : children)
    if (anchor > 0 && child.Id == anchor) box = V::ChildRecord(child);
  if (box) {
    const double centre = std::nearbyint(box->X + box->W * 0.5);
    V::ControlSetX(sout, static_cast<int32_t>(std::nearbyint(centre - sout->W * 0.5)));
    V::ControlSetY(sout, box->Y + box->H + 50);
    V::UpdateControl(soutId, 0);
  }
  const int32_t dx = static_cast<int32_t>(std::nearbyint(plane->X + plane->W * 0.5 - sout->X));
  int32_t dy = (plane->Y + plane->H) - (sout->Y + sout->H);
  if (const ControlRecord* kb = WindowCtl(kWinKBGROUP); kb && !V::ControlVisible(kb))
    dy -= kb->H + UiUnit;

  for (const V::ChildRef& child : children) {
    ControlRecord* c = V::ChildRecord(child);
    if (!c) continue;
    V::ControlSetX(c, c->X + dx);
    V::ControlSetY(c, c->Y + dy);
    V::UpdateControl(child.Id, 0);
  }
  PlaneOffset = PlaneOffsetRecord{};
  CablesDirty.store(-1);
  return 0;
}

}  // namespace Tarvelo
