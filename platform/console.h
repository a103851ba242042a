// The text console of our Linux layer: the program's standard output, with the
// 16-colour console palette (and 32-bit colours) shown as ANSI colours on a
// terminal, line printing, a tracked cursor, clearing and a key wait. When
// standard output is no terminal (a pipe, a log, a test run) lines are printed
// as plain text without escape sequences.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

// What each console code shows, as a Windows-1252 character (256 entries,
// copied). Printed bytes are console codes; they reach the terminal as the
// UTF-8 of the character their code shows. Null: codes show themselves.
void ConsoleSetCharset(const uint8_t* codeToWin1252);

// Text colours of the following lines. Palette indexes 0..15 follow the
// classic console order: black, blue, green, cyan, red, magenta, brown, light
// grey, dark grey, light blue, light green, light cyan, light red, light
// magenta, yellow, white. A background of 0 is the terminal's own background.
void ConsoleSetPaletteColour(uint32_t foreground, uint32_t background);
// 0xAARRGGBB colours, as a graphics screen uses them.
void ConsoleSetRgbColour(uint32_t foreground, uint32_t background);

// one thread: value
struct ConsoleColourState {
  bool rgb = false;
  uint32_t foreground = 7;
  uint32_t background = 0;
};
ConsoleColourState ConsoleColour();

// Prints the bytes (console codes) as one line in the current colours and
// moves the cursor to the start of the next row.
void ConsolePrintLine(const std::string& text);

// 1-based cursor position as this layer has tracked it since the last clear.
int32_t ConsoleCursorRow();
int32_t ConsoleCursorColumn();
void ConsoleLocate(int32_t row, int32_t column);
void ConsoleClear();
// Waits for one key on a terminal; returns at once without one or when
// TARVELO_HEADLESS=1.
void ConsoleWaitKey();

bool ConsoleIsTerminal();

// Tests only: while a sink is set, printed lines (raw console codes followed by
// "\n") go to it instead of standard output. Null restores standard output.
void ConsoleCaptureForTest(std::string* sink);

}  // namespace platform
