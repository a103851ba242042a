// The built program, run as a process, ended from outside: by a quit signal
// (a logout, `kill`, Ctrl-C, a closed terminal), windowed and headless, which
// ends it as a confirmed Quit does (the session saved, exit code 0); by its
// display server going away under it; and a start on a display server that
// is not there, whose console shows the reason and not the libraries' noise.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <memory>
#include <set>

#include "app_run_fixture.h"
#include "program_process.h"

namespace apptest {
namespace {

constexpr const char* kProgramDir = TARVELO_PROGRAM_DIR;

std::string ProgramPath() { return std::string(kProgramDir) + "/tarvelo"; }

// A demo synth that ships beside the program: a session with modules.
std::string DemoSynth() {
  std::error_code ec;
  for (const auto& d : fs::directory_iterator(std::string(kProgramDir) + "/SYNTHS", ec))
    for (const auto& f : fs::directory_iterator(d.path(), ec))
      if (f.path().extension() == ".tarvelo") return f.path().string();
  return "";
}

// A display number no server holds here.
std::string FreeDisplay(int from) {
  for (int n = from; n < from + 100; ++n) {
    const std::string num = std::to_string(n);
    if (!fs::exists("/tmp/.X" + num + "-lock") && !fs::exists("/tmp/.X11-unix/X" + num))
      return ":" + num;
  }
  return "";
}

class ProgramEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(ProgramPath())) GTEST_SKIP() << "no program built at " << ProgramPath();
    synth_ = DemoSynth();
    if (synth_.empty()) GTEST_SKIP() << "no demo synth beside the program";
    char tmpl[] = "/tmp/tarvelo_programend_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    home_ = root_ + "/home";
    fs::create_directories(home_ + "/Tarvelo");
    // The shipped settings with auto-save on: a quit saves the session.
    std::string settings = ReadAll(std::string(kProgramDir) + "/lang.txt");
    const std::string off = "\"AUTO-SAVE\",\"FALSE\"";
    const size_t at = settings.find(off);
    ASSERT_NE(at, std::string::npos);
    settings.replace(at, off.size(), "\"AUTO-SAVE\",\"TRUE\"");
    std::ofstream(home_ + "/Tarvelo/Settings.txt", std::ios::binary) << settings;
    session_ = root_ + "/mine.tarvelo";
    fs::copy_file(synth_, session_);
    // Older than any save the run makes.
    utimbuf old{978307200, 978307200};  // 2001-01-01
    ASSERT_EQ(utime(session_.c_str(), &old), 0);
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  std::map<std::string, std::string> Environment() const { return BaseEnvironment(home_); }

  bool Start(ProgramProcess& p, const std::map<std::string, std::string>& env) {
    return p.Start(ProgramPath(), {session_}, env, root_ + "/console.txt");
  }

  // Running: its video thread draws (the window's status line takes the
  // reports from then on), the audio thread has started (the step before the
  // loop) and the quit signals have their thread; with a display, its window
  // is shown there.
  static bool Running(const ProgramProcess& p, const std::string& display = "") {
    if (!p.HasThread("tarvelo-video") || !p.HasThread("tarvelo-audio") ||
        !p.HasThread("tarvelo-signal"))
      return false;
#if TARVELO_TEST_X11
    if (!display.empty()) return ProcessWindowShown(display, p.Pid());
#else
    (void)display;
#endif
    return true;
  }

  bool SessionSaved() const {
    struct stat st{};
    return ::stat(session_.c_str(), &st) == 0 && st.st_mtime > 978307200;
  }

