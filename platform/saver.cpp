#include "platform/saver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace platform {

namespace {

// one thread: value, the progress word of the saver whose thread this is (set
// once by that thread; null on every other)
thread_local std::atomic<uint32_t>* t_progress = nullptr;

// A write-back that did not go through: false for a write error (the sync
// after it would not see it), true where the file has no such call (the sync
// keeps the bytes).
bool NoWriteBack() { return errno == EINVAL || errno == ESPIPE || errno == ENOSYS || errno == EOPNOTSUPP; }

// Written in the disk's pieces, each one's write-back started at once (the
// one piece rule, platform/disk_pace.h); PutFileInPlace then waits for them
// piece by piece.
bool WriteAll(int fd, const char* p, size_t n) {
  off_t at = ::lseek(fd, 0, SEEK_CUR);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, std::min(n, size_t(kWriteBackPiece)));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    SaveMovedOn();
    if (at >= 0 && !StartWriteBack(fd, at, at + w)) return false;
    if (at >= 0) at += w;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// one thread: value
struct Job {
  SaveRequest Request;
  int32_t Rc = 0;
  // The waiting saves of its file this one replaced, oldest first: told its outcome.
  std::vector<std::function<void(int32_t rc)>> ReplacedDone;
  std::vector<SaveOutcome> ReplacedOutcomes;
};

bool Names(const std::vector<SaveOutcome>& list, const SaveOutcome& o) {
  return o && std::find(list.begin(), list.end(), o) != list.end();
}

// The outcomes a waiting job stands for: its own and those of the saves it replaced.
std::vector<SaveOutcome> StandsFor(const Job& j) {
  std::vector<SaveOutcome> all = j.ReplacedOutcomes;
  if (j.Request.Outcome) all.push_back(j.Request.Outcome);
  return all;
}

// Queues a save: one still waiting for the same target is replaced (the
// newest bytes win), unless the order would break: the newer save must follow
// every save it names and precede every save naming the one it replaces.
void Enqueue(std::deque<Job>& waiting, SaveRequest r) {
  const auto same = std::find_if(waiting.begin(), waiting.end(),
                                 [&](const Job& j) { return j.Request.Target == r.Target; });
  if (same != waiting.end()) {
    const size_t at = size_t(same - waiting.begin());
    const std::vector<SaveOutcome> olds = StandsFor(*same);
    size_t lastNamed = at;
    for (size_t k = at + 1; k < waiting.size(); ++k)
      for (const SaveOutcome& o : StandsFor(waiting[k]))
        if (Names(r.After, o)) lastNamed = k;
    bool named = false;
    for (size_t k = at + 1; k <= lastNamed; ++k)
      for (const SaveOutcome& o : waiting[k].Request.After) named = named || Names(olds, o);
    if (!named) {
      Job merged;
      merged.ReplacedDone = std::move(same->ReplacedDone);
      if (same->Request.Done) merged.ReplacedDone.push_back(std::move(same->Request.Done));
      merged.ReplacedOutcomes = olds;
      merged.Request = std::move(r);
      // It does not wait for itself.
      std::erase_if(merged.Request.After, [&](const SaveOutcome& o) { return Names(olds, o); });
      waiting.erase(same);
      waiting.insert(waiting.begin() + std::ptrdiff_t(lastNamed), std::move(merged));
      return;
    }
  }
  waiting.push_back(Job{std::move(r), 0, {}, {}});
}

int32_t RunSave(const SaveRequest& r) {
  for (const SaveOutcome& earlier : r.After)
    if (earlier && earlier->load(std::memory_order_acquire) != 0) return kSaveEarlierFailed;
  bool backedUp = false;
  if (!r.Backup.empty() && FileExists(r.Target)) backedUp = FileCopy(r.Target, r.Backup) == 0;
  const int32_t rc = r.Fill ? PutFileInPlace(r.Target, r.Suffix, r.Fill) : PutFileInPlace(r.Target, r.Bytes, r.Suffix);
  if (rc == 0 && backedUp) FileDelete(r.Backup);
  return rc;
}

void Tell(const Job& job) {
  for (const SaveOutcome& o : job.ReplacedOutcomes) o->store(job.Rc, std::memory_order_release);
  if (job.Request.Outcome) job.Request.Outcome->store(job.Rc, std::memory_order_release);
}

// The folder's device, whose written bytes count as the save's progress.
uint64_t DeviceOfTarget(const std::string& target) {
  const size_t cut = target.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? std::string(".") : ToOsPath(target.substr(0, cut + 1));
  return DeviceOfPath(folder.c_str());
}

}  // namespace

