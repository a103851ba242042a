#include "app/state/console.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "app/state/system_messages.h"
#include "app/state/ui_hooks.h"
#include "basics/console.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "basics/timetext.h"
#include "platform/console.h"
#include "platform/disk_pace.h"
#include "platform/files.h"
#include "platform/threads.h"
#include "platform/worker.h"

namespace Tarvelo {

using QUARLE_BASICS::DynZStringAssign;
using QUARLE_BASICS::DynZStringFree;
using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::DynZStringInit;

MessageConsoleList MessageConsole;
std::atomic<int32_t> LogFileNumber{0};
std::atomic<int64_t> StatusTextFresh{0};

namespace {

constexpr int32_t kInitialCapacity = 16;
std::atomic<int> g_failGrowths{0};

// The per-level tables have five rows; a stray level must not read past them.
int32_t LevelRow(int32_t level) { return level < 0 ? 0 : (level > 4 ? 4 : level); }

bool GrowthRefused() {
  int n = g_failGrowths.load();
  while (n > 0) {
    if (g_failGrowths.compare_exchange_weak(n, n - 1)) return true;
  }
  return false;
}

// Doubles the array; the caller holds the lock. false when memory runs out
// (the old array stays).
bool Grow(MessageConsoleList& list) {
  const int32_t wanted = list.capacity > 0 ? list.capacity * 2 : kInitialCapacity;
  if (GrowthRefused() || wanted <= list.capacity) return false;
  auto** bigger = static_cast<ConsoleMessage**>(std::calloc(static_cast<size_t>(wanted), sizeof(ConsoleMessage*)));
  if (!bigger) return false;
  if (list.entries && list.count > 0)
    std::memcpy(bigger, list.entries, static_cast<size_t>(list.count) * sizeof(ConsoleMessage*));
  std::free(list.entries);
  list.entries = bigger;
  list.capacity = wanted;
  return true;
}

// The status text set on another thread, waiting for the interface thread.
// `posted` is set while a message for it is in queue 0, so a burst of reports
// posts once and shows the newest.
// one thread: holder of lock
struct PendingStatus {
  std::mutex lock;
  std::string text;
  bool waiting = false;
  bool posted = false;
};
PendingStatus g_pending;

void PostStatusText(const std::string& text) {
  {
    std::lock_guard<std::mutex> hold(g_pending.lock);
    g_pending.text = text;
    g_pending.waiting = true;
    if (g_pending.posted) return;
    g_pending.posted = true;
  }
  QUARLE_BASICS::CommandMessage msg{};
  msg.type = kMessageStatusText;
  msg.timeStamp = platform::HighResClock();
  if (QUARLE_BASICS::MainCommandQueue >= 0 &&
      QUARLE_BASICS::PostCommand(msg, QUARLE_BASICS::MainCommandQueue, -1) == 0)
    return;
  // No queue to wake the interface with: the next report tries again (the
  // text is in the log and the message list all the same).
  std::lock_guard<std::mutex> hold(g_pending.lock);
  g_pending.posted = false;
}

std::string LogLine(const std::string& text, int32_t row) {
  const char* prefix = QUARLE_BASICS::LevelPrefix[row];
  std::string line(prefix, strnlen(prefix, sizeof QUARLE_BASICS::LevelPrefix[row]));
  line += " ";
  line += QUARLE_BASICS::TimeText(QUARLE_BASICS::SystemLocalClock());
  line += " : ";
  line += text;
  line += "\r\n";
  return line;
}

// The log's lines go to the disk on the log's worker (tarvelo-log): a write
// to a busy stick waits for its journal (minutes, while another file's save
// commits), and reports come from the window's thread too. One job a line,
// a write and a flush, in the order reported.
// one thread: holder of lock
struct LogLane {
  std::mutex lock;
  // The open log, 0 when none. Its jobs hold its number; the worker's jobs
  // after a give-up never run, so a writer an earlier end left held in the
  // disk touches nothing of a later log once it gets out.
  int32_t number = 0;
  platform::Worker worker{"tarvelo-log"};
};
LogLane g_log;

}  // namespace

void ConsoleMessageInit(ConsoleMessage& m) {
  DynZStringInit(m.text);
  m.level = 0;
}

void ConsoleMessageFree(ConsoleMessage& m) { DynZStringFree(m.text); }

int32_t MessageConsoleCreate() {
  if (MessageConsole.entries) return 0;
  platform::Mutex* lock = platform::MutexCreate();
  if (!lock) return -QUARLE_BASICS::kErrMutexCreate;
  auto** entries = static_cast<ConsoleMessage**>(std::calloc(kInitialCapacity, sizeof(ConsoleMessage*)));
  if (!entries) {
    platform::MutexDestroy(lock);
    return -QUARLE_BASICS::kErrAllocation;
  }
  MessageConsole.entries = entries;
  MessageConsole.count = 0;
  MessageConsole.capacity = kInitialCapacity;
  MessageConsole.lock = lock;
  return 0;
}

void MessageConsoleFree() {
  if (MessageConsole.entries) {
    for (int32_t i = 0; i < MessageConsole.count; ++i) {
      ConsoleMessage* m = MessageConsole.entries[i];
      if (!m) continue;
      ConsoleMessageFree(*m);
      delete m;
    }
    std::free(MessageConsole.entries);
  }
  platform::MutexDestroy(MessageConsole.lock);
  MessageConsole = MessageConsoleList{};
}

int32_t OpenLogFile() {
  CloseLogFile(platform::kEndIdleSeconds);  // a new, empty log: the old one's lines end first
  const std::string home = DynZStringGet(QUARLE_BASICS::HomeFolder);
  if (home.empty()) return -QUARLE_BASICS::kErrFolder;
  int32_t number = 0;
  int32_t rc = 0;
  {
    platform::MutexGuard guard(QUARLE_BASICS::MT_FILES);
    number = platform::FreeFile();
    if (number <= 0) return -QUARLE_BASICS::kErrNoFreeFile;
    rc = platform::FileOpen(number, home + "\\" + kLogFileName, platform::kFileOutput);
  }
  if (rc != 0) return -rc;
  // Its thread made now: a log that cannot be written is said at its open.
  if (!g_log.worker.Post([] {})) {
    platform::FileClose(number);
    return -QUARLE_BASICS::kErrAllocation;
  }
  {
    std::lock_guard<std::mutex> hold(g_log.lock);
    g_log.number = number;
  }
  LogFileNumber = number;
  return 0;
}

bool CloseLogFile(double bound) {
  // Taken whole: a report on another thread meanwhile hands its line to the
  // log still open, or finds none.
  LogFileNumber.exchange(0);
  {
    std::lock_guard<std::mutex> hold(g_log.lock);
    if (g_log.number > 0)
      g_log.worker.Post([number = g_log.number] {
        platform::FileWrite(number, std::string(kLogLastLine) + "\r\n");
        platform::FileClose(number);
      });
    g_log.number = 0;
  }
  // A disk that takes nothing within the bound keeps the log's thread: it
  // goes to the keeper, and the process ends without it.
  const double until = platform::HighResClock() + bound;
  return g_log.worker.Finish(bound, [until] { return platform::HighResClock() < until; }).joined;
}

bool LogWritten(double seconds) { return g_log.worker.WaitIdle(seconds); }

int32_t LogMessage(const std::string& text, int32_t level) {
  const std::string copy = text;
  const int32_t row = LevelRow(level);
  const bool onStatusLine = StateVideoLoopActive() == -1 && StateInterfaceReady() == -1 &&
                            StateVideoRunFlag() == -1;

  int32_t result = 0;
  // The array pointer is replaced by a growth: read it under the lock only.
  {
    platform::MutexGuard guard(MessageConsole.lock);
    const bool kept = MessageConsole.entries != nullptr;  // else logged and shown only
    if (kept && MessageConsole.count >= MessageConsole.capacity && !Grow(MessageConsole))
      result = -QUARLE_BASICS::kErrAllocation;
    if (kept && result == 0) {
      auto* m = new (std::nothrow) ConsoleMessage;
      if (m) {
        ConsoleMessageInit(*m);
        DynZStringAssign(m->text, copy);
        m->level = row;
        MessageConsole.entries[MessageConsole.count] = m;
        ++MessageConsole.count;
      }
    }
  }
  // Kept before it goes up: from another thread the status text wakes the
  // interface thread, whose pass then finds the message list grown.
  if (onStatusLine) SetStatusText(copy);

  // One write per line, so lines of different threads never mix; flushed so
  // the log holds every report up to a crash; by the log's writer, never the caller.
  if (LogFileNumber.load() > 0) {
    std::lock_guard<std::mutex> hold(g_log.lock);
    if (g_log.number > 0)
      g_log.worker.Post([number = g_log.number, line = LogLine(copy, row)] {
        platform::FileWrite(number, line);
        platform::FileFlush(number);
      });
  }

  if (!onStatusLine) {
    platform::MutexGuard guard(QUARLE_BASICS::MT_CONSOLE);
    if (StateVideoRunFlag() == -1)
      platform::ConsoleSetRgbColour(QUARLE_BASICS::LevelColour[row], 0);
    else
      platform::ConsoleSetPaletteColour(QUARLE_BASICS::LevelConsoleColour[row], 0);
    platform::ConsolePrintLine(QUARLE_BASICS::ToFontCodePage(copy));
  }
  return result;
}

void LogMessageHook(const std::string& text, int32_t level) { LogMessage(text, level); }

std::string GetLogMessage(int32_t i) {
  std::string text;
  int32_t row = -1;
  {
    platform::MutexGuard guard(MessageConsole.lock);
    if (!MessageConsole.entries || i < 0 || i >= MessageConsole.count) return "";
    const ConsoleMessage* m = MessageConsole.entries[i];
    if (!m) return "";
    text = DynZStringGet(m->text);
    row = LevelRow(m->level);
  }
  StateSetRowTextColour(QUARLE_BASICS::LevelColour[row]);
  return text;
}

void SetStatusText(const std::string& text) {
  if (!platform::OnInterfaceThread()) {
    PostStatusText(text);
    return;
  }
  const int32_t box = StateControlId(kSlotMessageBox);
  StateSetControlText(box, text);
  StatusTextFresh.store(-1);
  if (StateControlVisible(StateControlId(kSlotDialog)) != -1) {
    StateSetControlVisible(box, -1);
    StateSetControlVisible(StateControlId(kSlotLiveGuide), 0);
  }
}

void ShowPostedStatusText() {
  std::string text;
  {
    std::lock_guard<std::mutex> hold(g_pending.lock);
    g_pending.posted = false;
    if (!g_pending.waiting) return;
    g_pending.waiting = false;
    text.swap(g_pending.text);
  }
  SetStatusText(text);
}

void ShowMessageTab(int32_t n) {
  n = n < 0 ? 0 : (n > 1 ? 1 : n);
  const int32_t tabs = StateControlId(kSlotBrowserTabs);
  const int32_t page = StateControlId(kSlotMessageTab1);
  // Without the browser pane there is nothing to press.
  if (tabs <= 0 || page <= 0) return;
  QUARLE_BASICS::CommandMessage msg{};
  msg.type = QUARLE_BASICS::kCommandControlEvent;
  msg.arg1 = 0;
  msg.arg2 = static_cast<uint32_t>(tabs);
  msg.arg5 = 2;
  msg.timeStamp = platform::HighResClock();
  QUARLE_BASICS::PostCommand(msg, 0, 0);
  msg.arg2 = static_cast<uint32_t>(page + n);
  QUARLE_BASICS::PostCommand(msg, 0, -1);
}

void ConsoleFailNextGrowths(int n) { g_failGrowths.store(n < 0 ? 0 : n); }

}  // namespace Tarvelo
