#include "visuals/clipboard.h"

#include "platform/clipboard.h"
#include "platform/paths.h"

namespace QUARLE_VISUALS {

// A pasted name is a typed one: what the code page lacks takes its escape form.
std::string GetClipboardText() { return platform::TypedText(platform::ClipboardGetUtf8()); }

// A copied name reaches other programs in its real characters, as the disk gets it.
int32_t SetClipboardText(const std::string& text) {
  platform::ClipboardSetUtf8(platform::OutgoingText(std::string(text.c_str())));
  return 0;
}

}  // namespace QUARLE_VISUALS
