// The graphics screen of our Linux layer: one window showing 32-bit pixel pages
// (a work page to draw on, a visible page the window shows), on SDL2.
//
// Headless mode (TARVELO_HEADLESS=1, SDL_VIDEODRIVER=dummy, or no display to
// connect to) keeps the pages in memory and does everything but show them, so
// tests and display-less machines open screens like any other.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Screen flags understood by ScreenOpen; other bits are kept but mean nothing.
constexpr int32_t kScreenNoFrame = 8;  // a window without border and title bar

// True when no window will be made (see above); read anew at every call.
bool ScreenHeadless();
// What keeps a window from being shown when no headless run was asked for
// (TARVELO_HEADLESS=1) and no SDL video driver was named: neither DISPLAY nor
// WAYLAND_DISPLAY set. Empty when a window can be tried.
std::string ScreenMissingDisplay();

// Chooses the renderer of the next ScreenOpen by its setting name: "GDI"
// (software rendering), "DirectX" (OpenGL ES), "OpenGL". Gives false and keeps
// the previous choice for any other name.
bool ScreenSelectDriver(const std::string& name);
std::string ScreenDriver();  // the chosen name, "GDI" until one is chosen
// For tests: every ScreenOpen with the named driver fails, as when its window
// cannot be made ("" ends that).
void ScreenFailDriver(const std::string& name);

// Opens (or reopens) the screen: width x height pixels of `depth` bits (only 32
// is supported), `pages` pixel pages (1 to 8), the flags above and a refresh
// rate (0 = the display's own). False when the size is out of range (1 to
// 16384 each way), the memory cannot be had, or the window cannot be made.
bool ScreenOpen(int64_t width, int64_t height, int32_t depth, int32_t pages, int32_t flags,
                int32_t refresh);
void ScreenClose();
bool ScreenIsOpen();
int32_t ScreenFlags();

// Which page drawing goes to and which one the window shows; -1 keeps a choice,
// an out-of-range page is ignored.
void ScreenSetPages(int32_t work, int32_t visible);
int32_t ScreenWorkPage();
int32_t ScreenVisiblePage();
// Pixels (0xAARRGGBB, rows of `width`) of the work page or of a given page;
// null while no screen is open or for a page that does not exist.
uint32_t* ScreenPointer();
uint32_t* ScreenPagePixels(int32_t page);
// Copies one page onto another and shows the visible page when it was the target.
// Showing waits for the display's retrace.
void ScreenCopyPage(int32_t from, int32_t to);
// The same for some rectangles of the page only (cut to the screen): only they
// are copied and sent to the window. False when nothing was copied.
// one thread: value
struct ScreenRect {
  int32_t x = 0, y = 0, w = 0, h = 0;
};
bool ScreenCopyRects(int32_t from, int32_t to, const ScreenRect* rects, int32_t count);
// The same where the caller knows which runs of pixels inside the rectangles
// differ between the two pages (rectangles of their own, cut to the screen):
// only the runs are copied and made ready for the window, the rectangles are
// sent to it. The rest of the rectangles must be the same on both pages.
bool ScreenCopyRuns(int32_t from, int32_t to, const ScreenRect* runs, int32_t runCount,
                    const ScreenRect* rects, int32_t count);
// Shows the visible page in the window (nothing to do headless).
void ScreenPresent();

// The window was resized or uncovered (the event pump says so): the next
// ScreenPresentIfExposed shows the visible page again, scaled to the window.
void ScreenNoteExposed();
bool ScreenPresentIfExposed();  // true when it presented
// The refresh rate of the window's display in Hz; 0 when unknown or headless.
int32_t ScreenRefreshRate();
// A position in the window's pixels as a position on the page (they differ
// once the window was resized from outside); kept as it is headless.
void ScreenWindowToPage(int& x, int& y);
// The same for a pointer event's position and motion: SDL hands a renderer's
// window its events in page pixels already, the software window's in its own.
void ScreenEventToPage(int& x, int& y, int& dx, int& dy);

// The display connection the window's events arrive on, for a wait to watch;
// -1 headless or where it cannot be had (drivers other than X11).
int ScreenConnectionFd();
// Whether the display library holds events already read off that connection,
// which a wait on it would not see. Call holding SdlVideoLock.
bool ScreenEventsQueued();
// Hands the window a release of the left button at (x, y) in its own pixels,
// as the display server would: SDL takes it as the button's release. False
// where it cannot (headless, drivers other than X11). Call holding SdlVideoLock.
bool ScreenSendLeftRelease(int x, int y);
// For tests: what the window shows now, as page pixels (0x00RRGGBB, rows of the
// window's width); false headless or when it cannot be read (a renderer's
// window, which only the display holds).
bool ScreenReadWindow(std::vector<uint32_t>& pixels, int32_t& width, int32_t& height);

// Size and depth of the open screen; zeros while none is open.
void ScreenInfo(int64_t& width, int64_t& height, int64_t& depth);

// Puts the window's top-left corner at a desktop position.
void ScreenMoveWindow(int32_t x, int32_t y);
// Where the window's top-left corner is now, asked of the display server
// (X11): the window manager may have moved it since the program last did, or
// kept it from where the program asked (elsewhere the last place SDL heard of;
// headless, the last move set or reported).
void ScreenWindowPosition(int32_t& x, int32_t& y);
// Where the pointer is in the window's own pixels, as page pixels (outside the
// window too), and the buttons down (the kButton* bits of platform/events.h),
// asked of the display server. False where it cannot be asked (headless,
// drivers other than X11).
bool ScreenPointerInWindow(int32_t& x, int32_t& y, uint32_t& buttons);
// Where the pointer is on the desktop now, asked of the display server itself
// (X11): SDL's global pointer state may hold a position from before the last
// moves. Elsewhere, and headless, platform::PointerPosition's.
void ScreenPointerOnDesktop(int32_t& x, int32_t& y);
// The event pump's report that the window was moved (SDL's window-moved event).
void ScreenNoteWindowMoved(int32_t x, int32_t y);

// Minimises the window to the desktop's task bar. Every call is counted, with a
// window or without one, so headless runs can see that it was asked for.
void ScreenMinimizeWindow();
int32_t ScreenMinimizeCount();

}  // namespace platform
