#include "app/state/system_messages.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "app/state/console.h"
#include "app/state/history.h"
#include "app/state/settings.h"
#include "app/state/ui_hooks.h"
#include "audio/audio.h"
#include "audio/meters.h"
#include "audio/midi.h"
#include "audio/recording.h"
#include "basics/console.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/sequencer.h"
#include "engine/globals.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "platform/display.h"
#include "platform/saver.h"
#include "platform/threads.h"
#include "visuals/control_table.h"
#include "visuals/controls.h"
#include "visuals/visuals.h"

namespace Tarvelo {

using QUARLE_BASICS::CommandMessage;
using QUARLE_BASICS::ErrorText;
using QUARLE_BASICS::InsertArg;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::Report;

ScopeBlockRingRecord ScopeBlockRing;
int32_t PowerHistoryWrite = 0;
int32_t PowerHistoryCount = 0;
int64_t OutputRecording = 0;
uint32_t RecordingTake = 0;
int64_t ConfiguredStreamRate = 48000;
int32_t (*StartWorkNewsHook)() = nullptr;

namespace {

constexpr uint64_t kAllBits = ~uint64_t{0};

// A single from a message as a whole number; what is no finite number counts as 0.
int64_t Rounded(float v) {
  if (!std::isfinite(v)) return 0;
  const double d = std::clamp(static_cast<double>(v), -1.0e9, 1.0e9);
  return static_cast<int64_t>(std::nearbyint(d));
}

// The handler never fails, but a setting that did not reach the disk is worth saying.
void SaveSettingsReported() {
  const int32_t rc = SaveSettings();
  if (rc != 0)
    Report(LangText(134, "Error saving settings file: ") + ErrorText(rc), QUARLE_BASICS::kLevelError);
}

void PostClick(int32_t control) {
  CommandMessage msg{};
  msg.type = QUARLE_BASICS::kCommandControlEvent;
  msg.arg1 = 0;
  msg.arg2 = static_cast<uint32_t>(control);
  msg.arg5 = 8;
  msg.timeStamp = platform::HighResClock();
  QUARLE_BASICS::PostCommand(msg, 0, -1);
}

void ScreenModeChange(const CommandMessage& msg, const std::string& restart) {
  int64_t i = Rounded(msg.single3);
  MonitorCount = platform::MonitorCount();
  i = std::clamp<int64_t>(i, 0, MonitorCount > 0 ? MonitorCount - 1 : 0);
  const int32_t selector = StateControlId(kSlotMonitors);
  StateSetControlSelected(selector, static_cast<int32_t>(i));
  StateSetControlText(selector, "x" + std::to_string(i + 1));
  Settings.Monitors = i + 1;

  const int32_t modes = QUARLE_VISUALS::ScreenModeCount;
  if (modes > 0) {
    const int32_t m = static_cast<int32_t>(std::clamp<int64_t>(Rounded(msg.single1), 0, modes - 1));
    Settings.ScreenWidth = static_cast<int64_t>(
        std::nearbyint(static_cast<double>(Settings.Monitors) * QUARLE_VISUALS::ScreenModes[m][0]));
    Settings.ScreenHeight = static_cast<int64_t>(std::nearbyint(QUARLE_VISUALS::ScreenModes[m][1]));
    QUARLE_VISUALS::ScreenModeIndex = m;
  }
  SetZoomLimit(Settings.Monitors * Settings.ScreenWidth);
  SaveSettingsReported();
  // The control index has no control for this notice; the root window must not
  // take it for one of its ticks, so it goes out only once a control is named.
  const int32_t notice = StateControlId(kSlotResolutionNotice);
  if (notice > 0) PostClick(notice);
  Report(restart, QUARLE_BASICS::kLevelInfo);
}

uint32_t* OpenScreenWith(int64_t driver) {
  QUARLE_BASICS::DisplayDriverIndex = static_cast<uint8_t>(driver);
  Settings.DisplayDriver = driver;
  SaveSettingsReported();
  uint32_t* screen =
      QUARLE_BASICS::OpenScreen(8, QUARLE_BASICS::ScreenWidth, QUARLE_BASICS::ScreenHeight);
  StateScreenOpened(screen);
  if (!screen) Report(LangText(128, "I could not set the screen."), QUARLE_BASICS::kLevelError);
  return screen;
}

void DisplayDriverChange(const CommandMessage& msg) {
  StateStopVideoThread();
  int64_t driver = Rounded(msg.single1);
  if (driver < 0 || driver > 2) driver = 0;
  const int64_t previous =
      QUARLE_BASICS::DisplayDriverIndex < 3 ? QUARLE_BASICS::DisplayDriverIndex : 0;
  StateSetInterfaceReady(-1);
  uint32_t* screen = OpenScreenWith(driver);
  // A driver whose screen does not open would leave the program without one:
  // the driver that worked before is taken again (and kept in the settings).
  if (!screen && driver != previous) {
    driver = previous;
    screen = OpenScreenWith(driver);
  }
  if (screen) {
    const int32_t rc = StateStartVideoThread(0);
    if (rc != 0)
      Report(LangText(136, "Video thread startup error: ") + ErrorText(rc), QUARLE_BASICS::kLevelError);
  }
  Report(LangText(159, "Display driver now set to: ") + DisplayDriverName(driver),
         QUARLE_BASICS::kLevelInfo);
}

void BufferLengthSettled(const CommandMessage& msg) {
  const double floats = std::isfinite(msg.single1) ? msg.single1 : 0.0;
  const double rate = ConfiguredStreamRate > 0 ? static_cast<double>(ConfiguredStreamRate) : 48000.0;
  // The selector and the setting hold 1..32 ms; a stray length must not leave them.
  const double ms = std::clamp(std::nearbyint(500.0 * floats / rate), 1.0, 32.0);
  Settings.OutputBufferLength = static_cast<int64_t>(ms);
  SaveSettingsReported();
  const int32_t item = static_cast<int32_t>(Settings.OutputBufferLength - 1);
  const std::string length = std::to_string(item + 1);
  const int32_t selector = StateControlId(kSlotOutputBuffer);
  StateSetControlSelected(selector, item);
  StateSetControlText(selector, InsertArg(LangText(155, " Playback buffer: {$}ms"), length));
  Report(InsertArg(LangText(156, "Playback buffer length is now set to {$}ms."), length),
         QUARLE_BASICS::kLevelInfo);
}

void StoreScopeBlock(CommandMessage& msg) {
  auto* block = reinterpret_cast<float*>(static_cast<uintptr_t>(msg.word2));
  if (!block) return;
  const int32_t length = static_cast<int32_t>(std::clamp<int64_t>(Rounded(msg.single1), 0, INT32_MAX));
  float* old = nullptr;
  {
    platform::MutexGuard guard(ScopeLock);
    int32_t slot = ScopeBlockRing.newest + 1;
    if (slot >= kScopeBlockSlots || slot < 0) slot = 0;
    ScopeBlockRing.newest = slot;
    ScopeBlockRing.lengths[slot] = length;
    old = ScopeBlockRing.blocks[slot];
    ScopeBlockRing.blocks[slot] = block;
  }
  // Freed outside the lock: the draw callbacks wait on it.
  QUARLE_AUDIO::ReleaseReportBlock(QUARLE_AUDIO::kAudioStreamBuffer,
                                   static_cast<uint64_t>(reinterpret_cast<uintptr_t>(old)));
  msg.word2 = 0;
}

void StorePowerEntry(CommandMessage& msg) {
  const auto* values = reinterpret_cast<const float*>(static_cast<uintptr_t>(msg.word2));
  if (!values) return;
  {
    platform::MutexGuard guard(ScopeLock);
    if (PowerHistoryRing) {
      if (PowerHistoryWrite < 0 || PowerHistoryWrite > kPowerHistoryFloats - 6) PowerHistoryWrite = 0;
      std::memcpy(PowerHistoryRing + PowerHistoryWrite, values, 6 * sizeof(float));
      PowerHistoryWrite += 6;
      if (PowerHistoryWrite > kPowerHistoryFloats - 1) PowerHistoryWrite = 0;
      ++PowerHistoryCount;
    }
  }
  QUARLE_AUDIO::ReleaseReportBlock(msg.type, msg.word2);
  msg.word2 = 0;
}

// Reported after the stream stopped and after its stop report, so the graph is
// the interface's already.
void OutputLost() {
  PlaybackActive.store(0);
  StateSetControlOn(StateControlId(kSlotPlayPower), 0);
  ResetEngineCommand(EngineCommand);
  EngineCommand.RebuildArgument = kAllBits;
  ModuleRecord* output = SynthOutputModule.load();
  // Without an output module there is no disconnection to record.
  if (output) RecordAction(kActionDisconnectSynth, output, -1, nullptr);
  SynthOutputModule.store(nullptr);
  UpdateProcessingOrder(kAllBits);
}

// A take's stop report. Only one about the take asked for last, while it
// runs, ends it here: the writer may report a take the user already stopped
// while the next one records on, which must keep its REC.
void RecordingStopped(const CommandMessage& msg) {
  const std::string cause = ErrorText(static_cast<int32_t>(msg.arg4));
  if (OutputRecording == 0 || msg.arg2 != RecordingTake) {
    Report(LangText(620, "An earlier recording, already stopped, reports an error:") + " " + cause,
           QUARLE_BASICS::kLevelWarning);
    return;
  }
  OutputRecording = 0;
  StateSetControlOn(StateControlId(kSlotRecord), 0);
  if (msg.arg3 == QUARLE_AUDIO::kRecordNotStarted)
    Report(LangText(619, "No recording was started:") + " " + cause, QUARLE_BASICS::kLevelInfo);
  else
    Report(LangText(157, "Recording has stopped because of an error:") + " " + cause, QUARLE_BASICS::kLevelInfo);
}

}  // namespace

int32_t HandleSystemMessage(CommandMessage* msg) {
  if (!msg) return 0;
  const std::string restart = LangText(152, "Please restart for this change to take effect.");
  switch (msg->type) {
    case kMessageThreadError:
      Report(InsertArg(LangText(154, "Error with thread #{$}: "), std::to_string(msg->arg3)) +
                 ErrorText(static_cast<int32_t>(msg->arg4)),
             QUARLE_BASICS::kLevelError);
      break;
    case kMessageThreadEnded:
      Report(InsertArg(LangText(153, "Thread #{$} ended."), std::to_string(msg->arg1)),
             QUARLE_BASICS::kLevelWarning);
      break;
    case kMessageLanguage:
      SaveSettingsReported();
      Report(restart, QUARLE_BASICS::kLevelInfo);
      break;
    case kMessageZoom:
      // The zoom in use stays until the next start.
      if (std::isfinite(msg->single1)) Settings.Zoom = msg->single1;
      SaveSettingsReported();
      Report(restart, QUARLE_BASICS::kLevelInfo);
      break;
    case kMessageScreenMode:
      ScreenModeChange(*msg, restart);
      break;
    case kMessageDisplayDriver:
      DisplayDriverChange(*msg);
      break;
    case QUARLE_AUDIO::kAudioPlaybackOn:
    case QUARLE_AUDIO::kAudioPlaybackOff: {
      const int64_t on = msg->type == QUARLE_AUDIO::kAudioPlaybackOn ? -1 : 0;
      if (on != 0) {
        PlaybackActive.store(on);
      } else {
        // The audio thread reports a stop after its last render call and calls
        // the render no more until this report is taken: the graph is ours, and
        // what the render left behind (commands, controller moves) runs here
        // before posters take the direct path.
        PlaybackActive.store(0);
        RunPendingEngineCommands();
        TakeControllerMoves(false);
        // Sample takes end with what they hold: the render alone writes them
        // and serves their stop, and it renders no more. A take that had no
        // frame yet leaves nothing behind.
        EndSampleTakes();
      }
      StateSetControlOn(StateControlId(kSlotPlayPower), on);
      QUARLE_AUDIO::PlaybackReportTaken(msg->arg2);
      break;
    }
    case QUARLE_AUDIO::kAudioCaptureOn:
    case QUARLE_AUDIO::kAudioCaptureOff: {
      const int64_t on = msg->type == QUARLE_AUDIO::kAudioCaptureOn ? -1 : 0;
      CaptureActive.store(on);
      StateSetControlOn(StateControlId(kSlotMicPower), on);
      break;
    }
    case QUARLE_AUDIO::kAudioRecordStop:
      RecordingStopped(*msg);
      break;
    case QUARLE_AUDIO::kAudioLogLine:
      QUARLE_AUDIO::ReportAudioLogLine(*msg);
      break;
    case QUARLE_AUDIO::kAudioBufferLength:
      BufferLengthSettled(*msg);
      break;
    case QUARLE_AUDIO::kAudioCaptureBlock:
      QUARLE_AUDIO::ReleaseReportBlock(msg->type, msg->word2);
      msg->word2 = 0;
      break;
    case QUARLE_AUDIO::kAudioStreamBuffer:
      StoreScopeBlock(*msg);
      break;
    case QUARLE_AUDIO::kAudioMeters:
      StorePowerEntry(*msg);
      break;
    case QUARLE_AUDIO::kAudioOverload:
      OutputLost();
      break;
    case kMessageStatusText:
      ShowPostedStatusText();
      break;
    case kMessageMelodiesFinished:
      TakeFinishedRecordings();
      break;
    case kMessagePerVoice:
      PublishSelectedPerVoice();
      break;
    case kMessageControllerMoves:
      TakeControllerMoves(false);
      break;
    case kMessageSavesDone:
      platform::SaverTakeOutcomes();
      break;
    case kMessageStartWork:
      if (StartWorkNewsHook) StartWorkNewsHook();
      break;
    case kMessageSelectedControllerMove:
      ApplySelectedControllerMove(static_cast<int32_t>(msg->arg1), static_cast<int32_t>(msg->arg2), msg->single1,
                                  msg->arg3 != 0 ? -1 : 0);
      break;
    default:
      QUARLE_AUDIO::HandleMidiReport(*msg);
      break;
  }
  return 0;
}

bool PostToInterface(uint32_t type) {
  if (QUARLE_BASICS::MainCommandQueue < 0) return false;
  CommandMessage m{};
  m.type = type;
  m.timeStamp = platform::HighResClock();
  return QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::MainCommandQueue, -1) == 0;
}

