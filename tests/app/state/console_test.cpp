// The message console: log lines (prefix, time, " : ", text), the in-memory
// list and its growth, the screen print before the interface runs, the status
// line once it runs, the row colours of the message list, the message tab
// presses, and reports from several threads at once.
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
#include "app/state/ui_hooks.h"
#include "basics/console.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "visuals/control_table.h"
#include "visuals/visuals.h"

namespace Tarvelo {
namespace {

namespace fs = std::filesystem;

// A stand-in interface: controls by slot, their texts and visibility.
struct FakeUi {
  std::map<int32_t, std::string> text;
  std::map<int32_t, int64_t> visible;
  int64_t videoRun = 0, videoLoop = 0, ready = 0;
  uint32_t rowColour = 0x12345678;
  int rowColourCalls = 0;
};
FakeUi g_ui;

// Controls get the id 1000 + slot.
void InstallFakeUi() {
  g_ui = FakeUi{};
  StateUi.ControlId = [](int32_t slot) { return 1000 + slot; };
  StateUi.SetText = [](int32_t id, const std::string& t) { g_ui.text[id] = t; };
  StateUi.Visible = [](int32_t id) { return g_ui.visible.count(id) ? g_ui.visible[id] : int64_t{0}; };
  StateUi.SetVisible = [](int32_t id, int64_t v) { g_ui.visible[id] = v; };
  StateUi.VideoRunFlag = [] { return g_ui.videoRun; };
  StateUi.VideoLoopActive = [] { return g_ui.videoLoop; };
  StateUi.InterfaceReady = [] { return g_ui.ready; };
  StateUi.SetRowTextColour = [](uint32_t c) {
    g_ui.rowColour = c;
    ++g_ui.rowColourCalls;
  };
}

// "hh:mm:ss : " at pos.
bool TimeAt(const std::string& s, size_t pos) {
  const char* shape = "00:00:00 : ";
  if (s.size() < pos + 11) return false;
  for (size_t i = 0; i < 11; ++i) {
    const char c = s[pos + i];
    if (shape[i] == '0' ? (c < '0' || c > '9') : c != shape[i]) return false;
  }
  return true;
}

constexpr int32_t kBox = 1000 + kSlotMessageBox;
constexpr int32_t kGuide = 1000 + kSlotLiveGuide;
constexpr int32_t kDialog = 1000 + kSlotDialog;

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tarvelo_console_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::FromOsPath(dir_.string()));
    SetLanguageAndLevelTables();
    ASSERT_EQ(QUARLE_BASICS::InitCharTables(), 0);
    ASSERT_EQ(MessageConsoleCreate(), 0);
    ASSERT_EQ(OpenLogFile(), 0);
    InstallFakeUi();
    StatusTextFresh = 0;
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
  std::string Log() const {
    std::ifstream in(dir_ / "TARVELO_LOG.TXT", std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    const std::string all = Log();
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

TEST_F(ConsoleTest, LogLineOfEveryLevel) {
  const char* prefixes[5] = {">> ", "<!> ", "<Error> ", "<Critical Error> ", "<Fatal Error> "};
  for (int32_t level = 0; level < 5; ++level)
    ASSERT_EQ(LogMessage("message " + std::to_string(level) + " \xE9t\xE9", level), 0);
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 5u);
  for (int32_t level = 0; level < 5; ++level) {
    const std::string prefix = std::string(prefixes[level]) + " ";
    ASSERT_EQ(lines[level].compare(0, prefix.size(), prefix), 0) << lines[level];
    const std::string rest = lines[level].substr(prefix.size());
    EXPECT_TRUE(TimeAt(rest, 0)) << lines[level];
    EXPECT_EQ(rest.substr(11), "message " + std::to_string(level) + " \xE9t\xE9");
  }
  // An info line: ">>", two spaces, the time.
  EXPECT_EQ(lines[0].substr(0, 4), ">>  ");
  EXPECT_EQ(lines[0][6], ':');
  CloseLogFile();
  EXPECT_EQ(LogLines().back(), "END|FIN");
}

TEST_F(ConsoleTest, ScreenGetsTheBareTextInTheLevelsColour) {
  ASSERT_EQ(LogMessage("caf\xE9 {$}", 2), 0);
  // Mapped to console codes, no prefix and no time.
  EXPECT_EQ(screen_, "caf\x82 \xCE\xCF\xD0\n");
  platform::ConsoleColourState c = platform::ConsoleColour();
  EXPECT_FALSE(c.rgb);
  EXPECT_EQ(c.foreground, 4u);
  // A graphics screen shows the colour of the level instead.
  g_ui.videoRun = -1;
  screen_.clear();
  ASSERT_EQ(LogMessage("warn", 1), 0);
  EXPECT_EQ(screen_, "warn\n");
  c = platform::ConsoleColour();
  EXPECT_TRUE(c.rgb);
  EXPECT_EQ(c.foreground, 0xFFC8C800u);
  // A stray level uses the nearest row of the tables.
  ASSERT_EQ(LogMessage("odd", 9), 0);
  EXPECT_EQ(MessageConsole.entries[2]->level, 4);
  EXPECT_EQ(LogLines()[2].substr(0, 14), "<Fatal Error> ");
  EXPECT_TRUE(g_ui.text.empty());  // no status line yet
}

TEST_F(ConsoleTest, RunningInterfaceShowsTheStatusLine) {
  g_ui.videoRun = g_ui.videoLoop = g_ui.ready = -1;
  g_ui.visible[kGuide] = -1;
  ASSERT_EQ(LogMessage("Saved.", 0), 0);
  EXPECT_EQ(screen_, "");
  EXPECT_EQ(g_ui.text[kBox], "Saved.");
  EXPECT_EQ(g_ui.visible[kBox], -1);
  EXPECT_EQ(g_ui.visible[kGuide], 0);
  EXPECT_EQ(StatusTextFresh.load(), -1);
  EXPECT_EQ(LogLines().size(), 1u);
  EXPECT_EQ(MessageConsole.count, 1);

  // With the dialog box open the status line takes the text but stays hidden.
  g_ui.visible[kDialog] = -1;
  g_ui.visible[kBox] = 0;
  g_ui.visible[kGuide] = -1;
  StatusTextFresh = 0;
  ASSERT_EQ(LogMessage("Behind the dialog.", 1), 0);
  EXPECT_EQ(g_ui.text[kBox], "Behind the dialog.");
  EXPECT_EQ(g_ui.visible[kBox], 0);
  EXPECT_EQ(g_ui.visible[kGuide], -1);
  EXPECT_EQ(StatusTextFresh.load(), -1);
}

TEST_F(ConsoleTest, ListGrowsAndKeepsOrder) {
  for (int i = 0; i < 16; ++i) ASSERT_EQ(LogMessage("m" + std::to_string(i), i % 5), 0);
  EXPECT_EQ(MessageConsole.capacity, 16);
  ASSERT_EQ(LogMessage("m16", 3), 0);
  EXPECT_EQ(MessageConsole.capacity, 32);
  ASSERT_EQ(MessageConsole.count, 17);
  for (int i = 0; i < 17; ++i) {
    EXPECT_EQ(GetLogMessage(i), "m" + std::to_string(i));
    EXPECT_EQ(MessageConsole.entries[i]->level, i == 16 ? 3 : i % 5);
  }
  EXPECT_EQ(g_ui.rowColour, 0xFFC80096u);  // level 3's colour, of the last row read
}

TEST_F(ConsoleTest, RowColoursAndOutOfRangeRows) {
  ASSERT_EQ(LogMessage("info", 0), 0);
  ASSERT_EQ(LogMessage("error", 2), 0);
  EXPECT_EQ(GetLogMessage(1), "error");
  EXPECT_EQ(g_ui.rowColour, 0xFFDE0000u);
  g_ui.rowColourCalls = 0;
  EXPECT_EQ(GetLogMessage(-1), "");
  EXPECT_EQ(GetLogMessage(2), "");
  EXPECT_EQ(g_ui.rowColourCalls, 0);
  EXPECT_EQ(g_ui.rowColour, 0xFFDE0000u);
}

TEST_F(ConsoleTest, RefusedGrowthStillLogsAndShows) {
  for (int i = 0; i < 16; ++i) ASSERT_EQ(LogMessage("x", 0), 0);
  ConsoleFailNextGrowths(1);
  screen_.clear();
  EXPECT_EQ(LogMessage("not kept", 2), -21);
  EXPECT_EQ(MessageConsole.count, 16);
  EXPECT_EQ(MessageConsole.capacity, 16);
  EXPECT_EQ(screen_, "not kept\n");
  EXPECT_NE(Log().find(" : not kept\r\n"), std::string::npos);
  EXPECT_EQ(LogMessage("kept", 0), 0);
  EXPECT_EQ(GetLogMessage(16), "kept");
}

TEST_F(ConsoleTest, WithoutConsoleOrLogNothingIsKept) {
  CloseLogFile();
  MessageConsoleFree();
  EXPECT_EQ(LogMessage("only shown", 0), 0);
  EXPECT_EQ(screen_, "only shown\n");
  EXPECT_EQ(GetLogMessage(0), "");
}

TEST_F(ConsoleTest, ManyThreadsReportAtOnce) {
  platform::ConsoleCaptureForTest(nullptr);
  g_ui.videoRun = g_ui.videoLoop = g_ui.ready = -1;  // nothing printed, the status line is a fake
  StateUi.SetText = nullptr;
  constexpr int kThreads = 4, kEach = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) LogMessage("thread " + std::to_string(t) + " line " + std::to_string(i), t % 5);
    });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(MessageConsole.count, kThreads * kEach);
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
  int perThread[kThreads] = {};
  for (const std::string& l : lines) {
    // Every prefix ends in a blank, and the separator blank follows it.
    const size_t time = l.find("  ") + 2;
    ASSERT_TRUE(l.find("  ") != std::string::npos && TimeAt(l, time)) << l;
    const std::string text = l.substr(time + 11);
    ASSERT_EQ(text.compare(0, 7, "thread "), 0) << l;
    const int t = text[7] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << l;
    // Each thread's lines arrive in its own order.
    EXPECT_EQ(text.substr(8), " line " + std::to_string(perThread[t]++)) << l;
  }
}

