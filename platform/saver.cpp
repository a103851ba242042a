#include "platform/saver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace platform {

namespace {

// one thread: value, the progress words of the saver and of the disk's lane
// whose thread this is (set once by that thread; null on every other)
thread_local std::atomic<uint32_t>* t_progress = nullptr;
thread_local std::atomic<uint32_t>* t_laneProgress = nullptr;
// Set while the lane writes one of the program's own files: once it holds
// true the end no longer wants it, and its next piece fails.
thread_local const std::atomic<bool>* t_cut = nullptr;

bool CutShort() { return t_cut && t_cut->load(std::memory_order_acquire); }

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
    if (CutShort()) return false;
    const ssize_t w = ::write(fd, p, std::min(n, size_t(kWriteBackPiece)));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    SaveMovedOn();
    // The program's own file queues none of its pieces at the device ahead of
    // the wait for each: one the end cuts short holds the disk for a piece at
    // most, not for the whole file's queued write-back.
    if (at >= 0 && !t_cut && !StartWriteBack(fd, at, at + w)) return false;
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
  // The number of the oldest hand-over it stands for: an act asked after it
  // waits for it, whatever newer bytes it took.
  uint64_t Seq = 0;
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
// every save it names and precede every save naming the one it replaces
// (`namedElsewhere`: a save on another disk names it, which the newer one
// might wait behind).
void Enqueue(std::deque<Job>& waiting, SaveRequest r, uint64_t seq,
             const std::function<bool(const std::vector<SaveOutcome>&)>& namedElsewhere) {
  // The program's own copy never takes the place of a user's save: it
  // queues behind (and, written only when missing, writes nothing then).
  const auto same = r.Own ? waiting.end() : std::find_if(waiting.begin(), waiting.end(), [&](const Job& j) {
    return j.Request.Target == r.Target;
  });
  if (same != waiting.end()) {
    const size_t at = size_t(same - waiting.begin());
    const std::vector<SaveOutcome> olds = StandsFor(*same);
    size_t lastNamed = at;
    for (size_t k = at + 1; k < waiting.size(); ++k)
      for (const SaveOutcome& o : StandsFor(waiting[k]))
        if (Names(r.After, o)) lastNamed = k;
    bool named = namedElsewhere(olds);
    for (size_t k = at + 1; k <= lastNamed; ++k)
      for (const SaveOutcome& o : waiting[k].Request.After) named = named || Names(olds, o);
    if (!named) {
      Job merged;
      merged.Seq = same->Seq;
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
  Job job;
  job.Request = std::move(r);
  job.Seq = seq;
  waiting.push_back(std::move(job));
}

// Every save it names has its outcome (those on other disks are written by their own thread).
bool Resolved(const std::vector<SaveOutcome>& after) {
  return std::all_of(after.begin(), after.end(), [](const SaveOutcome& o) {
    return !o || o->load(std::memory_order_acquire) != kSavePending;
  });
}

int32_t RunSave(const SaveRequest& r) {
  for (const SaveOutcome& earlier : r.After)
    if (earlier && earlier->load(std::memory_order_acquire) != 0) return kSaveEarlierFailed;
  if (r.IfMissing && (FileExists(r.Target) || FolderExists(r.Target))) return 0;
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

// The folder of a target, as the saver keeps its disk.
std::string FolderOf(const std::string& target) {
  const size_t cut = target.find_last_of("\\/");
  return cut == std::string::npos ? std::string(".") : target.substr(0, cut + 1);
}

// One disk's queue and thread.
// one thread: holder of lock (Saver::Core's), but `progress`, which its thread
// moves and anyone reads
struct Lane {
  uint64_t device = 0;
  std::deque<Job> waiting;
  int32_t busy = 0;  // 1 while a save is being written (or waits for saves it names)
  bool busyOwn = false;  // that save is the program's own
  std::string busyTarget, busyBackup;
  uint64_t busySeq = 0;
  std::vector<SaveOutcome> busyAfter;
  // Made at the lane's first save; taken out by the owner to join or leave it.
  std::thread thread;
  // Moves on with every piece its saves write or write back and every save it finishes.
  std::atomic<uint32_t> progress{0};

  bool Holds(const std::string& target, uint64_t upTo) const {
    if (busy && busySeq <= upTo && (busyTarget == target || busyBackup == target)) return true;
    return std::any_of(waiting.begin(), waiting.end(), [&](const Job& j) {
      return j.Seq <= upTo && (j.Request.Target == target || j.Request.Backup == target);
    });
  }
};

}  // namespace

uint64_t DeviceOfTarget(const std::string& target) { return DeviceOfPath(ToOsPath(FolderOf(target)).c_str()); }

struct Saver::Core {
  Core(WrittenBytesReader w, TargetDevice d) : written(std::move(w)), deviceOf(std::move(d)) {}
  // one thread: value, set at its making (called on the stopping thread and the interface's)
  const WrittenBytesReader written;
  // one thread: value, set at its making (called by whoever hands a save over)
  const TargetDevice deviceOf;
  // Moves on with every piece written or written back and every save finished, on any disk.
  std::atomic<uint32_t> progress{0};
  // The end wants none of the program's own files any more.
  std::atomic<bool> cutOwn{false};
  std::atomic<bool (*)()> wake{nullptr};
  std::mutex lock;
  // Rung for a save handed over, a save finished (others may name it) and the end.
  std::condition_variable bell;
  // one thread: holder of lock; `folders` holds each folder's disk, found once
  // (a stat of a folder on a disk that stopped writing may wait: at most
  // once, at its first save)
  std::vector<std::unique_ptr<Lane>> lanes;
  std::deque<Job> finished;
  std::map<std::string, uint64_t> folders;
  uint64_t handed = 0;     // the number of the last save handed over
  bool accepting = false;  // the threads take saves
  bool quit = false;       // the threads end (after the save each is in)
  // Held around each wake: once a stop gave up, none comes after it returns.
  std::mutex wakeLock;
  // one thread: holder of wakeLock
  bool abandoned = false;

  // Saves handed over and not finished, the program's own too or not. Under lock.
  int32_t Left(bool own) const {
    int32_t n = 0;
    for (const auto& lane : lanes) {
      for (const Job& j : lane->waiting) n += own || !j.Request.Own;
      n += lane->busy && (own || !lane->busyOwn);
    }
    return n;
  }
  // The newest save of `target` held (waiting, written or its outcome not
  // taken); 0 when none. Under lock.
  uint64_t Newest(const std::string& target) const {
    uint64_t newest = 0;
    for (const auto& lane : lanes) {
      if (lane->busy && (lane->busyTarget == target || lane->busyBackup == target))
        newest = std::max(newest, lane->busySeq);
      for (const Job& j : lane->waiting)
        if (j.Request.Target == target || j.Request.Backup == target) newest = std::max(newest, j.Seq);
    }
    for (const Job& j : finished)
      if (j.Request.Target == target || j.Request.Backup == target) newest = std::max(newest, j.Seq);
    return newest;
  }
  bool Holds(const std::string& target, uint64_t upTo) const {
    for (const auto& lane : lanes)
      if (lane->Holds(target, upTo)) return true;
    return std::any_of(finished.begin(), finished.end(), [&](const Job& j) {
      return j.Seq <= upTo && (j.Request.Target == target || j.Request.Backup == target);
    });
  }
};

namespace {

void LaneMain(std::shared_ptr<Saver::Core> core, Lane* own) {
  ThreadSetName("tarvelo-save");
  Saver::Core& c = *core;
  Lane& lane = *own;
  t_progress = &c.progress;
  t_laneProgress = &lane.progress;
  std::unique_lock<std::mutex> hold(c.lock);
  for (;;) {
    c.bell.wait(hold, [&] { return c.quit || !lane.waiting.empty(); });
    if (c.quit || lane.waiting.empty()) return;
    Job job = std::move(lane.waiting.front());
    lane.waiting.pop_front();
    lane.busy = 1;
    lane.busyOwn = job.Request.Own;
    lane.busyTarget = job.Request.Target;
    lane.busyBackup = job.Request.Backup;
    lane.busySeq = job.Seq;
    lane.busyAfter = job.Request.After;
    // The saves it names on other disks reach their outcome first.
    c.bell.wait(hold, [&] { return c.quit || Resolved(job.Request.After); });
    if (c.quit) return;
    hold.unlock();
    t_cut = job.Request.Own ? &c.cutOwn : nullptr;
    job.Rc = RunSave(job.Request);
    t_cut = nullptr;
    Tell(job);
    job.Request.Bytes = std::string();
    job.Request.Fill = nullptr;
    hold.lock();
    lane.busy = 0;
    lane.busyOwn = false;
    lane.busyTarget.clear();
    lane.busyBackup.clear();
    lane.busySeq = 0;
    lane.busyAfter.clear();
    // A stop that gave up went on without this save: nobody takes its outcome.
    if (c.quit) return;
    c.finished.push_back(std::move(job));
    c.bell.notify_all();
    hold.unlock();
    SaveMovedOn();
    {
      std::lock_guard<std::mutex> waking(c.wakeLock);
      if (bool (*wake)() = c.wake.load(std::memory_order_acquire); wake && !c.abandoned) wake();
    }
    hold.lock();
  }
}

// The disk's lane, made with its thread at its first save: null when the
// thread could not be made. Under lock.
Lane* LaneOf(const std::shared_ptr<Saver::Core>& core, uint64_t device) {
  for (const auto& lane : core->lanes)
    if (lane->device == device) return lane.get();
  auto lane = std::make_unique<Lane>();
  lane->device = device;
  try {
    lane->thread = std::thread(LaneMain, core, lane.get());
  } catch (...) {
    return nullptr;
  }
  core->lanes.push_back(std::move(lane));
  return core->lanes.back().get();
}

// The target's disk, from the folders already seen or found now (outside the lock).
uint64_t DiskOf(Saver::Core& c, const std::string& target) {
  const std::string folder = FolderOf(target);
  {
    std::lock_guard<std::mutex> hold(c.lock);
    if (const auto at = c.folders.find(folder); at != c.folders.end()) return at->second;
  }
  const uint64_t device = c.deviceOf ? c.deviceOf(target) : 0;
  std::lock_guard<std::mutex> hold(c.lock);
  c.folders[folder] = device;
  return device;
}

}  // namespace

void SaveMovedOn() {
  if (!t_progress) return;
  t_laneProgress->fetch_add(1, std::memory_order_release);
  t_progress->fetch_add(1, std::memory_order_release);
  WakeWordWaiters(*t_progress);
}

bool SyncDescriptor(int fd) { return SyncToDisk(fd, true) == 0; }

bool SaveWrite(int fd, const void* bytes, size_t n) { return WriteAll(fd, static_cast<const char*>(bytes), n); }

int32_t PutFileInPlace(const std::string& target, std::string_view suffix, const SaveFill& fill, int64_t length) {
  // A link keeps pointing at its file, which takes the bytes: the work file
  // goes beside that file, so the rename stays on its disk.
  std::string real;
  if (const int32_t refused = SaveTargetOf(target, real); refused != 0) return refused;
  std::string work;
  const int fd = OpenWorkFile(real, suffix, work);
  if (fd < 0) return -OpenFailure(-fd);
  const std::string osWork = ToOsPath(work);
  // The work file stays held (OpenWorkFile) until it has the target's name
  // or is gone: this copy of the descriptor outlives the close that counts.
  const int hold = ::dup(fd);
  if (hold < 0) {
    const int32_t rc = -OpenFailure(errno);
    ::close(fd);
    ::unlink(osWork.c_str());
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
  // A file the end no longer wants stops between two pieces.
  for (int64_t at = 0; ok && file && at < st.st_size; at += kWriteBackPiece) {
    const int64_t n = std::min<int64_t>(kWriteBackPiece, st.st_size - at);
    if (CutShort())
      ok = false;
    else if (WriteBackInPieces(fd, at, at + n, [](int64_t) { SaveMovedOn(); }) < n) {
      ok = NoWriteBack();
      break;
    }
  }
  // On the disk before it takes the name, and the name on the disk after.
  if (ok) ok = SyncDescriptor(fd);
  if (::close(fd) != 0) ok = false;
  int32_t rc = ok ? 0 : -kSaveIoError;
  if (rc == 0) rc = FileReplace(work, real);
  if (rc != 0) ::unlink(osWork.c_str());
  ::close(hold);
  // Given back once: the name may be another save's from here on.
  ReleaseWorkFile(work);
  return rc;
}

int32_t PutFileInPlace(const std::string& target, std::string_view bytes, std::string_view suffix) {
  return PutFileInPlace(
      target, suffix, [&](int fd) { return WriteAll(fd, bytes.data(), bytes.size()); },
      static_cast<int64_t>(bytes.size()));
}

namespace {
std::atomic<SaveOutcomeWatch> g_outcomeWatch{nullptr};

void Watch(const std::string& target, int32_t rc) {
  if (const SaveOutcomeWatch w = g_outcomeWatch.load(std::memory_order_acquire)) w(target, rc);
}
}  // namespace

void SetSaveOutcomeWatch(SaveOutcomeWatch watch) { g_outcomeWatch.store(watch, std::memory_order_release); }

SaveOutcome NewSaveOutcome() { return std::make_shared<std::atomic<int32_t>>(kSavePending); }

// --- The saver -----------------------------------------------------------------------------

Saver::Saver(WrittenBytesReader written, TargetDevice device)
    : core_(std::make_shared<Core>(std::move(written), std::move(device))) {}

Saver::~Saver() {
  {
    std::lock_guard<std::mutex> hold(core_->lock);
    core_->accepting = false;
    core_->quit = true;
    for (const auto& lane : core_->lanes) lane->waiting.clear();
    core_->finished.clear();
    core_->bell.notify_all();
  }
  {
    std::lock_guard<std::mutex> waking(core_->wakeLock);
    core_->abandoned = true;
  }
  EndThreads();
}

bool Saver::EndThreads() {
  std::vector<std::pair<std::thread, bool>> threads;
  {
    std::lock_guard<std::mutex> hold(core_->lock);
    for (const auto& lane : core_->lanes)
      if (lane->thread.joinable()) threads.emplace_back(std::move(lane->thread), lane->busy != 0);
  }
  bool held = false;
  // One held by its disk keeps its own share of what it uses.
  for (auto& [thread, busy] : threads) {
    if (busy)
      thread.detach();
    else
      thread.join();
    held = held || busy;
  }
  if (!held) {
    std::lock_guard<std::mutex> hold(core_->lock);
    core_->lanes.clear();
  }
  return held;
}

bool Saver::Start() {
  std::lock_guard<std::mutex> hold(core_->lock);
  core_->quit = false;
  core_->accepting = true;
  core_->cutOwn.store(false, std::memory_order_release);
  return true;
}

void Saver::SetDisks(WrittenBytesReader written, TargetDevice device) {
  auto fresh = std::make_shared<Core>(std::move(written), std::move(device));
  // Kept until its lock is let go.
  const std::shared_ptr<Core> old = core_;
  fresh->wake.store(old->wake.load(std::memory_order_acquire), std::memory_order_release);
  std::lock_guard<std::mutex> hold(old->lock);
  if (!old->lanes.empty()) return;
  fresh->accepting = old->accepting;
  core_ = std::move(fresh);
}

bool Saver::Running() const {
  std::lock_guard<std::mutex> hold(core_->lock);
  return core_->accepting;
}

int32_t Saver::Hand(SaveRequest request) {
  const std::shared_ptr<Core> core = core_;
  Core& c = *core;
  const uint64_t device = DiskOf(c, request.Target);
  {
    std::lock_guard<std::mutex> hold(c.lock);
    Lane* lane = c.accepting ? LaneOf(core, device) : nullptr;
    if (lane) {
      const auto namedElsewhere = [&](const std::vector<SaveOutcome>& olds) {
        for (const auto& other : c.lanes) {
          if (other.get() == lane) continue;
          for (const SaveOutcome& o : other->busyAfter)
            if (Names(olds, o)) return true;
          for (const Job& j : other->waiting)
            for (const SaveOutcome& o : j.Request.After)
              if (Names(olds, o)) return true;
        }
        return false;
      };
      Enqueue(lane->waiting, std::move(request), ++c.handed, namedElsewhere);
      c.bell.notify_all();
      return 0;
    }
  }
  const int32_t rc = RunSave(request);
  if (request.Outcome) request.Outcome->store(rc, std::memory_order_release);
  if (request.Done) request.Done(rc);
  if (!request.Own) Watch(request.Target, rc);
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
    if (!job.Request.Own) Watch(job.Request.Target, job.Rc);
    n += 1 + static_cast<int32_t>(job.ReplacedDone.size());
    // An act that waited for this file runs once the saves held at its ask
    // let it go; taken off the list first, as it may wait again.
    for (size_t i = 0; i < whenDone_.size();) {
      bool held = false;
      {
        std::lock_guard<std::mutex> hold(core_->lock);
        held = core_->Holds(whenDone_[i].Target, whenDone_[i].UpTo);
      }
      if (held) {
        ++i;
        continue;
      }
      std::function<void()> then = std::move(whenDone_[i].Then);
      whenDone_.erase(whenDone_.begin() + std::ptrdiff_t(i));
      then();
      i = 0;
    }
  }
  return n;
}

bool Saver::Holds(const std::string& target) const {
  if (target.empty()) return false;
  std::lock_guard<std::mutex> hold(core_->lock);
  return core_->Newest(target) != 0;
}

void Saver::WhenDone(const std::string& target, std::function<void()> then) {
  uint64_t upTo = 0;
  if (!target.empty()) {
    std::lock_guard<std::mutex> hold(core_->lock);
    upTo = core_->Newest(target);
  }
  if (upTo == 0) {
    then();
    return;
  }
  whenDone_.push_back(Act{target, upTo, std::move(then)});
}

uint64_t Saver::Progress(const std::string& target) const {
  uint64_t device = 0, pieces = 0;
  bool held = false;
  {
    std::lock_guard<std::mutex> hold(core_->lock);
    for (const auto& lane : core_->lanes)
      if (lane->Holds(target, UINT64_MAX)) {
        held = true;
        device = lane->device;
        pieces = lane->progress.load(std::memory_order_acquire);
        break;
      }
  }
  if (!held || target.empty()) return 0;
  const int64_t bytes = core_->written ? core_->written(device) : -1;
  return 1 + pieces + (bytes > 0 ? uint64_t(bytes) : 0);
}

void Saver::SetWake(bool (*wake)()) { core_->wake.store(wake, std::memory_order_release); }

int32_t Saver::Pending() const {
  std::lock_guard<std::mutex> hold(core_->lock);
  return core_->Left(true);
}

std::vector<std::string> Saver::PendingTargets() const {
  std::lock_guard<std::mutex> hold(core_->lock);
  std::vector<std::string> targets;
  for (const auto& lane : core_->lanes) {
    if (lane->busy && !lane->busyOwn) targets.push_back(lane->busyTarget);
    for (const Job& j : lane->waiting)
      if (!j.Request.Own) targets.push_back(j.Request.Target);
  }
  return targets;
}

std::vector<std::string> Saver::Unfinished() const { return unfinished_; }

int32_t Saver::Stop(double idleSeconds, SaverShown shown) {
  // The quit drops the acts still waiting for a save.
  whenDone_.clear();
  unfinished_.clear();
  left_ = false;
  if (!Running()) {
    TakeOutcomes();
    return 0;
  }
  Core& c = *core_;
  // The program's own files wait for the next start: those still waiting are
  // dropped, the one being written ends at its next piece.
  {
    std::lock_guard<std::mutex> hold(c.lock);
    for (const auto& lane : c.lanes) std::erase_if(lane->waiting, [](const Job& j) { return j.Request.Own; });
    c.cutOwn.store(true, std::memory_order_release);
  }
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
      left = c.Left(false);
      for (const auto& lane : c.lanes)
        if (lane->busy && busyDevice == 0) busyDevice = lane->device;
      // An own file still being written is not waited for: its thread is left to it.
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
      for (const auto& lane : c.lanes) {
        if (lane->busy && !lane->busyOwn) unfinished_.push_back(lane->busyTarget);
        for (const Job& j : lane->waiting)
          if (!j.Request.Own) unfinished_.push_back(j.Request.Target);
        lane->waiting.clear();
      }
      c.bell.notify_all();
    }
    {
      std::lock_guard<std::mutex> waking(c.wakeLock);
      c.abandoned = true;
    }
    // Those it finished meanwhile are on the disk: told.
    TakeOutcomes();
    left_ = EndThreads();
    // Saves from here on are the caller's own; nothing of the held one's
    // state reaches them (the thread keeps its own share of it).
    auto fresh = std::make_shared<Core>(c.written, c.deviceOf);
    fresh->wake.store(c.wake.load(std::memory_order_acquire), std::memory_order_release);
    core_ = std::move(fresh);
    return -1;
  }
  if (EndThreads()) {
    // Left to one of the program's own files: it tells nothing, and saves
    // from here on share none of its state.
    {
      std::lock_guard<std::mutex> waking(c.wakeLock);
      c.abandoned = true;
    }
    left_ = true;
    auto fresh = std::make_shared<Core>(c.written, c.deviceOf);
    fresh->wake.store(c.wake.load(std::memory_order_acquire), std::memory_order_release);
    core_ = std::move(fresh);
  }
  return 0;
}

bool Saver::LeftThread() const { return left_; }

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
std::vector<std::string> SaverPendingTargets() { return ProgramSaver().PendingTargets(); }
int32_t SaverStop(double idleSeconds, SaverShown shown) { return ProgramSaver().Stop(idleSeconds, shown); }
std::vector<std::string> SaverUnfinished() { return ProgramSaver().Unfinished(); }
bool SaverLeftThread() { return ProgramSaver().LeftThread(); }
bool SaverHolds(const std::string& target) { return ProgramSaver().Holds(target); }
uint64_t SaverProgress(const std::string& target) { return ProgramSaver().Progress(target); }
void SaverWhenDone(const std::string& target, std::function<void()> then) {
  ProgramSaver().WhenDone(target, std::move(then));
}
bool SaverWaitIdle(double bound) { return ProgramSaver().WaitIdle(bound); }

}  // namespace platform
