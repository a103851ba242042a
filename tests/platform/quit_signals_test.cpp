// Quit signals in a process of their own: the first is handed on once, on the
// watching thread, and never after the run stopped taking requests; a second
// is noted for the end to cut its waits short; a third ends the process at
// once with 128 + its number.
#include "platform/quit_signals.h"
#include "platform/threads.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::atomic<int> g_handed{0};
std::atomic<int> g_handedSignal{0};

void Handed(int sig) {
  g_handedSignal.store(sig);
  g_handed.fetch_add(1);
}

// Polls for a condition; false when 60 s pass first (only a hang takes that long).
template <class F>
bool WaitFor(F done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Exit codes: 10+ a fault on the way; 128 + the third signal when all went well.
[[noreturn]] void Scenario(int first, int second, int third, bool stopped) {
  platform::BlockQuitSignals();
  if (!platform::WatchQuitSignals(Handed)) std::_Exit(10);
  if (platform::WatchQuitSignals(Handed)) std::_Exit(11);  // one watcher only
  if (stopped) platform::StopQuitRequests();
  if (platform::FirstQuitSignal() != 0 || platform::FirstQuitSignalAt() != 0) std::_Exit(12);
  const double sent = platform::HighResClock();
  ::kill(::getpid(), first);
  if (!WaitFor([] { return platform::FirstQuitSignal() != 0; })) std::_Exit(13);
  if (platform::FirstQuitSignal() != first) std::_Exit(14);
  // The end's bound counts from the signal's moment.
  const double at = platform::FirstQuitSignalAt();
  if (at < sent || at > platform::HighResClock()) std::_Exit(22);
  if (stopped) {
    if (g_handed.load() != 0) std::_Exit(15);
  } else {
    if (!WaitFor([] { return g_handed.load() == 1; })) std::_Exit(16);
    if (g_handedSignal.load() != first) std::_Exit(17);
  }
  if (platform::SecondQuitSignal() != 0) std::_Exit(18);
  ::kill(::getpid(), second);
  if (!WaitFor([] { return platform::SecondQuitSignal() != 0; })) std::_Exit(19);
  if (platform::SecondQuitSignal() != second || g_handed.load() != (stopped ? 0 : 1)) std::_Exit(20);
  if (platform::FirstQuitSignalAt() != at) std::_Exit(23);  // a second signal moves it not
  ::kill(::getpid(), third);
  std::this_thread::sleep_for(std::chrono::seconds(60));
  std::_Exit(21);  // the third signal did not end the process
}

TEST(QuitSignalsDeathTest, TheFirstIsHandedOnOnceTheSecondNotedAndTheThirdEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    int first, second, third;
    bool stopped;
  } kCases[] = {{SIGTERM, SIGINT, SIGHUP, false}, {SIGINT, SIGHUP, SIGTERM, false},
                {SIGHUP, SIGTERM, SIGINT, false}, {SIGTERM, SIGTERM, SIGTERM, true},
                {SIGINT, SIGTERM, SIGHUP, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(platform::QuitSignalName(c.first) + " then " + platform::QuitSignalName(c.second) + " then " +
                 platform::QuitSignalName(c.third) + (c.stopped ? " after the run stopped taking requests" : ""));
    EXPECT_EXIT(Scenario(c.first, c.second, c.third, c.stopped), ::testing::ExitedWithCode(128 + c.third), "");
  }
}

TEST(QuitSignals, NamesAndNoWatcherWithoutTheBlock) {
  EXPECT_EQ(platform::QuitSignalName(SIGTERM), "SIGTERM");
  EXPECT_EQ(platform::QuitSignalName(SIGINT), "SIGINT");
  EXPECT_EQ(platform::QuitSignalName(SIGHUP), "SIGHUP");
  EXPECT_EQ(platform::QuitSignalName(SIGUSR1), "signal " + std::to_string(SIGUSR1));
  // This process never blocked them: a watcher would race the default action.
  EXPECT_FALSE(platform::WatchQuitSignals(Handed));
}

}  // namespace