  std::vector<LogEntry> Log() const {
    std::vector<LogEntry> out;
    std::istringstream in(ReadAll(home_ + "/Tarvelo/TARVELO_LOG.TXT"));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      out.push_back(AppRun::Parse(line));
    }
    return out;
  }

  // "" when the run saved as a confirmed Quit does and shut down completely.
  std::string QuitLikeEnd(const std::string& reason) const {
    const std::vector<LogEntry> log = Log();
    std::string fault;
    const int32_t end = AppRun::Find(log, reason);
    if (end < 0) fault += "no \"" + reason + "\" in the log; ";
    const int32_t saving = AppRun::Find(log, "Saving session.", end < 0 ? 0 : end);
    if (saving < 0) fault += "the session was not saved; ";
    if (AppRun::Find(log, "Saving libraries.", saving < 0 ? 0 : saving) < 0)
      fault += "the libraries were not saved; ";
    for (const LogEntry& e : log)
      if (e.level >= 2) fault += "logged: " + e.text + "; ";
    if (log.empty() || log.back().text != "END|FIN") fault += "the log does not end with END|FIN; ";
    if (!SessionSaved()) fault += "the session file was not written; ";
    return fault;
  }

  // Each quit signal, at a program running in its loop, ends it as a "yes" to
  // the Quit question does: the same saves, the whole shutdown, exit code 0.
  // With a window, a logout's order too: the window's close first (its
  // question waits for nobody), then SIGTERM.
  void ExpectQuitSignalsEndAsAConfirmedQuit(const std::map<std::string, std::string>& env) {
    const struct {
      int sig;
      const char* name;
      bool closeFirst;
    } kSignals[] = {{SIGTERM, "SIGTERM", false}, {SIGINT, "SIGINT", false},
                    {SIGHUP, "SIGHUP", false}, {SIGTERM, "SIGTERM", true}};
    const std::string display = env.count("DISPLAY") ? env.at("DISPLAY") : "";
    for (const auto& s : kSignals) {
      if (s.closeFirst && display.empty()) continue;
      SCOPED_TRACE(std::string(s.name) + (s.closeFirst ? " after a close" : ""));
      // A fresh log and a session not yet saved by this run.
      fs::remove(home_ + "/Tarvelo/TARVELO_LOG.TXT");
      utimbuf old{978307200, 978307200};
      ASSERT_EQ(utime(session_.c_str(), &old), 0);
      ProgramProcess p;
      ASSERT_TRUE(Start(p, env));
      ASSERT_TRUE(WaitUntil([&] { return p.Ended() || Running(p, display); }))
          << "the program did not come up";
      ASSERT_FALSE(p.Ended()) << p.Console();
#if TARVELO_TEST_X11
      if (s.closeFirst) {
        ASSERT_TRUE(ProcessWindowShown(display, p.Pid(), true));
      }
#endif
      ASSERT_TRUE(p.Signal(s.sig));
      ASSERT_TRUE(p.WaitEnd()) << "still running after " << s.name;
      EXPECT_EQ(p.ExitCode(), 0) << p.Console();
      EXPECT_EQ(QuitLikeEnd(std::string("Ending on ") + s.name + "."), "");
      EXPECT_NE(p.Console().find("END|FIN - CLOSING TERMINAL IN:"), std::string::npos);
    }
  }

  std::string root_, home_, synth_, session_;
};

TEST_F(ProgramEnd, HeadlessQuitSignalsSaveAndExitWith0) {
  std::map<std::string, std::string> env = Environment();
  env["TARVELO_HEADLESS"] = "1";
  env["SDL_VIDEODRIVER"] = "dummy";
  ExpectQuitSignalsEndAsAConfirmedQuit(env);
}

TEST_F(ProgramEnd, WindowedQuitSignalsSaveAndExitWith0) {
  const char* display = std::getenv("TARVELO_TEST_DISPLAY");
  if (!display || !*display) GTEST_SKIP() << "no X server for window tests (TARVELO_TEST_DISPLAY)";
#if !TARVELO_TEST_X11
  GTEST_SKIP() << "built without the X11 library";
#endif
  std::map<std::string, std::string> env = Environment();
  env["DISPLAY"] = display;
  ExpectQuitSignalsEndAsAConfirmedQuit(env);
}