namespace {

// one thread: value, a save on its way and what the status line says of it
struct SaveSaid {
  std::string Target, Said;
};
// What the status line says of the saves: those on their way, and the files
// whose last save failed.
// one thread: interface
struct SavesSaid {
  std::vector<std::string> notSaved;
  std::vector<SaveSaid> onItsWay;
};
SavesSaid g_saves;

std::string NameOf(const std::string& target) { return target.substr(target.find_last_of("\\/") + 1); }

std::string StatusLineText() {
  const int32_t id = StateControlId(kSlotMessageBox);
  const QUARLE_VISUALS::ControlRecord* c = id > 0 ? QUARLE_VISUALS::ControlAt(id) : nullptr;
  return c ? QUARLE_VISUALS::TextFieldGetText(&c->Text) : "";
}

}  // namespace

void SayingSaveOnItsWay(const std::string& target) {
  const std::string name = NameOf(target);
  // A wait that names the file says it already.
  if (name.empty() || StatusLineText().find(name) != std::string::npos) return;
  const std::string said = InsertArg(LangText(705, "Saving {$}..."), name);
  g_saves.onItsWay.push_back({target, said});
  SetStatusText(said);
}

void SaveOnItsWayDone(const std::string& target, int32_t rc) {
  for (auto it = g_saves.onItsWay.begin(); it != g_saves.onItsWay.end(); ++it) {
    if (it->Target != target) continue;
    // A failure is said by the save's outcome.
    if (rc == 0 && StatusLineText() == it->Said)
      SetStatusText(NameOf(target) + " " + LangText(228, "has been saved."));
    g_saves.onItsWay.erase(it);
    return;
  }
}

