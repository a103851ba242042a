#include "basics/errors.h"

#include <gtest/gtest.h>

#include "basics/messages.h"

using namespace QUARLE_BASICS;

TEST(ErrorText, EnglishDefaultsWithoutTable) {
  LanguageTableFree();
  EXPECT_EQ(ErrorText(0), "No Error");
  EXPECT_EQ(ErrorText(-19), "Incorrect Function Parameter");
  EXPECT_EQ(ErrorText(19), "Incorrect Function Parameter");
  EXPECT_EQ(ErrorText(-21), "Memory Allocation Failed");
  EXPECT_EQ(ErrorText(-24), "File Not Found");
  EXPECT_EQ(ErrorText(-26), "Error creating a mutex during the initialization process.");
  EXPECT_EQ(ErrorText(-28), "Incompatible file content");
  EXPECT_EQ(ErrorText(29), "Error creating a thread.");
  EXPECT_EQ(ErrorText(2), "File Not Found Signal");
  EXPECT_EQ(ErrorText(3), "File I/O Error: Disk Full, Restricted Access or Other");
  EXPECT_EQ(ErrorText(-36), "Empty File.");
  EXPECT_EQ(ErrorText(-37), "File size does not match header data.");
  EXPECT_EQ(ErrorText(-38), "Unsupported wave format.");
}

TEST(ErrorText, PrefixedGroups) {
  LanguageTableFree();
  EXPECT_EQ(ErrorText(30), "FreeType - Initialization Failure.");
  EXPECT_EQ(ErrorText(31), "FreeType - Generic error.");
  EXPECT_EQ(ErrorText(32), "FreeType - issue with FT_Set_Pixel_Sizes.");
  EXPECT_EQ(ErrorText(35), "FreeType - problem loading Font.");
  EXPECT_EQ(ErrorText(-40963), "AL - INVALID VALUE");
  EXPECT_EQ(ErrorText(40961), "AL - INVALID NAME");
  EXPECT_EQ(ErrorText(40965), "AL - OUT OF MEMORY");
  EXPECT_EQ(ErrorText(81928), "ALC - INVALID ENUMERATION");
  EXPECT_EQ(ErrorText(81926), "ALC - INVALID DEVICE");
  EXPECT_EQ(ErrorText(-81930), "ALC - OUT OF MEMORY");
  EXPECT_EQ(ErrorText(39), "NO ERROR.");
  EXPECT_EQ(ErrorText(40), "MIDI - ERROR 1");
  EXPECT_EQ(ErrorText(41), "The specified device identifier is out of range.");
  EXPECT_EQ(ErrorText(42), "MIDI - ERROR 3");
  EXPECT_EQ(ErrorText(45), "MIDI - ERROR 6");
  EXPECT_EQ(ErrorText(48), "MIDI - ERROR 9");
  EXPECT_EQ(ErrorText(49), "The flags specified by dwFlags are invalid.");
  EXPECT_EQ(ErrorText(50), "The specified pointer or structure is invalid.");
}

TEST(ErrorText, UndefinedCodes) {
  LanguageTableFree();
  EXPECT_EQ(ErrorText(51), "UNDEFINED ERROR");
  EXPECT_EQ(ErrorText(-2147483647 - 1), "UNDEFINED ERROR");
  EXPECT_EQ(ErrorText(40960), "UNDEFINED ERROR");
  EXPECT_EQ(ErrorText(40966), "UNDEFINED ERROR");
  EXPECT_EQ(ErrorText(81931), "UNDEFINED ERROR");
  EXPECT_EQ(ErrorText(2147483647), "UNDEFINED ERROR");
}

TEST(ErrorText, TranslationsKeepThePrefix) {
  ASSERT_EQ(LanguageTableCreate(kLanguageTableFirstCount), 0);
  ASSERT_EQ(LanguageTableSet(32, "probl\xE8me de taille"), 0);
  ASSERT_EQ(LanguageTableSet(21, "Param\xE8tre incorrect"), 0);
  ASSERT_EQ(LanguageTableSet(63, "ERREUR"), 0);
  EXPECT_EQ(ErrorText(32), "FreeType - probl\xE8me de taille");
  EXPECT_EQ(ErrorText(-19), "Param\xE8tre incorrect");
  EXPECT_EQ(ErrorText(12345), "ERREUR");
  EXPECT_EQ(ErrorText(-24), "File Not Found");  // entry 26 unset
  LanguageTableFree();
  EXPECT_EQ(ErrorText(32), "FreeType - issue with FT_Set_Pixel_Sizes.");
}
