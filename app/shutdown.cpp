#include "app/shutdown.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/documents/take_recovery.h"
#include "app/startup.h"
#include "app/startup_work.h"
#include "app/startup_hooks.h"
#include "app/state/console.h"
#include "app/state/dialogs.h"
#include "app/state/history.h"
#include "app/state/system_messages.h"
#include "app/state/ui_hooks.h"
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
#include "platform/worker.h"
#include "visuals/control_table.h"
#include "visuals/controls.h"
#include "visuals/fonts.h"
#include "visuals/text.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace Tarvelo {

// one thread: interface (the end's), set before a run
double EndWarningSeconds = 4.0;
// one thread: interface (the end's), set before a run
double SignalEndSeconds = 50.0;

using QUARLE_BASICS::ErrorText;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::Report;

namespace {

constexpr int32_t kFailurePauseMs = 2000;
constexpr int32_t kCountdownPauseMs = 1000;
// What the end keeps past its last timed steps (the log's close, the
// countdown) for the process's own exit.
constexpr double kCountdownSpareSeconds = 0.5;
// The log's last lines wait this long for a disk that takes nothing.
constexpr double kLogCloseSeconds = 10.0;
// How long the window waits for the note of the unfinished saves to be written.
constexpr double kNoteWaitSeconds = 2.0;  // s

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

// The recordings' end, on the end's worker (tarvelo-end) while the
// window's thread waits for the saves: the audio thread's end, then the
// writer's wait, which touches no interface state. What it shows is kept here
// for the window's thread to say; the window's thread decides the cut.
struct TakesEnd {
  std::mutex lock;
  // one thread: holder of lock, what the writer's wait last showed
  QUARLE_AUDIO::RecordingEndProgress progress{};
  // one thread: holder of lock
  bool shown = false;
  std::atomic<bool> cut{false};    // the window's thread: the wait is to be cut short
  std::atomic<bool> done{false};   // the writer's wait returned
  std::atomic<int32_t> result{0};  // what it returned (RecordingWriterStop)
};

// The end's one status line while it waits: what the saves and the takes have left.
// one thread: interface (the end's)
struct EndLine {
  int32_t savesLeft = -1;  // the saves' count, -1 once their wait is over
  int32_t savesSaid = -1;
  bool takesSaid = false;
  std::string said;
  double at = 0.0;
};

// What the end keeps while it runs, and its workers.
struct TheEnd {
  // one thread: interface (the end's): when the first quit signal came, on the end's clock (< 0: not seen yet)
  double signalSeenAt = -1.0;
  // one thread: interface (the end's): something was left unsaved or held
  bool unclean = false;
  // one thread: interface (the end's): a save the disk still holds keeps its thread
  bool saverHeld = false;
  // one thread: interface (the end's)
  EndLine line;
  TakesEnd takesEnd;
  std::atomic<EndClockFn> clock{nullptr};
  // The notes' writes, and the takes' end (the audio thread's, then the
  // writer's wait) beside the window's wait for the saves.
  platform::Worker noteWorker{"tarvelo-note"};
  platform::Worker worker{"tarvelo-end"};
};
TheEnd g_end;

double EndNow() {
  const EndClockFn clock = g_end.clock.load();
  return clock ? clock() : platform::HighResClock();
}

// After a first quit signal, the seconds left of the end's one bound, less
// `reserve` (what the steps after the caller's need); without one, more
// than any wait.
double SignalTimeLeft(double reserve) {
  if (platform::FirstQuitSignal() == 0) return 1e9;
  const double now = EndNow();
  // From the signal's own moment: a window's thread busy when it came (a save
  // it waited for) leaves the end that much less of the desktop's time.
  if (g_end.signalSeenAt < 0) {
    const double at = platform::FirstQuitSignalAt();
    g_end.signalSeenAt = now - (at > 0 ? std::max(0.0, platform::HighResClock() - at) : 0.0);
  }
  return g_end.signalSeenAt + SignalEndSeconds - reserve - now;
}

// The end's waits are cut short by a second quit signal, and after a first
// one in time for what the end then says and does within its bound.
bool EndCutShort() {
  if (platform::SecondQuitSignal() != 0) return true;
  return SignalTimeLeft(kSignalSayingSeconds + kSignalTailSeconds) <= 0;
}

// A step's own bound, cut to what the end's bound leaves it.
double EndStepSeconds(double own) { return std::clamp(SignalTimeLeft(kSignalTailSeconds), 0.0, own); }

// A take of the output ends at once, as REC off ends it: the sound after the
// quit is no part of it, and the writer writes its end while the saves wait.
void EndOutputTake() {
  if (OutputRecording == 0) return;
  QUARLE_BASICS::CommandMessage m{};
  m.type = QUARLE_AUDIO::kAudioRecordStop;
  QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::AudioCommandQueue, -1);
  OutputRecording = 0;
}

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

