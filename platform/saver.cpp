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

// Written in pieces, so the quit sees a slow disk still taking bytes.
constexpr size_t kPiece = size_t{1} << 18;

// Moves on with every piece written and every save finished.
std::atomic<uint32_t> g_progress{0};

void MovedOn() {
  g_progress.fetch_add(1, std::memory_order_release);
  WakeWordWaiters(g_progress);
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, std::min(n, kPiece));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
    MovedOn();
  }
  return true;
}

// one thread: value
struct Job {
  SaveRequest Request;
  int32_t Rc = 0;
};

// Never destroyed: a saver a disk still holds at the quit may outlive them.
std::mutex& g_lock = *new std::mutex;
std::condition_variable& g_bell = *new std::condition_variable;
std::deque<Job>& g_waiting = *new std::deque<Job>;
std::deque<Job>& g_finished = *new std::deque<Job>;
// one thread: holder of g_lock
int32_t g_busy = 0;       // 1 while a save is being written
bool g_accepting = false;  // the thread takes saves
bool g_quit = false;

// one thread: holder of g_lock, the target of the save being written
std::string g_busyTarget, g_busyBackup;

// one thread: interface
std::thread* g_thread = nullptr;
// one thread: interface, acts waiting for a file's save (SaverWhenDone)
std::vector<std::pair<std::string, std::function<void()>>> g_whenDone;

std::atomic<bool (*)()> g_wake{nullptr};

int32_t RunSave(const SaveRequest& r) {
  for (const SaveOutcome& earlier : r.After)
    if (earlier && earlier->load(std::memory_order_acquire) != 0) return kSaveEarlierFailed;
  bool backedUp = false;
  if (!r.Backup.empty() && FileExists(r.Target)) backedUp = FileCopy(r.Target, r.Backup) == 0;
  const int32_t rc = r.Fill ? PutFileInPlace(r.Target, r.Suffix, r.Fill) : PutFileInPlace(r.Target, r.Bytes, r.Suffix);
  if (rc == 0 && backedUp) FileDelete(r.Backup);
  return rc;
}

void SaverMain() {
  ThreadSetName("tarvelo-save");
  std::unique_lock<std::mutex> hold(g_lock);
  for (;;) {
    g_bell.wait(hold, [] { return g_quit || !g_waiting.empty(); });
    if (g_waiting.empty()) return;
    Job job = std::move(g_waiting.front());
    g_waiting.pop_front();
    g_busy = 1;
    g_busyTarget = job.Request.Target;
    g_busyBackup = job.Request.Backup;
    hold.unlock();
    job.Rc = RunSave(job.Request);
    if (job.Request.Outcome) job.Request.Outcome->store(job.Rc, std::memory_order_release);
    job.Request.Bytes = std::string();
    job.Request.Fill = nullptr;
    hold.lock();
    g_busy = 0;
    g_busyTarget.clear();
    g_busyBackup.clear();
    g_finished.push_back(std::move(job));
    hold.unlock();
    MovedOn();
    if (bool (*wake)() = g_wake.load(std::memory_order_acquire)) wake();
    hold.lock();
  }
}

}  // namespace

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
  if (ok && length >= 0) ok = ::fstat(fd, &st) == 0 && (!S_ISREG(st.st_mode) || st.st_size == length);
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

int32_t SaveInBackground(SaveRequest request) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_accepting) {
      g_waiting.push_back(Job{std::move(request), 0});
      g_bell.notify_one();
      return 0;
    }
  }
  const int32_t rc = RunSave(request);
  if (request.Outcome) request.Outcome->store(rc, std::memory_order_release);
  if (request.Done) request.Done(rc);
  return rc;
}

SaveOutcome NewSaveOutcome() { return std::make_shared<std::atomic<int32_t>>(kSavePending); }

bool SaverStart() {
  if (g_thread) return true;
  std::lock_guard<std::mutex> hold(g_lock);
  g_quit = false;
  try {
    g_thread = new std::thread(SaverMain);
  } catch (...) {
    g_thread = nullptr;
    return false;
  }
  g_accepting = true;
  return true;
}

bool SaverRunning() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_accepting;
}

int32_t SaverTakeOutcomes() {
  int32_t n = 0;
  for (;;) {
    Job job;
    {
      std::lock_guard<std::mutex> hold(g_lock);
      if (g_finished.empty()) break;
      job = std::move(g_finished.front());
      g_finished.pop_front();
    }
    if (job.Request.Done) job.Request.Done(job.Rc);
    ++n;
    // An act that waited for this file runs once its last save let it go;
    // taken off the list first, as it may wait again.
    for (size_t i = 0; i < g_whenDone.size();) {
      if (SaverHolds(g_whenDone[i].first)) {
        ++i;
        continue;
      }
      std::function<void()> then = std::move(g_whenDone[i].second);
      g_whenDone.erase(g_whenDone.begin() + std::ptrdiff_t(i));
      then();
      i = 0;
    }
  }
  return n;
}

bool SaverHolds(const std::string& target) {
  if (target.empty()) return false;
  const auto names = [&](const Job& j) { return j.Request.Target == target || j.Request.Backup == target; };
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_busy && (g_busyTarget == target || g_busyBackup == target)) return true;
  return std::any_of(g_waiting.begin(), g_waiting.end(), names) ||
         std::any_of(g_finished.begin(), g_finished.end(), names);
}

void SaverWhenDone(const std::string& target, std::function<void()> then) {
  if (!SaverHolds(target)) {
    then();
    return;
  }
  g_whenDone.emplace_back(target, std::move(then));
}

void SetSaverWake(bool (*wake)()) { g_wake.store(wake, std::memory_order_release); }

int32_t SaverPending() {
  std::lock_guard<std::mutex> hold(g_lock);
  return static_cast<int32_t>(g_waiting.size()) + g_busy;
}

int32_t SaverStop(double idleSeconds, void (*shown)(int32_t left)) {
  // The quit drops the acts still waiting for a save.
  g_whenDone.clear();
  if (!g_thread) {
    SaverTakeOutcomes();
    return 0;
  }
  int32_t lastShown = -1;
  uint32_t seen = g_progress.load(std::memory_order_acquire);
  double moved = HighResClock();
  for (;;) {
    // An outcome may hand over another save (the settings after a synth's).
    SaverTakeOutcomes();
    int32_t left = 0;
    {
      std::lock_guard<std::mutex> hold(g_lock);
      left = static_cast<int32_t>(g_waiting.size()) + g_busy;
      if (left == 0 && g_finished.empty()) {
        g_accepting = false;
        g_quit = true;
        g_bell.notify_all();
        break;
      }
    }
    if (shown && left > 0 && left != lastShown) shown(left);
    lastShown = left;
    WaitOnWord(g_progress, seen, 0.1);
    if (const uint32_t now = g_progress.load(std::memory_order_acquire); now != seen) {
      seen = now;
      moved = HighResClock();
    } else if (HighResClock() - moved >= idleSeconds) {
      // Saves from here on are the caller's own; the held one keeps its thread.
      std::lock_guard<std::mutex> hold(g_lock);
      g_accepting = false;
      return -1;
    }
  }
  g_thread->join();
  delete g_thread;
  g_thread = nullptr;
  return 0;
}

bool SaverWaitIdle(double bound) {
  const double end = HighResClock() + bound;
  for (;;) {
    const uint32_t seen = g_progress.load(std::memory_order_acquire);
    if (SaverPending() == 0) return true;
    if (HighResClock() >= end) return false;
    WaitOnWord(g_progress, seen, 0.05);
  }
}

}  // namespace platform
