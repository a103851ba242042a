// Program-wide tables that start-up fills before any other part runs: language
// codes and names, message-level prefixes and colours, graphics driver names,
// the product's identity, the user name, the dead-key accent rows and the
// display units. Written once on the main thread, read-only afterwards.
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

// one thread: start-up, read-only between
extern char LanguageNames[4][17];  // by the LANGUAGE setting, like LanguageCodes
extern char DisplayDriverNames[3][8];
extern char ProductName[17];
extern char ReleaseType[17];     // empty in this release
extern char ProductVersion[17];
extern char BuildBits[3];
extern char UserName[17];        // at most 16 characters
// Row 0 holds the plain letters; rows 1..4 their circumflex, diaeresis, grave
// and tilde forms in the same column, a blank where a letter has none.
extern char AccentRows[5][15];  // one thread: start-up

constexpr const char* kBuildDate = "02-18-2026";
constexpr const char* kBuildTime = "11:08:56";

// LanguageCodes, LanguageNames, LevelPrefix, LevelColour, LevelConsoleColour.
void SetLanguageAndLevelTables();
void SetDisplayDriverNames();
// Keeps the first 16 characters of the name.
void SetUserName(const std::string& name);
// The login name of the user running the program.
void ReadUserName();
void SetAccentRows();
// ProductName, ReleaseType, ProductVersion, BuildBits.
void SetProductIdentity();
// The rows of the display units (engine/units.h); every other id stays empty.
void SetUnitTable();

}  // namespace Tarvelo
