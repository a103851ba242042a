#include "platform/screen.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/display.h"
#include "platform/display_link.h"
#include "platform/events.h"
#include "platform/sdl.h"

#if TARVELO_HAVE_SDL && __has_include(<SDL_syswm.h>)
#include <dlfcn.h>

#include <SDL_syswm.h>
#if defined(SDL_VIDEO_DRIVER_X11)
#define TARVELO_WATCH_X11 1
#endif
#endif
#ifndef TARVELO_WATCH_X11
#define TARVELO_WATCH_X11 0
#endif

namespace platform {

namespace {

constexpr int64_t kMaxSide = 16384;
constexpr int32_t kMaxPages = 8;

// one thread: holder of g_lock
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
  // Software drawing shows the page through the window's own pixels (direct);
  // the other drivers through a renderer and its texture.
  bool direct = false;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;
#endif
  // The display connection (X11), looked up in the loaded display library.
  void* xDisplay = nullptr;
  int xFd = -1;
  int (*xQueued)(void*, int) = nullptr;
  // The window on that connection, and what hands it an event.
  unsigned long xWindow = 0;
  int (*xSend)(void*, unsigned long, int, long, void*) = nullptr;
  int (*xFlush)(void*) = nullptr;
  int (*xQueryPointer)(void*, unsigned long, unsigned long*, unsigned long*, int*, int*, int*, int*,
                       unsigned int*) = nullptr;
  int (*xTranslate)(void*, unsigned long, unsigned long, int, int, int*, int*, unsigned long*) = nullptr;
  unsigned long (*xRootOf)(void*) = nullptr;
};

std::recursive_mutex g_lock;
ScreenState g_screen;
// Set by the event pump when the window was resized or uncovered: the shown
// page must be presented again at the new size.
std::atomic<bool> g_exposed{false};
std::atomic<int32_t> g_refreshRate{0};
// one thread: holder of g_lock
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

void ForgetConnectionLocked() {
  g_screen.xDisplay = nullptr;
  g_screen.xFd = -1;
  g_screen.xQueued = nullptr;
  g_screen.xWindow = 0;
  g_screen.xSend = nullptr;
  g_screen.xFlush = nullptr;
  g_screen.xQueryPointer = nullptr;
  g_screen.xTranslate = nullptr;
  g_screen.xRootOf = nullptr;
}

// The window's X11 connection, so that a wait can watch it; nothing on other
// drivers. SDL loads the display library itself: ask the loaded copy.
void WatchConnectionLocked() {
  ForgetConnectionLocked();
#if TARVELO_WATCH_X11
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (!SDL_GetWindowWMInfo(g_screen.window, &info) || info.subsystem != SDL_SYSWM_X11) return;
  void* lib = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
  if (!lib) return;
  auto number = reinterpret_cast<int (*)(void*)>(dlsym(lib, "XConnectionNumber"));
  auto queued = reinterpret_cast<int (*)(void*, int)>(dlsym(lib, "XEventsQueued"));
  if (number && queued && info.info.x11.display) {
    g_screen.xDisplay = info.info.x11.display;
    g_screen.xFd = number(g_screen.xDisplay);
    g_screen.xQueued = queued;
    g_screen.xWindow = info.info.x11.window;
    g_screen.xSend = reinterpret_cast<int (*)(void*, unsigned long, int, long, void*)>(dlsym(lib, "XSendEvent"));
    g_screen.xFlush = reinterpret_cast<int (*)(void*)>(dlsym(lib, "XFlush"));
    g_screen.xQueryPointer = reinterpret_cast<decltype(g_screen.xQueryPointer)>(dlsym(lib, "XQueryPointer"));
    g_screen.xTranslate = reinterpret_cast<decltype(g_screen.xTranslate)>(dlsym(lib, "XTranslateCoordinates"));
    g_screen.xRootOf = reinterpret_cast<decltype(g_screen.xRootOf)>(dlsym(lib, "XDefaultRootWindow"));
  }
  // SDL's own handle keeps the library loaded until the window is gone.
  dlclose(lib);
#endif
}

void DestroyWindowLocked() {
  ForgetConnectionLocked();
  g_screen.direct = false;
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

void FinishWindowLocked() {
  SDL_DisplayMode mode;
  const int display = SDL_GetWindowDisplayIndex(g_screen.window);
  g_refreshRate = SDL_GetCurrentDisplayMode(display < 0 ? 0 : display, &mode) == 0
                      ? mode.refresh_rate : 0;
  WatchConnectionLocked();
}

// Where the page lies in a window of ww x wh pixels, and its scale: the whole
// page, as large as fits, centred (as SDL's logical size places it).
// one thread: value
struct Viewport {
  SDL_Rect r{0, 0, 0, 0};
  float scale = 1.0f;
};

Viewport ViewportFor(int ww, int wh) {
  Viewport v;
  const int w = static_cast<int>(g_screen.width), h = static_cast<int>(g_screen.height);
  if (w < 1 || h < 1 || ww < 1 || wh < 1) return v;
  const float want = static_cast<float>(w) / static_cast<float>(h);
  const float real = static_cast<float>(ww) / static_cast<float>(wh);
  if (std::fabs(want - real) < 0.0001f) {
    v.scale = static_cast<float>(ww) / static_cast<float>(w);
    v.r = SDL_Rect{0, 0, ww, wh};
  } else if (want > real) {
    v.scale = static_cast<float>(ww) / static_cast<float>(w);
    const int vh = static_cast<int>(std::floor(static_cast<float>(h) * v.scale));
    v.r = SDL_Rect{0, (wh - vh) / 2, ww, vh};
  } else {
    v.scale = static_cast<float>(wh) / static_cast<float>(h);
    const int vw = static_cast<int>(std::floor(static_cast<float>(w) * v.scale));
    v.r = SDL_Rect{(ww - vw) / 2, 0, vw, wh};
  }
  return v;
}

// A page pixel as the window shows it: its colour laid over black by its alpha,
// as the texture that showed the page before blended it.
inline uint32_t ShownPixel(uint32_t p) {
  const uint32_t a = p >> 24;
  if (a == 255) return p & 0x00FFFFFFu;
  if (a == 0) return 0;
  const uint32_t r = (((p >> 16) & 0xFF) * a + 127) / 255;
  const uint32_t g = (((p >> 8) & 0xFF) * a + 127) / 255;
  const uint32_t b = ((p & 0xFF) * a + 127) / 255;
  return (r << 16) | (g << 8) | b;
}

// The page scaled into a window of another size (resized from outside): the
// whole window is drawn and sent.
void ShowScaledLocked(SDL_Surface* target) {
  const auto& page = g_screen.pages[g_screen.visible];
  SDL_Surface* src = SDL_CreateRGBSurfaceWithFormatFrom(
      const_cast<uint32_t*>(page.data()), static_cast<int>(g_screen.width),
      static_cast<int>(g_screen.height), 32, static_cast<int>(g_screen.width * 4),
      SDL_PIXELFORMAT_ARGB8888);
  if (!src) return;
  SDL_SetSurfaceBlendMode(src, SDL_BLENDMODE_BLEND);
  SDL_FillRect(target, nullptr, SDL_MapRGB(target->format, 0, 0, 0));
  Viewport v = ViewportFor(target->w, target->h);
  SDL_BlitScaled(src, nullptr, target, &v.r);
  SDL_FreeSurface(src);
  SDL_UpdateWindowSurface(g_screen.window);
}

// The rectangles of the visible page (all of it for none) into the window's
// pixels, and only they are sent to the display.
void ShowDirectLocked(const ScreenRect* rects, int32_t count, const ScreenRect* runs = nullptr,
                      int32_t runCount = -1) {
  // A window resized from outside has a new surface; this gets it.
  SDL_Surface* s = SDL_GetWindowSurface(g_screen.window);
  if (!s) return;
  if (s->w != g_screen.width || s->h != g_screen.height) {
    ShowScaledLocked(s);
    return;
  }
  const ScreenRect whole{0, 0, static_cast<int32_t>(g_screen.width),
                         static_cast<int32_t>(g_screen.height)};
  if (count <= 0) {
    rects = &whole;
    count = 1;
    runCount = -1;
  }
  // Without runs of their own the rectangles are made ready whole.
  if (runCount < 0) {
    runs = rects;
    runCount = count;
  }
  const auto& page = g_screen.pages[g_screen.visible];
  const size_t w = static_cast<size_t>(g_screen.width);
  const SDL_PixelFormat* f = s->format;
  const bool xrgb = f->BytesPerPixel == 4 && f->Rmask == 0x00FF0000u && f->Gmask == 0x0000FF00u &&
                    f->Bmask == 0x000000FFu;
  std::vector<SDL_Rect> sent;
  sent.reserve(static_cast<size_t>(count));
  if (SDL_MUSTLOCK(s) && SDL_LockSurface(s) != 0) return;
  for (int32_t i = 0; i < runCount; ++i) {
    const ScreenRect& r = runs[i];
    for (int32_t row = r.y; row < r.y + r.h; ++row) {
      const uint32_t* from = page.data() + static_cast<size_t>(row) * w + static_cast<size_t>(r.x);
      auto* to = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(s->pixels) +
                                             static_cast<size_t>(row) * static_cast<size_t>(s->pitch)) + r.x;
      if (xrgb) {
        const uint32_t amask = f->Amask & 0xFF000000u;
        for (int32_t k = 0; k < r.w; ++k) {
          // Opaque pixels, nearly all of a page, keep their colour as it is.
          const uint32_t p = from[k];
          to[k] = ((p >> 24) == 255 ? p & 0x00FFFFFFu : ShownPixel(p)) | amask;
        }
      } else {
        for (int32_t k = 0; k < r.w; ++k) {
          const uint32_t p = ShownPixel(from[k]);
          const uint32_t v = SDL_MapRGB(f, (p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
          auto* px = reinterpret_cast<uint8_t*>(static_cast<uint8_t*>(s->pixels) +
                                                static_cast<size_t>(row) * static_cast<size_t>(s->pitch)) +
                     static_cast<size_t>(r.x + k) * f->BytesPerPixel;
          std::memcpy(px, &v, f->BytesPerPixel);
        }
      }
    }
  }
  for (int32_t i = 0; i < count; ++i)
    sent.push_back(SDL_Rect{rects[i].x, rects[i].y, rects[i].w, rects[i].h});
  if (SDL_MUSTLOCK(s)) SDL_UnlockSurface(s);
  SDL_UpdateWindowSurfaceRects(g_screen.window, sent.data(), static_cast<int>(sent.size()));
}

bool CreateWindowLocked(int w, int h, int32_t flags) {
  if (!VideoAcquire()) return false;
  // Software drawing puts the page into the window's own pixels and sends the
  // display only the rectangles that changed. Left to itself SDL would route
  // those pixels through an OpenGL texture (a software one without a graphics
  // card) and redraw the whole window at every present.
  const bool direct = g_driver == "GDI";
  if (direct) SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  // A press captures the pointer until its release: a drag hears its moves
  // out of the window too (SDL captures only a window with the keys' focus;
  // the event pump reads the pointer from the server where it did not).
  SDL_SetHint(SDL_HINT_MOUSE_AUTO_CAPTURE, "1");
  Uint32 wflags = SDL_WINDOW_SHOWN;
  if (flags & kScreenNoFrame) wflags |= SDL_WINDOW_BORDERLESS;
  g_screen.window = SDL_CreateWindow("", g_screen.x, g_screen.y, w, h, wflags);
  if (!g_screen.window) {
    SetDisplayFailure(DisplayName() + ": " + SDL_GetError());
    VideoRelease();
    return false;
  }
  WatchDisplayConnection(g_screen.window);
  if (direct && SDL_GetWindowSurface(g_screen.window)) {
    g_screen.direct = true;
    FinishWindowLocked();
    return true;
  }
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
  FinishWindowLocked();
  return true;
}
#endif

// Uploads the given rectangles of the visible page (all of it for none) and
// shows the page; `upload` false shows what the window's texture holds.
void PresentLocked(const ScreenRect* rects = nullptr, int32_t count = 0, bool upload = true,
                   const ScreenRect* runs = nullptr, int32_t runCount = -1) {
#if TARVELO_HAVE_SDL
  if (!g_screen.open || !g_screen.window || DisplayLost()) return;
  // Talking to the display may read its events into the display library's own
  // queue, where a wait on the connection does not see them: the interface
  // loop is woken to take them.
  struct WakeAfter {
    ~WakeAfter() { WindowEventWake(); }
  } wake;
  if (g_screen.direct) {
    // The window keeps its pixels: a re-show after an uncovering sends them all.
    ShowDirectLocked(upload ? rects : nullptr, upload ? count : 0, runs, runCount);
    return;
  }
  if (!g_screen.texture) return;
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
  (void)runs;
  (void)runCount;
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

bool ScreenCopyRuns(int32_t from, int32_t to, const ScreenRect* runs, int32_t runCount,
                    const ScreenRect* rects, int32_t count) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!g_screen.open || !ValidPage(from) || !ValidPage(to) || from == to || count < 1) return false;
  std::vector<ScreenRect> cut, cutRuns;
  cut.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    ScreenRect r = rects[i];
    if (ClipToScreen(r)) cut.push_back(r);
  }
  if (cut.empty()) return false;
  cutRuns.reserve(static_cast<size_t>(std::max(runCount, 0)));
  for (int32_t i = 0; i < runCount; ++i) {
    ScreenRect r = runs[i];
    if (ClipToScreen(r)) cutRuns.push_back(r);
  }
  const size_t w = static_cast<size_t>(g_screen.width);
  for (const ScreenRect& r : cutRuns) {
    for (int32_t row = r.y; row < r.y + r.h; ++row) {
      const size_t at = static_cast<size_t>(row) * w + static_cast<size_t>(r.x);
      std::copy_n(g_screen.pages[from].data() + at, r.w, g_screen.pages[to].data() + at);
    }
  }
  if (to == g_screen.visible)
    PresentLocked(cut.data(), static_cast<int32_t>(cut.size()), true, cutRuns.data(),
                  static_cast<int32_t>(cutRuns.size()));
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
  if (g_screen.direct && g_screen.window) {
    int ww = 0, wh = 0;
    SDL_GetWindowSize(g_screen.window, &ww, &wh);
    if (ww == g_screen.width && wh == g_screen.height) return;
    const Viewport v = ViewportFor(ww, wh);
    if (v.scale <= 0.0f) return;
    x = static_cast<int>(static_cast<float>(x - v.r.x) / v.scale);
    y = static_cast<int>(static_cast<float>(y - v.r.y) / v.scale);
    return;
  }
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

void ScreenEventToPage(int& x, int& y, int& dx, int& dy) {
#if TARVELO_HAVE_SDL
  std::lock_guard<std::recursive_mutex> g(g_lock);
  // A renderer's window gets its events in page pixels from SDL already.
  if (!g_screen.direct || !g_screen.window) return;
  int ww = 0, wh = 0;
  SDL_GetWindowSize(g_screen.window, &ww, &wh);
  if (ww == g_screen.width && wh == g_screen.height) return;
  const Viewport v = ViewportFor(ww, wh);
  if (v.scale <= 0.0f) return;
  ScreenWindowToPage(x, y);
  dx = static_cast<int>(static_cast<float>(dx) / v.scale);
  dy = static_cast<int>(static_cast<float>(dy) / v.scale);
#else
  (void)x;
  (void)y;
  (void)dx;
  (void)dy;
#endif
}

int ScreenConnectionFd() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_screen.open && !DisplayLost() ? g_screen.xFd : -1;
}

bool ScreenEventsQueued() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!g_screen.open || !g_screen.xQueued || !g_screen.xDisplay || DisplayLost()) return false;
  return g_screen.xQueued(g_screen.xDisplay, 0 /* QueuedAlready: no reading */) > 0;
}