struct Saver::Core {
  explicit Core(WrittenBytesReader w) : written(std::move(w)) {}
  // one thread: value, set at its making (called on the stopping thread)
  const WrittenBytesReader written;
  // Moves on with every piece written or written back and every save finished.
  std::atomic<uint32_t> progress{0};
  std::atomic<bool (*)()> wake{nullptr};
  std::mutex lock;
  std::condition_variable bell;
  // one thread: holder of lock
  std::deque<Job> waiting, finished;
  // one thread: holder of lock
  int32_t busy = 0;       // 1 while a save is being written
  bool accepting = false;  // the thread takes saves
  bool quit = false;       // the thread ends (after the save it is in)
  // one thread: holder of lock, the save being written and its folder's device
  std::string busyTarget, busyBackup;
  uint64_t busyDevice = 0;
  // Held around each wake: once a stop gave up, none comes after it returns.
  std::mutex wakeLock;
  // one thread: holder of wakeLock
  bool abandoned = false;
};

namespace {

void SaverMain(std::shared_ptr<Saver::Core> core) {
  ThreadSetName("tarvelo-save");
  Saver::Core& c = *core;
  t_progress = &c.progress;
  std::unique_lock<std::mutex> hold(c.lock);
  for (;;) {
    c.bell.wait(hold, [&] { return c.quit || !c.waiting.empty(); });
    if (c.quit || c.waiting.empty()) return;
    Job job = std::move(c.waiting.front());
    c.waiting.pop_front();
    c.busy = 1;
    c.busyTarget = job.Request.Target;
    c.busyBackup = job.Request.Backup;
    hold.unlock();
    const uint64_t device = DeviceOfTarget(job.Request.Target);
    hold.lock();
    c.busyDevice = device;
    hold.unlock();
    job.Rc = RunSave(job.Request);
    Tell(job);
    job.Request.Bytes = std::string();
    job.Request.Fill = nullptr;
    hold.lock();
    c.busy = 0;
    c.busyTarget.clear();
    c.busyBackup.clear();
    c.busyDevice = 0;
    // A stop that gave up went on without this save: nobody takes its outcome.
    if (c.quit) return;
    c.finished.push_back(std::move(job));
    hold.unlock();
    SaveMovedOn();
    {
      std::lock_guard<std::mutex> waking(c.wakeLock);
      if (bool (*wake)() = c.wake.load(std::memory_order_acquire); wake && !c.abandoned) wake();
    }
    hold.lock();
  }
}

}  // namespace

void SaveMovedOn() {
  if (!t_progress) return;
  t_progress->fetch_add(1, std::memory_order_release);
  WakeWordWaiters(*t_progress);
}

bool SyncDescriptor(int fd) {
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    // A file system that keeps nothing to sync (some virtual ones) loses nothing.
    return errno == EINVAL || errno == ENOTSUP;
  }
  return true;
}

bool SaveWrite(int fd, const void* bytes, size_t n) { return WriteAll(fd, static_cast<const char*>(bytes), n); }

int32_t PutFileInPlace(const std::string& target, std::string_view suffix, const SaveFill& fill, int64_t length) {
  const std::string work = ClaimWorkFile(target, suffix);
  const std::string osWork = ToOsPath(work);
  const int fd = ::open(osWork.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int32_t rc = -OpenFailure(errno);
    ReleaseWorkFile(work);
    return rc;
  }
  bool ok = fill(fd);
  struct stat st;
  const bool file = ok && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && length >= 0) ok = !file || st.st_size == length;
  // The disk's write-back waited for in pieces, each confirmed, so a slow or
  // busy disk's long write shows as progress; the sync then keeps what is
  // left (the file's own records).
  if (ok && file && WriteBackInPieces(fd, 0, st.st_size, [](int64_t) { SaveMovedOn(); }) < st.st_size)
    ok = NoWriteBack();
  // On the disk before it takes the name, and the name on the disk after.
  if (ok) ok = SyncDescriptor(fd);
  if (::close(fd) != 0) ok = false;
  int32_t rc = ok ? 0 : -kSaveIoError;
  if (rc == 0) rc = FileReplace(work, target);
  if (rc != 0) ::unlink(osWork.c_str());
  // Given back once: the name may be another save's from here on.
  ReleaseWorkFile(work);
  return rc;
}

