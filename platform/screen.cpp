#include "platform/screen.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/display_link.h"
#include "platform/sdl.h"

namespace platform {

namespace {

constexpr int64_t kMaxSide = 16384;
constexpr int32_t kMaxPages = 8;

struct ScreenState {
  bool open = false;
  bool headless = true;
  int64_t width = 0;
  int64_t height = 0;
  int64_t depth = 0;
  int32_t flags = 0;
  int32_t work = 0;
  int32_t visible = 0;
  int32_t x = 0;
  int32_t y = 0;
  std::vector<std::vector<uint32_t>> pages;
#if TARVELO_HAVE_SDL
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;
#endif
};

std::recursive_mutex g_lock;
ScreenState g_screen;
// Set by the event pump when the window was resized or uncovered: the shown
// page must be presented again at the new size.
std::atomic<bool> g_exposed{false};
std::atomic<int32_t> g_refreshRate{0};
int32_t g_minimized = 0;
std::string g_driver = "GDI";
std::string g_failingDriver;

bool EnvIs(const char* name, const char* value) {
  const char* v = std::getenv(name);
  return v && std::strcmp(v, value) == 0;
}

bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

#if TARVELO_HAVE_SDL
const char* RenderDriverFor(const std::string& name) {
  if (name == "DirectX") return "opengles2";
  if (name == "OpenGL") return "opengl";
  return "software";
}

void DestroyWindowLocked() {
  if (DisplayLost()) {
    // Nothing can be asked of a display that is gone; the process ends soon.
    g_screen.texture = nullptr;
    g_screen.renderer = nullptr;
    g_screen.window = nullptr;
    return;
  }
  if (g_screen.texture) SDL_DestroyTexture(g_screen.texture);
  if (g_screen.renderer) SDL_DestroyRenderer(g_screen.renderer);
  if (g_screen.window) {
    SDL_DestroyWindow(g_screen.window);
    VideoRelease();
  }
  g_screen.texture = nullptr;
  g_screen.renderer = nullptr;
  g_screen.window = nullptr;
}

bool CreateWindowLocked(int w, int h, int32_t flags) {
  if (!VideoAcquire()) return false;
  Uint32 wflags = SDL_WINDOW_SHOWN;
  if (flags & kScreenNoFrame) wflags |= SDL_WINDOW_BORDERLESS;
  g_screen.window = SDL_CreateWindow("", g_screen.x, g_screen.y, w, h, wflags);
  if (!g_screen.window) {
    SetDisplayFailure(DisplayName() + ": " + SDL_GetError());
    VideoRelease();
    return false;
  }
  WatchDisplayConnection(g_screen.window);
  SDL_SetHint(SDL_HINT_RENDER_DRIVER, RenderDriverFor(g_driver));
  // A present waits for the display's retrace, so frames are never shown
  // faster than the display can.
  SDL_SetHint(SDL_HINT_RENDER_VSYNC, "1");
  g_screen.renderer = SDL_CreateRenderer(g_screen.window, -1, SDL_RENDERER_PRESENTVSYNC);
  if (!g_screen.renderer) {
    // The chosen renderer is a preference: any working one beats no screen.
    SDL_SetHint(SDL_HINT_RENDER_DRIVER, "");
    g_screen.renderer = SDL_CreateRenderer(g_screen.window, -1, SDL_RENDERER_PRESENTVSYNC);
  }
  if (g_screen.renderer) {
    // Whatever size the window is given from outside, the page is scaled into
    // it and pointer positions are scaled back to page pixels.
    SDL_RenderSetLogicalSize(g_screen.renderer, w, h);
    g_screen.texture = SDL_CreateTexture(g_screen.renderer, SDL_PIXELFORMAT_ARGB8888,
                                         SDL_TEXTUREACCESS_STREAMING, w, h);
  }
  if (!g_screen.texture) {
    SetDisplayFailure(DisplayName() + ": " + SDL_GetError());
    DestroyWindowLocked();
    return false;
  }
  SDL_DisplayMode mode;
  const int display = SDL_GetWindowDisplayIndex(g_screen.window);
  g_refreshRate = SDL_GetCurrentDisplayMode(display < 0 ? 0 : display, &mode) == 0
                      ? mode.refresh_rate : 0;
  return true;
}
#endif

// Uploads the given rectangles of the visible page (all of it for none) and
// shows the page; `upload` false shows what the window's texture holds.
void PresentLocked(const ScreenRect* rects = nullptr, int32_t count = 0, bool upload = true) {
#if TARVELO_HAVE_SDL
  if (!g_screen.open || !g_screen.texture || DisplayLost()) return;
  const auto& page = g_screen.pages[g_screen.visible];
  const int pitch = static_cast<int>(g_screen.width * sizeof(uint32_t));
  if (upload && count <= 0) SDL_UpdateTexture(g_screen.texture, nullptr, page.data(), pitch);
  for (int32_t i = 0; upload && i < count; ++i) {
    const SDL_Rect r{rects[i].x, rects[i].y, rects[i].w, rects[i].h};
    const size_t at = static_cast<size_t>(r.y) * static_cast<size_t>(g_screen.width) +
                      static_cast<size_t>(r.x);
    SDL_UpdateTexture(g_screen.texture, &r, page.data() + at, pitch);
  }
  SDL_RenderClear(g_screen.renderer);
  SDL_RenderCopy(g_screen.renderer, g_screen.texture, nullptr, nullptr);
  SDL_RenderPresent(g_screen.renderer);
#else
  (void)rects;
  (void)count;
  (void)upload;
#endif
}

// The rectangle cut to the screen; false when nothing of it is left.
bool ClipToScreen(ScreenRect& r) {
  const int64_t x0 = std::max<int64_t>(r.x, 0), y0 = std::max<int64_t>(r.y, 0);
  const int64_t x1 = std::min<int64_t>(int64_t{r.x} + r.w, g_screen.width);
  const int64_t y1 = std::min<int64_t>(int64_t{r.y} + r.h, g_screen.height);
  if (x1 <= x0 || y1 <= y0) return false;
  r = ScreenRect{static_cast<int32_t>(x0), static_cast<int32_t>(y0), static_cast<int32_t>(x1 - x0),
                 static_cast<int32_t>(y1 - y0)};
  return true;
}

void CloseLocked() {
#if TARVELO_HAVE_SDL
  DestroyWindowLocked();
#endif
  g_refreshRate = 0;
  g_screen.pages.clear();
  g_screen.pages.shrink_to_fit();
  g_screen.open = false;
  g_screen.width = g_screen.height = g_screen.depth = 0;
  g_screen.work = g_screen.visible = 0;
}

bool ValidPage(int32_t p) { return p >= 0 && p < static_cast<int32_t>(g_screen.pages.size()); }

}  // namespace

std::recursive_mutex& SdlVideoLock() { return g_lock; }

bool ScreenHeadless() {
  if (!TARVELO_HAVE_SDL) return true;
  if (EnvIs("TARVELO_HEADLESS", "1") || EnvIs("SDL_VIDEODRIVER", "dummy")) return true;
  // Nothing may be asked of a display server that went away.
  if (DisplayLost()) return true;
  // An explicit SDL driver (offscreen, x11, wayland ...) says where to draw.
  if (EnvSet("SDL_VIDEODRIVER")) return false;
  return !EnvSet("DISPLAY") && !EnvSet("WAYLAND_DISPLAY");
}

std::string ScreenMissingDisplay() {
  if (!TARVELO_HAVE_SDL || EnvIs("TARVELO_HEADLESS", "1") || EnvSet("SDL_VIDEODRIVER")) return "";
  if (EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY")) return "";
  return "no display: neither DISPLAY nor WAYLAND_DISPLAY is set (TARVELO_HEADLESS=1 runs without a window)";
}

bool ScreenSelectDriver(const std::string& name) {
  if (name != "GDI" && name != "DirectX" && name != "OpenGL") return false;
  std::lock_guard<std::recursive_mutex> g(g_lock);
  g_driver = name;
  return true;
}

void ScreenFailDriver(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  g_failingDriver = name;
}

std::string ScreenDriver() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_driver;
}

bool ScreenOpen(int64_t width, int64_t height, int32_t depth, int32_t pages, int32_t flags,
                int32_t refresh) {
  (void)refresh;  // the window follows the display's own rate
  std::lock_guard<std::recursive_mutex> g(g_lock);
  CloseLocked();
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return false;
  if (depth != 32 || pages < 1 || pages > kMaxPages) return false;
  if (!g_failingDriver.empty() && g_failingDriver == g_driver) return false;
  try {
    g_screen.pages.assign(static_cast<size_t>(pages),
                          std::vector<uint32_t>(static_cast<size_t>(width * height), 0u));
  } catch (const std::bad_alloc&) {
    CloseLocked();
    return false;
  }
  g_screen.headless = ScreenHeadless();
#if TARVELO_HAVE_SDL
  if (!g_screen.headless &&
      !CreateWindowLocked(static_cast<int>(width), static_cast<int>(height), flags)) {
    CloseLocked();
    return false;
  }
#endif
  g_screen.open = true;
  g_screen.width = width;
  g_screen.height = height;
  g_screen.depth = depth;
  g_screen.flags = flags;
  g_screen.work = 0;
  g_screen.visible = 0;
  return true;
}

void ScreenClose() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  CloseLocked();
}