bool ScreenSendLeftRelease(int x, int y) {
#if TARVELO_WATCH_X11
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!g_screen.open || !g_screen.xDisplay || !g_screen.xWindow || !g_screen.xSend || !g_screen.xFlush ||
      DisplayLost())
    return false;
  XEvent e{};
  e.xbutton.type = ButtonRelease;
  e.xbutton.display = static_cast<Display*>(g_screen.xDisplay);
  e.xbutton.window = g_screen.xWindow;
  e.xbutton.time = CurrentTime;
  e.xbutton.x = x;
  e.xbutton.y = y;
  e.xbutton.state = Button1Mask;
  e.xbutton.button = Button1;
  e.xbutton.same_screen = True;
  if (!g_screen.xSend(g_screen.xDisplay, g_screen.xWindow, False, NoEventMask, &e)) return false;
  g_screen.xFlush(g_screen.xDisplay);
  return true;
#else
  (void)x;
  (void)y;
  return false;
#endif
}

bool ScreenReadWindow(std::vector<uint32_t>& pixels, int32_t& width, int32_t& height) {
  pixels.clear();
  width = height = 0;
#if TARVELO_HAVE_SDL
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!g_screen.open || !g_screen.direct || !g_screen.window || DisplayLost()) return false;
  SDL_Surface* s = SDL_GetWindowSurface(g_screen.window);
  if (!s) return false;
  if (SDL_MUSTLOCK(s) && SDL_LockSurface(s) != 0) return false;
  width = s->w;
  height = s->h;
  pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint32_t v = 0;
      std::memcpy(&v, static_cast<const uint8_t*>(s->pixels) + static_cast<size_t>(y) * s->pitch +
                          static_cast<size_t>(x) * s->format->BytesPerPixel,
                  s->format->BytesPerPixel);
      Uint8 r = 0, gr = 0, b = 0;
      SDL_GetRGB(v, s->format, &r, &gr, &b);
      pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
          (uint32_t{r} << 16) | (uint32_t{gr} << 8) | b;
    }
  }
  if (SDL_MUSTLOCK(s)) SDL_UnlockSurface(s);
  return true;
