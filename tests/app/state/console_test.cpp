// The message console: log lines (prefix, time, " : ", text), the list's growth
// and row colours, the screen print before the interface runs and the status
// line once it runs, a refused growth, the message tab presses, and reports
// from several threads at once.
#include "app/state/console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/fixed_tables.h"
#include "audio/sync_count.h"
#include "app/state/system_messages.h"
#include "app/state/ui_hooks.h"
#include "basics/console.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "tests/app/state/queue_zero.h"

namespace Tarvelo {
namespace {

namespace fs = std::filesystem;

// A stand-in interface; the control of slot s has the id 1000 + s.
struct FakeUi {
  std::map<int32_t, std::string> text;
  std::map<int32_t, int64_t> visible;
  int64_t running = 0;  // all three interface flags
  uint32_t rowColour = 0;
};
FakeUi g_ui;

void InstallFakeUi() {
  g_ui = FakeUi{};
  StateUi.ControlId = [](int32_t slot) { return 1000 + slot; };
  StateUi.SetText = [](int32_t id, const std::string& t) { g_ui.text[id] = t; };
  StateUi.Visible = [](int32_t id) { return g_ui.visible[id]; };
  StateUi.SetVisible = [](int32_t id, int64_t v) { g_ui.visible[id] = v; };
  StateUi.VideoRunFlag = StateUi.VideoLoopActive = StateUi.InterfaceReady = [] { return g_ui.running; };
  StateUi.SetRowTextColour = [](uint32_t c) { g_ui.rowColour = c; };
}

// "hh:mm:ss : " at pos.
bool TimeAt(const std::string& s, size_t pos) {
  const char* shape = "00:00:00 : ";
  if (s.size() < pos + 11) return false;
  for (size_t i = 0; i < 11; ++i)
    if (shape[i] == '0' ? (s[pos + i] < '0' || s[pos + i] > '9') : s[pos + i] != shape[i]) return false;
  return true;
}

// A bounded wait for another thread's progress (30 s: only a hang fails).
template <typename F>
bool WaitUntilTrue(F done) {
  for (int i = 0; i < 30000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tarvelo_console_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::FromOsPath(dir_.string()));
    SetLanguageAndLevelTables();
    ASSERT_EQ(QUARLE_BASICS::InitCharTables(), 0);
    ASSERT_EQ(MessageConsoleCreate(), 0);
    ASSERT_EQ(OpenLogFile(), 0);
    InstallFakeUi();
    platform::ConsoleCaptureForTest(&screen_);
  }
  void TearDown() override {
    platform::ConsoleCaptureForTest(nullptr);
    ConsoleFailNextGrowths(0);
    CloseLogFile();
    MessageConsoleFree();
    ResetStateUiHooks();
    QUARLE_BASICS::FreeCharTables();
    QUARLE_BASICS::DynZStringFree(QUARLE_BASICS::HomeFolder);
    fs::remove_all(dir_);
  }
  std::vector<std::string> LogLines() const {
    EXPECT_TRUE(LogWritten(30.0)) << "the log's writer wrote nothing for 30 s";
    std::ostringstream s;
    s << std::ifstream(dir_ / "TARVELO_LOG.TXT", std::ios::binary).rdbuf();
    const std::string all = s.str();
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = all.find("\r\n", start)) != std::string::npos) {
      lines.push_back(all.substr(start, end - start));
      start = end + 2;
    }
    EXPECT_EQ(start, all.size()) << "a line without CR LF";
    return lines;
  }
  fs::path dir_;
  std::string screen_;
};

TEST_F(ConsoleTest, LogLinesAndScreenPrint) {
  const char* prefixes[5] = {">> ", "<!> ", "<Error> ", "<Critical Error> ", "<Fatal Error> "};
  for (int32_t level = 0; level < 5; ++level) ASSERT_EQ(LogMessage("caf\xE9 {$}", level), 0);
  ASSERT_EQ(LogMessage("odd", 9), 0);  // a stray level takes the nearest row of the tables
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 6u);
  for (int32_t level = 0; level < 5; ++level) {
    const std::string head = std::string(prefixes[level]) + " ";
    ASSERT_EQ(lines[level].compare(0, head.size(), head), 0) << lines[level];
    EXPECT_TRUE(TimeAt(lines[level], head.size())) << lines[level];
    EXPECT_EQ(lines[level].substr(head.size() + 11), "caf\xE9 {$}");  // the text unchanged
  }
  EXPECT_EQ(lines[5].substr(0, 15), "<Fatal Error>  ");
  EXPECT_EQ(MessageConsole.entries[5]->level, 4);
  // The screen gets the bare text in console codes, in the level's colour.
  EXPECT_EQ(screen_.substr(0, 9), "caf\x82 \xCE\xCF\xD0\n");
  EXPECT_EQ(platform::ConsoleColour().foreground, 13u);
  EXPECT_FALSE(platform::ConsoleColour().rgb);
  CloseLogFile();
  EXPECT_EQ(LogLines().back(), "END|FIN");
}

