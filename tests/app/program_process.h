// The built program run as a process of its own, as a user or a desktop
// starts it: a temporary home, an environment of the test's choosing, its
// console (standard output and error) kept in a file. Every wait polls for a
// condition with a deadline that only bounds a hang.
#pragma once
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if TARVELO_TEST_X11
#include "visuals/x11_window.h"
#endif

namespace apptest {

namespace fs = std::filesystem;

constexpr auto kHangBound = std::chrono::seconds(60);

// Polls `done` every 20 ms until it holds (true) or the bound passes (false).
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::seconds bound = kHangBound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The variables a run inherits from the test: the sanitizers' options, the
// path. Everything else is the test's to set.
inline std::map<std::string, std::string> BaseEnvironment(const std::string& home) {
  std::map<std::string, std::string> env;
  for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* v = std::getenv(name)) env[name] = v;
  // The exit code is the program's: a leak report about a system library (the
  // desktop bus SDL's video opens) would replace it. The program's own leaks
  // are the in-process tests' to find.
  env["ASAN_OPTIONS"] = env.count("ASAN_OPTIONS") ? env["ASAN_OPTIONS"] + ":detect_leaks=0" : "detect_leaks=0";
  env["HOME"] = home;
  env["USER"] = "tester";
  env["SDL_AUDIODRIVER"] = "dummy";
  env["ALSOFT_DRIVERS"] = "null";
#if defined(__SANITIZE_THREAD__)
  // The GL stack is not built for ThreadSanitizer; the window's own surface is.
  env["SDL_FRAMEBUFFER_ACCELERATION"] = "0";
#endif
  return env;
}

class ProgramProcess {
 public:
  ProgramProcess() = default;
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;
  ~ProgramProcess() {
    if (pid_ > 0 && !ended_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  // Starts `program` with the arguments and exactly this environment; its
  // console goes to `consoleFile`.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env, const std::string& consoleFile) {
    console_ = consoleFile;
    std::vector<std::string> argStore = {program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string> envStore;
    for (const auto& [k, v] : env) envStore.push_back(k + "=" + v);
    std::vector<char*> argv, envp;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, consoleFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    // The child starts with no signal blocked, whatever this thread blocks.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    const int r = posix_spawn(&pid_, program.c_str(), &files, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    return r == 0;
  }

  pid_t Pid() const { return pid_; }
  bool Signal(int sig) const { return pid_ > 0 && !ended_ && ::kill(pid_, sig) == 0; }

  // True once the process has ended (its status is kept).
  bool Ended() {
    if (ended_) return true;
    if (pid_ <= 0) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
    return ended_;
  }
  bool WaitEnd(std::chrono::seconds bound = kHangBound) {
    return WaitUntil([this] { return Ended(); }, bound);
  }
  // The exit code; 128 + the signal's number when a signal ended it; -1 while it runs.
  int ExitCode() const {
    if (!ended_) return -1;
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
  }
  std::string Console() const { return ReadAll(console_); }

  // The names of the process's threads (those named so far).
  std::vector<std::string> Threads() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ec)) {
      std::string name = ReadAll(t.path().string() + "/comm");
      while (!name.empty() && name.back() == '\n') name.pop_back();
      names.push_back(name);
    }
    return names;
  }
  bool HasThread(const std::string& name) const {
    for (const std::string& n : Threads())
      if (n == name) return true;
    return false;
  }

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;
  std::string console_;
};

#if TARVELO_TEST_X11
// True when the X server at `display` shows a window of the process; with
// `close`, it is also sent the close request a window manager sends for its
// close button (what a desktop's logout sends first).
inline bool ProcessWindowShown(const std::string& display, pid_t pid, bool close = false) {
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return false;
  const Window w = FindProcessWindow(d, pid);
  if (w && close) SendCloseRequest(d, w);
  XCloseDisplay(d);
  return w != 0;
}
#endif

}  // namespace apptest