bool ScreenIsOpen() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_screen.open;
}

int32_t ScreenFlags() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_screen.open ? g_screen.flags : 0;
}

void ScreenSetPages(int32_t work, int32_t visible) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!g_screen.open) return;
  if (ValidPage(work)) g_screen.work = work;
  if (ValidPage(visible) && visible != g_screen.visible) {
    g_screen.visible = visible;
    PresentLocked();
  }
}

int32_t ScreenWorkPage() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_screen.work;
}

int32_t ScreenVisiblePage() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_screen.visible;
}

uint32_t* ScreenPointer() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_screen.open ? g_screen.pages[g_screen.work].data() : nullptr;
}

uint32_t* ScreenPagePixels(int32_t page) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_screen.open && ValidPage(page) ? g_screen.pages[page].data() : nullptr;
}

void ScreenCopyPage(int32_t from, int32_t to) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!g_screen.open || !ValidPage(from) || !ValidPage(to) || from == to) return;
  g_screen.pages[to] = g_screen.pages[from];
  if (to == g_screen.visible) PresentLocked();
}

bool ScreenCopyRects(int32_t from, int32_t to, const ScreenRect* rects, int32_t count) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!g_screen.open || !ValidPage(from) || !ValidPage(to) || from == to || count < 1) return false;
  std::vector<ScreenRect> cut;
  cut.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    ScreenRect r = rects[i];
    if (ClipToScreen(r)) cut.push_back(r);
  }
  if (cut.empty()) return false;
  const size_t w = static_cast<size_t>(g_screen.width);
  for (const ScreenRect& r : cut) {
    for (int32_t row = r.y; row < r.y + r.h; ++row) {
      const size_t at = static_cast<size_t>(row) * w + static_cast<size_t>(r.x);
      std::copy_n(g_screen.pages[from].data() + at, r.w, g_screen.pages[to].data() + at);
    }
  }
  if (to == g_screen.visible) PresentLocked(cut.data(), static_cast<int32_t>(cut.size()));
  return true;
}