TEST_F(ConsoleTest, RunningInterfaceUsesTheStatusLine) {
  const int32_t box = 1000 + kSlotMessageBox, guide = 1000 + kSlotLiveGuide, dialog = 1000 + kSlotDialog;
  g_ui.running = -1;
  g_ui.visible[guide] = -1;
  StatusTextFresh = 0;
  ASSERT_EQ(LogMessage("Saved.", 0), 0);
  EXPECT_EQ(screen_, "");
  EXPECT_EQ(g_ui.text[box], "Saved.");
  EXPECT_EQ(g_ui.visible[box], -1);
  EXPECT_EQ(g_ui.visible[guide], 0);
  EXPECT_EQ(StatusTextFresh.load(), -1);
  EXPECT_EQ(LogLines().size(), 1u);
  // While the dialog box is open the status line takes the text but stays hidden.
  g_ui.visible = {{dialog, -1}, {guide, -1}};
  ASSERT_EQ(LogMessage("Behind the dialog.", 1), 0);
  EXPECT_EQ(g_ui.text[box], "Behind the dialog.");
  EXPECT_EQ(g_ui.visible[box], 0);
  EXPECT_EQ(g_ui.visible[guide], -1);
}

// A report from another thread (the audio thread's warnings, device
// messages) never touches the status line itself: the newest text waits for
// the interface thread, which one message on queue 0 wakes however many
// reports came. The report is kept and logged at once all the same.
TEST_F(ConsoleTest, ReportsOfOtherThreadsWaitForTheInterfaceThread) {
  const int32_t box = 1000 + kSlotMessageBox;
  QueueZero queue;
  ASSERT_EQ(queue.Open(), 0);
  const int32_t savedQueue = QUARLE_BASICS::MainCommandQueue;
  QUARLE_BASICS::MainCommandQueue = 0;
  g_ui.running = -1;
  platform::MarkInterfaceThread();
  std::thread audio([] {
    LogMessage("Now recording...", 0);
    LogMessage("Output delay", 1);
  });
  audio.join();
  EXPECT_EQ(g_ui.text.count(box), 0u);
  EXPECT_EQ(MessageConsole.count, 2);
  EXPECT_EQ(LogLines().size(), 2u);
  ASSERT_EQ(queue.Fetch(), 0);
  ASSERT_EQ(queue.header.count, 1);
  EXPECT_EQ(queue.buffer[0].type, static_cast<uint32_t>(kMessageStatusText));
  ShowPostedStatusText();
  EXPECT_EQ(g_ui.text[box], "Output delay");
  EXPECT_EQ(StatusTextFresh.load(), -1);
  // Taken once; a second wake-up finds nothing waiting.
  g_ui.text[box] = "";
  ShowPostedStatusText();
  EXPECT_EQ(g_ui.text[box], "");
  // On the interface thread itself the text goes up at once.
  LogMessage("Saved.", 0);
  EXPECT_EQ(g_ui.text[box], "Saved.");
  platform::ForgetInterfaceThread();
  QUARLE_BASICS::MainCommandQueue = savedQueue;
}

TEST_F(ConsoleTest, ListGrowthRowColoursAndRefusedGrowth) {
  for (int i = 0; i < 16; ++i) ASSERT_EQ(LogMessage("m" + std::to_string(i), i % 5), 0);
  EXPECT_EQ(MessageConsole.capacity, 16);
  ConsoleFailNextGrowths(1);
  screen_.clear();
  EXPECT_EQ(LogMessage("not kept", 2), -21);  // still logged and shown
  EXPECT_EQ(MessageConsole.count, 16);
  EXPECT_EQ(screen_, "not kept\n");
  const std::string last = LogLines().back();
  EXPECT_EQ(last.substr(last.size() - 11), " : not kept");
  ASSERT_EQ(LogMessage("m16", 3), 0);
  EXPECT_EQ(MessageConsole.capacity, 32);
  ASSERT_EQ(MessageConsole.count, 17);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(GetLogMessage(i), "m" + std::to_string(i));
  EXPECT_EQ(g_ui.rowColour, 0xFFC80096u);  // level 3 of the last row read
  EXPECT_EQ(GetLogMessage(2), "m2");
  EXPECT_EQ(g_ui.rowColour, 0xFFDE0000u);
  EXPECT_EQ(GetLogMessage(-1), "");
  EXPECT_EQ(GetLogMessage(17), "");
  EXPECT_EQ(g_ui.rowColour, 0xFFDE0000u);
}

TEST_F(ConsoleTest, ManyThreadsReportAtOnce) {
  g_ui.running = -1;            // nothing printed
  StateUi.ControlId = nullptr;  // and no status line the fake would have to share
  constexpr int kThreads = 4, kEach = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) LogMessage("thread " + std::to_string(t) + " line " + std::to_string(i), 0);
    });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(MessageConsole.count, kThreads * kEach);
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
  int next[kThreads] = {};
  for (const std::string& l : lines) {
    ASSERT_TRUE(TimeAt(l, 4) && l.compare(15, 7, "thread ") == 0) << l;
    const int t = l[22] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << l;
    EXPECT_EQ(l.substr(23), " line " + std::to_string(next[t]++)) << l;  // whole, in order
  }
}

