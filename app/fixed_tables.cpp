#include "app/fixed_tables.h"

#include <cstring>

#include "basics/messages.h"
#include "basics/program.h"
#include "engine/units.h"
#include "platform/system.h"

namespace Tarvelo {

char LanguageNames[4][17] = {};
char DisplayDriverNames[3][8] = {};
char ProductName[17] = {};
char ReleaseType[17] = {};
char ProductVersion[17] = {};
char BuildBits[3] = {};
char UserName[17] = {};
char AccentRows[5][15] = {};

namespace {

// Copies at most size - 1 bytes and zero-fills the rest of the field.
template <size_t N>
void SetField(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  size_t len = std::strlen(text);
  if (len > N - 1) len = N - 1;
  std::memcpy(field, text, len);
}

}  // namespace

void SetLanguageAndLevelTables() {
  static const char* const kCodes[4] = {"EN", "FR", "ES", "XX"};
  static const char* const kNames[4] = {"English", "Fran\xE7" "ais", "Espa\xF1" "ol", "[other]"};
  for (int i = 0; i < 4; ++i) {
    SetField(QUARLE_BASICS::LanguageCodes[i], kCodes[i]);
    SetField(LanguageNames[i], kNames[i]);
  }

  static const char* const kPrefixes[5] = {">> ", "<!> ", "<Error> ", "<Critical Error> ",
                                           "<Fatal Error> "};
  static const uint32_t kColours[5] = {0xFFFFFFFFu, 0xFFC8C800u, 0xFFDE0000u, 0xFFC80096u,
                                       0xFFFF00AFu};
  static const uint8_t kConsoleColours[5] = {15, 6, 4, 5, 13};
  for (int i = 0; i < 5; ++i) {
    SetField(QUARLE_BASICS::LevelPrefix[i], kPrefixes[i]);
    QUARLE_BASICS::LevelColour[i] = kColours[i];
    QUARLE_BASICS::LevelConsoleColour[i] = kConsoleColours[i];
  }
}

void SetDisplayDriverNames() {
  SetField(DisplayDriverNames[0], "GDI");
  SetField(DisplayDriverNames[1], "DirectX");
  SetField(DisplayDriverNames[2], "OpenGL");
}

void SetUserName(const std::string& name) { SetField(UserName, name.c_str()); }

void ReadUserName() { SetUserName(platform::UserName()); }

void SetAccentRows() {
  SetField(AccentRows[0], "AEINOUYaeinouy");
  SetField(AccentRows[1], "\xC2\xCA\xCE \xD4\xDB \xE2\xEA\xEE \xF4\xFB ");
  // Only 13 characters: lower-case y has no diaeresis form here.
  SetField(AccentRows[2], "\xC4\xCB\xCF \xD6\xDC\x9F\xE4\xEB\xEF \xF6\xFC");
  SetField(AccentRows[3], "\xC0\xC8\xCC \xD2\xD9 \xE0\xE8\xEC \xF2\xF9 ");
  SetField(AccentRows[4], "   \xD1      \xF1   ");
}

void SetProductIdentity() {
  SetField(ProductName, "Tarvelo");
  SetField(ReleaseType, "");
  SetField(ProductVersion, "1.8.13");
  SetField(BuildBits, "64");
}

void SetUnitTable() {
  // one thread: value
  struct Fill {
    int32_t id;
    UnitConverter convert;
    const char* suffix;
    float step;
  };
  static const Fill kRows[] = {
      {0, UnitIdentity, "n/a", 0.01f},    {5, UnitIdentity, "u", 1.0f},
      {10, UnitDivide, "u", 1.0f},        {11, UnitReciprocal, "s", 0.05f},
      {12, UnitTimes60, "Hz", 1.0f},      {13, UnitPerMinute, "BPM", 1.0f},
      {15, UnitLinearToDb, "a", 0.01f},   {16, UnitDbToLinear, "dB", 0.5f},
  };
  for (UnitRow& row : UnitTable) row = UnitRow{};
  for (const Fill& f : kRows) {
    UnitRow& row = UnitTable[f.id];
    row.Convert = f.convert;
    SetField(row.Suffix, f.suffix);
    row.Step = f.step;
  }
}

}  // namespace Tarvelo
