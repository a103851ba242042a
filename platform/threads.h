// Locks, sleeping and the high-resolution clock of our Linux layer.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace platform {

// An opaque lock. Creation may fail (returns nullptr); the callers have error
// paths for that, and tests reach them through FailNextMutexCreations.
struct Mutex;

Mutex* MutexCreate();
void MutexDestroy(Mutex* m);  // null is ignored
void MutexLock(Mutex* m);     // null is ignored
bool MutexTryLock(Mutex* m);  // null counts as taken
void MutexUnlock(Mutex* m);   // null is ignored

// Test hook: the next n calls of MutexCreate return nullptr.
void FailNextMutexCreations(int n);

// Scoped holder; tolerates a null lock.
// one thread: value
class MutexGuard {
 public:
  explicit MutexGuard(Mutex* m) : m_(m) { MutexLock(m_); }
  ~MutexGuard() { MutexUnlock(m_); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  Mutex* m_;
};

// Names the calling thread, so a debugger, a profiler or `top -H` can tell the
// program's threads apart. Linux keeps the first 15 characters.
void ThreadSetName(const char* name);
// The calling thread's name as the system keeps it ("" when it cannot be read).
std::string ThreadName();

// The thread that owns the interface state. Before MarkInterfaceThread is
// called (tests, start-up) every thread counts as it.
void MarkInterfaceThread();
bool OnInterfaceThread();
// Tests only: no thread is marked any more.
void ForgetInterfaceThread();

// Seconds of a monotonic high-resolution clock.
double HighResClock();
void SleepMs(int ms);
void SleepSeconds(double s);

// A sleep another thread can cut short: returns once `word` no longer holds
// `seen`, when WakeWordWaiters(word) is called, or after `seconds` at most
// (also sooner, now and then: look again). Neither side takes a lock, so a
// real-time thread may wake the sleepers.
void WaitOnWord(const std::atomic<uint32_t>& word, uint32_t seen, double seconds);
void WakeWordWaiters(std::atomic<uint32_t>& word);

}  // namespace platform