// A write to a busy stick waits for its journal, minutes while another file's
// save commits: a report (the window's thread makes them too) hands its line
// to the log's writer and never writes or flushes the log itself.
TEST_F(ConsoleTest, TheLogsWriterAloneWritesIt) {
  g_ui.running = -1;
  StateUi.ControlId = nullptr;
  synccount::Reset();
  const std::string me = synccount::ThreadName();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(LogMessage("Saving mine.tarvelo... " + std::to_string(i), i), 0);
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(synccount::WritesOn(me), 0) << "the reporting thread wrote the log";
  EXPECT_EQ(synccount::WritesOn("tarvelo-log"), 3);
  ASSERT_EQ(lines.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(lines[i].substr(lines[i].size() - 24), "Saving mine.tarvelo... " + std::to_string(i));
  // The last line follows every report at the close, and the file is let go.
  CloseLogFile();
  EXPECT_EQ(LogFileNumber.load(), 0);
  std::ostringstream s;
  s << std::ifstream(dir_ / "TARVELO_LOG.TXT", std::ios::binary).rdbuf();
  const std::string all = s.str();
  EXPECT_EQ(all.substr(all.size() - 9), std::string(kLogLastLine) + "\r\n");
  EXPECT_EQ(synccount::WritesOn(me), 0);
}

// A disk that took nothing of the log's last lines for the close's bound
// keeps its writer past the close: once it gets out, that writer takes no
// line of a later log and touches nothing of it (it ends), and the later log
// holds its own lines once and its last line once.
TEST_F(ConsoleTest, AWriterAnEarlierCloseLeftHeldTouchesNoLaterLog) {
  g_ui.running = -1;
  StateUi.ControlId = nullptr;
  ASSERT_TRUE(WaitUntilTrue([] { return synccount::ThreadsNamed("tarvelo-log") == 1; }));  // named
  synccount::HoldWrites("tarvelo-log");
  ASSERT_EQ(LogMessage("held by the disk", 0), 0);
  ASSERT_TRUE(WaitUntilTrue([] { return synccount::WritesOn("tarvelo-log") > 0; }));
  CloseLogFile();  // gives up on the held writer after its bound
  EXPECT_EQ(LogFileNumber.load(), 0);
  // A later log, in a folder of its own.
  const fs::path later = dir_ / "later";
  fs::create_directories(later);
  QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::FromOsPath(later.string()));
  ASSERT_EQ(OpenLogFile(), 0);
  ASSERT_TRUE(WaitUntilTrue([] { return synccount::ThreadsNamed("tarvelo-log") == 2; }));  // both named
  synccount::Release();
  EXPECT_TRUE(WaitUntilTrue([] { return synccount::ThreadsNamed("tarvelo-log") == 1; }))
      << "the held writer lives on beside the later log's";
  for (int i = 0; i < 20; ++i) ASSERT_EQ(LogMessage("later " + std::to_string(i), 0), 0);
  CloseLogFile();
  std::ostringstream s;
  s << std::ifstream(later / "TARVELO_LOG.TXT", std::ios::binary).rdbuf();
  const std::string all = s.str();
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(all.substr(start, end - start));
  ASSERT_EQ(lines.size(), 21u) << all;
  for (int i = 0; i < 20; ++i) EXPECT_EQ(lines[i].substr(lines[i].find(" : ") + 3), "later " + std::to_string(i));
  EXPECT_EQ(lines.back(), kLogLastLine);
  ASSERT_EQ(OpenLogFile(), 0);  // the fixture's own, closed at its end
}

TEST_F(ConsoleTest, MessageTabPresses) {
  QueueZero queue;
  ASSERT_EQ(queue.Open(), 0);
  for (const auto& [n, page] : {std::pair{5, 1u}, {-3, 0u}, {1, 1u}}) {
    ShowMessageTab(n);
    ASSERT_EQ(queue.Fetch(), 0);
    ASSERT_EQ(queue.header.count, 2) << n;
    EXPECT_EQ(queue.buffer[0].type, 100u);
    EXPECT_EQ(queue.buffer[0].arg2, 1000u + kSlotBrowserTabs);
    EXPECT_EQ(queue.buffer[0].arg5, 2u);
    EXPECT_EQ(queue.buffer[1].arg2, 1000u + kSlotMessageTab1 + page) << n;
    EXPECT_EQ(queue.buffer[1].arg5, 2u);
  }
  StateUi.ControlId = nullptr;  // no browser pane: nothing to press
  ShowMessageTab(0);
  ASSERT_EQ(queue.Fetch(), 0);
  EXPECT_EQ(queue.header.count, 0);
}

}  // namespace
}  // namespace Tarvelo
