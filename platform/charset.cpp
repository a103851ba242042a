#include "platform/charset.h"

namespace platform {

namespace {
// Windows-1252 0x80..0x9F; 0 marks the five unassigned codes.
constexpr uint16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
}  // namespace

uint32_t Cp1252ToUnicode(unsigned char c) {
  if (c >= 0x80 && c < 0xA0) return kHighControls[c - 0x80];
  return c;
}

int32_t UnicodeToCp1252(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int32_t>(cp);
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == cp) return 0x80 + i;
  }
  if (cp >= 0x80 && cp < 0xA0 && kHighControls[cp - 0x80] == 0) return static_cast<int32_t>(cp);
  return -1;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool NextUtf8(const std::string& text, size_t& i, uint32_t& cp) {
  const size_t n = text.size();
  const auto c = static_cast<unsigned char>(text[i]);
  size_t extra = 0;
  if (c < 0x80) {
    cp = c;
  } else if ((c & 0xE0) == 0xC0) {
    cp = c & 0x1F;
    extra = 1;
  } else if ((c & 0xF0) == 0xE0) {
    cp = c & 0x0F;
    extra = 2;
  } else if ((c & 0xF8) == 0xF0) {
    cp = c & 0x07;
    extra = 3;
  } else {
    ++i;  // not a lead byte
    return false;
  }
  for (size_t k = 1; k <= extra; ++k) {
    if (i + k >= n || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
      ++i;
      return false;
    }
    cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  }
  static const uint32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[extra]) {
    ++i;
    return false;
  }
  i += extra + 1;
  return true;
}

std::string TextFromUtf8(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = 0;
    const int32_t b = NextUtf8(utf8, i, cp) ? UnicodeToCp1252(cp) : -1;
    out += b < 0 ? '?' : static_cast<char>(b);
  }
  return out;
}

}  // namespace platform
