#include "platform/console.h"

#include "platform/charset.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

namespace {

// One lock keeps a line's colour, text and cursor step together when two
// threads report at once; it is never held while waiting for anything else.
std::mutex g_lock;
// one thread: holder of g_lock
uint8_t g_charset[256];
bool g_hasCharset = false;
ConsoleColourState g_colour;
int32_t g_row = 1;
int32_t g_column = 1;
std::string* g_capture = nullptr;

std::string ToTerminalText(const std::string& codes) {
  std::string out;
  out.reserve(codes.size() + codes.size() / 2);
  for (unsigned char code : codes) {
    unsigned char c = g_hasCharset ? g_charset[code] : code;
    uint32_t cp = Cp1252ToUnicode(c);
    if (cp == 0) cp = '?';
    AppendUtf8(out, cp);
  }
  return out;
}

// Classic console index -> ANSI colour number (red and blue swap places).
constexpr int kAnsiOrder[8] = {0, 4, 2, 6, 1, 5, 3, 7};

std::string PaletteEscape(uint32_t index, bool background) {
  index &= 15;
  int base = background ? (index >= 8 ? 100 : 40) : (index >= 8 ? 90 : 30);
  return "\x1b[" + std::to_string(base + kAnsiOrder[index & 7]) + "m";
}

std::string RgbEscape(uint32_t argb, bool background) {
  return std::string(background ? "\x1b[48;2;" : "\x1b[38;2;") + std::to_string((argb >> 16) & 255) +
         ";" + std::to_string((argb >> 8) & 255) + ";" + std::to_string(argb & 255) + "m";
}

std::string ColourEscape() {
  std::string s;
  if (g_colour.rgb) {
    s = RgbEscape(g_colour.foreground, false);
    s += (g_colour.background & 0xFFFFFF) ? RgbEscape(g_colour.background, true) : "\x1b[49m";
  } else {
    s = PaletteEscape(g_colour.foreground, false);
    s += g_colour.background ? PaletteEscape(g_colour.background, true) : "\x1b[49m";
  }
  return s;
}

void WriteOut(const std::string& s) {
  std::fwrite(s.data(), 1, s.size(), stdout);
  std::fflush(stdout);
}

bool Headless() {
  const char* h = std::getenv("TARVELO_HEADLESS");
  return h && std::strcmp(h, "1") == 0;
}

}  // namespace

void ConsoleSetCharset(const uint8_t* codeToWin1252) {
  std::lock_guard<std::mutex> g(g_lock);
  if (codeToWin1252) std::memcpy(g_charset, codeToWin1252, sizeof g_charset);
  g_hasCharset = codeToWin1252 != nullptr;
}

void ConsoleSetPaletteColour(uint32_t foreground, uint32_t background) {
  std::lock_guard<std::mutex> g(g_lock);
  g_colour = {false, foreground & 15, background & 15};
}

void ConsoleSetRgbColour(uint32_t foreground, uint32_t background) {
  std::lock_guard<std::mutex> g(g_lock);
  g_colour = {true, foreground, background};
}

ConsoleColourState ConsoleColour() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_colour;
}

bool ConsoleIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void ConsolePrintLine(const std::string& text) {
  std::lock_guard<std::mutex> g(g_lock);
  int32_t rows = 1;
  for (char c : text)
    if (c == '\n') ++rows;
  g_row += rows;
  g_column = 1;
  if (g_capture) {
    *g_capture += text;
    *g_capture += '\n';
    return;
  }
  if (ConsoleIsTerminal())
    WriteOut(ColourEscape() + ToTerminalText(text) + "\x1b[0m\n");
  else
    WriteOut(ToTerminalText(text) + "\n");
}

int32_t ConsoleCursorRow() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_row;
}

int32_t ConsoleCursorColumn() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_column;
}

void ConsoleLocate(int32_t row, int32_t column) {
  std::lock_guard<std::mutex> g(g_lock);
  g_row = row < 1 ? 1 : row;
  g_column = column < 1 ? 1 : column;
  if (!g_capture && ConsoleIsTerminal())
    WriteOut("\x1b[" + std::to_string(g_row) + ";" + std::to_string(g_column) + "H");
}

void ConsoleClear() {
  std::lock_guard<std::mutex> g(g_lock);
  g_row = 1;
  g_column = 1;
  if (!g_capture && ConsoleIsTerminal()) WriteOut("\x1b[2J\x1b[H");
}

void ConsoleWaitKey() {
  if (Headless() || isatty(STDIN_FILENO) != 1) return;
  termios saved;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  char c;
  ssize_t r = read(STDIN_FILENO, &c, 1);
  (void)r;
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

void ConsoleCaptureForTest(std::string* sink) {
  std::lock_guard<std::mutex> g(g_lock);
  g_capture = sink;
}

}  // namespace platform
