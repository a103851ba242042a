#include "basics/labels.h"

#include <gtest/gtest.h>

using namespace QUARLE_BASICS;

TEST(Labels, AbbreviationRules) {
  struct Case {
    const char* label;
    int32_t shortWords;
    const char* expected;
  };
  for (const Case& c : {
           Case{"Frequency", 0, "Freq. "}, Case{"Resonance", 0, "Res. "},
           Case{"Equalizer", 0, "Eq. "},    // vowel start, third letter a vowel
           Case{"Amplitude", 0, "Amp. "},   // vowel start, third letter not
           Case{"", 0, " "},
           // Two words keep short words; the flag shortens only labels of more than one word.
           Case{"Feedback seed", 0, "Feed. seed "}, Case{"Feedback seed", -1, "Feed. s."},
           Case{"Frequency", -1, "Freq. "}, Case{"Sine wave", -1, "Sine w."},
           // Three words lose the vowels of short words; one vowel stays, a vowel
           // start keeps three letters.
           Case{"Filter base level", 0, "Filt. bs lvl "}, Case{"Gain dry mix", 0, "Gn dry mix "},
           Case{"Attack time out", 0, "Att. tm out. "},
           // "(" is no word character: the abbreviation starts at the second position.
           Case{"(frequency)", 0, "freq. "},
           // Two spaces in a row make an empty word, which stays empty.
           Case{"Low  pass", 0, "Low  pass "}}) {
    EXPECT_EQ(AbbreviateLabel(c.label, c.shortWords), c.expected) << c.label;
  }
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
