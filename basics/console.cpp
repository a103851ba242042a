#include "basics/console.h"

#include <cstring>
#include <new>

#include "basics/errors.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "platform/console.h"
#include "platform/screen.h"

namespace QUARLE_BASICS {

uint8_t* CodePageMap = nullptr;
uint8_t* CodePageInverse = nullptr;
std::atomic<int64_t> ScreenWidth{0};
std::atomic<int64_t> ScreenHeight{0};
std::atomic<int64_t> ScreenDepth{0};
uint8_t DisplayDriverIndex = 0;

namespace {

// Console codes 127 to 255: the Windows-1252 character each one shows.
constexpr uint8_t kUpperCodes[129] = {
    0xA6, 0xC7, 0xFC, 0xE9, 0xE2, 0xE4, 0xE0, 0xE5, 0xE7, 0xEA, 0xEB, 0xE8, 0xEF, 0xEE, 0xEC, 0xC4,  // 127
    0xC5, 0xC9, 0xE6, 0xC6, 0xF4, 0xF6, 0xF2, 0xFB, 0xF9, 0xD6, 0xDC, 0xF8, 0xA3, 0xD8, 0xD7, 0x83,  // 143
    0xE1, 0xED, 0xF3, 0xFA, 0xF1, 0xD1, 0xAA, 0xBA, 0xBF, 0xAE, 0xAC, 0xBD, 0xBC, 0xA1, 0xAB, 0xBB,  // 159
    0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xC1, 0xC2, 0xC0, 0xA9, 0xA6, 0xA6, 0xA6, 0xA6, 0xA2, 0xA5, 0xA6,  // 175
    0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xE3, 0xC3, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0x7B,  // 191
    0x24, 0x7D, 0xF0, 0xD0, 0xCA, 0xCB, 0xC8, 0xA6, 0xCD, 0xCE, 0xCF, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6,  // 207
    0xCC, 0xA6, 0xD3, 0xDF, 0xD4, 0xD2, 0xF5, 0xD5, 0xB5, 0xFE, 0xDE, 0xDA, 0xDB, 0xD9, 0xFD, 0xDD,  // 223
    0xAF, 0xB4, 0xAD, 0xB1, 0xA6, 0xBE, 0xB6, 0xA7, 0xF7, 0xB8, 0xB0, 0xA8, 0xB7, 0xB9, 0xB3, 0xB2,  // 239
    0xA6,                                                                                            // 255
};

int32_t ClampLevel(int32_t level) { return level < 0 ? 0 : (level > 4 ? 4 : level); }

}  // namespace

int32_t InitCharTables() {
  if (!CodePageMap) CodePageMap = new (std::nothrow) uint8_t[256]();
  if (!CodePageInverse) CodePageInverse = new (std::nothrow) uint8_t[256]();
  if (!CodePageMap || !CodePageInverse) {
    FreeCharTables();
    return -kErrAllocation;
  }
  for (int k = 0; k < 127; ++k) CodePageMap[k] = static_cast<uint8_t>(k);
  for (int k = 127; k < 256; ++k) CodePageMap[k] = kUpperCodes[k - 127];
  // Where several codes show one character the highest code wins.
  std::memset(CodePageInverse, 0, 256);
  for (int k = 0; k < 256; ++k) CodePageInverse[CodePageMap[k]] = static_cast<uint8_t>(k);
  platform::ConsoleSetCharset(CodePageMap);
  CodePageMapsFree = FreeCharTables;  // the foundation's shutdown frees them
  return 0;
}

void FreeCharTables() {
  platform::ConsoleSetCharset(nullptr);
  delete[] CodePageMap;
  delete[] CodePageInverse;
  CodePageMap = nullptr;
  CodePageInverse = nullptr;
}

std::string ToFontCodePage(const std::string& text) {
  if (!CodePageInverse) return text;
  std::string out = text;
  for (char& c : out) {
    uint8_t code = CodePageInverse[static_cast<unsigned char>(c)];
    c = static_cast<char>(code != 0 ? code : '?');
  }
  return out;
}

void ConsoleScrollCheck(uint8_t waitForKey) {
  if (ScreenHeight == 0) return;
  if (platform::ConsoleCursorRow() <= static_cast<double>(ScreenHeight) / 11.0) return;
  if (waitForKey) platform::ConsoleWaitKey();
  platform::ConsoleClear();
  platform::ConsoleLocate(1, 1);
}

void ConsolePrint(const std::string& text, int32_t level) {
  level = ClampLevel(level);
  if (platform::ScreenIsOpen()) {
    ConsoleScrollCheck(0);
    platform::ConsoleSetRgbColour(LevelColour[level], 0);
  } else {
    platform::ConsoleSetPaletteColour(LevelConsoleColour[level], 0);
  }
  std::string prefix(LevelPrefix[level], strnlen(LevelPrefix[level], sizeof LevelPrefix[level]));
  platform::ConsolePrintLine(prefix + " " + ToFontCodePage(text));
}

uint32_t* OpenScreen(int32_t flags, int64_t width, int64_t height) {
  if (width == 0 || height == 0) return nullptr;
  const char* driver = "GDI";
  if (DisplayDriverIndex == 1) driver = "DirectX";
  else if (DisplayDriverIndex == 2) driver = "OpenGL";
  else DisplayDriverIndex = 0;
  platform::ScreenSelectDriver(driver);
  if (!platform::ScreenOpen(width, height, 32, 2, flags, 0)) return nullptr;
  uint32_t* memory = platform::ScreenPointer();
  if (!memory) return nullptr;
  platform::ScreenSetPages(0, 0);
  int64_t shownWidth = 0, shownHeight = 0, shownDepth = 0;
  platform::ScreenInfo(shownWidth, shownHeight, shownDepth);
  ScreenWidth.store(shownWidth);
  ScreenHeight.store(shownHeight);
  ScreenDepth.store(shownDepth);
  platform::ScreenMoveWindow(0, 0);
  return platform::ScreenPointer();
}

}  // namespace QUARLE_BASICS
