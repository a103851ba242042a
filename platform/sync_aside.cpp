#include "platform/sync_aside.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/paths.h"
#include "platform/threads.h"

namespace platform {

namespace {

// A slot is filled by whoever takes it (free -> filling -> kept) and from then
// on is the sync thread's, which syncs it on each new ask and, once it is
// ending, syncs it a last time, closes it and frees the slot.
enum SlotState : uint32_t { kFree = 0, kFilling = 1, kKept = 2, kEnding = 3 };

struct SyncSlot {
  std::atomic<uint32_t> state{kFree};
  std::atomic<int> fd{-1};
  std::atomic<uint32_t> asks{0};   // counted by the ticket's holder
  std::atomic<uint32_t> taken{0};  // the asks the last sync answered (the sync thread's)
};

SyncSlot g_slots[kSyncAsideSlots];
// The waiting line: a place is claimed by moving g_waitHead, then filled; the
// sync thread takes the oldest once filled, empties it (-1), then moves
// g_waitTail, so a claim never finds a place still full.
std::atomic<int> g_waiting[kSyncAsideWaiting];
std::atomic<uint32_t> g_waitHead{0};
std::atomic<uint32_t> g_waitTail{0};
// Moves on each ask and end: the sync thread sleeps on it.
std::atomic<uint32_t> g_bell{0};
std::atomic<int32_t> g_running{0};  // 1 once the thread runs, -1 when it could not be made
std::once_flag g_startOnce;
std::atomic<uint64_t> g_syncs{0};

void SyncDescriptor(int fd, bool dataOnly) {
  while ((dataOnly ? ::fdatasync(fd) : ::fsync(fd)) != 0 && errno == EINTR) {
  }
}

// A kept file's first page may name what follows it (a recording's header
// its sizes): everything after it is written first, so that the sync that
// follows writes the head last, just before the length is committed, and a
// power cut in the middle of it seldom leaves a head that names more than the
// disk kept. A file system that cannot do this only loses the order.
void SyncBodyThenHead(int fd) {
  constexpr off64_t kHead = 4096;
  while (::sync_file_range(fd, kHead, 0,
                           SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                               SYNC_FILE_RANGE_WAIT_AFTER) != 0 &&
         errno == EINTR) {
  }
  SyncDescriptor(fd, true);
}

void Ring() {
  g_bell.fetch_add(1, std::memory_order_release);
  WakeWordWaiters(g_bell);
}

SyncSlot* SlotOf(int32_t ticket) {
  return ticket >= 1 && ticket <= kSyncAsideSlots ? &g_slots[ticket - 1] : nullptr;
}

// The oldest asks first: they waited longest.
bool SyncWaiting() {
  bool synced = false;
  for (uint32_t tail = g_waitTail.load(std::memory_order_relaxed);
       tail != g_waitHead.load(std::memory_order_acquire); ++tail) {
    std::atomic<int>& place = g_waiting[tail % kSyncAsideWaiting];
    const int fd = place.load(std::memory_order_acquire);
    if (fd < 0) break;  // claimed, not yet filled: the next pass takes it
    SyncDescriptor(fd, false);
    ::close(fd);
    place.store(-1, std::memory_order_relaxed);
    g_waitTail.store(tail + 1, std::memory_order_release);
    g_syncs.fetch_add(1, std::memory_order_relaxed);
    synced = true;
  }
  return synced;
}

void SyncThread() {
  ThreadSetName("tarvelo-sync");
  for (;;) {
    const uint32_t bell = g_bell.load(std::memory_order_acquire);
    bool synced = SyncWaiting();
    for (SyncSlot& s : g_slots) {
      const uint32_t state = s.state.load(std::memory_order_acquire);
      if (state != kKept && state != kEnding) continue;
      const int fd = s.fd.load(std::memory_order_relaxed);
      const uint32_t asks = s.asks.load(std::memory_order_acquire);
      if (state == kEnding) {
        SyncDescriptor(fd, false);
        ::close(fd);
        s.fd.store(-1, std::memory_order_relaxed);
        s.asks.store(0, std::memory_order_relaxed);
        s.taken.store(0, std::memory_order_relaxed);
        s.state.store(kFree, std::memory_order_release);
      } else if (asks != s.taken.load(std::memory_order_relaxed)) {
        SyncBodyThenHead(fd);
        s.taken.store(asks, std::memory_order_release);
      } else {
        continue;
      }
      g_syncs.fetch_add(1, std::memory_order_relaxed);
      synced = true;
    }
    // An ask or an end made during the pass moved the bell: no sleep then.
    if (!synced) WaitOnWord(g_bell, bell, 10.0);
  }
}

}  // namespace

bool SyncAsideStart() {
  std::call_once(g_startOnce, [] {
    for (std::atomic<int>& place : g_waiting) place.store(-1, std::memory_order_relaxed);
    try {
      std::thread(SyncThread).detach();
      g_running.store(1, std::memory_order_release);
    } catch (const std::system_error&) {
      g_running.store(-1, std::memory_order_release);
    }
  });
  return g_running.load(std::memory_order_acquire) == 1;
}

int32_t SyncAsideKeep(int fd) {
  if (fd < 0) return -1;
  if (g_running.load(std::memory_order_acquire) != 1 && !SyncAsideStart()) return -1;
  for (int32_t i = 0; i < kSyncAsideSlots; ++i) {
    uint32_t expected = kFree;
    if (!g_slots[i].state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) continue;
    g_slots[i].fd.store(fd, std::memory_order_relaxed);
    g_slots[i].state.store(kKept, std::memory_order_release);
    return i + 1;
  }
  return -1;
}

void SyncAsideAsk(int32_t ticket) {
  SyncSlot* s = SlotOf(ticket);
  if (!s) return;
  s->asks.fetch_add(1, std::memory_order_release);
  Ring();
}

void SyncAsideEnd(int32_t ticket) {
  SyncSlot* s = SlotOf(ticket);
  if (!s) return;
  s->state.store(kEnding, std::memory_order_release);
  Ring();
}

int32_t SyncAsideLast(int fd) {
  if (fd < 0) return -1;
  if (const int32_t ticket = SyncAsideKeep(fd); ticket > 0) {
    SyncAsideEnd(ticket);
    return 0;
  }
  if (g_running.load(std::memory_order_acquire) != 1) return -1;
  uint32_t head = g_waitHead.load(std::memory_order_relaxed);
  do {
    if (head - g_waitTail.load(std::memory_order_acquire) >= uint32_t(kSyncAsideWaiting)) return -1;
  } while (!g_waitHead.compare_exchange_weak(head, head + 1, std::memory_order_acq_rel));
  g_waiting[head % kSyncAsideWaiting].store(fd, std::memory_order_release);
  Ring();
  return 0;
}

int32_t FolderSyncAside(const std::string& folder) {
  const std::string os = folder.empty() ? std::string(".") : ToOsPath(folder);
  const int fd = ::open(os.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -20;
  if (SyncAsideLast(fd) == 0) return 0;
  ::close(fd);  // the caller must not wait for the disk: it says so instead
  return -21;
}

bool SyncAsideSettle(double seconds) {
  const double end = HighResClock() + seconds;
  for (;;) {
    bool settled = g_waitTail.load(std::memory_order_acquire) == g_waitHead.load(std::memory_order_acquire);
    for (const SyncSlot& s : g_slots) {
      const uint32_t state = s.state.load(std::memory_order_acquire);
      if (state == kFree) continue;
      if (state != kKept || s.asks.load(std::memory_order_acquire) !=
                                s.taken.load(std::memory_order_acquire)) {
        settled = false;
        break;
      }
    }
    if (settled) return true;
    if (HighResClock() > end) return false;
    SleepMs(1);
  }
}

uint64_t SyncAsideCount() { return g_syncs.load(std::memory_order_relaxed); }

}  // namespace platform
