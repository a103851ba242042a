#include "app/startup_work.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "app/documents/take_recovery.h"
#include "app/shutdown.h"
#include "app/startup.h"
#include "app/state/dialogs.h"
#include "app/state/system_messages.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "visuals/control_table.h"
#include "visuals/controls.h"

namespace Tarvelo {

using QUARLE_BASICS::InsertArg;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::Report;

namespace {

// The start's thread and its queue. Made once and never freed: a thread left
// to a disk that holds it may still reach it at the process's end.
// one thread: holder of lock
struct StartWork {
  std::mutex lock;
  std::condition_variable wake;  // a job came, or the thread may end
  std::condition_variable moved;  // a job ended
  std::deque<std::function<void()>> jobs;
  int32_t left = 0;         // jobs handed and not ended
  uint64_t ended = 0;       // jobs ended so far
  bool running = false;     // the thread is there (or left to its disk)
  bool finish = false;      // end once the queue is empty
  bool abandoned = false;   // a finish stopped waiting for it: run nothing more
  bool closed = false;      // a finish has taken the last news
  std::deque<std::function<void()>> news;
};

StartWork& Work() {
  static StartWork* const work = new StartWork;
  return *work;
}

void RunJobs() {
  platform::ThreadSetName("tarvelo-start");
  StartWork& w = Work();
  std::unique_lock<std::mutex> hold(w.lock);
  for (;;) {
    w.wake.wait(hold, [&] { return !w.jobs.empty() || w.finish || w.abandoned; });
    if (w.abandoned || w.jobs.empty()) break;
    std::function<void()> job = std::move(w.jobs.front());
    w.jobs.pop_front();
    hold.unlock();
    job();
    job = nullptr;
    hold.lock();
    --w.left;
    ++w.ended;
    w.moved.notify_all();
  }
  w.running = false;
  w.moved.notify_all();
}

// The thread of the last StartDiskJob, joined by the finish. Held by pointer:
// an end that never comes to the finish (a display lost) leaves it be
// rather than have its destructor end the process.
// one thread: interface
std::thread* g_thread = nullptr;

void ForgetThread(bool join) {
  if (!g_thread) return;
  if (join)
    g_thread->join();
  else
    g_thread->detach();
  delete g_thread;
  g_thread = nullptr;
}

// The notes' owner control: hidden, it only takes the dialog's answer.
// one thread: interface
int32_t g_noteOwner = 0;
std::string g_noteFolder;  // one thread: interface

// The last end's notes as this run knows them (LastEndNotesKnown), and
// whether the interface is up to ask about them.
// one thread: interface
struct NotesAtStart {
  bool known = false;
  bool interfaceUp = false;
  bool asked = false;
  LastEndNotes notes;
};
NotesAtStart g_notes;  // one thread: interface

std::string Listed(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
  return list;
}

int32_t NoteOwnerEvent(uint32_t bits, int32_t, int32_t, int32_t, int32_t) {
  if ((bits & QUARLE_VISUALS::kEventClick) == 0 || DialogAnswered == 0) return 0;
  DialogAnswered = 0;
  if (DialogAnswer != 0) AcknowledgeLastEnd(g_noteFolder);
  return 0;
}

std::string Shown(const std::string& systemPath) {
  std::string s = systemPath;
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

// A save's work file as the saves write them: "<document>[~n].tmp" (the
// saver's), "<name>[~n].part~" (a copy's), or a short name with either
// suffix. The stem (claim number included) and the suffix; false otherwise.
// The ".part" of a WAV file's save is RecoverCutSaves'.
bool SplitWorkName(const std::string& folder, const std::string& name, std::string& stem, std::string& suffix) {
  if (!platform::IsWorkFile(folder, name)) return false;
  for (const char* s : {".part~", ".tmp"}) {
    const std::string sfx = s;
    if (name.size() > sfx.size() && platform::UpperCase(name.substr(name.size() - sfx.size())) ==
                                        platform::UpperCase(sfx)) {
      stem = name.substr(0, name.size() - sfx.size());
      suffix = name.substr(name.size() - sfx.size());
      return true;
    }
  }
  return false;
}

// The name of the file a work file was written for: the stem without its
// claim number; "" for a short name.
std::string TargetOf(const std::string& stem) {
  if (stem.rfind(platform::kShortWorkPrefix, 0) == 0) return "";
  const size_t tilde = stem.rfind('~');
  if (tilde != std::string::npos && tilde + 1 < stem.size() &&
      stem.find_first_not_of("0123456789", tilde + 1) == std::string::npos)
    return stem.substr(0, tilde);
  return stem;
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

void BeginStartWork() {
  g_notes = NotesAtStart{};
  StartWork& w = Work();
  std::lock_guard<std::mutex> hold(w.lock);
  w.closed = false;
}

void StartDiskJob(std::function<void()> job) {
  StartWork& w = Work();
  std::lock_guard<std::mutex> hold(w.lock);
  if (w.abandoned) return;
  w.jobs.push_back(std::move(job));
  ++w.left;
  w.finish = false;
  if (!w.running) {
    // The last one has run out of jobs: it is on its way out.
    ForgetThread(true);
    w.running = true;
    g_thread = new std::thread(RunJobs);
  }
  w.wake.notify_all();
}

void StartWorkNews(std::function<void()> then) {
  StartWork& w = Work();
  std::lock_guard<std::mutex> hold(w.lock);
  // A job the end stopped waiting for tells nothing: the queues may be gone.
  if (w.abandoned || w.closed) return;
  w.news.push_back(std::move(then));
  PostToInterface(kMessageStartWork);
}

int32_t TakeStartWorkNews() {
  std::deque<std::function<void()>> news;
  {
    StartWork& w = Work();
    std::lock_guard<std::mutex> hold(w.lock);
    news.swap(w.news);
  }
  for (std::function<void()>& n : news) n();
  return static_cast<int32_t>(news.size());
}

int32_t StartWorkNewsWaiting() {
  StartWork& w = Work();
  std::lock_guard<std::mutex> hold(w.lock);
  return static_cast<int32_t>(w.news.size());
}

int32_t StartDiskJobsLeft() {
  StartWork& w = Work();
  std::lock_guard<std::mutex> hold(w.lock);
  return w.left;
}

bool FinishStartDiskWork(double idleSeconds) {
  StartWork& w = Work();
  bool whole = true;
  {
    std::unique_lock<std::mutex> hold(w.lock);
    w.finish = true;
    w.wake.notify_all();
    // The wait lasts while jobs end; one the disk holds for the whole bound
    // is left to it.
    while (w.running) {
      const uint64_t ended = w.ended;
      if (!w.moved.wait_for(hold, std::chrono::duration<double>(idleSeconds),
                            [&] { return !w.running || w.ended != ended; })) {
        w.abandoned = true;
        whole = false;
        break;
      }
    }
  }
  ForgetThread(whole);
  TakeStartWorkNews();
  {
    std::lock_guard<std::mutex> hold(w.lock);
    w.closed = true;
  }
  return whole;
}

bool FolderAnswers(const std::string& file, double bound, std::function<void()> late) {
  // one thread: holder of lock
  struct Probe {
    std::mutex lock;
    std::condition_variable done;
    bool answered = false;
    bool gaveUp = false;  // the wait ended before the answer
  };
  const auto probe = std::make_shared<Probe>();
  std::thread([probe, path = platform::ToOsPath(file), late = std::move(late)] {
    platform::ThreadSetName("tarvelo-probe");
    // Blocking, as the log's own open is: a disk that holds it holds this.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
    bool gaveUp = false;
    {
      std::lock_guard<std::mutex> hold(probe->lock);
      probe->answered = true;
      gaveUp = probe->gaveUp;
      probe->done.notify_all();
    }
    if (gaveUp && late) StartWorkNews(late);
  }).detach();
  std::unique_lock<std::mutex> hold(probe->lock);
  probe->gaveUp = !probe->done.wait_for(hold, std::chrono::duration<double>(bound), [&] { return probe->answered; });
  return !probe->gaveUp;
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
  g_noteFolder = dataFolder;
  if (g_noteOwner <= 0 || !QUARLE_VISUALS::ControlLive(g_noteOwner)) {
    g_noteOwner = 0;
    QUARLE_VISUALS::CreateControl(0, 0, 0, 1, 1, NoteOwnerEvent, nullptr, 0, 0, "START_NOTES", "", &g_noteOwner);
  }
  if (g_noteOwner <= 0) return;
  // Every name in the window: the fullest form the box shows whole, else the
  // fullest in pieces, each for its reading time.
  const std::vector<std::string> forms = LastEndQuestion(notes);
  for (const std::string& form : forms)
    if (DialogQuestionFits(form, 0)) {
      OpenDialog(g_noteOwner, form, 0, "", 0, 0, 0);
      return;
    }
  const std::vector<std::string> pages =
      StatusLinePages(forms.front(), [](const std::string& page) { return DialogQuestionFits(page, 0); });
  std::vector<double> seconds;
  for (const std::string& page : pages) seconds.push_back(ReadingSeconds(page.size()));
  OpenDialogInPages(g_noteOwner, pages, seconds);
}

void AskIfDue() {
  if (!g_notes.known || !g_notes.interfaceUp || g_notes.asked) return;
  g_notes.asked = true;
  AskAboutLastEnd(g_noteFolder, g_notes.notes);
}

}  // namespace

void PostLastEndNotes(const std::string& dataFolder, LastEndNotes notes) {
  StartWorkNews([dataFolder, notes = std::move(notes)] {
    g_notes.known = true;
    g_notes.notes = notes;
    g_noteFolder = dataFolder;
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
    std::string stem, suffix;
    if (!SplitWorkName(folder, name, stem, suffix)) continue;
    const std::string path = folder + "\\" + name;
    if (platform::PathKindAt(path) != platform::PathKind::kFile) continue;
    // Claimed, the name is this start's: a save of this run that wants it
    // meanwhile writes beside it, and one that holds it now is left alone.
    const std::string claim = platform::ClaimWorkFile(folder + "\\" + stem, suffix);
    if (claim != path) {
      platform::ReleaseWorkFile(claim);
      continue;
    }
    const std::string target = TargetOf(stem);
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
      // the browser lists.
      // A short name tells no file: it is kept as "Recovered <its hash>".
      std::string base = "Recovered " + stem.substr(std::min(stem.size(), platform::kShortWorkPrefix.size())), ext;
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
    platform::ReleaseWorkFile(claim);
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