std::string SaveOnItsWayText() { return g_saves.onItsWay.empty() ? std::string() : g_saves.onItsWay.front().Said; }

void NoteSaveOutcome(const std::string& target, int32_t rc) {
  const std::string name = NameOf(target);
  if (name.empty() || rc == platform::kSaveEarlierFailed) return;
  const auto at = std::find(g_saves.notSaved.begin(), g_saves.notSaved.end(), name);
  if (rc == 0) {
    if (at != g_saves.notSaved.end()) g_saves.notSaved.erase(at);
    return;
  }
  if (at == g_saves.notSaved.end()) g_saves.notSaved.push_back(name);
  std::string names;
  for (const std::string& n : g_saves.notSaved) names += (names.empty() ? "" : ", ") + n;
  const std::string why = ErrorText(rc < 0 ? rc : -QUARLE_BASICS::kErrFileAccess);
  Report(InsertArg(InsertArg(LangText(706, "Not saved: {$}: {$}"), names), why), QUARLE_BASICS::kLevelError);
}

std::vector<std::string> FilesNotSaved() { return g_saves.notSaved; }

void ForgetFilesNotSaved() {
  g_saves.notSaved.clear();
  g_saves.onItsWay.clear();
}

void ScopeBlockRingFree() {
  float* blocks[kScopeBlockSlots];
  {
    platform::MutexGuard guard(ScopeLock);
    for (int32_t i = 0; i < kScopeBlockSlots; ++i) {
      blocks[i] = ScopeBlockRing.blocks[i];
      ScopeBlockRing.blocks[i] = nullptr;
      ScopeBlockRing.lengths[i] = 0;
    }
    ScopeBlockRing.newest = 0;
    PowerHistoryWrite = 0;
    PowerHistoryCount = 0;
  }
  for (float* b : blocks)
    QUARLE_AUDIO::ReleaseReportBlock(QUARLE_AUDIO::kAudioStreamBuffer,
                                     static_cast<uint64_t>(reinterpret_cast<uintptr_t>(b)));
}

}  // namespace Tarvelo