#else
  return false;
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
#if TARVELO_WATCH_X11
  // SDL keeps the place it last asked for when a window manager held the
  // window elsewhere (at a screen edge, say): the server knows where it is.
  unsigned long child = 0;
  int rootX = 0, rootY = 0;
  if (g_screen.open && g_screen.xDisplay && g_screen.xWindow && g_screen.xTranslate &&
      g_screen.xRootOf && !DisplayLost() &&
      g_screen.xTranslate(g_screen.xDisplay, g_screen.xWindow, g_screen.xRootOf(g_screen.xDisplay), 0,
                          0, &rootX, &rootY, &child)) {
    g_screen.x = x = rootX;
    g_screen.y = y = rootY;
    return;
  }
#endif
#if TARVELO_HAVE_SDL
  if (g_screen.window) SDL_GetWindowPosition(g_screen.window, &g_screen.x, &g_screen.y);
#endif
  x = g_screen.x;
  y = g_screen.y;
}

bool ScreenPointerInWindow(int32_t& x, int32_t& y, uint32_t& buttons) {
#if TARVELO_WATCH_X11
  std::lock_guard<std::recursive_mutex> g(g_lock);
  unsigned long root = 0, child = 0;
  int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
  unsigned int mask = 0;
  if (!g_screen.open || !g_screen.xDisplay || !g_screen.xWindow || !g_screen.xQueryPointer ||
      DisplayLost() ||
      !g_screen.xQueryPointer(g_screen.xDisplay, g_screen.xWindow, &root, &child, &rootX, &rootY,
                              &windowX, &windowY, &mask))
    return false;
  ScreenWindowToPage(windowX, windowY);
  x = windowX;
  y = windowY;
  buttons = 0;
  if (mask & Button1Mask) buttons |= 1u;
  if (mask & Button3Mask) buttons |= 2u;
  if (mask & Button2Mask) buttons |= 4u;
  return true;
#else
  (void)x;
  (void)y;
  (void)buttons;
  return false;
#endif
}

void ScreenPointerOnDesktop(int32_t& x, int32_t& y) {
#if TARVELO_WATCH_X11
  {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    unsigned long root = 0, child = 0;
    int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
    unsigned int buttons = 0;
    if (g_screen.open && g_screen.xDisplay && g_screen.xWindow && g_screen.xQueryPointer &&
        !DisplayLost() &&
        g_screen.xQueryPointer(g_screen.xDisplay, g_screen.xWindow, &root, &child, &rootX, &rootY,
                               &windowX, &windowY, &buttons)) {
      x = rootX;
      y = rootY;
      return;
    }
  }
#endif
  PointerPosition(x, y);
}

void ScreenNoteWindowMoved(int32_t x, int32_t y) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  g_screen.x = x;
  g_screen.y = y;
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
