#include "app/shutdown.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/documents/take_recovery.h"
#include "app/startup.h"
#include "app/startup_hooks.h"
#include "app/state/console.h"
#include "app/state/dialogs.h"
#include "app/state/history.h"
#include "app/state/settings.h"
#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "audio/meters.h"
#include "audio/midi.h"
#include "audio/recording.h"
#include "audio/thread.h"
#include "basics/console.h"
#include "basics/errors.h"
#include "basics/listings.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/modulelist.h"
#include "engine/tuning.h"
#include "platform/console.h"
#include "platform/display_link.h"
#include "platform/events.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/quit_signals.h"
#include "platform/saver.h"
#include "platform/screen.h"
#include "platform/threads.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace Tarvelo {

// one thread: interface (the end's), set before a run
double EndWarningSeconds = 4.0;

using QUARLE_BASICS::ErrorText;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::Report;

namespace {

constexpr int32_t kFailurePauseMs = 2000;
constexpr int32_t kCountdownPauseMs = 1000;
// A disk that takes nothing of the saves for this long ends the wait for them.
constexpr double kSaverIdleAtExit = 10.0;  // s

void Pause(int32_t ms) {
  if (Startup.Pause) Startup.Pause(ms);
}

// Every sample of the synth and every filter and melody that has no file yet.
void SaveUnsavedEntries() {
  for (WaveLibraryList* list : {&SynthSamples, &FilterLibrary, &MelodyLibrary}) {
    const bool melodies = list == &MelodyLibrary;
    for (int32_t i = 0; i < list->header.count; ++i) {
      WaveLibraryEntry* e = WaveLibraryListAt(*list, i);
      if (!e || e->Saved != 0) continue;
      if (melodies) {
        if (Startup.SaveMelody) Startup.SaveMelody(e);
      } else if (Startup.SaveWaveRecord) {
        Startup.SaveWaveRecord(e);
      }
    }
  }
}

}  // namespace

void EndRunningTakes() { EndRecordings(); }

namespace {

// The window answers its window manager (whose pings SDL answers while it
// takes the window's events) while the end waits: what the user does there
// is no longer acted on.
void AnswerWindow() {
  // A display that went away has nobody to answer, and its connection may not be read.
  if (platform::DisplayLost() || QUARLE_VISUALS::InterfaceReady.load() != -1) return;
  platform::WindowEvent e;
  for (int32_t n = 0; n < 256 && platform::WindowEventPoll(e); ++n) {
  }
}

// What the end says stays on the status line a few seconds, the window
// answering, unless a second quit signal came (none headless).
void HoldWarning() {
  if (platform::ScreenHeadless() || QUARLE_VISUALS::InterfaceReady.load() != -1) return;
  const double until = platform::HighResClock() + EndWarningSeconds;
  while (platform::HighResClock() < until && platform::SecondQuitSignal() == 0) {
    AnswerWindow();
    platform::SleepSeconds(0.05);
  }
}

// The names of a list as the end says them.
std::string Listed(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
  return list;
}

// one thread: interface (the end's), the number last shown
int32_t g_savesShown = -1;
// one thread: interface (the end's): a save the disk still holds keeps its thread
bool g_saverHeld = false;

// Every save handed over reaches the disk (or says why not) before the end
// goes on, for as long as the disk writes; the window's status line shows the
// wait and the window answers, as for the recordings, and a second quit signal
// cuts it short.
bool ShowSavesLeft(int32_t left) {
  AnswerWindow();
  if (left != g_savesShown)
    Report(QUARLE_BASICS::InsertArg(LangText(636, "Saving to the disk: {$} files left"), std::to_string(left)),
           QUARLE_BASICS::kLevelInfo);
  g_savesShown = left;
  return platform::SecondQuitSignal() == 0;
}

// The saves the end could not finish are named on the status line and noted
// for the next start to say again; their files keep what they held before.
void WaitForSaves() {
  g_savesShown = -1;
  if (platform::SaverStop(kSaverIdleAtExit, ShowSavesLeft) == 0) return;
  g_saverHeld = true;
  std::vector<std::string> names;
  for (const std::string& target : platform::SaverUnfinished())
    names.push_back(target.substr(target.find_last_of('\\') + 1));
  Report(LangText(650, "These files were not saved before the end, as the disk did not write them; each may still "
                       "hold its earlier contents: ") +
             Listed(names),
         QUARLE_BASICS::kLevelError);
  NoteUnfinishedSaves(QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder), names);
  HoldWarning();
}

