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

// A pasted name is a typed one: what the code page lacks takes its escape form.
std::string GetClipboardText() { return platform::TypedText(platform::ClipboardGetUtf8()); }

int32_t SetClipboardText(const std::string& text) {
  platform::ClipboardSetUtf8(Cp1252ToUtf8(std::string(text.c_str())));
  return 0;
}

}  // namespace QUARLE_VISUALS
