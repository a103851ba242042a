#include "basics/labels.h"

#include <array>
#include <initializer_list>

namespace QUARLE_BASICS {

namespace {

constexpr bool In(int code, std::initializer_list<int> codes) {
  for (int c : codes)
    if (c == code) return true;
  return false;
}

constexpr std::array<int8_t, 256> MakeVowels() {
  std::array<int8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    bool member = In(c, {'A', 'E', 'I', 'O', 'U', 'Y', 'a', 'e', 'i', 'o', 'u', 'y', 140, 156, 159}) ||
                  (c >= 192 && !In(c, {199, 208, 209, 215, 216, 222, 223, 231, 240, 241, 247, 248, 254}));
    t[c] = member ? -1 : 0;
  }
  return t;
}

constexpr std::array<int8_t, 256> MakeWordChars() {
  std::array<int8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    bool member = In(c, {38, 39, 45, 46}) || (c >= 48 && c <= 57) || (c >= 65 && c <= 90) ||
                  (c >= 97 && c <= 122) || In(c, {138, 140, 142, 154, 156, 158, 159}) ||
                  (c >= 192 && !In(c, {197, 208, 215, 216, 222, 223, 229, 240, 247, 248, 254}));
    t[c] = member ? -1 : 0;
  }
  return t;
}

// Code at a 1-based position; outside the word it reads as 0, in no class.
unsigned char At(const std::string& w, int64_t pos) {
  if (pos < 1 || pos > static_cast<int64_t>(w.size())) return 0;
  return static_cast<unsigned char>(w[static_cast<size_t>(pos - 1)]);
}

// Up to n characters from the 1-based position s.
std::string Mid(const std::string& w, int64_t s, int64_t n) {
  if (s < 1) s = 1;
  if (n <= 0 || s > static_cast<int64_t>(w.size())) return "";
  return w.substr(static_cast<size_t>(s - 1), static_cast<size_t>(n));
}

}  // namespace

// The tables are fixed, so the compiler builds them rather than the start-up.
constinit const std::array<int8_t, 256> VowelTable = MakeVowels();
constinit const std::array<int8_t, 256> WordCharTable = MakeWordChars();

namespace {
bool IsVowel(unsigned char c) { return VowelTable[c] != 0; }
}  // namespace

std::string AbbreviateWordDot(const std::string& word, int32_t s) {
  auto c = [&](int i) { return At(word, static_cast<int64_t>(s) + i); };
  int m = 3;
  if (IsVowel(c(0))) {
    if (IsVowel(c(2))) m = 2;
  } else if (!IsVowel(c(3)) && (IsVowel(c(1)) || IsVowel(c(4)))) {
    m = 4;
  }
  return Mid(word, s, m) + ".";
}

std::string AbbreviateWord(const std::string& word, int32_t s) {
  const int64_t len = static_cast<int64_t>(word.size());
  if (len < static_cast<int64_t>(s) + 2) return word;
  if (IsVowel(At(word, s))) return Mid(word, s, 3) + ".";
  const int64_t last = len - s + 1;
  int vowels = 0;
  for (int64_t p = s; p <= last; ++p)
    if (IsVowel(At(word, p))) ++vowels;
  if (vowels == 1) return word;
  std::string out;
  for (int64_t p = s; p <= last; ++p)
    if (!IsVowel(At(word, p))) out += static_cast<char>(At(word, p));
  return out;
}

std::string AbbreviateLabel(const std::string& text, int64_t flag) {
  int64_t spaces = 0;
  for (char ch : text)
    if (ch == ' ') ++spaces;
  std::string rest = text + " ";
  std::string out;
  size_t sp;
  while ((sp = rest.find(' ')) != std::string::npos) {
    std::string word = rest.substr(0, sp);
    rest.erase(0, sp + 1);
    int32_t s = WordCharTable[At(word, 1)] != 0 ? 1 : 2;
    if (static_cast<int64_t>(word.size()) >= s + 5)
      out += AbbreviateWordDot(word, s) + " ";
    else if (spaces >= 2)
      out += AbbreviateWord(word, s) + " ";
    else
      out += word + " ";
  }
  if (flag == -1 && spaces > 0) {
    size_t first = out.find(' ');
    out = out.substr(0, first + 2) + ".";
  }
  return out;
}

}  // namespace QUARLE_BASICS