void SaveWork() {
  EndRunningTakes();
  if (ModuleList.count >= 1 && Settings.AutoSave == -1) {
    Report(LangText(139, "Saving session."), QUARLE_BASICS::kLevelInfo);
    if (Startup.SaveSession) {
      Startup.SaveSession(SessionFolder, SessionFile, [](int32_t r) {
        if (r != 0) Report(ErrorText(r), QUARLE_BASICS::kLevelError);
      });
    }
  }
  Report(LangText(140, "Saving libraries."), QUARLE_BASICS::kLevelInfo);
  if (LibraryChanged == -1) {
    LibraryChanged = 0;
    if (Startup.SaveWFLibrary) {
      Startup.SaveWFLibrary([](int32_t r) {
        if (r != 0) Report("SaveWFLibrary(): " + ErrorText(r), QUARLE_BASICS::kLevelError);
      });
    }
  }
  SaveUnsavedEntries();
  WaitForSaves();
}

// The end's wait for the recordings' writer, every 100 ms at least: the count
// on the status line, the window answering; a second quit signal cuts it short.
bool EndShown(const QUARLE_AUDIO::RecordingEndProgress& progress) {
  AnswerWindow();
  QUARLE_AUDIO::SayWritingLeft(progress);
  return platform::SecondQuitSignal() == 0;
}

// The takes the end could not confirm are named on the status line, which
// stays up a few seconds (the window answering) unless a second quit signal
// came, and noted for the next start to say them again.
void SayUnconfirmedTakes() {
  const std::vector<std::string> names = QUARLE_AUDIO::RecordingEndUnconfirmed();
  if (names.empty()) return;
  Report(LangText(632, "These recordings may not be whole on the disk, which did not confirm them before the end: ") +
             Listed(names),
         QUARLE_BASICS::kLevelError);
  NoteUnconfirmedTakes(QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder), names);
  HoldWarning();
}

// The audio thread ends its take, and the recordings' writer writes all it
// holds before anything it uses is freed. False when a disk that took
// nothing still holds the writer in a write.
bool StopAudioThread() {
  // A writer whose audio thread could not be made ends all the same.
  if (!AudioThreadHandle) {
    const bool writerEnded = QUARLE_AUDIO::WaitAudioThread(AudioThreadHandle, EndShown);
    SayUnconfirmedTakes();
    return writerEnded;
  }
  Report(LangText(141, "Waiting for audio thread."), QUARLE_BASICS::kLevelInfo);
  QUARLE_BASICS::CommandMessage m{};
  m.type = QUARLE_AUDIO::kAudioQuit;
  QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::AudioCommandQueue, -1);
  const bool writerEnded = QUARLE_AUDIO::WaitAudioThread(AudioThreadHandle, EndShown);
  SayUnconfirmedTakes();
  Report(LangText(142, "Audio thread terminated."), QUARLE_BASICS::kLevelInfo);
  return writerEnded;
}

