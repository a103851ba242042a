#include "basics/labels.h"

#include <gtest/gtest.h>

using namespace QUARLE_BASICS;

TEST(Labels, SingleWords) {
  EXPECT_EQ(AbbreviateLabel("Frequency", 0), "Freq. ");
  EXPECT_EQ(AbbreviateLabel("Resonance", 0), "Res. ");
  EXPECT_EQ(AbbreviateLabel("Equalizer", 0), "Eq. ");    // vowel start, third letter a vowel
  EXPECT_EQ(AbbreviateLabel("Amplitude", 0), "Amp. ");   // vowel start, third letter not
  EXPECT_EQ(AbbreviateLabel("", 0), " ");
}

TEST(Labels, TwoWordsKeepShortWords) {
  EXPECT_EQ(AbbreviateLabel("Feedback seed", 0), "Feed. seed ");
  EXPECT_EQ(AbbreviateLabel("Feedback seed", -1), "Feed. s.");
  // The flag only shortens labels of more than one word.
  EXPECT_EQ(AbbreviateLabel("Frequency", -1), "Freq. ");
  EXPECT_EQ(AbbreviateLabel("Sine wave", -1), "Sine w.");
}

TEST(Labels, ThreeWordsLoseVowelsOfShortWords) {
  EXPECT_EQ(AbbreviateLabel("Filter base level", 0), "Filt. bs lvl ");
  // A short word with one vowel stays; one starting with a vowel keeps 3 letters.
  EXPECT_EQ(AbbreviateLabel("Gain dry mix", 0), "Gn dry mix ");
  EXPECT_EQ(AbbreviateLabel("Attack time out", 0), "Att. tm out. ");
}

TEST(Labels, WordsOutsideTheWordClassSkipTheirFirstCharacter) {
  // "(" is no word character: the abbreviation starts at the second position.
  EXPECT_EQ(AbbreviateLabel("(frequency)", 0), "freq. ");
  // Two spaces in a row make an empty word, which stays empty.
  EXPECT_EQ(AbbreviateLabel("Low  pass", 0), "Low  pass ");
}

TEST(Labels, WordHelpers) {
  EXPECT_EQ(AbbreviateWord("out", 1), "out.");
  EXPECT_EQ(AbbreviateWord("base", 1), "bs");
  EXPECT_EQ(AbbreviateWord("ab", 1), "ab");  // shorter than s + 2
  EXPECT_EQ(AbbreviateWord("(base)", 2), "bs");  // scan range ends before the last character
  EXPECT_EQ(AbbreviateWordDot("Frequency", 1), "Freq.");
  EXPECT_EQ(AbbreviateWordDot("ab", 1), "ab.");  // beyond the end reads as no vowel
}

TEST(Labels, CharacterClassesOnTheirEdges) {
  EXPECT_EQ(VowelTable['y'], -1);
  EXPECT_EQ(VowelTable[0xC7], 0);  // C cedilla
  EXPECT_EQ(VowelTable[0xFF], -1);
  EXPECT_EQ(WordCharTable['.'], -1);
  EXPECT_EQ(WordCharTable['('], 0);
  EXPECT_EQ(WordCharTable[0xC7], -1);
  // Accented words abbreviate like plain ones.
  EXPECT_EQ(AbbreviateLabel("\xC9quilibre", 0), "\xC9q. ");
}
