#include "basics/queues.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "basics/errors.h"
#include "basics/messages.h"
#include "platform/threads.h"

namespace QUARLE_BASICS {

int32_t MainCommandQueue = -1;
int32_t AudioCommandQueue = -1;
int32_t VisualsCommandQueue = -1;

Mutex* MT_BASICS = nullptr;
Mutex* MT_FILES = nullptr;
Mutex* MT_CONSOLE = nullptr;

void (*CodePageMapsFree)() = nullptr;

namespace {

// Two parallel tables indexed by queue number, of a fixed size: a thread of the
// start (the data folder's probe, the log) may post to queue 0 while later
// queues are made. A queue's slots are filled before the count that publishes
// them; a buffer is replaced only under its queue's lock.
constexpr uint32_t kMaxQueues = 64;
// one thread: holder of the queue's lock (the maker fills a slot before the count shows it; BasicsShutdown empties it)
CommandMessage* g_queueBuffers[kMaxQueues] = {};
// one thread: maker (filled before the count shows it, read-only after; BasicsShutdown empties it)
ArrayHeader* g_queueHeaders[kMaxQueues] = {};
std::atomic<uint32_t> g_queueCount{0};

std::atomic<bool> g_shutDown{false};

// Beyond this a doubled buffer would no longer fit an i32 capacity.
constexpr int32_t kMaxQueueCapacity = 1 << 26;

// Waiting for a queue: one slot per queue number, fixed, so that posts need no
// table that queue creation replaces. Queues beyond it are polled by WaitForCommands.
constexpr int32_t kWaitSlots = 16;
struct QueueWaiters {
  std::mutex lock;
  std::condition_variable arrived;
  std::atomic<int32_t> waiting{0};
  std::atomic<void (*)()> wake{nullptr};
};
QueueWaiters g_waiters[kWaitSlots];

// After a post: wakes whoever waits for the queue. A waiter registers before
// it looks at the queue, so one not registered yet will see the message.
void SignalPosted(int32_t queue) {
  if (queue >= kWaitSlots) return;
  QueueWaiters& w = g_waiters[queue];
  if (void (*wake)() = w.wake.load()) wake();
  if (w.waiting.load() == 0) return;
  std::lock_guard<std::mutex> g(w.lock);
  w.arrived.notify_all();
}

bool ValidQueue(int32_t queue) {
  return queue >= 0 && static_cast<uint32_t>(queue) < g_queueCount.load();
}

CommandMessage* NewMessageBuffer(int32_t slots) {
  return static_cast<CommandMessage*>(std::calloc(static_cast<size_t>(slots), sizeof(CommandMessage)));
}

}  // namespace

void CommandCopy(CommandMessage& dst, const CommandMessage& src) {
  dst.type = src.type;
  dst.arg1 = src.arg1;
  dst.arg2 = src.arg2;
  dst.arg3 = src.arg3;
  dst.arg4 = src.arg4;
  dst.arg5 = src.arg5;
  dst.single1 = src.single1;
  dst.single2 = src.single2;
  dst.single3 = src.single3;
  dst.timeStamp = src.timeStamp;
  dst.word1 = src.word1;
  dst.word2 = src.word2;
}

void CommandClear(CommandMessage& msg) {
  msg.type = 0;
  msg.arg1 = msg.arg2 = msg.arg3 = msg.arg4 = msg.arg5 = 0;
  msg.single1 = msg.single2 = msg.single3 = 0.0f;
  msg.timeStamp = 0.0;
  msg.word1 = msg.word2 = 0;
}

int32_t CreateCommandQueue(int32_t& queueNumber) {
  platform::MutexGuard guard(MT_BASICS);
  const uint32_t n = g_queueCount.load();
  if (n >= kMaxQueues) return -kErrAllocation;
  CommandMessage* buffer = NewMessageBuffer(kArrayInitialCapacity);
  ArrayHeader* header = static_cast<ArrayHeader*>(std::calloc(1, sizeof(ArrayHeader)));
  if (!buffer || !header) {
    std::free(buffer);
    std::free(header);
    return -kErrAllocation;
  }
  ArrayHeaderInit(*header);
  if (!header->lock) {
    // A queue without a lock would let concurrent posts share a slot.
    std::free(buffer);
    std::free(header);
    return -kErrMutexCreate;
  }
  header->count = 0;
  header->capacity = kArrayInitialCapacity;
  g_queueBuffers[n] = buffer;
  g_queueHeaders[n] = header;
  g_queueCount.store(n + 1);
  queueNumber = static_cast<int32_t>(n);
  return 0;
}

uint32_t CommandQueueCount() { return g_queueCount.load(); }

int32_t CommandQueuePending(int32_t queue) {
  if (!ValidQueue(queue)) return 0;
  ArrayHeader* h = g_queueHeaders[queue];
  platform::MutexGuard guard(h->lock);
  return h->count;
}

namespace {

// Makes room for `needed` messages in a queue whose lock the caller holds;
// false when it cannot grow (the queue keeps what it holds).
bool RoomLocked(int32_t queue, ArrayHeader& h, int64_t needed) {
  if (needed <= h.capacity) return true;
  if (needed > kMaxQueueCapacity) return false;
  int32_t grown = h.capacity;
  while (grown < needed) grown *= 2;
  CommandMessage* bigger = NewMessageBuffer(grown);
  if (!bigger) return false;
  CommandMessage*& buffer = g_queueBuffers[queue];
  std::memcpy(bigger, buffer, static_cast<size_t>(h.count) * sizeof(CommandMessage));
  std::free(buffer);
  buffer = bigger;
  h.capacity = grown;
  return true;
}

}  // namespace

int32_t PostCommand(CommandMessage& msg, int32_t queue, int32_t clearAfter) {
  if (!ValidQueue(queue)) return -kErrBadParameter;
  ArrayHeader* h = g_queueHeaders[queue];
  {
    platform::MutexGuard guard(h->lock);
    // Only this message is refused.
    if (!RoomLocked(queue, *h, static_cast<int64_t>(h->count) + 1)) return -kErrAllocation;
    CommandCopy(g_queueBuffers[queue][h->count], msg);
    h->count += 1;
  }
  if (clearAfter) CommandClear(msg);
  SignalPosted(queue);
  return 0;
}

int32_t ReturnCommands(const CommandMessage* messages, int32_t count, int32_t queue) {
  if (!ValidQueue(queue) || count < 0 || (count > 0 && !messages)) return -kErrBadParameter;
  if (count == 0) return 0;
  ArrayHeader* h = g_queueHeaders[queue];
  {
    platform::MutexGuard guard(h->lock);
    if (!RoomLocked(queue, *h, static_cast<int64_t>(h->count) + count)) return -kErrAllocation;
    CommandMessage* buffer = g_queueBuffers[queue];
    std::memmove(buffer + count, buffer, static_cast<size_t>(h->count) * sizeof(CommandMessage));
    for (int32_t i = 0; i < count; ++i) CommandCopy(buffer[i], messages[i]);
    h->count += count;
  }
  SignalPosted(queue);
  return 0;
}

int32_t WaitForCommands(int32_t queue, double seconds) {
  if (!ValidQueue(queue)) return 0;
  int32_t pending = CommandQueuePending(queue);
  if (pending > 0 || !(seconds > 0.0)) return pending;
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(std::min(seconds, 3600.0)));
  if (queue >= kWaitSlots) {
    // No slot to be woken through: look again every millisecond.
    while ((pending = CommandQueuePending(queue)) == 0 && std::chrono::steady_clock::now() < until)
      platform::SleepMs(1);
    return pending;
  }
  QueueWaiters& w = g_waiters[queue];
  std::unique_lock<std::mutex> g(w.lock);
  w.waiting.fetch_add(1);
  while ((pending = CommandQueuePending(queue)) == 0) {
    if (w.arrived.wait_until(g, until) == std::cv_status::timeout) {
      pending = CommandQueuePending(queue);
      break;
    }
  }
  w.waiting.fetch_sub(1);
  return pending;
}

