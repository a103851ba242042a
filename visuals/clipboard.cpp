#include "visuals/clipboard.h"

#include "platform/charset.h"
#include "platform/clipboard.h"
#include "platform/paths.h"

namespace QUARLE_VISUALS {

std::string Cp1252ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) {
    uint32_t cp = platform::Cp1252ToUnicode(c);
    // The five bytes the code page leaves unassigned travel as the C1 controls
    // of the same value, which is how they come back.
    if (cp == 0 && c != 0) cp = c;
    platform::AppendUtf8(out, cp);
  }
  return out;
}

std::string Utf8ToCp1252(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t cp = 0;
    size_t len = 0;
    if (b < 0x80) {
      cp = b;
      len = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      cp = b & 0x1Fu;
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      cp = b & 0x0Fu;
      len = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      cp = b & 0x07u;
      len = 4;
    }
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      const unsigned char t = static_cast<unsigned char>(text[i + k]);
      if ((t & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (t & 0x3Fu);
    }
    // Overlong forms, surrogates and code points past Unicode are malformed too.
    if (ok && ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
               (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
      ok = false;
    if (!ok) {
      out += '?';
      ++i;
      continue;
    }
    const int32_t c = platform::UnicodeToCp1252(cp);
    out += c < 0 ? '?' : static_cast<char>(c);
    i += len;
  }
  return out;
}

// A pasted name is a typed one: what the code page lacks takes its escape form.
std::string GetClipboardText() { return platform::TypedText(platform::ClipboardGetUtf8()); }

int32_t SetClipboardText(const std::string& text) {
  platform::ClipboardSetUtf8(Cp1252ToUtf8(std::string(text.c_str())));
  return 0;
}

}  // namespace QUARLE_VISUALS
