#include "platform/quit_signals.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/sdl.h"
#include "platform/threads.h"

namespace platform {

namespace {

std::atomic<bool> g_blocked{false};
std::atomic<bool> g_watching{false};
std::atomic<int> g_count{0};
std::atomic<int> g_first{0};
std::atomic<int> g_second{0};
std::atomic<double> g_firstAt{0.0};
// Held while `onQuit` runs, so StopQuitRequests can wait for a post under way.
std::mutex g_lock;
// one thread: start-up
void (*g_onQuit)(int) = nullptr;

sigset_t QuitSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

void Watch() {
  ThreadSetName("tarvelo-signal");
  const sigset_t set = QuitSet();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    const int before = g_count.fetch_add(1);
    if (before > 1) std::_Exit(128 + sig);
    if (before == 1) {
      // The end may be writing recordings: it ends them with headers naming
      // what their files hold, then the process.
      g_second.store(sig);
      continue;
    }
    g_firstAt.store(HighResClock());
    g_first.store(sig);
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_onQuit) g_onQuit(sig);
  }
}

}  // namespace

void BlockQuitSignals() {
#if TARVELO_HAVE_SDL
  // SDL would otherwise turn the signals into quit events of its own, which
  // reach the program as a window close that asks before it ends.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
#endif
  const sigset_t set = QuitSet();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0) g_blocked.store(true);
}

bool WatchQuitSignals(void (*onQuit)(int signal)) {
  if (!g_blocked.load() || g_watching.exchange(true)) return false;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_onQuit = onQuit;
  }
  try {
    // Never joined: it waits in sigwait until the process ends.
    std::thread(Watch).detach();
  } catch (...) {
    g_watching.store(false);
    return false;
  }
  return true;
}

void StopQuitRequests() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_onQuit = nullptr;
}

int FirstQuitSignal() { return g_first.load(); }

int SecondQuitSignal() { return g_second.load(); }

double FirstQuitSignalAt() { return g_first.load() != 0 ? g_firstAt.load() : 0.0; }

std::string QuitSignalName(int signal) {
  switch (signal) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(signal);
  }
}

}  // namespace platform