void SetCommandQueueWake(int32_t queue, void (*wake)()) {
  if (queue >= 0 && queue < kWaitSlots) g_waiters[queue].wake.store(wake);
}

void PostSimpleCommand(int32_t code, int32_t queue, uint32_t parameter) {
  if (!ValidQueue(queue)) return;
  CommandMessage msg;
  CommandClear(msg);
  msg.type = kCommandError;
  msg.arg1 = parameter;
  msg.arg3 = static_cast<uint32_t>(queue);
  msg.arg4 = code < 0 ? 0u - static_cast<uint32_t>(code) : static_cast<uint32_t>(code);
  msg.timeStamp = platform::HighResClock();
  PostCommand(msg, queue, -1);
}

int32_t FetchCommands(CommandMessage*& buffer, ArrayHeader& header, int32_t queue) {
  if (!ValidQueue(queue)) return -kErrBadParameter;
  ArrayHeader* q = g_queueHeaders[queue];
  platform::MutexGuard queueGuard(q->lock);
  platform::MutexGuard callerGuard(header.lock);
  int32_t callerCapacity = buffer ? header.capacity : 0;
  if (callerCapacity < q->capacity) {
    CommandMessage* bigger = NewMessageBuffer(q->capacity);
    // The messages stay pending for the next fetch; the caller keeps its buffer.
    if (!bigger) return -kErrAllocation;
    std::free(buffer);
    buffer = bigger;
    header.capacity = q->capacity;
  }
  const CommandMessage* pending = g_queueBuffers[queue];
  for (int32_t i = 0; i < q->count; ++i) CommandCopy(buffer[i], pending[i]);
  header.count = q->count;
  q->count = 0;
  return 0;
}

int32_t BasicsCreateLocks() {
  Mutex** locks[3] = {&MT_BASICS, &MT_FILES, &MT_CONSOLE};
  for (Mutex** lock : locks) {
    if (*lock) continue;
    *lock = platform::MutexCreate();
    if (!*lock) return -kErrMutexCreate;
  }
  return 0;
}

void BasicsShutdown() {
  bool expected = false;
  if (!g_shutDown.compare_exchange_strong(expected, true)) return;
  const uint32_t count = g_queueCount.exchange(0);
  for (uint32_t i = 0; i < count; ++i) {
    std::free(g_queueBuffers[i]);
    g_queueBuffers[i] = nullptr;
    if (!g_queueHeaders[i]) continue;
    ArrayHeaderFree(*g_queueHeaders[i]);
    std::free(g_queueHeaders[i]);
    g_queueHeaders[i] = nullptr;
  }
  if (CodePageMapsFree) CodePageMapsFree();
  LanguageTableRelease();
  platform::MutexDestroy(MT_FILES);
  MT_FILES = nullptr;
  platform::MutexDestroy(MT_CONSOLE);
  MT_CONSOLE = nullptr;
  platform::MutexDestroy(MT_BASICS);
  MT_BASICS = nullptr;
}

void BasicsReset() {
  BasicsShutdown();
  LanguageTable.firstCount = 0;
  LanguageTable.fullCount = 0;
  MainCommandQueue = -1;
  AudioCommandQueue = -1;
  VisualsCommandQueue = -1;
  g_shutDown.store(false);
}

}  // namespace QUARLE_BASICS
