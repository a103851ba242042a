// The text-console printer (the first message hook), the console code-page map
// and the opening of the graphics screen.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace QUARLE_BASICS {

// Entry k: the Windows-1252 character that console code k shows; its inverse
// gives the console code of a character (0 for one no code shows). 256 bytes
// each once InitCharTables ran, null before and after FreeCharTables. The
// console printer reads them on whichever thread reports.
// one thread: start-up, read-only between
extern uint8_t* CodePageMap;
extern uint8_t* CodePageInverse;

// The open screen as the graphics layer reports it (0 while none is open).
// The interface opens the screen (at start-up, again after a driver change);
// the console printer reads the height on whichever thread reports.
extern std::atomic<int64_t> ScreenWidth;
extern std::atomic<int64_t> ScreenHeight;
extern std::atomic<int64_t> ScreenDepth;

// The "DISPLAY DRIVER" setting: 0 GDI, 1 DirectX, 2 OpenGL. The settings reader
// writes it; OpenScreen resets any other value to 0.
// one thread: interface, the settings reader, the driver change and the settings page
extern uint8_t DisplayDriverIndex;

// Builds the code-page map and its inverse (the character classes of the label
// abbreviation are fixed tables). 0, or -21 when the maps cannot be allocated.
int32_t InitCharTables();
// Frees both maps; BasicsShutdown calls it once InitCharTables has run.
void FreeCharTables();

// Each byte replaced by its console code; a character that no console code
// shows becomes "?", so it can neither vanish nor cut the text short. Unchanged
// while the maps do not exist.
std::string ToFontCodePage(const std::string& text);

// With a screen height known and the cursor below ScreenHeight / 11 rows: waits
// for a key when asked, clears the console and puts the cursor at row 1.
void ConsoleScrollCheck(uint8_t waitForKey);

// The message hook used before the message console exists: one line of the
// level's prefix, a space and the text, in the level's colour.
void ConsolePrint(const std::string& text, int32_t level);

// Opens a width x height, 32-bit, two-page screen with the driver of
// DisplayDriverIndex; gives its pixel memory (page 0), or null.
uint32_t* OpenScreen(int32_t flags, int64_t width, int64_t height);

}  // namespace QUARLE_BASICS
