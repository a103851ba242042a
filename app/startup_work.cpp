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

constexpr size_t kNoteNames = 256;

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

std::vector<std::string> ReadNoteNames(const std::string& path) {
  std::vector<std::string> names;
  // Anything else under the name is not the end's note: it is left alone.
  if (platform::PathKindAt(path) != platform::PathKind::kFile) return names;
  // No end writes more than its names: a longer file is read no further.
  std::vector<unsigned char> bytes(kNoteNames * (platform::kMaxItemLength + 2));
  const int fd = ::open(platform::ToOsPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  size_t got = 0;
  while (fd >= 0 && got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n <= 0) break;
    got += size_t(n);
  }
  if (fd >= 0) ::close(fd);
  bytes.resize(got);
  std::string name;
  bytes.push_back('\n');
  for (const unsigned char c : bytes) {
    if (c != '\n' && c != '\r') {
      name += char(c);
      continue;
    }
    // A zero is in no name (what a power cut left of the unsynced note); a
    // name an end wrote twice (two saves of one file) is said once.
    if (!name.empty() && name.size() <= platform::kMaxItemLength && name.find('\0') == std::string::npos &&
        names.size() < kNoteNames && std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(name);
    name.clear();
  }
  return names;
}

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

LastEndNotes ReadLastEndNotes(const std::string& dataFolder) {
  LastEndNotes notes;
  notes.saves = ReadNoteNames(dataFolder + "\\" + kUnfinishedSavesNote);
  notes.takes = ReadNoteNames(dataFolder + "\\" + kUnconfirmedNoteName);
  // A note that names nothing (all a power cut left of it) has nothing to ask.
  for (const auto& [note, names] : {std::pair{kUnfinishedSavesNote, &notes.saves}, {kUnconfirmedNoteName, &notes.takes}}) {
    const std::string path = dataFolder + "\\" + note;
    if (names->empty() && platform::PathKindAt(path) == platform::PathKind::kFile) platform::FileDelete(path);
  }
  return notes;
}

std::vector<std::string> LastEndQuestion(const LastEndNotes& notes) {
  std::string full;
  if (!notes.saves.empty())
    full += InsertArg(LangText(698, "The last run ended before these files were saved; each may still hold its "
                                    "earlier contents: {$}."),
                      Listed(notes.saves));
  if (!notes.takes.empty())
    full += (full.empty() ? "" : " ") +
            InsertArg(LangText(699, "The last run ended before the disk confirmed these recordings, which may not "
                                    "be whole: {$}."),
                      Listed(notes.takes));
  std::vector<std::string> all = notes.saves;
  all.insert(all.end(), notes.takes.begin(), notes.takes.end());
  return {full, InsertArg(LangText(700, "Not saved or not confirmed at the last end: {$}."), Listed(all)),
          InsertArg(LangText(702, "{$} files of the last run may not be whole; the message list names them."),
                    std::to_string(all.size()))};
}

void AskAboutLastEnd(const std::string& dataFolder, const LastEndNotes& notes) {
  if (notes.saves.empty() && notes.takes.empty()) return;
  // The message list keeps the names whole for as long as the user wants.
  if (!notes.saves.empty())
    Report(LangText(651, "The last run ended before these files were saved; each may still hold its earlier contents: ") +
               Listed(notes.saves),
           QUARLE_BASICS::kLevelError);
  if (!notes.takes.empty())
    Report(LangText(633, "The last run ended before the disk confirmed these recordings, which may not be whole: ") +
               Listed(notes.takes),
           QUARLE_BASICS::kLevelError);
  g_noteFolder = dataFolder;
  if (g_noteOwner <= 0 || !QUARLE_VISUALS::ControlLive(g_noteOwner)) {
    g_noteOwner = 0;
    QUARLE_VISUALS::CreateControl(0, 0, 0, 1, 1, NoteOwnerEvent, nullptr, 0, 0, "START_NOTES", "", &g_noteOwner);
  }
  if (g_noteOwner > 0) OpenDialog(g_noteOwner, DialogQuestionThatFits(LastEndQuestion(notes), 0), 0, "", 0, 0, 0);
}

void AcknowledgeLastEnd(const std::string& dataFolder) {
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
