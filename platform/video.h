// The display's refresh as the video thread sees it, and screen snapshots: the
// vertical-retrace wait of our Linux layer and the visible page as a BMP file.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

// Waits for the start of the display's next refresh: the clock is split into
// frames of the display's refresh rate and the wait ends at the next frame
// boundary. Headless the rate is the simulated one.
void WaitVerticalRetrace();
// The same on a caller's clock (seconds) and its sleep: the video thread runs
// on one that tests can drive.
void WaitVerticalRetrace(double (*now)(), void (*sleep)(double seconds));
// The refresh rate the wait follows, in Hz (60 when the display gives none).
int32_t DisplayRefreshRate();
// The simulated display's refresh rate (headless); 0 brings back 60 Hz.
void SetSimulatedRefreshRate(int32_t hz);

// A 24-bit uncompressed BMP (BITMAPINFOHEADER, rows bottom-up, each padded to
// four bytes) of width x height 0xAARRGGBB pixels, `pitch` pixels a row.
std::string EncodeBmp24(const uint32_t* pixels, int32_t width, int32_t height, int32_t pitch);
// The open screen's visible page as such a BMP; false while no screen is open.
bool ScreenVisibleBmp(std::string& out);

}  // namespace platform
