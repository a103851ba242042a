#include "sync_count.h"

#include "audio/recording.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

namespace synccount {
namespace {

// This is the test programs' disk: the program's recording writer measures
// its pace by the confirmations of its own bytes, never by this machine's
// disk count (which other work moves).
const bool g_uncounted = QUARLE_AUDIO::SetProgramRecordingWriterOptions([] {
  QUARLE_AUDIO::RecordingWriterOptions o;
  o.writtenBytes = [](uint64_t) -> int64_t { return -1; };
  return o;
}());

// Never destroyed: the writer thread may still sync while the process exits.
std::mutex& g_lock = *new std::mutex;
std::condition_variable& g_released = *new std::condition_variable;
std::vector<Sync>& g_syncs = *new std::vector<Sync>;
std::vector<std::string>& g_writes = *new std::vector<std::string>;
std::vector<std::string>& g_writeBacks = *new std::vector<std::string>;
bool g_hold = false;
int32_t g_passes = 0;  // held syncs let through while the hold stays
std::string& g_holdThread = *new std::string;  // "": every thread's
std::string& g_holdUnder = *new std::string;  // "": none held by its path
bool g_holdWrites = false;
// Never destroyed: flushes at the process's end still look.
std::string& g_holdWritesOf = *new std::string("tarvelo-rec");
int64_t g_pace = 0;
int64_t g_syncPace = 0;
// Bytes written back per file (its inode) since the last Reset.
std::map<uint64_t, int64_t>& g_writtenBack = *new std::map<uint64_t, int64_t>;
bool g_holdWriteBacks = true;
int g_failDataSyncs = 0;
int g_failFolderSyncs = 0;
int32_t g_wholeDiskSyncs = 0;

Sync Read(const std::string& name, int fd) {
  Sync s;
  s.thread = name;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  std::error_code ec;
  s.path = std::filesystem::read_symlink(link, ec).string();
  struct stat st;
  uint32_t head[22];  // little-endian words, as the host's
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::pread(fd, head, 88, 0) == 88) {
    s.length = st.st_size;
    s.riffSize = head[1];
    s.factFrames = head[11];
    s.dataSize = head[21];
  }
  return s;
}

void WaitWhileHeld(std::unique_lock<std::mutex>& hold, const std::string& name, const std::string& path = "") {
  g_released.wait_for(hold, std::chrono::seconds(30), [&] {
    const bool byPath = !g_holdUnder.empty() && path.rfind(g_holdUnder, 0) == 0;
    if (!byPath && (!g_hold || (!g_holdThread.empty() && g_holdThread != name))) return true;
    if (g_passes == 0) return false;
    --g_passes;
    return true;
  });
}

int Note(int fd) {
  const Sync s = Read(ThreadName(), fd);
  std::unique_lock<std::mutex> hold(g_lock);
  g_syncs.push_back(s);
  WaitWhileHeld(hold, s.thread, s.path);
  return fd;
}

// A sync of the whole file system keeps every file the process writes: the
// recordings among them are read through descriptors of this call's own.
int NoteAll(int fd) {
  const std::string name = ThreadName();
  std::vector<Sync> all;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const std::string path = std::filesystem::read_symlink(e.path(), ec).string();
    if (ec || path.size() < 4 || path.compare(path.size() - 4, 4, ".wav") != 0) continue;
    const int own = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (own < 0) continue;
    all.push_back(Read(name, own));
    all.back().path = path;
    all.back().allFiles = true;
    ::close(own);
  }
  std::unique_lock<std::mutex> hold(g_lock);
  ++g_wholeDiskSyncs;
  g_syncs.insert(g_syncs.end(), all.begin(), all.end());
  WaitWhileHeld(hold, name);
  return fd;
}

}  // namespace

std::string ThreadName() {
  char name[17] = {};
  prctl(PR_GET_NAME, name, 0, 0, 0);
  return name;
}

int32_t ThreadsNamed(const std::string& wanted) {
  int32_t n = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream in(task.path() / "comm");
    std::string name;
    std::getline(in, name);
    n += name == wanted;
  }
  return n;
}

void Reset() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_syncs.clear();
  g_writes.clear();
  g_writeBacks.clear();
  g_wholeDiskSyncs = 0;
  g_writtenBack.clear();
}

void PaceSyncs(int64_t bytesPerSecond) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_syncPace = bytesPerSecond;
}