bool WindowShowsTheEnd() {
  return !platform::ScreenHeadless() && QUARLE_VISUALS::InterfaceReady.load() == -1 && !platform::DisplayLost();
}

// After a first quit signal, when what the end says must be down by (none: 0).
double SayingEndsBy() {
  return platform::FirstQuitSignal() != 0 ? EndNow() + std::max(0.0, SignalTimeLeft(kSignalTailSeconds)) : 0.0;
}

// What the end says stays on the status line for its reading time, the
// window answering, unless a second quit signal came (none headless); after
// a first one, no longer than a desktop waits.
void HoldWarning(double seconds) {
  if (!WindowShowsTheEnd()) return;
  double until = EndNow() + seconds;
  if (const double by = SayingEndsBy(); by > 0) until = std::min(until, by);
  while (EndNow() < until && platform::SecondQuitSignal() == 0) {
    AnswerWindow();
    platform::SleepSeconds(0.05);
  }
}

// Whether a text fits the status line whole.
bool FitsStatusLine(const std::string& text) {
  const int32_t id = StateControlId(kSlotMessageBox);
  const QUARLE_VISUALS::ControlRecord* c = id > 0 ? QUARLE_VISUALS::ControlAt(id) : nullptr;
  if (!c) return true;
  const int32_t room = c->W - 4 * QUARLE_VISUALS::BorderWidth - c->Text.TextSize;
  return QUARLE_VISUALS::TextWidth(text, &QUARLE_VISUALS::TextFont, c->Text.TextSize) <= room;
}

// Says the text (the log and the message list keep it whole) and shows it
// whole on the status line, piece by piece, each for its reading time.
void SayWhole(const std::string& text) {
  g_end.unclean = true;
  Report(text, QUARLE_BASICS::kLevelError);
  if (!WindowShowsTheEnd()) return;
  const std::vector<std::string> pages = StatusLinePages(text, FitsStatusLine);
  double reading = 0;
  for (const std::string& page : pages) reading += ReadingSeconds(page.size(), EndWarningSeconds);
  // After a signal every piece shows within the time left, each its share.
  double share = 1.0;
  if (const double by = SayingEndsBy(); by > 0 && reading > 0)
    share = std::clamp((by - EndNow()) / reading, 0.0, 1.0);
  for (size_t i = 0; i < pages.size() && platform::SecondQuitSignal() == 0; ++i) {
    if (pages.size() > 1) SetStatusText(pages[i]);
    HoldWarning(share * ReadingSeconds(pages[i].size(), EndWarningSeconds));
  }
}

// The names of a list as the end says them, each once.
std::string Listed(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& n : NamesOnce(names)) list += (list.empty() ? "" : ", ") + n;
  return list;
}

std::string FileNameOf(const std::string& target) { return target.substr(target.find_last_of('\\') + 1); }

std::string UnfinishedNotePath() {
  const std::string home = QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder);
  return home.empty() ? "" : home + "\\" + kUnfinishedSavesNote;
}

// A note's path and the names it is to hold. A value.
// one thread: value
struct NoteText {
  std::string path;
  std::vector<std::string> names;
};