// Reports the audio thread made after the loop stopped reading queue 0: the
// stream and capture copies they carry go with them.
void DropPendingReports() {
  if (!QUARLE_VISUALS::GuiFetchHeader.lock) return;
  if (QUARLE_BASICS::FetchCommands(QUARLE_VISUALS::GuiFetchBuffer, QUARLE_VISUALS::GuiFetchHeader,
                                   QUARLE_BASICS::MainCommandQueue) != 0)
    return;
  for (int32_t i = 0; i < QUARLE_VISUALS::GuiFetchHeader.count; ++i) {
    QUARLE_BASICS::CommandMessage& m = QUARLE_VISUALS::GuiFetchBuffer[i];
    QUARLE_AUDIO::ReleaseReportBlock(m.type, m.word2);
    m.word2 = 0;
  }
  QUARLE_VISUALS::GuiFetchHeader.count = 0;
}

void FreeMemory() {
  Report(LangText(143, "Cleaning memory."), QUARLE_BASICS::kLevelInfo);
  // No report may reach the console list while it goes; the lines after it are
  // logged without being kept.
  if (MessageConsole.entries) {
    const QUARLE_BASICS::MessageHookFn hook = QUARLE_BASICS::MessageHook;
    QUARLE_BASICS::MessageHook = QUARLE_BASICS::ConsolePrint;
    MessageConsoleFree();
    QUARLE_BASICS::MessageHook = hook;
  }
  for (WaveLibraryList* list : {&SampleLibrary, &SynthSamples, &FilterLibrary, &MelodyLibrary})
    if (list->entries) WaveLibraryListFree(*list);
  if (ActionHistory.lines) ActionHistoryFree();
  std::free(QUARLE_VISUALS::GuiFetchBuffer);
  QUARLE_VISUALS::GuiFetchBuffer = nullptr;
  if (Startup.FreeGlowImages) Startup.FreeGlowImages();
  for (platform::Mutex*& m : MT_TUNINGS) {
    platform::MutexDestroy(m);
    m = nullptr;
  }
  // The start-up's own texts and listings.
  for (QUARLE_BASICS::DynZString* t : {&KeyboardsOffText, &NoDeviceText, &AnyFreeDeviceText,
                                       &UnassignedText, &AnySelectionText, &InvalidAssignmentText})
    QUARLE_BASICS::DynZStringFree(*t);
  QUARLE_BASICS::DirListFree(BrowserListing);
  delete Drives;
  Drives = nullptr;
}

// A writer a disk still holds keeps what it uses (the message table, the
// queues, the file lock and its files) to the process's end.
void ShutDownSubsystems(bool writerEnded) {
  const std::string terminating = LangText(144, "Terminating");
  Report(terminating + " QUARLE_VISUALS", QUARLE_BASICS::kLevelInfo);
  QUARLE_VISUALS::VisualsShutdown();
  Report(terminating + " QUARLE_AUDIO", QUARLE_BASICS::kLevelInfo);
  QUARLE_AUDIO::CloseAudio();
  Report(terminating + " TARVELO", QUARLE_BASICS::kLevelInfo);
  Tarvelo::close();
  Report(terminating + " QUARLE_BASICS", QUARLE_BASICS::kLevelInfo);
  if (writerEnded) QUARLE_BASICS::BasicsShutdown();
}

}  // namespace

void NoteUnfinishedSaves(const std::string& dataFolder, const std::vector<std::string>& names) {
  // Not synced: the disk that held the saves would hold this as long.
  const int32_t file = platform::FreeFile();
  // A start that failed before the data folder was known has nowhere to note it.
  if (names.empty() || dataFolder.empty() || file == 0 ||
      platform::FileOpen(file, dataFolder + "\\" + kUnfinishedSavesNote, platform::kFileAppend) != 0)
    return;
  for (const std::string& n : names) platform::FileWrite(file, n + "\n");
  platform::FileClose(file);
}

