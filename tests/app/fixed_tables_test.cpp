#include "app/fixed_tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "basics/messages.h"
#include "basics/program.h"
#include "engine/units.h"

using namespace Tarvelo;

TEST(FixedTables, LanguagesAndLevels) {
  SetLanguageAndLevelTables();
  EXPECT_STREQ(QUARLE_BASICS::LanguageCodes[3], "XX");
  EXPECT_STREQ(LanguageNames[1], "Fran\xE7" "ais");  // Windows-1252 bytes
  EXPECT_STREQ(QUARLE_BASICS::LevelPrefix[4], "<Fatal Error> ");
  EXPECT_EQ(QUARLE_BASICS::LevelColour[2], 0xFFDE0000u);
  EXPECT_EQ(QUARLE_BASICS::LevelConsoleColour[4], 13);
}

TEST(FixedTables, IdentityDriversAndUser) {
  SetProductIdentity();
  SetDisplayDriverNames();
  EXPECT_STREQ(ProductVersion, "1.8.13");
  EXPECT_STREQ(DisplayDriverNames[2], "OpenGL");

  SetUserName("averyveryverylongusername");
  EXPECT_EQ(std::string(UserName), "averyveryverylon");  // 16 characters kept
  EXPECT_EQ(UserName[16], '\0');
  ReadUserName();
  EXPECT_LE(std::strlen(UserName), 16u);
}

TEST(FixedTables, AccentRowsAreColumnAligned) {
  SetAccentRows();
  EXPECT_STREQ(AccentRows[0], "AEINOUYaeinouy");
  for (int r = 0; r < 5; ++r) EXPECT_EQ(AccentRows[r][14], '\0') << r;
  EXPECT_EQ(std::strlen(AccentRows[2]), 13u);  // no diaeresis form of y
  EXPECT_EQ(AccentRows[2][6], '\x9F');  // Y diaeresis
}

TEST(UnitTable, RowsAndMissingIds) {
  SetUnitTable();
  EXPECT_STREQ(UnitSuffix(0), "n/a");
  EXPECT_STREQ(UnitSuffix(16), "dB");
  EXPECT_FLOAT_EQ(UnitTable[16].Step, 0.5f);
  int32_t sign = 0;
  EXPECT_NEAR(UnitTable[15].Convert(0.1f, 48000.0f, 1.0f, &sign), -20.0f, 1e-4f);
  // Ids without a row: no converter, no suffix, step 0; beyond the table too.
  for (int32_t id : {1, 19}) {
    EXPECT_STREQ(UnitSuffix(id), "") << id;
    EXPECT_EQ(UnitTable[id].Convert, nullptr) << id;
    EXPECT_EQ(UnitTable[id].Step, 0.0f) << id;
  }
  EXPECT_STREQ(UnitSuffix(-1), "");
  EXPECT_EQ(UnitTableRow(1000), nullptr);
}

// The ring of time units and the signed decibels are followed through the
// value fields (valueedit_test); here the edges of the converters themselves.
TEST(UnitTable, ConverterEdges) {
  const float rate = 48000.0f;
  int32_t sign = 0;
  EXPECT_FLOAT_EQ(UnitReciprocal(0.0f, rate, 1.0f, &sign), rate);
  EXPECT_FLOAT_EQ(UnitPerMinute(0.0f, rate, 1.0f, &sign), 60.0f * rate);
  EXPECT_FLOAT_EQ(UnitLinearToDb(0.0f, rate, 1.0f, &sign), -140.0f);
  EXPECT_EQ(sign, 0);
  EXPECT_NEAR(UnitDbToLinear(20.0f, rate, 1.0f, nullptr), 10.0f, 1e-5f);
}