// Replaces each note with its names, each once (none: no note): a new file
// renamed over it, so an end cut short anywhere leaves the old note or the
// new, never an empty one. A file the disk still writes back cannot be
// replaced or removed before the disk lets it go: the window's thread leaves
// that to the notes' worker and waits for it a moment only; false when the
// disk holds it (the end then hands it to the keeper).
bool RewriteNotes(const std::vector<NoteText>& notes) {
  std::vector<NoteText> texts;
  for (const NoteText& n : notes)
    if (!n.path.empty()) texts.push_back(n);
  if (texts.empty()) return true;
  const bool posted = g_end.noteWorker.Post([texts] {
    for (const NoteText& n : texts) WriteEndNote(n.path, n.names);
  });
  if (!posted) return false;
  const double until = EndNow() + EndStepSeconds(kNoteWaitSeconds);
  while (g_end.noteWorker.Left() > 0 && EndNow() < until) {
    AnswerWindow();
    platform::SleepSeconds(0.02);
  }
  return g_end.noteWorker.Left() == 0;
}




// Says the line when it changed: at once for a new count of the saves or a
// wait that joins, else at most once a second (the takes' count moves each
// second).
void ShowEndLine() {
  std::string takes;
  {
    std::lock_guard<std::mutex> hold(g_end.takesEnd.lock);
    if (g_end.takesEnd.shown && !g_end.takesEnd.done.load()) takes = QUARLE_AUDIO::WritingLeftText(g_end.takesEnd.progress);
  }
  std::string line;
  if (g_end.line.savesLeft >= 0)
    line = QUARLE_BASICS::InsertArg(LangText(636, "Saving to the disk: {$} files left"),
                                    std::to_string(g_end.line.savesLeft));
  if (!takes.empty()) line += (line.empty() ? "" : ". ") + takes;
  const double now = platform::HighResClock();
  const bool moved = (g_end.line.savesLeft >= 0 && g_end.line.savesLeft != g_end.line.savesSaid) ||
                     takes.empty() == g_end.line.takesSaid;
  if (line.empty() || line == g_end.line.said || (!moved && now - g_end.line.at < 1.0)) return;
  g_end.line.said = line;
  g_end.line.at = now;
  g_end.line.savesSaid = g_end.line.savesLeft;
  g_end.line.takesSaid = !takes.empty();
  Report(line, QUARLE_BASICS::kLevelInfo);
}

// The window's thread, at least every 100 ms while the end waits: the window
// answers, the cut is decided for both waits (one bound after a signal, a
// second signal), the line says both.
bool EndWaitTick() {
  AnswerWindow();
  const bool cut = EndCutShort();
  if (cut) g_end.takesEnd.cut.store(true);
  ShowEndLine();
  return !cut;
}

// Every save handed over reaches the disk (or says why not) before the end
// goes on, for as long as the disk writes; the window's status line shows the
// wait and the window answers, and a second quit signal cuts it short.
bool ShowSavesLeft(int32_t left) {
  g_end.line.savesLeft = left;
  return EndWaitTick();
}

// True on the window's thread while it runs the writer's wait itself.
thread_local bool t_takesEndOnWindow = false;

// The writer's wait, on the end's thread (or on the window's, when no thread
// could be made: it then also answers the window).
bool ShowTakesLeft(const QUARLE_AUDIO::RecordingEndProgress& progress) {
  {
    std::lock_guard<std::mutex> hold(g_end.takesEnd.lock);
    g_end.takesEnd.progress = progress;
    g_end.takesEnd.shown = true;
  }
  if (t_takesEndOnWindow && !EndWaitTick()) return false;
  return !g_end.takesEnd.cut.load() && platform::SecondQuitSignal() == 0;
}

void EndTakes(std::thread* audio) {
  if (audio && audio->joinable()) audio->join();
  delete audio;
  g_end.takesEnd.result.store(QUARLE_AUDIO::RecordingWriterStop(platform::kEndIdleSeconds, ShowTakesLeft));
  g_end.takesEnd.done.store(true);
}

// The audio thread is asked to end (its take ended before) and the writer's
// wait begins on the end's worker; false when its thread could not be made
// (the caller then waits on its own thread).
bool StartTakesEnd(bool& audioThread) {
  {
    std::lock_guard<std::mutex> hold(g_end.takesEnd.lock);
    g_end.takesEnd.shown = false;
  }
  g_end.takesEnd.cut.store(false);
  g_end.takesEnd.done.store(false);
  g_end.takesEnd.result.store(0);
  std::thread* audio = AudioThreadHandle;
  AudioThreadHandle = nullptr;
  audioThread = audio != nullptr;
  if (audio) {
    Report(LangText(141, "Waiting for audio thread."), QUARLE_BASICS::kLevelInfo);
    QUARLE_BASICS::CommandMessage m{};
    m.type = QUARLE_AUDIO::kAudioQuit;
    QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::AudioCommandQueue, -1);
  }
  if (g_end.worker.Post([audio] { EndTakes(audio); })) return true;
  AudioThreadHandle = audio;
  return false;
}

