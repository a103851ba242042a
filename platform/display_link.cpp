#include "platform/display_link.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/sdl.h"

#if TARVELO_HAVE_SDL && __has_include(<SDL_syswm.h>)
#include <SDL_syswm.h>
#define TARVELO_HAVE_SYSWM 1
#else
#define TARVELO_HAVE_SYSWM 0
#endif

namespace platform {

namespace {

constexpr int kConnectAttempts = 5;
constexpr auto kConnectPause = std::chrono::milliseconds(40);

std::mutex g_lock;
// one thread: holder of g_lock
bool g_held = false;
std::string g_failure;
// How long the thread that noticed the loss waits for the main thread to end
// the run; the main thread may be waiting for a lock that thread holds.
constexpr auto kHandOver = std::chrono::seconds(3);

std::atomic<bool> g_lost{false};
std::atomic<bool> g_takenOver{false};
std::atomic<void (*)()> g_endRun{nullptr};
std::atomic<void (*)()> g_askMain{nullptr};
// one thread: start-up, set with the display-lost hooks
std::thread::id g_mainThread;

[[noreturn]] void WaitForTheEnd() {
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

// The display library must not be called again by the thread that noticed:
// its connection state is broken, and going on crashes inside it. So that
// thread ends the run itself or waits while the main thread does.
void DisplayGone() {
  g_lost.store(true);
  void (*endRun)() = g_endRun.load();
  if (!endRun) return;
  if (std::this_thread::get_id() != g_mainThread) {
    if (void (*ask)() = g_askMain.load()) ask();
    const auto until = std::chrono::steady_clock::now() + kHandOver;
    while (!g_takenOver.load() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (g_takenOver.exchange(true)) WaitForTheEnd();
  endRun();
  WaitForTheEnd();
}

#if TARVELO_HAVE_SDL
bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

// A Wayland display named relative to the runtime folder is out of reach
// without a usable one.
bool WaylandReachable() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  if (name && name[0] == '/') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st{};
  return runtime && runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode);
}

// The drivers with a display in the environment, X first; both when neither
// is named (the failure then names what SDL found missing).
std::string DriversToTry() {
  const bool x = EnvSet("DISPLAY");
  const bool wayland = EnvSet("WAYLAND_DISPLAY") && (!x || WaylandReachable());
  if (x && !wayland) return "x11";
  if (wayland && !x) return "wayland";
  return "x11,wayland";
}

bool Invisible(const char* driver) {
  return driver && (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0);
}

// One attempt; true when SDL's video runs on a display the user can see (or on
// the driver SDL_VIDEODRIVER names).
bool InitOnce() {
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return false;
  const char* asked = std::getenv("SDL_VIDEODRIVER");
  if ((asked && *asked) || !Invisible(SDL_GetCurrentVideoDriver())) return true;
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
  SDL_SetError("the display refused the connection");
  return false;
}
#endif

#if TARVELO_HAVE_SYSWM
using ExitHandler = void (*)(void*, void*);
using SetExitHandler = void (*)(void*, ExitHandler, void*);
using IoHandler = int (*)(void*);
using SetIoHandler = IoHandler (*)(IoHandler);

// Called by the display library once its connection is broken. Returning lets
// the caller go on with a connection that fails every request, which the
// screen code survives until the main thread has ended the run.
void ConnectionBroken(void*, void*) { DisplayGone(); }
// The library's own handler ends nothing since it has an exit handler; this
// one only keeps its console line out.
int QuietIoError(void*) { return 0; }
#endif

}  // namespace

bool VideoAcquire() {
#if TARVELO_HAVE_SDL
  std::lock_guard<std::mutex> g(g_lock);
  const char* asked = std::getenv("SDL_VIDEODRIVER");
  // Only drivers that show a window are tried; SDL's last resort is an
  // invisible one that would make a failed connection look like a small desktop.
  // And only those the environment names a display for: a Wayland attempt
  // without one fills the console with its own complaints before the X
  // server's real error.
  if (!(asked && *asked)) SDL_SetHint(SDL_HINT_VIDEODRIVER, DriversToTry().c_str());
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(kConnectPause);
    if (!InitOnce()) continue;
    if (!g_held) {
      g_held = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
    }
    g_failure.clear();
    return true;
  }
  g_failure = DisplayName() + ": " + SDL_GetError();
  return false;
#else
  std::lock_guard<std::mutex> g(g_lock);
  g_failure = DisplayName() + ": no display support in this build";
  return false;
#endif
}

void VideoRelease() {
#if TARVELO_HAVE_SDL
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
#endif
}

std::string DisplayFailureText() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_failure;
}

void SetDisplayFailure(const std::string& why) {
  std::lock_guard<std::mutex> g(g_lock);
  g_failure = why;
}

std::string DisplayName() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  const char* name = x && *x ? x : (w && *w ? w : "(none)");
  return std::string("the display \"") + name + "\"";
}

void WatchDisplayConnection(void* sdlWindow) {
#if TARVELO_HAVE_SYSWM && defined(SDL_VIDEO_DRIVER_X11)
  auto* window = static_cast<SDL_Window*>(sdlWindow);
  if (!window) return;
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return;
  // SDL loads the display library itself; ask the loaded copy, linking nothing.
  void* lib = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
  if (!lib) return;
  auto setExit = reinterpret_cast<SetExitHandler>(dlsym(lib, "XSetIOErrorExitHandler"));
  auto setIo = reinterpret_cast<SetIoHandler>(dlsym(lib, "XSetIOErrorHandler"));
  if (setExit) {
    setExit(info.info.x11.display, ConnectionBroken, nullptr);
    if (setIo) setIo(QuietIoError);
  }
  dlclose(lib);
#else
  (void)sdlWindow;
#endif
}

void SetDisplayLostHooks(void (*endRun)(), void (*askMain)()) {
  g_mainThread = std::this_thread::get_id();
  g_askMain.store(askMain);
  g_endRun.store(endRun);
}

bool DisplayLost() { return g_lost.load(); }

bool TakeOverDisplayLoss() { return g_lost.load() && !g_takenOver.exchange(true); }

void MarkDisplayLost() { DisplayGone(); }

}  // namespace platform
