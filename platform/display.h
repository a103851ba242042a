// What the interface asks of the display before it opens its screen: the
// display modes, the desktop size, the number of monitors and where the
// pointer is. On SDL2; headless (see platform/screen.h) it answers from a
// simulated display that tests can set.
#pragma once
#include <cstdint>
#include <vector>

namespace platform {

// one thread: value
struct DisplayMode {
  int32_t width = 0;
  int32_t height = 0;
  int32_t depth = 0;  // bits per pixel
};

// The primary display's modes, each size once, ascending by width then height.
std::vector<DisplayMode> DisplayModes();
// The desktop size of the primary display; false (and zeros) when unknown.
bool DesktopSize(int64_t& width, int64_t& height);
// Monitors attached; at least 1.
int32_t MonitorCount();
// The pointer's position on the desktop.
void PointerPosition(int32_t& x, int32_t& y);

// The simulated display of headless mode. Default: 1920 x 1080 desktop, one
// monitor, pointer at (0, 0), and the common 32-bit modes from 640 x 480 to
// 1920 x 1080. Tests set their own; DisplayResetSimulated brings back the default.
void DisplaySetSimulated(const std::vector<DisplayMode>& modes, int64_t desktopWidth,
                         int64_t desktopHeight, int32_t monitors);
void DisplaySetSimulatedPointer(int32_t x, int32_t y);
void DisplayResetSimulated();

}  // namespace platform