// After the saves' wait the window's thread waits for the takes', answering
// the window and counting; once cut short, a moment at most (a writer the
// disk holds in a write keeps the end's worker too: it goes to the keeper).
// False when the writer is still held: nothing it uses may be freed, no file
// closed.
bool WaitForTakesEnd(bool onWorker) {
  g_end.line.savesLeft = -1;
  if (!onWorker) {
    t_takesEndOnWindow = true;
    EndTakes(std::exchange(AudioThreadHandle, nullptr));
    t_takesEndOnWindow = false;
  } else {
    double cutUntil = -1.0;
    while (!g_end.takesEnd.done.load()) {
      if (!EndWaitTick() && cutUntil < 0) cutUntil = EndNow() + EndStepSeconds(kNoteWaitSeconds);
      if (cutUntil >= 0 && EndNow() >= cutUntil) break;
      platform::SleepSeconds(0.05);
    }
    // Done, its thread only has its way out ahead of it; else the disk holds it.
    if (!g_end.worker.Finish(0.0).joined) return false;
  }
  const int32_t r = g_end.takesEnd.result.load();
  if (r < 0) Report(LangText(613, "The last recording may not be on the disk yet: the disk has not confirmed it"), 2);
  return r >= 0;
}

// The takes the end could not confirm are named on the status line, which
// stays up a few seconds (the window answering) unless a second quit signal
// came.
void SayUnconfirmedTakes(bool writerEnded, const std::vector<std::string>& names) {
  if (names.empty() && writerEnded) return;
  std::string said;
  if (!names.empty())
    said = LangText(632, "These recordings may not be whole on the disk, which did not confirm them before the end: ") +
           Listed(names);
  // A writer the disk holds in a write keeps its thread there.
  if (!writerEnded)
    said += (said.empty() ? "" : ". ") +
            QUARLE_BASICS::InsertArg(LangText(707, "The disk does not finish writing {$}: the program ends "
                                                   "without it, and may stay in the system until the disk "
                                                   "lets go."),
                                     names.empty() ? std::string("AUDIO") : names.front());
  SayWhole(said);
}

// Names the threads a disk still holds (the process ends without them).
void SayHeld(const std::vector<std::string>& threads) {
  if (threads.empty()) return;
  g_end.unclean = true;
  Report(QUARLE_BASICS::InsertArg(LangText(732, "The disk still holds these threads of the program, which end with it: "
                                                "{$}."),
                                  Listed(threads)),
         QUARLE_BASICS::kLevelWarning);
}

// The end's workers are ended; those a disk still holds are with the keeper.
void SayHeldThreads() {
  g_end.noteWorker.Finish(0.0);
  SayHeld(platform::HeldWorkerNames());
}

// The log's last lines get what the end's bound leaves, the tail kept for
// them included (a log the disk holds keeps its thread, named on the console).
// False when the disk still holds the log's thread: it writes and closes the
// log's file itself, so no other close may touch that file.
bool CloseTheLog() {
  const double bound = std::clamp(SignalTimeLeft(kCountdownSpareSeconds), 0.0, kLogCloseSeconds);
  if (CloseLogFile(bound)) return true;
  SayHeld({"tarvelo-log"});
  return false;
}

