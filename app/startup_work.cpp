#include "app/startup_work.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "app/documents/take_recovery.h"
#include "app/fixed_tables.h"
#include "app/state/dialogs.h"
#include "app/state/system_messages.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "platform/worker.h"
#include "visuals/control_table.h"
#include "visuals/controls.h"

namespace Tarvelo {

using QUARLE_BASICS::InsertArg;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::Report;

namespace {

// A piece of the last end's question stays at least this long, as the end's own do.
constexpr double kLeastPageSeconds = 4.0;

// The start's disk work runs on its worker (tarvelo-start), the probe of the
// data folder's disk on its own (tarvelo-probe): a probe the disk holds is
// no job of the start's to wait behind. A finish ends both. The news the
// jobs leave for the interface thread are taken only from a run's own jobs:
// a job an earlier finish left to its disk tells nothing once it comes back
// (its run's queues may be gone).
struct StartWork {
  platform::Worker worker{"tarvelo-start"};
  platform::Worker probe{"tarvelo-probe"};
  std::mutex lock;
  // one thread: holder of lock
  std::deque<std::function<void()>> news;
  uint64_t run = 0;     // moves on at each finish
  bool closed = true;   // between a finish and the next run's start
};
StartWork g_work;

// The run a job on this thread was handed in.
// one thread: the job's own (thread_local)
thread_local uint64_t t_jobRun = 0;

std::function<void()> OfThisRun(std::function<void()> job) {
  uint64_t run;
  {
    std::lock_guard<std::mutex> hold(g_work.lock);
    run = g_work.run;
  }
  return [run, job = std::move(job)] {
    t_jobRun = run;
    job();
  };
}

// The last end's notes as this run knows them (LastEndNotesKnown), the data
// folder they lie in, and whether the interface is up to ask about them.
// one thread: interface
struct NotesAtStart {
  // The notes' owner control: hidden, it only takes the dialog's answer. It
  // outlives a run's notes (a start made it once).
  int32_t owner = 0;
  bool known = false;
  bool interfaceUp = false;
  bool asked = false;
  LastEndNotes notes;
  std::string folder;
};
NotesAtStart g_notes;

std::string Listed(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
  return list;
}

int32_t NoteOwnerEvent(uint32_t bits, int32_t, int32_t, int32_t, int32_t) {
  if ((bits & QUARLE_VISUALS::kEventClick) == 0 || DialogAnswered == 0) return 0;
  DialogAnswered = 0;
  if (DialogAnswer != 0) AcknowledgeLastEnd(g_notes.folder);
  return 0;
}

std::string Shown(const std::string& systemPath) {
  std::string s = systemPath;
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

// True when every byte of `part` is the same byte of `whole` (it is empty, or
// the start or all of it): nothing is lost with it. False when they differ or
// either cannot be read.
bool HeldWithin(const std::string& part, const std::string& whole) {
  const int a = ::open(platform::ToOsPath(part).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (a < 0) return false;
  const int b = whole.empty() ? -1 : ::open(platform::ToOsPath(whole).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  std::vector<char> x(1 << 16), y(1 << 16);
  bool same = true;
  for (;;) {
    const ssize_t n = ::read(a, x.data(), x.size());
    if (n == 0) break;
    if (n < 0 || b < 0) {
      same = false;
      break;
    }
    ssize_t got = 0;
    while (got < n) {
      const ssize_t m = ::read(b, y.data() + got, size_t(n - got));
      if (m <= 0) break;
      got += m;
    }
    if (got != n || std::memcmp(x.data(), y.data(), size_t(n)) != 0) {
      same = false;
      break;
    }
  }
  ::close(a);
  if (b >= 0) ::close(b);
  return same;
}

}  // namespace

std::string DataSubFolder(int32_t i) {
  switch (i) {
    case 0: return "AUDIO";
    case 1: return "AUDIO\\CONVERTED";
    case 2: return "AUDIO\\RECORDED";
    case 3: return "FILTERS";
    case 4: return "MELODIES";
    case 5: return "SYNTHS";
    case 6: return std::string("SYNTHS\\DEMO ") + ProductVersion;
    case 7: return "TUNINGS";
    default: return "";
  }
}

void BeginStartWork() {
  const int32_t owner = g_notes.owner;
  g_notes = NotesAtStart{};
  g_notes.owner = owner;
  std::lock_guard<std::mutex> hold(g_work.lock);
  g_work.closed = false;
}

void StartDiskJob(std::function<void()> job) {
  // No thread: the job runs here, as the start's work ran before it had one.
  std::function<void()> ours = OfThisRun(std::move(job));
  if (!g_work.worker.Post(ours)) ours();
}

void StartWorkNews(std::function<void()> then) {
  std::lock_guard<std::mutex> hold(g_work.lock);
  if (g_work.closed || t_jobRun != g_work.run) return;
  g_work.news.push_back(std::move(then));
  PostToInterface(kMessageStartWork);
}

int32_t TakeStartWorkNews() {
  std::deque<std::function<void()>> news;
  {
    std::lock_guard<std::mutex> hold(g_work.lock);
    news.swap(g_work.news);
  }
  for (std::function<void()>& n : news) n();
  return static_cast<int32_t>(news.size());
}

int32_t StartWorkNewsWaiting() {
  std::lock_guard<std::mutex> hold(g_work.lock);
  return static_cast<int32_t>(g_work.news.size());
}

int32_t StartDiskJobsLeft() { return g_work.worker.Left(); }

bool FinishStartDiskWork(double idleSeconds) {
  const platform::Worker::Ended work = g_work.worker.Finish(idleSeconds);
  // A probe still in its disk has nothing more to tell this run.
  g_work.probe.Finish(0.0);
  if (!work.joined)
    Report(InsertArg(LangText(731, "The disk holds the start's work on it: the start ends without it, {$} of its "
                                   "jobs not begun."),
                     std::to_string(work.dropped)),
           QUARLE_BASICS::kLevelWarning);
  TakeStartWorkNews();
  std::lock_guard<std::mutex> hold(g_work.lock);
  g_work.closed = true;
  ++g_work.run;
  // What came between the last take and the close: its run has ended.
  g_work.news.clear();
  return work.joined;
}

bool FolderAnswers(const std::string& file, double bound, std::function<void()> late) {
  // one thread: holder of lock
  struct Probe {
    std::mutex lock;
    bool answered = false;
    bool gaveUp = false;  // the wait ended before the answer
  };
  const auto probe = std::make_shared<Probe>();
  const bool posted = g_work.probe.Post(OfThisRun([probe, path = platform::ToOsPath(file), late = std::move(late)] {
    // Blocking, as the log's own open is: a disk that holds it holds this.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
    bool gaveUp = false;
    {
      std::lock_guard<std::mutex> hold(probe->lock);
      probe->answered = true;
      gaveUp = probe->gaveUp;
    }
    if (gaveUp && late) StartWorkNews(late);
  }));
  if (!posted) return true;  // nothing to probe with: the log's open will tell
  const bool answered = g_work.probe.WaitIdle(bound);
  std::lock_guard<std::mutex> hold(probe->lock);
  probe->gaveUp = !probe->answered;
  return answered || probe->answered;
}

namespace {

// The unreadable notes as the question and the message list say them.
std::string UnreadableText(const LastEndNotes& notes) {
  return notes.unreadable.empty()
             ? std::string()
             : InsertArg(LangText(725, "The last run's note {$} could not be read whole (the disk kept nothing, "
                                       "zeros or a cut end of it): a file it named may not be whole, and may not be "
                                       "named here."),
                         Listed(notes.unreadable));
}

void AskAboutLastEnd(const std::string& dataFolder, const LastEndNotes& notes) {
  if (notes.saves.empty() && notes.takes.empty() && notes.unreadable.empty()) return;
  // The message list keeps the names whole for as long as the user wants.
  if (!notes.saves.empty())
    Report(LangText(651, "The last run ended before these files were saved; each may still hold its earlier contents: ") +
               Listed(notes.saves),
           QUARLE_BASICS::kLevelError);
  if (!notes.takes.empty())
    Report(LangText(633, "The last run ended before the disk confirmed these recordings, which may not be whole: ") +
               Listed(notes.takes),
           QUARLE_BASICS::kLevelError);
  if (!notes.unreadable.empty()) Report(UnreadableText(notes), QUARLE_BASICS::kLevelError);
  g_notes.folder = dataFolder;
  if (g_notes.owner <= 0 || !QUARLE_VISUALS::ControlLive(g_notes.owner)) {
    g_notes.owner = 0;
    QUARLE_VISUALS::CreateControl(0, 0, 0, 1, 1, NoteOwnerEvent, nullptr, 0, 0, "START_NOTES", "", &g_notes.owner);
  }
  if (g_notes.owner <= 0) return;
  // Every name in the window: the fullest form the box shows whole, else the
  // fullest in pieces, each for its reading time.
  const std::vector<std::string> forms = LastEndQuestion(notes);
  for (const std::string& form : forms)
    if (DialogQuestionFits(form, 0)) {
      OpenDialog(g_notes.owner, form, 0, "", 0, 0, 0);
      return;
    }
  const std::vector<std::string> pages =
      StatusLinePages(forms.front(), [](const std::string& page) { return DialogQuestionFits(page, 0); });
  std::vector<double> seconds;
  for (const std::string& page : pages) seconds.push_back(ReadingSeconds(page.size(), kLeastPageSeconds));
  OpenDialogInPages(g_notes.owner, pages, seconds);
}

void AskIfDue() {
  if (!g_notes.known || !g_notes.interfaceUp || g_notes.asked) return;
  g_notes.asked = true;
  AskAboutLastEnd(g_notes.folder, g_notes.notes);
}

}  // namespace

void PostLastEndNotes(const std::string& dataFolder, LastEndNotes notes) {
  StartWorkNews([dataFolder, notes = std::move(notes)] {
    g_notes.known = true;
    g_notes.notes = notes;
    g_notes.folder = dataFolder;
    AskIfDue();
  });
}

void AskAboutLastEndOnceUp() {
  g_notes.interfaceUp = true;
  AskIfDue();
}

bool LastEndNotesKnown(LastEndNotes& notes) {
  notes = g_notes.notes;
  return g_notes.known;
}

std::vector<std::string> LastEndQuestion(const LastEndNotes& notes) {
  std::string full;
  const auto add = [](std::string& to, const std::string& sentence) {
    if (!sentence.empty()) to += (to.empty() ? "" : " ") + sentence;
  };
  if (!notes.saves.empty())
    add(full, InsertArg(LangText(698, "The last run ended before these files were saved; each may still hold its "
                                      "earlier contents: {$}."),
                        Listed(notes.saves)));
  if (!notes.takes.empty())
    add(full, InsertArg(LangText(699, "The last run ended before the disk confirmed these recordings, which may not "
                                      "be whole: {$}."),
                        Listed(notes.takes)));
  add(full, UnreadableText(notes));
  std::vector<std::string> all = notes.saves;
  all.insert(all.end(), notes.takes.begin(), notes.takes.end());
  std::string brief = all.empty() ? std::string() : InsertArg(LangText(700, "Not saved or not confirmed at the last end: {$}."), Listed(all));
  add(brief, UnreadableText(notes));
  return {full, brief};
}

void AcknowledgeLastEnd(const std::string& dataFolder) {
  // The end finds nothing noted any more.
  g_notes.notes = LastEndNotes{};
  StartDiskJob([dataFolder] {
    // Only the end's notes: anything else under their names stays.
    for (const char* note : {kUnfinishedSavesNote, kUnconfirmedNoteName}) {
      const std::string path = dataFolder + "\\" + note;
      if (platform::PathKindAt(path) == platform::PathKind::kFile) platform::FileDelete(path);
    }
  });
}

WorkLeftovers ClearWorkLeftovers(const std::string& folder) {
  WorkLeftovers done;
  std::vector<std::string> names;
  if (!platform::FolderNames(folder, names)) return done;
  std::sort(names.begin(), names.end());
  std::vector<std::string> removed;
  for (const std::string& name : names) {
    // A WAV file's ".part" is RecoverCutSaves'.
    platform::WorkName work;
    if (!platform::ReadWorkName(name, work) || work.suffix == ".part") continue;
    const std::string path = folder + "\\" + name;
    // Held, it is a running save's, of this run or another program of ours;
    // holding it, no save takes it meanwhile.
    const int held = platform::HoldLeftWorkFile(path);
    if (held < 0) continue;
    const std::string& target = work.target;
    const std::string beside = target.empty() || platform::PathKindAt(folder + "\\" + target) != platform::PathKind::kFile
                                   ? std::string()
                                   : folder + "\\" + target;
    if (platform::FileLength(path) == 0 || HeldWithin(path, beside)) {
      if (platform::FileDelete(path) == 0) {
        removed.push_back(name);
        ++done.removed;
      }
    } else {
      // What the file beside it does not hold is offered back under a name
      // the browser lists, with its file's extension.
      // A short name tells no file: it is kept as "Recovered <its hash>".
      std::string base = "Recovered " + work.hash, ext = work.extension;
      if (!target.empty()) {
        const size_t dot = target.find_last_of('.');
        base = dot == std::string::npos || dot == 0 ? target : target.substr(0, dot);
        ext = dot == std::string::npos || dot == 0 ? std::string() : target.substr(dot);
        base += " (recovered)";
      }
      const std::string free = platform::FreeFileName(folder, base + ext);
      if (platform::FileReplace(path, folder + "\\" + free) == 0 ||
          platform::PathKindAt(path) == platform::PathKind::kNothing) {
        ++done.kept;
        std::string line = InsertArg(LangText(697, "{$} held what {$} does not (a save cut short): kept as {$}."),
                                     name);
        line = InsertArg(line, target.empty() ? std::string("its file") : target);
        Report(InsertArg(line, free) + " Folder: " + Shown(folder), QUARLE_BASICS::kLevelWarning);
      }
    }
    ::close(held);
  }
  if (!removed.empty())
    Report(InsertArg(LangText(696, "Removed the work files of saves cut short, which held nothing more than their "
                                   "files: {$}."),
                     Listed(removed)) +
               " Folder: " + Shown(folder),
           QUARLE_BASICS::kLevelWarning);
  return done;
}

WorkLeftovers ClearWorkLeftoversOf(const std::string& dataFolder) {
  WorkLeftovers all;
  std::vector<std::string> folders = {dataFolder};
  for (int32_t i = 0; i < kDataSubFolderCount; ++i) folders.push_back(dataFolder + "\\" + DataSubFolder(i));
  folders.push_back(dataFolder + "\\AUDIO\\DEMO");
  for (const std::string& f : folders) {
    const WorkLeftovers one = ClearWorkLeftovers(f);
    all.removed += one.removed;
    all.kept += one.kept;
  }
  return all;
}

}  // namespace Tarvelo