int32_t PutFileInPlace(const std::string& target, std::string_view bytes, std::string_view suffix) {
  return PutFileInPlace(
      target, suffix, [&](int fd) { return WriteAll(fd, bytes.data(), bytes.size()); },
      static_cast<int64_t>(bytes.size()));
}

SaveOutcome NewSaveOutcome() { return std::make_shared<std::atomic<int32_t>>(kSavePending); }

// --- The saver -----------------------------------------------------------------------------

Saver::Saver(WrittenBytesReader written) : core_(std::make_shared<Core>(std::move(written))) {}

Saver::~Saver() {
  if (!thread_) return;
  bool busy = false;
  {
    std::lock_guard<std::mutex> hold(core_->lock);
    core_->accepting = false;
    core_->quit = true;
    core_->waiting.clear();
    core_->finished.clear();
    busy = core_->busy != 0;
    core_->bell.notify_all();
  }
  {
    std::lock_guard<std::mutex> waking(core_->wakeLock);
    core_->abandoned = true;
  }
  // One held by its disk keeps its own share of what it uses.
  if (busy)
    thread_->detach();
  else
    thread_->join();
  delete thread_;
}

bool Saver::Start() {
  if (thread_) return true;
  std::lock_guard<std::mutex> hold(core_->lock);
  core_->quit = false;
  try {
    thread_ = new std::thread(SaverMain, core_);
  } catch (...) {
    thread_ = nullptr;
    return false;
  }
  core_->accepting = true;
  return true;
}

bool Saver::Running() const {
  std::lock_guard<std::mutex> hold(core_->lock);
  return core_->accepting;
}

int32_t Saver::Hand(SaveRequest request) {
  {
    std::lock_guard<std::mutex> hold(core_->lock);
    if (core_->accepting) {
      Enqueue(core_->waiting, std::move(request));
      core_->bell.notify_one();
      return 0;
    }
  }
  const int32_t rc = RunSave(request);
  if (request.Outcome) request.Outcome->store(rc, std::memory_order_release);
  if (request.Done) request.Done(rc);
  return rc;
}

int32_t Saver::TakeOutcomes() {
  int32_t n = 0;
  for (;;) {
    Job job;
    {
      std::lock_guard<std::mutex> hold(core_->lock);
      if (core_->finished.empty()) break;
      job = std::move(core_->finished.front());
      core_->finished.pop_front();
    }
    for (const auto& done : job.ReplacedDone) done(job.Rc);
    if (job.Request.Done) job.Request.Done(job.Rc);
    n += 1 + static_cast<int32_t>(job.ReplacedDone.size());
    // An act that waited for this file runs once its last save let it go;
    // taken off the list first, as it may wait again.
    for (size_t i = 0; i < whenDone_.size();) {
      if (Holds(whenDone_[i].first)) {
        ++i;
        continue;
      }
      std::function<void()> then = std::move(whenDone_[i].second);
      whenDone_.erase(whenDone_.begin() + std::ptrdiff_t(i));
      then();
      i = 0;
    }
  }
  return n;
}

bool Saver::Holds(const std::string& target) const {
  if (target.empty()) return false;
  const auto names = [&](const Job& j) { return j.Request.Target == target || j.Request.Backup == target; };
  std::lock_guard<std::mutex> hold(core_->lock);
  if (core_->busy && (core_->busyTarget == target || core_->busyBackup == target)) return true;
  return std::any_of(core_->waiting.begin(), core_->waiting.end(), names) ||
         std::any_of(core_->finished.begin(), core_->finished.end(), names);
}

void Saver::WhenDone(const std::string& target, std::function<void()> then) {
  if (!Holds(target)) {
    then();
    return;
  }
  whenDone_.emplace_back(target, std::move(then));
}

void Saver::SetWake(bool (*wake)()) { core_->wake.store(wake, std::memory_order_release); }

int32_t Saver::Pending() const {
  std::lock_guard<std::mutex> hold(core_->lock);
  return static_cast<int32_t>(core_->waiting.size()) + core_->busy;
}

std::vector<std::string> Saver::Unfinished() const { return unfinished_; }