// What a paced sync of fd writes, at the disk's pace.
void SyncAtPace(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  int64_t pace, left;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    pace = g_syncPace;
    left = std::max<int64_t>(0, int64_t(st.st_size) - g_writtenBack[uint64_t(st.st_ino)]);
  }
  if (pace > 0 && left > 0) ::usleep(useconds_t(double(left) * 1e6 / double(pace)));
}

void Pace(int64_t bytesPerSecond) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_pace = bytesPerSecond;
}

void FailDataSyncs(int err) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_failDataSyncs = err;
}

void FailFolderSyncs(int err) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_failFolderSyncs = err;
}

int32_t WholeDiskSyncs() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_wholeDiskSyncs;
}

std::vector<Sync> Syncs() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_syncs;
}

int32_t On(const std::string& thread) {
  int32_t n = 0;
  for (const Sync& s : Syncs()) n += s.thread == thread;
  return n;
}

int32_t WriteBacksOn(const std::string& thread) {
  std::lock_guard<std::mutex> hold(g_lock);
  return int32_t(std::count(g_writeBacks.begin(), g_writeBacks.end(), thread));
}

int32_t WritesOn(const std::string& thread) {
  std::lock_guard<std::mutex> hold(g_lock);
  int32_t n = 0;
  for (const std::string& t : g_writes) n += t == thread;
  return n;
}

void Hold(const std::string& thread, bool writeBacks) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_hold = true;
  g_holdThread = thread;
  g_holdWriteBacks = writeBacks;
}

void HoldUnder(const std::string& path) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_holdUnder = path;
}

void LetOneThrough() {
  std::lock_guard<std::mutex> hold(g_lock);
  ++g_passes;
  g_released.notify_all();
}

void HoldWrites(const std::string& thread) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_holdWrites = true;
  g_holdWritesOf = thread;
}

void Release() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_hold = false;
  g_passes = 0;
  g_holdWrites = false;
  g_holdUnder.clear();
  g_released.notify_all();
}

}  // namespace synccount

// Taken before the C library's: every call in this program comes here.
extern "C" int fsync(int fd) {
  const int noted = synccount::Note(fd);
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    std::lock_guard<std::mutex> hold(synccount::g_lock);
    if (synccount::g_failFolderSyncs != 0) {
      errno = synccount::g_failFolderSyncs;
      return -1;
    }
  }
  synccount::SyncAtPace(noted);
  return int(::syscall(SYS_fsync, fd));
}
extern "C" int fdatasync(int fd) {
  synccount::Note(fd);
  {
    std::lock_guard<std::mutex> hold(synccount::g_lock);
    if (synccount::g_failDataSyncs != 0) {
      errno = synccount::g_failDataSyncs;
      return -1;
    }
  }
  return int(::syscall(SYS_fdatasync, fd));
}
extern "C" int syncfs(int fd) { return int(::syscall(SYS_syncfs, synccount::NoteAll(fd))); }
// A write-back waits while syncs are held, and takes as long as the pace says.
// One that only starts it (no wait after) returns at once, as the kernel's
// does, and writes nothing by itself: the disk writes those bytes when a wait
// or a sync asks for them.
extern "C" int sync_file_range(int fd, off64_t at, off64_t n, unsigned int flags) {
  {
    const std::string name = synccount::ThreadName();
    std::lock_guard<std::mutex> hold(synccount::g_lock);
    synccount::g_writeBacks.push_back(name);
  }
  if ((flags & SYNC_FILE_RANGE_WAIT_AFTER) == 0) return int(::syscall(SYS_sync_file_range, fd, at, n, flags));
  int64_t pace;
  {
    std::unique_lock<std::mutex> hold(synccount::g_lock);
    if (synccount::g_holdWriteBacks) synccount::WaitWhileHeld(hold, synccount::ThreadName());
    pace = synccount::g_pace;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) synccount::g_writtenBack[uint64_t(st.st_ino)] += n;
  }
  if (pace > 0) ::usleep(useconds_t(double(n) * 1e6 / double(pace)));
  return int(::syscall(SYS_sync_file_range, fd, at, n, flags));
}
extern "C" int fflush(FILE* f) {
  using Flush = int (*)(FILE*);
  static const Flush real = reinterpret_cast<Flush>(::dlsym(RTLD_NEXT, "fflush"));
  struct stat st;
  if (f && ::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode)) {
    const std::string name = synccount::ThreadName();
    std::unique_lock<std::mutex> hold(synccount::g_lock);
    synccount::g_writes.push_back(name);
    if (synccount::g_holdWrites && name == synccount::g_holdWritesOf)
      synccount::g_released.wait_for(hold, std::chrono::seconds(30), [] { return !synccount::g_holdWrites; });
  }
  return real(f);
}
