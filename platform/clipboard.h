// The system's text clipboard, in UTF-8, through SDL2. Headless (see
// ScreenHeadless in platform/screen.h) it is a clipboard of this process only,
// so copy and paste still work between the program's own fields and in tests.
#pragma once
#include <string>

namespace platform {

// The clipboard's text up to its first zero byte; "" when it holds no text or
// cannot be read.
std::string ClipboardGetUtf8();
// Puts the text (up to its first zero byte) on the clipboard; false when the
// system refused it.
bool ClipboardSetUtf8(const std::string& text);

}  // namespace platform
