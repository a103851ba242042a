#include "platform/video.h"

#include <atomic>
#include <cmath>

#include "platform/screen.h"
#include "platform/sdl.h"
#include "platform/threads.h"

namespace platform {

namespace {

constexpr int32_t kDefaultRefresh = 60;
std::atomic<int32_t> g_simulatedRefresh{kDefaultRefresh};

void PutLe(std::string& s, size_t at, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

int32_t DisplayRefreshRate() {
  if (ScreenHeadless()) return g_simulatedRefresh.load();
  // The open window's display, read once when it opened (the video thread asks
  // every frame).
  if (const int32_t hz = ScreenRefreshRate(); hz > 0) return hz;
#if TARVELO_HAVE_SDL
  std::lock_guard<std::recursive_mutex> hold(SdlVideoLock());
  if (SDL_WasInit(SDL_INIT_VIDEO)) {
    SDL_DisplayMode m;
    if (SDL_GetCurrentDisplayMode(0, &m) == 0 && m.refresh_rate > 0) return m.refresh_rate;
  }
#endif
  return kDefaultRefresh;
}

void SetSimulatedRefreshRate(int32_t hz) { g_simulatedRefresh = hz > 0 ? hz : kDefaultRefresh; }

void WaitVerticalRetrace() { WaitVerticalRetrace(HighResClock, SleepSeconds); }

void WaitVerticalRetrace(double (*now)(), void (*sleep)(double seconds)) {
  const double period = 1.0 / static_cast<double>(DisplayRefreshRate());
  const double t = now();
  const double next = (std::floor(t / period) + 1.0) * period;
  sleep(next - t);
}

std::string EncodeBmp24(const uint32_t* pixels, int32_t width, int32_t height, int32_t pitch) {
  if (!pixels || width < 1 || height < 1 || pitch < width) return std::string();
  const uint32_t rowBytes = (static_cast<uint32_t>(width) * 3u + 3u) & ~3u;
  const uint32_t imageBytes = rowBytes * static_cast<uint32_t>(height);
  const uint32_t offset = 14 + 40;
  std::string s(offset + imageBytes, '\0');
  s[0] = 'B';
  s[1] = 'M';
  PutLe(s, 2, offset + imageBytes, 4);
  PutLe(s, 10, offset, 4);
  PutLe(s, 14, 40, 4);
  PutLe(s, 18, static_cast<uint32_t>(width), 4);
  PutLe(s, 22, static_cast<uint32_t>(height), 4);
  PutLe(s, 26, 1, 2);   // planes
  PutLe(s, 28, 24, 2);  // bits per pixel
  PutLe(s, 34, imageBytes, 4);
  PutLe(s, 38, 2835, 4);  // 72 dpi
  PutLe(s, 42, 2835, 4);
  for (int32_t y = 0; y < height; ++y) {
    const uint32_t* row = pixels + static_cast<size_t>(height - 1 - y) * static_cast<size_t>(pitch);
    size_t at = offset + static_cast<size_t>(y) * rowBytes;
    for (int32_t x = 0; x < width; ++x) {
      const uint32_t p = row[x];
      s[at++] = static_cast<char>(p & 0xFF);
      s[at++] = static_cast<char>((p >> 8) & 0xFF);
      s[at++] = static_cast<char>((p >> 16) & 0xFF);
    }
  }
  return s;
}

bool ScreenVisibleBmp(std::string& out) {
  out.clear();
  int64_t w = 0, h = 0, d = 0;
  ScreenInfo(w, h, d);
  const uint32_t* px = ScreenPagePixels(ScreenVisiblePage());
  if (!px || w < 1 || h < 1) return false;
  out = EncodeBmp24(px, static_cast<int32_t>(w), static_cast<int32_t>(h), static_cast<int32_t>(w));
  return !out.empty();
}

}  // namespace platform