int32_t ReportUnfinishedSaves(const std::string& dataFolder) {
  const std::string path = dataFolder + "\\" + kUnfinishedSavesNote;
  // Anything else under the name is not the end's note: it is left alone.
  if (platform::PathKindAt(path) != platform::PathKind::kFile) return 0;
  std::vector<unsigned char> bytes;
  platform::FileReadWhole(path, bytes);
  platform::FileDelete(path);
  // A note longer than any end writes is said up to its 256th name.
  std::vector<std::string> names;
  std::string name;
  for (const unsigned char c : bytes) {
    if (c != '\n' && c != '\r') {
      name += char(c);
    } else if (!name.empty()) {
      if (names.size() < 256 && name.size() <= platform::kMaxItemLength) names.push_back(name);
      name.clear();
    }
  }
  if (names.empty()) return 0;
  Report(LangText(651, "The last run ended before these files were saved; each may still hold its earlier contents: ") +
             Listed(names),
         QUARLE_BASICS::kLevelError);
  return static_cast<int32_t>(names.size());
}

bool RunShutdown() {
  // 1-2.
  if (StartupStatus == kStartupOk) {
    SaveWork();
  } else {
    std::string line = LangText(138, "Something went wrong during initialization.") + " (Code " +
                       std::to_string(StartupStatus) + ")";
    if (!StartupFailure.empty()) line += ": " + StartupFailure;
    Report(line, QUARLE_BASICS::kLevelFatal);
    Pause(kFailurePauseMs);
    // What the start-up handed to the saver before it gave up.
    WaitForSaves();
  }
  // 3. The window still draws: its status line shows the wait for the
  // recordings, if there is one (over a question left open, as a window's
  // close answered by a logout's signal leaves it). Nothing draws after it.
  if (DialogOwner != 0) CloseDialog();
  const bool writerEnded = StopAudioThread();
  QUARLE_VISUALS::StopVideoThread();
  DropPendingReports();
  // The MIDI thread plays keyboards through the tunings and the lists freed
  // below: its devices close first.
  QUARLE_AUDIO::CloseMidiInput();
  // 4-5. A writer still held may report (the console list, the message
  // table): nothing is freed under it.
  if (writerEnded) FreeMemory();
  ShutDownSubsystems(writerEnded);
  // 6-7. No file is closed under the writer.
  QUARLE_BASICS::MessageHook = QUARLE_BASICS::ConsolePrint;
  CloseLogFile();
  if (writerEnded) platform::FileCloseAll();
  // A saver the disk still holds ends with the process, without static destructors.
  return writerEnded && !g_saverHeld;
}

void EndProcess(bool writerEnded, int32_t code) {
  if (const int second = platform::SecondQuitSignal(); second != 0) code = 128 + second;
  if (writerEnded) std::exit(code);
  // Static destructors would free what the held writer still uses.
  std::fflush(nullptr);
  std::_Exit(code);
}

void EndAfterDisplayLoss() {
  // The window and its status line went with the display: from here the
  // reports reach the console, as a failed start's reason does.
  QUARLE_VISUALS::InterfaceReady.store(0);
  Report("The connection to " + platform::DisplayName() + " was lost.",
         QUARLE_BASICS::kLevelCritical);
  SaveWork();
  // The audio thread and the recordings' writer need no display: the takes
  // they hold reach the disk, and no file is closed under the writer.
  const bool writerEnded = StopAudioThread();
  QUARLE_BASICS::MessageHook = QUARLE_BASICS::ConsolePrint;
  CloseLogFile();
  if (writerEnded) platform::FileCloseAll();
  std::fflush(nullptr);
  // Other threads still run: no static destructors, no further shutdown.
  const int second = platform::SecondQuitSignal();
  std::_Exit(second != 0 ? 128 + second : 1);
}

void ShutdownCountdown() {
  platform::ConsolePrintLine("END|FIN - CLOSING TERMINAL IN:");
  for (int32_t n = 2; n >= 0; --n) {
    // A blank stands where a negative number would show its sign.
    platform::ConsolePrintLine(" " + std::to_string(n));
    if (n > 0) Pause(kCountdownPauseMs);
  }
}

}  // namespace Tarvelo