TEST_F(ConsoleTest, MessageTabPresses) {
  if (QUARLE_BASICS::CommandQueueCount() == 0) {
    int32_t q = -1;
    ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
  }
  QUARLE_BASICS::CommandMessage* buffer = nullptr;
  QUARLE_BASICS::ArrayHeader header;
  QUARLE_BASICS::ArrayHeaderInit(header);
  ASSERT_EQ(QUARLE_BASICS::FetchCommands(buffer, header, 0), 0);  // drain

  for (const auto& [n, page] : std::vector<std::pair<int32_t, uint32_t>>{{5, 1}, {-3, 0}, {1, 1}, {0, 0}}) {
    ShowMessageTab(n);
    ASSERT_EQ(QUARLE_BASICS::FetchCommands(buffer, header, 0), 0);
    ASSERT_EQ(header.count, 2) << n;
    EXPECT_EQ(buffer[0].type, 100u);
    EXPECT_EQ(buffer[0].arg1, 0u);
    EXPECT_EQ(buffer[0].arg2, 1000u + kSlotBrowserTabs);
    EXPECT_EQ(buffer[0].arg5, 2u);
    EXPECT_EQ(buffer[1].type, 100u);
    EXPECT_EQ(buffer[1].arg2, 1000u + kSlotMessageTab1 + page) << n;
    EXPECT_EQ(buffer[1].arg5, 2u);
  }
  // No browser pane: nothing to press.
  StateUi.ControlId = nullptr;
  ShowMessageTab(0);
  ASSERT_EQ(QUARLE_BASICS::FetchCommands(buffer, header, 0), 0);
  EXPECT_EQ(header.count, 0);
  std::free(buffer);
  QUARLE_BASICS::ArrayHeaderFree(header);
}

