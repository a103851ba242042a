#include "sync_count.h"

#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace synccount {
namespace {

// Never destroyed: the writer thread may still sync while the process exits.
std::mutex& g_lock = *new std::mutex;
std::condition_variable& g_released = *new std::condition_variable;
std::vector<Sync>& g_syncs = *new std::vector<Sync>;
std::vector<std::string>& g_writes = *new std::vector<std::string>;
bool g_hold = false;
std::string& g_holdThread = *new std::string;  // "": every thread's
bool g_holdWrites = false;

int Note(int fd) {
  const std::string name = ThreadName();
  Sync s{name};
  struct stat st;
  uint32_t head[22];  // little-endian words, as the host's
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::pread(fd, head, 88, 0) == 88)
    s = {name, st.st_size, head[1], head[11], head[21]};
  std::unique_lock<std::mutex> hold(g_lock);
  g_syncs.push_back(s);
  g_released.wait_for(hold, std::chrono::seconds(30),
                      [&] { return !g_hold || (!g_holdThread.empty() && g_holdThread != name); });
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

int32_t WritesOn(const std::string& thread) {
  std::lock_guard<std::mutex> hold(g_lock);
  int32_t n = 0;
  for (const std::string& t : g_writes) n += t == thread;
  return n;
}

void Hold(const std::string& thread) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_hold = true;
  g_holdThread = thread;
}

void HoldWrites() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_holdWrites = true;
}

void Release() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_hold = false;
  g_holdWrites = false;
  g_released.notify_all();
}

}  // namespace synccount

// Taken before the C library's: every call in this program comes here.
extern "C" int fsync(int fd) { return int(::syscall(SYS_fsync, synccount::Note(fd))); }
extern "C" int fdatasync(int fd) { return int(::syscall(SYS_fdatasync, synccount::Note(fd))); }
extern "C" int fflush(FILE* f) {
  using Flush = int (*)(FILE*);
  static const Flush real = reinterpret_cast<Flush>(::dlsym(RTLD_NEXT, "fflush"));
  struct stat st;
  if (f && ::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode)) {
    const std::string name = synccount::ThreadName();
    std::unique_lock<std::mutex> hold(synccount::g_lock);
    synccount::g_writes.push_back(name);
    if (name == "tarvelo-rec")
      synccount::g_released.wait_for(hold, std::chrono::seconds(30), [] { return !synccount::g_holdWrites; });
  }
  return real(f);
}