void ScreenPresent() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  PresentLocked();
}

void ScreenNoteExposed() { g_exposed = true; }

bool ScreenPresentIfExposed() {
  if (!g_exposed.exchange(false)) return false;
  std::lock_guard<std::recursive_mutex> g(g_lock);
  PresentLocked(nullptr, 0, false);
  return true;
}

int32_t ScreenRefreshRate() { return g_refreshRate.load(); }

void ScreenWindowToPage(int& x, int& y) {
#if TARVELO_HAVE_SDL
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!g_screen.renderer) return;
  float px = 0.0f, py = 0.0f;
  SDL_RenderWindowToLogical(g_screen.renderer, x, y, &px, &py);
  x = static_cast<int>(px);
  y = static_cast<int>(py);
#else
  (void)x;
  (void)y;
#endif
}

void ScreenInfo(int64_t& width, int64_t& height, int64_t& depth) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  width = g_screen.width;
  height = g_screen.height;
  depth = g_screen.depth;
}

void ScreenMoveWindow(int32_t x, int32_t y) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  g_screen.x = x;
  g_screen.y = y;
#if TARVELO_HAVE_SDL
  if (g_screen.window) SDL_SetWindowPosition(g_screen.window, x, y);
#endif
}

void ScreenWindowPosition(int32_t& x, int32_t& y) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  x = g_screen.x;
  y = g_screen.y;
}

void ScreenMinimizeWindow() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  ++g_minimized;
#if TARVELO_HAVE_SDL
  if (g_screen.window) SDL_MinimizeWindow(g_screen.window);
#endif
}

int32_t ScreenMinimizeCount() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_minimized;
}

}  // namespace platform