// The default hooks work on the real control table through the control index.
TEST_F(ConsoleTest, StatusLineOnRealControls) {
  ResetStateUiHooks();
  ASSERT_EQ(QUARLE_VISUALS::ControlTableCreate(), 0);
  int32_t ids[4] = {};
  ASSERT_EQ(QUARLE_VISUALS::CreateControl(0, 0, 0, 800, 600, nullptr, nullptr, -1, 0, "ROOT", "", &ids[0]), 0);
  ASSERT_EQ(QUARLE_VISUALS::CreateControl(0, 0, 0, 100, 20, nullptr, nullptr, -1, 0, "CTRL_INFO", "", &ids[1]), 0);
  ASSERT_EQ(QUARLE_VISUALS::CreateControl(0, 0, 0, 100, 20, nullptr, nullptr, 0, 0, "MB", "", &ids[2]), 0);
  ASSERT_EQ(QUARLE_VISUALS::CreateControl(0, 0, 0, 100, 20, nullptr, nullptr, 0, 0, "DB", "", &ids[3]), 0);
  QUARLE_VISUALS::UiIndex = static_cast<int32_t*>(std::calloc(113, sizeof(int32_t)));
  QUARLE_VISUALS::UiIndex[kSlotLiveGuide] = ids[1];
  QUARLE_VISUALS::UiIndex[kSlotMessageBox] = ids[2];
  QUARLE_VISUALS::UiIndex[kSlotDialog] = ids[3];

  SetStatusText("Loaded.");
  QUARLE_VISUALS::ControlRecord* box = QUARLE_VISUALS::ControlAt(ids[2]);
  EXPECT_STREQ(QUARLE_VISUALS::TextFieldGetText(&box->Text), "Loaded.");
  EXPECT_STREQ(box->Render->Text.Text, "Loaded.");  // published
  EXPECT_EQ(QUARLE_VISUALS::ControlVisible(box), -1);
  EXPECT_EQ(QUARLE_VISUALS::ControlVisible(QUARLE_VISUALS::ControlAt(ids[1])), 0);

  std::free(QUARLE_VISUALS::UiIndex);
  QUARLE_VISUALS::UiIndex = nullptr;
  QUARLE_VISUALS::ControlTableFree();
}

}  // namespace
}  // namespace Tarvelo