// The end's waits, the saves' and the takes', at once, under one line, one
// bound after a signal and one cut. First the notes: the files still to be
// saved and the takes still being written are named for the next start (a
// desktop that kills the program in the wait leaves them), then put back as
// they were once those are on the disk. The saves the end could not finish,
// the files whose save failed and the takes it could not confirm are said
// whole in the window and stay noted; their files keep what they held
// before. False when the recordings' writer is still held by its disk.
bool WaitForSavesAndTakes() {
  g_end.line = EndLine{};
  const std::string home = QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder);
  const std::string savesNote = UnfinishedNotePath();
  const std::string takesNote = home.empty() ? "" : home + "\\" + kUnconfirmedNoteName;
  // What the notes hold is what the start read of them (less what the user
  // acknowledged): never read here, where a disk that holds them would hold
  // the window. Notes the start could not read are left as they are.
  LastEndNotes earlier;
  const bool known = LastEndNotesKnown(earlier);
  const std::vector<std::string> savesEarlier = earlier.saves, takesEarlier = earlier.takes;
  std::vector<std::string> savesNoted = savesEarlier, takesNoted = takesEarlier;
  for (const std::string& target : platform::SaverPendingTargets()) savesNoted.push_back(FileNameOf(target));
  for (const std::string& name : QUARLE_AUDIO::RecordingTakesBeingWritten()) takesNoted.push_back(name);
  std::vector<NoteText> first;
  if (known && EndNoteChanged(savesEarlier, savesNoted)) first.push_back({savesNote, savesNoted});
  if (known && EndNoteChanged(takesEarlier, takesNoted)) first.push_back({takesNote, takesNoted});
  const bool noted = RewriteNotes(first);
  // Over a question left open (a window's close answered by a logout's
  // signal leaves it) the status line shows the wait; a display gone is
  // left alone (its video thread may be stuck in it, under a control it draws).
  if (DialogOwner != 0 && !platform::DisplayLost()) CloseDialog();
  bool audioThread = false;
  const bool onWorker = StartTakesEnd(audioThread);
  const bool finished = platform::SaverStop(platform::kEndIdleSeconds, ShowSavesLeft) == 0;
  // A bundled copy is not waited for: its thread may still be in the disk.
  if (platform::SaverLeftThread()) g_end.saverHeld = true;
  const bool writerEnded = WaitForTakesEnd(onWorker);
  if (DialogOwner != 0 && !platform::DisplayLost()) CloseDialog();
  std::vector<std::string> unfinished;
  for (const std::string& target : platform::SaverUnfinished()) unfinished.push_back(FileNameOf(target));
  const std::vector<std::string> failed = FilesNotSaved();
  std::vector<std::string> unconfirmed = QUARLE_AUDIO::RecordingEndUnconfirmed();
  // A writer the disk still holds may not have said its takes yet: every
  // take it was writing stays named.
  if (!writerEnded)
    for (const std::string& name : takesNoted)
      if (std::find(takesEarlier.begin(), takesEarlier.end(), name) == takesEarlier.end()) unconfirmed.push_back(name);
  std::vector<std::string> savesLeft = savesEarlier;
  savesLeft.insert(savesLeft.end(), unfinished.begin(), unfinished.end());
  savesLeft.insert(savesLeft.end(), failed.begin(), failed.end());
  std::vector<std::string> takesLeft = takesEarlier;
  takesLeft.insert(takesLeft.end(), unconfirmed.begin(), unconfirmed.end());
  std::vector<NoteText> after;
  if (known && EndNoteChanged(savesNoted, savesLeft)) after.push_back({savesNote, savesLeft});
  if (known && EndNoteChanged(takesNoted, takesLeft)) after.push_back({takesNote, takesLeft});
  // A note the disk still holds is left as it is (it names every save and
  // take the end began with, those that landed too), and so is its thread.
  if (!noted || !RewriteNotes(after)) {
    g_end.saverHeld = true;
    g_end.unclean = true;
  }
  if (!failed.empty())
    SayWhole(LangText(708, "These files could not be saved; each keeps what it held before: ") + Listed(failed));
  if (!finished) {
    g_end.saverHeld = true;
    std::string said = LangText(650, "These files were not saved before the end, as the disk did not write them; "
                                     "each may still hold its earlier contents: ") +
                       Listed(unfinished);
    // The one the saver is in keeps its thread in the disk.
    if (!unfinished.empty())
      said += ". " + QUARLE_BASICS::InsertArg(LangText(707, "The disk does not finish writing {$}: the program ends "
                                                            "without it, and may stay in the system until the disk "
                                                            "lets go."),
                                              unfinished.front());
    SayWhole(said);
  }
  SayUnconfirmedTakes(writerEnded, NamesOnce(unconfirmed));
  if (audioThread) Report(LangText(142, "Audio thread terminated."), QUARLE_BASICS::kLevelInfo);
  SayHeldThreads();
  return writerEnded;
}

