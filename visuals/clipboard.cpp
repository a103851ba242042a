#include "visuals/clipboard.h"

#include "platform/clipboard.h"
#include "platform/paths.h"

namespace QUARLE_VISUALS {

namespace {

// The last copy this program put on the clipboard: the field's text and what
// the system got for it.
// one thread: interface
struct OwnCopy {
  std::string text, utf8;
};
OwnCopy g_own;

}  // namespace

// A pasted name is a typed one: what the code page lacks takes its escape form.
std::string GetClipboardText() { return platform::TypedText(platform::ClipboardGetUtf8()); }

// A copied name reaches other programs in its real characters, as the disk gets it.
int32_t SetClipboardText(const std::string& text) {
  g_own.text = std::string(text.c_str());
  g_own.utf8 = platform::OutgoingText(g_own.text);
  platform::ClipboardSetUtf8(g_own.utf8);
  return 0;
}

// Read anew at each paste: another program may have copied since.
std::string PasteText() {
  const std::string utf8 = platform::ClipboardGetUtf8();
  if (!utf8.empty() && utf8 == g_own.utf8) return g_own.text;
  return platform::TypedText(utf8);
}

}  // namespace QUARLE_VISUALS
