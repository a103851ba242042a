#include "platform/display.h"

#include <algorithm>
#include <mutex>

#include "platform/display_link.h"
#include "platform/screen.h"
#include "platform/sdl.h"

namespace platform {

namespace {

// one thread: holder of g_lock
struct Simulated {
  std::vector<DisplayMode> modes;
  int64_t width = 1920;
  int64_t height = 1080;
  int32_t monitors = 1;
  int32_t pointerX = 0;
  int32_t pointerY = 0;
};

std::mutex g_lock;

std::vector<DisplayMode> DefaultModes() {
  const int32_t sizes[][2] = {{640, 480},   {800, 600},   {1024, 768},  {1280, 720},
                              {1280, 800},  {1280, 1024}, {1366, 768},  {1440, 900},
                              {1600, 900},  {1680, 1050}, {1920, 1080}};
  std::vector<DisplayMode> modes;
  for (const auto& s : sizes) modes.push_back({s[0], s[1], 32});
  return modes;
}

Simulated& Sim() {
  static Simulated sim{DefaultModes()};
  return sim;
}

void SortUnique(std::vector<DisplayMode>& modes) {
  std::sort(modes.begin(), modes.end(), [](const DisplayMode& a, const DisplayMode& b) {
    return a.width != b.width ? a.width < b.width : a.height < b.height;
  });
  modes.erase(std::unique(modes.begin(), modes.end(),
                          [](const DisplayMode& a, const DisplayMode& b) {
                            return a.width == b.width && a.height == b.height;
                          }),
              modes.end());
}

#if TARVELO_HAVE_SDL
// Video is initialised for the query only; SDL counts the users of a subsystem.
// The query holds SDL's video lock throughout, as every SDL video call does.
// one thread: value
class VideoUse {
 public:
  VideoUse() : hold_(SdlVideoLock()), ok_(VideoAcquire()) {}
  ~VideoUse() {
    if (ok_) VideoRelease();
  }
  bool ok() const { return ok_; }

 private:
  std::lock_guard<std::recursive_mutex> hold_;
  bool ok_;
};
#endif

}  // namespace

std::vector<DisplayMode> DisplayModes() {
  std::vector<DisplayMode> modes;
#if TARVELO_HAVE_SDL
  if (!ScreenHeadless()) {
    VideoUse video;
    if (!video.ok()) return modes;
    const int n = SDL_GetNumDisplayModes(0);
    for (int i = 0; i < n; ++i) {
      SDL_DisplayMode m;
      if (SDL_GetDisplayMode(0, i, &m) != 0) continue;
      // Four bytes a pixel: the pages are 32-bit whatever the display's format.
      const int32_t depth = SDL_BYTESPERPIXEL(m.format) == 4 ? 32 : SDL_BITSPERPIXEL(m.format);
      modes.push_back({m.w, m.h, depth});
    }
    SortUnique(modes);
    return modes;
  }
#endif
  std::lock_guard<std::mutex> g(g_lock);
  modes = Sim().modes;
  SortUnique(modes);
  return modes;
}

bool DesktopSize(int64_t& width, int64_t& height) {
  width = height = 0;
#if TARVELO_HAVE_SDL
  if (!ScreenHeadless()) {
    VideoUse video;
    SDL_DisplayMode m;
    if (!video.ok() || SDL_GetDesktopDisplayMode(0, &m) != 0) return false;
    width = m.w;
    height = m.h;
    return width > 0 && height > 0;
  }
#endif
  std::lock_guard<std::mutex> g(g_lock);
  width = Sim().width;
  height = Sim().height;
  if (width > 0 && height > 0) return true;
  SetDisplayFailure(DisplayName() + ": the desktop has no size");
  return false;
}

int32_t MonitorCount() {
#if TARVELO_HAVE_SDL
  if (!ScreenHeadless()) {
    VideoUse video;
    const int n = video.ok() ? SDL_GetNumVideoDisplays() : 1;
    return n < 1 ? 1 : n;
  }
#endif
  std::lock_guard<std::mutex> g(g_lock);
  return Sim().monitors < 1 ? 1 : Sim().monitors;
}

void PointerPosition(int32_t& x, int32_t& y) {
  x = y = 0;
#if TARVELO_HAVE_SDL
  if (!ScreenHeadless()) {
    VideoUse video;
    int px = 0, py = 0;
    if (video.ok()) SDL_GetGlobalMouseState(&px, &py);
    x = px;
    y = py;
    return;
  }
#endif
  std::lock_guard<std::mutex> g(g_lock);
  x = Sim().pointerX;
  y = Sim().pointerY;
}

void DisplaySetSimulated(const std::vector<DisplayMode>& modes, int64_t desktopWidth,
                         int64_t desktopHeight, int32_t monitors) {
  std::lock_guard<std::mutex> g(g_lock);
  Sim().modes = modes;
  Sim().width = desktopWidth;
  Sim().height = desktopHeight;
  Sim().monitors = monitors;
}

void DisplaySetSimulatedPointer(int32_t x, int32_t y) {
  std::lock_guard<std::mutex> g(g_lock);
  Sim().pointerX = x;
  Sim().pointerY = y;
}

void DisplayResetSimulated() {
  std::lock_guard<std::mutex> g(g_lock);
  Sim() = Simulated{DefaultModes()};
}

}  // namespace platform
