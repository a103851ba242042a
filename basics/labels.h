// Short labels for ports and settings, made from their long names word by word.
#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace QUARLE_BASICS {

// Character classes of Windows-1252, indexed by code: -1 member, 0 not.
extern const std::array<int8_t, 256> VowelTable;
extern const std::array<int8_t, 256> WordCharTable;

// Shortens a label word by word; every word is followed by one space. With the
// flag -1 a label of two or more words becomes the first shortened word, a
// space, the second word's first character and ".".
std::string AbbreviateLabel(const std::string& text, int64_t flag);
// 2 to 4 characters of the word from the 1-based position s, then ".".
std::string AbbreviateWordDot(const std::string& word, int32_t s);
// The word, 3 characters from s with ".", or the word's non-vowels.
std::string AbbreviateWord(const std::string& word, int32_t s);

}  // namespace QUARLE_BASICS
