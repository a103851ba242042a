#include "platform/threads.h"

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

}  // namespace platform