int32_t Saver::Stop(double idleSeconds, SaverShown shown) {
  // The quit drops the acts still waiting for a save.
  whenDone_.clear();
  unfinished_.clear();
  if (!thread_) {
    TakeOutcomes();
    return 0;
  }
  Core& c = *core_;
  // The end's one rule (platform/disk_pace.h): the saver's pieces and saves,
  // or the device's written bytes moving, whoever's (a sync waits behind
  // everything queued at the device, and the device writing it is no dead disk).
  EndWait wait(HighResClock());
  uint32_t seen = c.progress.load(std::memory_order_acquire);
  uint64_t device = 0;
  bool gaveUp = false;
  for (;;) {
    // An outcome may hand over another save (the settings after a synth's).
    TakeOutcomes();
    int32_t left = 0;
    uint64_t busyDevice = 0;
    {
      std::lock_guard<std::mutex> hold(c.lock);
      left = static_cast<int32_t>(c.waiting.size()) + c.busy;
      busyDevice = c.busy ? c.busyDevice : 0;
      if (left == 0 && c.finished.empty()) {
        c.accepting = false;
        c.quit = true;
        c.bell.notify_all();
        break;
      }
    }
    if (shown && !shown(left)) {
      gaveUp = true;
      break;
    }
    WaitOnWord(c.progress, seen, 0.1);
    seen = c.progress.load(std::memory_order_acquire);
    // A save on another device starts its count anew.
    if (busyDevice != 0) device = busyDevice;
    const int64_t bytes = device != 0 && c.written ? c.written(device) : -1;
    const double now = HighResClock();
    wait.Look(now, bytes, seen, 0);
    if (wait.GivesUp(now, idleSeconds)) {
      gaveUp = true;
      break;
    }
  }
  if (gaveUp) {
    // The saves not finished are named; the one the disk holds keeps its
    // thread, which starts no other and tells nothing from here on.
    {
      std::lock_guard<std::mutex> hold(c.lock);
      c.accepting = false;
      c.quit = true;
      if (c.busy) unfinished_.push_back(c.busyTarget);
      for (const Job& j : c.waiting) unfinished_.push_back(j.Request.Target);
      c.waiting.clear();
      c.bell.notify_all();
    }
    {
      std::lock_guard<std::mutex> waking(c.wakeLock);
      c.abandoned = true;
    }
    // Those it finished meanwhile are on the disk: told.
    TakeOutcomes();
    thread_->detach();
    delete thread_;
    thread_ = nullptr;
    // Saves from here on are the caller's own; nothing of the held one's
    // state reaches them (the thread keeps its own share of it).
    auto fresh = std::make_shared<Core>(c.written);
    fresh->wake.store(c.wake.load(std::memory_order_acquire), std::memory_order_release);
    core_ = std::move(fresh);
    return -1;
  }
  thread_->join();
  delete thread_;
  thread_ = nullptr;
  return 0;
}

bool Saver::WaitIdle(double bound) const {
  const double end = HighResClock() + bound;
  for (;;) {
    const uint32_t seen = core_->progress.load(std::memory_order_acquire);
    if (Pending() == 0) return true;
    if (HighResClock() >= end) return false;
    WaitOnWord(core_->progress, seen, 0.05);
  }
}

Saver& ProgramSaver() {
  static Saver& saver = *new Saver();
  return saver;
}

int32_t SaveInBackground(SaveRequest request) { return ProgramSaver().Hand(std::move(request)); }
bool SaverStart() { return ProgramSaver().Start(); }
bool SaverRunning() { return ProgramSaver().Running(); }
int32_t SaverTakeOutcomes() { return ProgramSaver().TakeOutcomes(); }
void SetSaverWake(bool (*wake)()) { ProgramSaver().SetWake(wake); }
int32_t SaverPending() { return ProgramSaver().Pending(); }
int32_t SaverStop(double idleSeconds, SaverShown shown) { return ProgramSaver().Stop(idleSeconds, shown); }
std::vector<std::string> SaverUnfinished() { return ProgramSaver().Unfinished(); }
bool SaverHolds(const std::string& target) { return ProgramSaver().Holds(target); }
void SaverWhenDone(const std::string& target, std::function<void()> then) {
  ProgramSaver().WhenDone(target, std::move(then));
}
bool SaverWaitIdle(double bound) { return ProgramSaver().WaitIdle(bound); }

}  // namespace platform