// What a quit saves is handed to the saver: the end's wait follows.
void SaveWork() {
  EndOutputTake();
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
}

// Reports the audio thread made after the loop stopped reading queue 0: the
// stream and capture copies they carry go with them. Run once the audio
// thread has stopped (it posts a stream copy every buffer until then), into a
// buffer of its own (the loop's went with the memory).
void DropPendingReports() {
  QUARLE_BASICS::CommandMessage* buffer = nullptr;
  QUARLE_BASICS::ArrayHeader header;
  QUARLE_BASICS::ArrayHeaderInit(header);
  if (header.lock &&
      QUARLE_BASICS::FetchCommands(buffer, header, QUARLE_BASICS::MainCommandQueue) == 0) {
    for (int32_t i = 0; i < header.count; ++i) QUARLE_AUDIO::ReleaseReportBlock(buffer[i].type, buffer[i].word2);
  }
  std::free(buffer);
  QUARLE_BASICS::ArrayHeaderFree(header);
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
  DropPendingReports();
  Report(terminating + " TARVELO", QUARLE_BASICS::kLevelInfo);
  Tarvelo::close();
  Report(terminating + " QUARLE_BASICS", QUARLE_BASICS::kLevelInfo);
  if (writerEnded) QUARLE_BASICS::BasicsShutdown();
}

}  // namespace

bool RunShutdown() {
  g_end.signalSeenAt = -1.0;
  g_end.unclean = false;
  // The bound after a signal counts from here (the signal's own moment).
  EndCutShort();
  // 1-2.
  if (StartupStatus == kStartupOk) {
    SaveWork();
  } else {
    std::string line = LangText(138, "Something went wrong during initialization.") + " (Code " +
                       std::to_string(StartupStatus) + ")";
    if (!StartupFailure.empty()) line += ": " + StartupFailure;
    Report(line, QUARLE_BASICS::kLevelFatal);
    Pause(kFailurePauseMs);
  }
  // 3. The window still draws: its status line shows the wait for the saves
  // (what the start-up handed over, when it gave up) and the recordings
  // together. Nothing draws after it.
  const bool writerEnded = WaitForSavesAndTakes();
  QUARLE_VISUALS::StopVideoThread();
  // The MIDI thread plays keyboards through the tunings and the lists freed
  // below: its devices close first.
  QUARLE_AUDIO::CloseMidiInput();
  // 4-5. A writer still held may report (the console list, the message
  // table): nothing is freed under it.
  if (writerEnded) FreeMemory();
  ShutDownSubsystems(writerEnded);
  // 6-7. No file is closed under the writer.
  QUARLE_BASICS::MessageHook = QUARLE_BASICS::ConsolePrint;
  const bool logEnded = CloseTheLog();
  if (writerEnded && logEnded) platform::FileCloseAll();
  // A saver or a worker the disk still holds ends with the process, without
  // static destructors.
  return writerEnded && !g_end.saverHeld && platform::HeldWorkers() == 0;
}

void EndProcess(bool writerEnded, int32_t code) {
  if (code == 0 && g_end.unclean) code = kExitEndUnclean;
  if (const int second = platform::SecondQuitSignal(); second != 0) code = 128 + second;
  if (writerEnded && platform::HeldWorkers() == 0) std::exit(code);
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
  const bool writerEnded = WaitForSavesAndTakes();
  QUARLE_BASICS::MessageHook = QUARLE_BASICS::ConsolePrint;
  const bool logEnded = CloseTheLog();
  if (writerEnded && logEnded) platform::FileCloseAll();
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
    // After a signal, a pause only within what its bound leaves.
    if (n > 0 && SignalTimeLeft(kCountdownSpareSeconds) * 1000.0 >= kCountdownPauseMs) Pause(kCountdownPauseMs);
  }
}

void SetEndClock(EndClockFn clock) { g_end.clock.store(clock); }

}  // namespace Tarvelo
