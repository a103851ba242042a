// The message console: every report of the program kept in memory for the
// message list, one line per report in the log file TARVELO_LOG.TXT, and the
// report shown on the text console (before the interface runs) or on the status
// line of the system bar (once it runs).
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "basics/dynzstring.h"
#include "platform/disk_pace.h"
#include "platform/threads.h"

namespace Tarvelo {

// One report kept in memory: the text as given (no prefix, no time) and its
// message level 0..4.
// one thread: maker, not changed once appended
struct ConsoleMessage {
  QUARLE_BASICS::DynZString text;
  int32_t level = 0;
};

void ConsoleMessageInit(ConsoleMessage& m);  // text "", level 0
void ConsoleMessageFree(ConsoleMessage& m);  // frees the text

// Reports in order of arrival; only ever appended. The lock guards the array,
// count and capacity (growth, append, read).
// one thread: holder of lock
struct MessageConsoleList {
  ConsoleMessage** entries = nullptr;
  int32_t count = 0;
  int32_t capacity = 0;
  platform::Mutex* lock = nullptr;  // one thread: maker (the lock itself)
};
// The lock is made by the start-up and freed by the shutdown; reports append
// from any thread and the list's draw reads, all under it.
// one thread: holder of MessageConsole.lock
extern MessageConsoleList MessageConsole;

// File number of the open log file, 0 while none is open. Reports write the
// log from any thread; the start-up opens it and the shutdown closes it, after
// a display loss while the other threads still report.
extern std::atomic<int32_t> LogFileNumber;
// -1 when a new status text was put up; the system bar's tick consumes it.
extern std::atomic<int64_t> StatusTextFresh;

constexpr const char* kLogFileName = "TARVELO_LOG.TXT";
constexpr const char* kLogLastLine = "END|FIN";

// The console with 16 empty slots and its lock: 0, -21 or -26 (nothing kept).
int32_t MessageConsoleCreate();
// Frees every message, the array and the lock. Set the message hook back to
// the text-console printer first: no report may arrive meanwhile.
void MessageConsoleFree();

// Opens HomeFolder\TARVELO_LOG.TXT for output (emptying it) under the file
// lock, and starts its writer (tarvelo-log), which alone writes it: 0, -27
// without a data folder, or the negated open error.
int32_t OpenLogFile();
// Writes the last line "END|FIN" and closes the log file, after the lines
// reported before, within `bound` seconds: a disk that holds them longer
// keeps the log's thread (handed to the keeper, platform::HeldWorkers) and
// the file. False then.
bool CloseLogFile(double bound = platform::kEndIdleSeconds);
// Waits up to `seconds` until the log's writer has written every line
// reported so far: whether it has.
bool LogWritten(double seconds);

// Keeps, logs and shows one report; callable from any thread (the status line
// through SetStatusText's handoff). 0, or -21 when
// the console cannot grow (the report is then logged and shown all the same).
int32_t LogMessage(const std::string& text, int32_t level);
// The message-hook form of LogMessage.
void LogMessageHook(const std::string& text, int32_t level);

// Text of message i (0 <= i < count) and sets the row colour to its level's
// colour; "" (colour unchanged) for any other i.
std::string GetLogMessage(int32_t i);
// Puts the text on the status line; the status line shows only while the
// dialog box is closed. The status line is the interface thread's: from any
// other thread the text waits in a slot (the newest wins) and a message on
// queue 0 has the interface thread put it up.
void SetStatusText(const std::string& text);
// The interface thread's side: puts up the text waiting in the slot, if any.
void ShowPostedStatusText();
// Opens the message console tab of the browser pane on page n (0 system
// messages, 1 action history; clamped) by posting the two presses to queue 0.
void ShowMessageTab(int32_t n);

// Tests only: the next n growths of the console fail.
void ConsoleFailNextGrowths(int n);

}  // namespace Tarvelo