// The display server going away under the running program: the work is
// saved, and the console, not only the log, says why the program ended.
TEST_F(ProgramEnd, ALostDisplayIsNamedOnTheConsoleAndTheWorkSaved) {
#if !TARVELO_TEST_X11
  GTEST_SKIP() << "built without the X11 library";
#endif
  const std::string xvfb = "/usr/bin/Xvfb";
  if (!fs::exists(xvfb)) GTEST_SKIP() << "no Xvfb";
  // A server of the test's own, on a number nobody holds; one taken between
  // the look and the start makes the server give up, and the next is tried.
  std::unique_ptr<ProgramProcess> server;
  std::string display;
  for (int from = 140; from < 240 && display.empty(); ++from) {
    const std::string candidate = FreeDisplay(from);
    if (candidate.empty()) break;
    from = std::stoi(candidate.substr(1));
    server = std::make_unique<ProgramProcess>();
    ASSERT_TRUE(server->Start(xvfb, {candidate, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
                              {{"PATH", "/usr/bin:/bin"}}, root_ + "/xvfb.txt"));
    const std::string socket = "/tmp/.X11-unix/X" + candidate.substr(1);
    ASSERT_TRUE(WaitUntil([&] { return server->Ended() || fs::exists(socket); }));
    if (!server->Ended()) display = candidate;
  }
  ASSERT_FALSE(display.empty()) << "no Xvfb could start";

  std::map<std::string, std::string> env = Environment();
  env["DISPLAY"] = display;
  ProgramProcess p;
  ASSERT_TRUE(Start(p, env));
  ASSERT_TRUE(WaitUntil([&] { return p.Ended() || Running(p, display); }));
  ASSERT_FALSE(p.Ended()) << p.Console();
  ASSERT_TRUE(server->Signal(SIGTERM));
  ASSERT_TRUE(server->WaitEnd());
  ASSERT_TRUE(p.WaitEnd()) << "still running without its display";
  EXPECT_EQ(p.ExitCode(), 1) << p.Console();
  EXPECT_NE(p.Console().find("The connection to the display \"" + display + "\" was lost."),
            std::string::npos)
      << p.Console();
  EXPECT_TRUE(SessionSaved());
  const std::vector<LogEntry> log = Log();
  const int32_t lost = AppRun::Find(log, "The connection to the display ");
  ASSERT_GE(lost, 0);
  EXPECT_GT(AppRun::Find(log, "Saving session.", lost), lost);
}

// No server at DISPLAY and no usable runtime folder: the console holds the
// program's own lines (those of the log, and the countdown), the reason that
// names the display among them; none of the libraries' complaints.
TEST_F(ProgramEnd, AMissingDisplayServerLeavesOnlyItsReasonOnTheConsole) {
  const std::string display = FreeDisplay(240);
  ASSERT_FALSE(display.empty());
  const struct {
    const char* what;
    const char* runtime;  // XDG_RUNTIME_DIR, "" unset
    const char* wayland;  // WAYLAND_DISPLAY, "" unset
  } kCases[] = {{"no XDG_RUNTIME_DIR", "", ""},
                {"an invalid XDG_RUNTIME_DIR", "/nonexistent/runtime", ""},
                {"a Wayland display out of reach", "", "wayland-77"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    fs::remove(home_ + "/Tarvelo/TARVELO_LOG.TXT");
    std::map<std::string, std::string> env = Environment();
    env["DISPLAY"] = display;
    if (*c.runtime) env["XDG_RUNTIME_DIR"] = c.runtime;
    if (*c.wayland) env["WAYLAND_DISPLAY"] = c.wayland;
    ProgramProcess p;
    ASSERT_TRUE(Start(p, env));
    ASSERT_TRUE(p.WaitEnd());
    EXPECT_EQ(p.ExitCode(), 1);
    const std::string console = p.Console();
    std::set<std::string> own = {"END|FIN - CLOSING TERMINAL IN:", " 2", " 1", " 0"};
    std::string reason;
    for (const LogEntry& e : Log()) {
      own.insert(e.text);
      if (e.text.rfind("Something went wrong during initialization.", 0) == 0) reason = e.text;
    }
    EXPECT_NE(reason.find("the display \"" + display + "\""), std::string::npos) << reason;
    std::istringstream in(console);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) {
        EXPECT_TRUE(own.count(line)) << "not the program's: " << line;
      }
    }
    EXPECT_NE(console.find(reason + "\n"), std::string::npos) << console;
    EXPECT_FALSE(SessionSaved());
  }
}

}  // namespace
}  // namespace apptest
