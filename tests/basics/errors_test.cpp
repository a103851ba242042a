#include "basics/errors.h"

#include <gtest/gtest.h>

#include "basics/messages.h"

using namespace QUARLE_BASICS;

TEST(ErrorText, EnglishDefaultsGroupsAndUndefinedCodes) {
  LanguageTableFree();
  // Either sign reads the same text.
  EXPECT_EQ(ErrorText(0), "No Error");
  EXPECT_EQ(ErrorText(-19), "Incorrect Function Parameter");
  EXPECT_EQ(ErrorText(19), "Incorrect Function Parameter");
  // The prefixed groups at their edges.
  EXPECT_EQ(ErrorText(30), "FreeType - Initialization Failure.");
  EXPECT_EQ(ErrorText(-40965), "AL - OUT OF MEMORY");
  EXPECT_EQ(ErrorText(81926), "ALC - INVALID DEVICE");
  EXPECT_EQ(ErrorText(40), "MIDI - ERROR 1");
  EXPECT_EQ(ErrorText(50), "The specified pointer or structure is invalid.");
  // What an open refused: something that is no regular file, or a folder.
  EXPECT_EQ(ErrorText(-kErrNotRegularFile), "Not a regular file (a named pipe, a device or a socket)");
  EXPECT_EQ(ErrorText(kErrFolderNamed), "A folder, not a file");
  // Why a recording ended early.
  EXPECT_EQ(ErrorText(-kErrDiskFull), "The disk is full");
  EXPECT_EQ(ErrorText(-kErrDiskTooSlow),
            "The disk is too slow for the recording: it ends with what the disk holds");
  // Why the disk refused a file, and why a recording was not started.
  EXPECT_EQ(ErrorText(-kErrReadOnly), "The file system is read-only");
  EXPECT_EQ(ErrorText(-kErrNoPermission), "Permission denied");
  EXPECT_EQ(ErrorText(-kErrWriterBusy), "The recordings before it are still being written to the disk");
  // Why the output stopped under a recording.
  EXPECT_EQ(ErrorText(-kErrOutputOverload), "The sound output stopped: the work overloaded it");
  EXPECT_EQ(ErrorText(-kErrOutputLost), "The sound output stopped: its device went away");
  EXPECT_EQ(ErrorText(-kErrOutputNoRestart), "The sound output stopped and could not start again");
  // Past every group, and the extremes of the type.
  for (int32_t code : {51, 59, 70, 40960, 40966, 81931, -2147483647 - 1, 2147483647})
    EXPECT_EQ(ErrorText(code), "UNDEFINED ERROR") << code;
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
  // Numbers of the second stage: the default until the table has grown.
  EXPECT_EQ(ErrorText(-kErrFolderNamed), "A folder, not a file");
  ASSERT_EQ(LanguageTableGrow(kLanguageTableCount), 0);
  ASSERT_EQ(LanguageTableSet(609, "Un dossier"), 0);
  EXPECT_EQ(ErrorText(-kErrFolderNamed), "Un dossier");
  LanguageTableFree();
  EXPECT_EQ(ErrorText(32), "FreeType - issue with FT_Set_Pixel_Sizes.");
}
