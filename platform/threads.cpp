#include "platform/threads.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <ctime>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

namespace platform {

struct Mutex {
  std::mutex m;
};

namespace {
std::atomic<int> g_failCreations{0};
}

Mutex* MutexCreate() {
  int pending = g_failCreations.load();
  while (pending > 0) {
    if (g_failCreations.compare_exchange_weak(pending, pending - 1)) return nullptr;
  }
  return new (std::nothrow) Mutex();
}

void MutexDestroy(Mutex* m) { delete m; }

void MutexLock(Mutex* m) {
  if (m) m->m.lock();
}

bool MutexTryLock(Mutex* m) { return m ? m->m.try_lock() : false; }

void MutexUnlock(Mutex* m) {
  if (m) m->m.unlock();
}

void FailNextMutexCreations(int n) { g_failCreations.store(n < 0 ? 0 : n); }

void ThreadSetName(const char* name) {
  if (name == nullptr) return;
  char cut[16] = {};
  for (int i = 0; i < 15 && name[i] != '\0'; ++i) cut[i] = name[i];
  pthread_setname_np(pthread_self(), cut);
}

std::string ThreadName() {
  char name[16] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return std::string();
  return std::string(name);
}

namespace {
std::atomic<bool> g_interfaceMarked{false};
std::atomic<std::thread::id> g_interfaceThread{};
}  // namespace

void MarkInterfaceThread() {
  g_interfaceThread.store(std::this_thread::get_id());
  g_interfaceMarked.store(true);
}

bool OnInterfaceThread() {
  return !g_interfaceMarked.load() || g_interfaceThread.load() == std::this_thread::get_id();
}

void ForgetInterfaceThread() { g_interfaceMarked.store(false); }

double HighResClock() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SleepSeconds(double s) {
  if (s > 0) std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

namespace {
// The kernel waits on the word's own 32 bits.
uint32_t* WordAddress(const std::atomic<uint32_t>& word) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);
  return reinterpret_cast<uint32_t*>(const_cast<std::atomic<uint32_t>*>(&word));
}
}  // namespace

void WaitOnWord(const std::atomic<uint32_t>& word, uint32_t seen, double seconds) {
  if (!(seconds > 0.0)) return;
  const double whole = std::floor(seconds);
  timespec relative{};
  relative.tv_sec = static_cast<time_t>(whole);
  relative.tv_nsec = static_cast<long>((seconds - whole) * 1e9);
  // An interrupted or refused wait (the word moved on) returns: the caller looks again.
  syscall(SYS_futex, WordAddress(word), FUTEX_WAIT_PRIVATE, seen, &relative, nullptr, 0);
}

void WakeWordWaiters(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, WordAddress(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace platform
